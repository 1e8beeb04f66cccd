# Lines on threads: two simulators driven at once, one link each; and one
# link shared by two threads, whose calls the link serialises.
import threading
import time

from kavrol import Link
from kavrol.testing import Simulator

TRANSACTIONS = 300


def word(lo: int, hi: int) -> int:
    return lo | hi << 8


# model, command, what the record must hold for sub-command s (r[j] = j + s)
LINES = [
    (2, 1, lambda r, s: (r.code1Word0, r.code1Word2) == (6 + s, word(8 + s, 9 + s))),
    (23, 6, lambda r, s: (r.code6Word0, r.code6Word2) == (6 + s, word(9 + s, 8 + s))),
]


def run_line(link: Link, model: int, command: int, check, offset: int, failures: list) -> None:
    for i in range(TRANSACTIONS):
        sub = (i + offset) % 64
        reply = link.query(model, command, sub=sub)
        if not (reply.ok and reply.reply_code == command and reply.received[3] == sub and check(reply.record, sub)):
            failures.append((model, i, reply))


def run_threads(targets) -> None:
    threads = [threading.Thread(target=t, args=a) for t, a in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)


def test_two_simulators_on_two_threads():
    failures: list = []
    with Simulator() as first, Simulator() as second:
        with Link.open(first) as a, Link.open(second) as b:
            run_threads([(run_line, (a, *LINES[0], 0, failures)), (run_line, (b, *LINES[1], 7, failures))])
    assert failures == []


def test_one_link_shared_by_two_threads():
    failures: list = []
    with Simulator() as path, Link.open(path) as link:
        run_threads([(run_line, (link, *LINES[0], 0, failures)), (run_line, (link, *LINES[1], 3, failures))])
    assert failures == []


def test_silent_lines_wait_at_the_same_time():
    # Four lines whose devices never answer: run one after the other they
    # would take 4 x 600 ms; waiting side by side takes about 600 ms.
    lines, results = 4, []
    with Simulator() as path:
        links = [Link.open(path, timeout_ms=600, shared=True) for _ in range(lines)]
        start = time.monotonic()
        run_threads([(lambda link: results.append(link.query(2, 100).status), (link,)) for link in links])
        elapsed = time.monotonic() - start
        for link in links:
            link.close()
    assert [int(s) for s in results] == [-2] * lines
    assert elapsed < 1.8, f"{lines} silent lines took {elapsed:.2f} s"
