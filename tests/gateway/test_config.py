"""Bad configuration files: each one gives FILE:LINE: key: message on
standard error and exit status 2, and the gateway opens neither the line's
port nor a connection to the broker. --check-config prints the plan of a
good file."""

from __future__ import annotations

import ctypes
import os
import re
import socket
import subprocess
from pathlib import Path

import pytest

from harness import GATEWAY, Devsim

BASE = """\
[gateway]
id = "g1"
prefix = "plant"

[broker]
host = "127.0.0.1"
port = {broker}

[[line]]
name = "A"
port = "{port}"
timeout_ms = 300

[[line.device]]
name = "boiler"
model = 2

[[line.device.poll]]
name = "status"
command = 1
interval_ms = 100
"""

SECOND_LINE = """
[[line]]
name = "B"
port = "{port}2"

[[line.device]]
name = "pump"
model = 23
"""

# (name, what in BASE becomes what, the key named). The line the message
# must name is the one marked "#<" in the result, or, for a missing key,
# the line of the table that lacks it (marked the same way).
CASES = [
    ("syntax", ('id = "g1"', 'id = "g1 #<'), "(syntax)"),
    ("missing id", ('[gateway]\nid = "g1"', "[gateway] #<"), "gateway.id"),
    ("id with a slash", ('id = "g1"', 'id = "g/1" #<'), "gateway.id"),
    ("prefix wildcard", ('prefix = "plant"', 'prefix = "plant/#" #<'), "gateway.prefix"),
    ("metrics not host:port", ('prefix = "plant"', 'prefix = "plant"\nmetrics = "localhost" #<'), "gateway.metrics"),
    ("broker port range", ("port = {broker}", "port = 70000 #<"), "broker.port"),
    ("qos 3", ("port = {broker}", "port = {broker}\nqos = 3 #<"), "broker.qos"),
    ("TLS file missing", ("port = {broker}", 'port = {broker}\n\n[broker.tls]\nca_file = "/nonexistent/ca.pem" #<'),
     "broker.tls.ca_file"),
    ("unknown broker key", ("port = {broker}", "port = {broker}\nhots = 1 #<"), "broker.hots"),
    ("baud not standard", ("timeout_ms = 300", "timeout_ms = 300\nbaud = 12345 #<"), "line[0].baud"),
    ("parity", ("timeout_ms = 300", "timeout_ms = 300\nparity = \"X\" #<"), "line[0].parity"),
    ("time-out is text", ("timeout_ms = 300", 'timeout_ms = "fast" #<'), "line[0].timeout_ms"),
    ("model 30", ("model = 2", "model = 30 #<"), "line[0].device[0].model"),
    ("route of 10 bytes", ("model = 2", "model = 2\nroute = [1,2,3,4,5,6,7,8,9,10] #<"), "line[0].device[0].route"),
    ("negative interval", ("interval_ms = 100", "interval_ms = -1 #<"), "line[0].device[0].poll[0].interval_ms"),
    ("five words", ("command = 1", "command = 1\nwords = [1, 2, 3, 4, 5] #<"), "line[0].device[0].poll[0].words"),
    ("raw for command 1", ("command = 1", 'command = 1\nraw = "41 42" #<'), "line[0].device[0].poll[0].raw"),
    ("raw not hex", ("command = 1", 'command = 8\nraw = "4G" #<'), "line[0].device[0].poll[0].raw"),
    ("missing command", ("[[line.device.poll]]\nname = \"status\"\ncommand = 1",
                         "[[line.device.poll]] #<\nname = \"status\""), "line[0].device[0].poll[0].command"),
    ("line without devices", (BASE[BASE.index("[[line]]"):], '[[line]] #<\nname = "A"\nport = "{port}"\n'),
     "line[0].device"),
    ("same line name twice", ("interval_ms = 100\n", "interval_ms = 100\n" + SECOND_LINE.replace('"B"', '"A" #<')),
     "line[1].name"),
    ("same port twice",
     ("interval_ms = 100\n", "interval_ms = 100\n" + SECOND_LINE.replace('"{port}2"', '"{port}" #<')),
     "line[1].port"),
]

IN_OPEN = 0x20


class OpenWatch:
    """Tells whether anyone opened a file (inotify IN_OPEN)."""

    def __init__(self, path: str) -> None:
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self.fd >= 0
        assert self.libc.inotify_add_watch(self.fd, path.encode(), IN_OPEN) >= 0

    def opened(self) -> bool:
        try:
            return len(os.read(self.fd, 4096)) > 0
        except BlockingIOError:
            return False

    def close(self) -> None:
        os.close(self.fd)


@pytest.fixture(scope="module")
def line(tmp_path_factory: pytest.TempPathFactory):
    sim = Devsim(tmp_path_factory.mktemp("devsim"), "line").start()
    yield str(sim.link)
    sim.stop()


@pytest.fixture()
def listener():
    """Where the broker would be: a socket that only counts connections."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    s.setblocking(False)
    yield s
    s.close()


def connected(s: socket.socket) -> bool:
    try:
        s.accept()[0].close()
        return True
    except BlockingIOError:
        return False


def config_text(case: tuple[str, str], port: str, broker: int) -> str:
    old, new = case
    assert old in BASE or old in BASE.replace("\n\n", "\n"), old
    text = BASE.replace(old, new, 1)
    return text.replace("{port}", port).replace("{broker}", str(broker))


@pytest.mark.parametrize("name,change,key", CASES, ids=[c[0] for c in CASES])
def test_bad_config(tmp_path: Path, line: str, listener: socket.socket, name: str, change: tuple[str, str],
                    key: str) -> None:
    text = config_text(change, line, listener.getsockname()[1])
    marked = [i + 1 for i, l in enumerate(text.splitlines()) if "#<" in l]
    assert len(marked) == 1, text
    path = tmp_path / "bad.toml"
    path.write_text(text)
    watch = OpenWatch(line)
    try:
        out = subprocess.run([GATEWAY, "--config", str(path)], capture_output=True, text=True, timeout=30)
        assert out.returncode == 2, out.stderr
        lines = out.stderr.splitlines()
        assert len(lines) == 1, out.stderr
        m = re.match(r"^(.*):(\d+): (\S+): (.+)$", lines[0])
        assert m, lines[0]
        assert m.group(1) == str(path)
        assert int(m.group(2)) == marked[0], (lines[0], text)
        assert m.group(3) == key, lines[0]
        assert out.stdout == ""
        assert not watch.opened(), "the gateway opened the line's port"
        assert not connected(listener), "the gateway connected to the broker"
    finally:
        watch.close()


def test_check_config_prints_the_plan_and_opens_nothing(tmp_path: Path, line: str, listener: socket.socket) -> None:
    path = tmp_path / "good.toml"
    path.write_text(BASE.replace("{port}", line).replace("{broker}", str(listener.getsockname()[1])))
    watch = OpenWatch(line)
    out = subprocess.run([GATEWAY, "--check-config", str(path)], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert "plant/g1/A/boiler/status" in out.stdout
    assert "plant/g1/A/state" in out.stdout
    assert "plant/g1/+/+/cmd" in out.stdout
    assert not watch.opened()
    assert not connected(listener)
    watch.close()


def test_missing_file_is_a_config_error(tmp_path: Path) -> None:
    out = subprocess.run([GATEWAY, "--config", str(tmp_path / "none.toml")], capture_output=True, text=True, timeout=30)
    assert out.returncode == 2
    assert out.stderr.startswith(str(tmp_path / "none.toml") + ":")
