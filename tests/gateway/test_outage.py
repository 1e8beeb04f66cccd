"""The broker goes away mid-run and comes back. Polling goes on; a line
whose queue holds the outage loses nothing (QoS 1 may repeat a message),
and on a line with a small queue the published dropped count is exactly
the number of replies that never arrived. Messages in flight on a
connection that dies without a word are sent again on the next one."""

from __future__ import annotations

import json
import time
from pathlib import Path

from harness import Devsim, Gateway, HoldingProxy, Subscriber, eventually, gateway_toml, retained, shut_down
from plant import base_config, line_dict, poll_topics, topic

SMALL_QUEUE = 20
OUTAGE_S = 2.0


def seqs_of(sub: Subscriber, line: str) -> list[int]:
    return [json.loads(p)["seq"] for t in poll_topics(line) for p in sub.on(t)]


def test_outage_below_and_above_the_queue_bound(tmp_path: Path, broker) -> None:
    sims = [Devsim(tmp_path, f"L{i}").start() for i in range(4)]
    # A persistent session, so that the broker keeps what comes while the subscriber reconnects.
    sub = Subscriber(broker.port, [topic("#")], session="outage-watcher")
    gw_cfg, broker_cfg = base_config(broker.port)
    lines = [line_dict(f"L{i}", str(s.link), 20, **({"queue_limit": SMALL_QUEUE} if i == 0 else {}))
             for i, s in enumerate(sims)]
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, lines)).start()
    try:
        assert eventually(lambda: all(len(seqs_of(sub, f"L{i}")) >= 20 for i in range(4)), 30)
        broker.stop()
        # Without its saved sessions the restarted broker would have lost the subscriber's queue.
        assert broker.saved(), "the broker did not save its sessions"
        before = {i: len(seqs_of(sub, f"L{i}")) for i in range(4)}
        time.sleep(OUTAGE_S)
        broker.start()
        assert eventually(lambda: gateway.log().count("broker connected") >= 2, 40), gateway.log()
        # Polling went on: every line goes well past what was published before the outage.
        assert eventually(lambda: all(len(set(seqs_of(sub, f"L{i}"))) > before[i] + 40 for i in range(1, 4)), 30)
        assert gateway.stop()[0] == 0

        finals = {}
        for i in range(4):
            state = retained(broker.port, topic(f"L{i}", "state"))
            finals[i] = json.loads(state)
        for i in range(4):
            want = finals[i]["transactions"]
            assert eventually(lambda: max(seqs_of(sub, f"L{i}"), default=0) >= want, 15), f"L{i}"
        for i in range(1, 4):
            got = set(seqs_of(sub, f"L{i}"))
            assert finals[i]["dropped"] == 0
            assert got == set(range(1, finals[i]["transactions"] + 1)), f"line L{i} lost replies"
        got = set(seqs_of(sub, "L0"))
        missing = finals[0]["transactions"] - len(got)
        assert got <= set(range(1, finals[0]["transactions"] + 1))
        assert finals[0]["dropped"] > 0
        assert missing == finals[0]["dropped"], (missing, finals[0])
    finally:
        shut_down(sub, gateway, sims)


def test_messages_in_flight_on_a_dead_connection_are_sent_again(tmp_path: Path, broker) -> None:
    sims = [Devsim(tmp_path, f"L{i}").start() for i in range(2)]
    sub = Subscriber(broker.port, [topic("#")])
    proxy = HoldingProxy(broker.port)
    gw_cfg, broker_cfg = base_config(proxy.port)
    lines = [line_dict(f"L{i}", str(s.link), 20) for i, s in enumerate(sims)]
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, lines)).start()
    try:
        assert eventually(lambda: all(len(seqs_of(sub, f"L{i}")) >= 20 for i in range(2)), 30)
        # The gateway goes on writing into a connection that no longer reaches the
        # broker, until its window of unacknowledged messages is full; more wait behind.
        proxy.hold()
        assert eventually(lambda: proxy.swallowed_publishes >= 5, 30)
        time.sleep(1.0)
        before = {i: max(seqs_of(sub, f"L{i}")) for i in range(2)}
        proxy.cut()
        assert eventually(lambda: gateway.log().count("broker connected") >= 2, 40), gateway.log()
        assert eventually(lambda: all(max(seqs_of(sub, f"L{i}")) > before[i] + 40 for i in range(2)), 30)
        assert gateway.stop()[0] == 0

        for i in range(2):
            final = json.loads(retained(broker.port, topic(f"L{i}", "state")))
            want = final["transactions"]
            assert eventually(lambda: max(seqs_of(sub, f"L{i}")) >= want, 15), f"L{i}"
            assert final["dropped"] == 0
            assert set(seqs_of(sub, f"L{i}")) == set(range(1, want + 1)), f"line L{i} lost replies"
    finally:
        proxy.close()
        shut_down(sub, gateway, sims)
