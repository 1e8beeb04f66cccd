# What a user of the package relies on: the port lock, a fault log that
# knows the link's time-out, the diagnosis of an unreadable reply, fresh
# seeds, the documented fixtures, and simulators that end with the
# interpreter.
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

import kavrol
import kavrol.reply
from kavrol import Status
from kavrol.testing import Simulator, simulator_fixture

PACKAGE_DIR = Path(__file__).resolve().parents[1]

late_device = simulator_fixture(faults=["delay:1:500"], fault_log=True, timeout_ms=300)


def test_open_locks_the_port_against_a_second_opener(device):
    # As root TIOCEXCL refuses nobody: the flock is what keeps the second out.
    with kavrol.Link.open(device) as held:
        with pytest.raises(kavrol.PortBusy, match=f"port busy: {re.escape(device)} is in use") as busy:
            kavrol.Link.open(device)
        assert busy.value.path == device
        with kavrol.Link.open(device, shared=True) as shared:
            assert shared.query(2, 1).ok
        assert held.query(2, 1).ok
    with kavrol.Link.open(device) as again:
        assert again.query(2, 1).ok


@pytest.mark.parametrize("client_timeout_ms, expect", [(300, -2), (1000, 1)])
def test_fault_log_judges_a_delay_by_the_client_time_out(client_timeout_ms, expect):
    sim = Simulator(faults=["delay:1:500"], fault_log=True, client_timeout_ms=client_timeout_ms)
    with sim as (path, log), kavrol.Link.open(path, timeout_ms=client_timeout_ms) as link:
        reply = link.query(2, 1)
        (entry,) = log.wait(1)
        assert int(reply.status) == expect and entry["expect"] == expect


def test_fixture_passes_the_links_time_out(late_device):
    path, log = late_device
    with kavrol.Link.open(path, timeout_ms=300) as link:
        assert link.query(2, 1).status is Status.TIMEOUT
        link.query(2, 1)  # the next command ends the first one's delay
    assert log.wait(1)[0]["expect"] == -2


@pytest.mark.parametrize(
    "received, text",
    [
        (b"", "no reply arrived"),
        (b"\x3e", "only 1 byte arrived, the header needs 2"),
        (bytes.fromhex("3e fc 01 00 10 39"), "length byte L = 252 is above 250"),
        (bytes.fromhex("3e 03 01 00"), "length byte L = 3 is below 5, too short to hold a checksum"),
        (bytes.fromhex("3e 08 01 00"), "the header announced 9 bytes, only 4 arrived"),
        (bytes.fromhex("3e 05 01 00 10 63"), "checksum mismatch: received 10 63, computed 05 3F"),
        (bytes.fromhex("3e 05 f9 00 05 c7"), "device error code 249"),
        (bytes.fromhex("3e 05 01 00 05 3f"), "valid reply frame, reply code 1"),
    ],
)
def test_diagnosis_of_received_bytes(received, text):
    assert kavrol.reply.diagnose(received) == text


def test_frame_error_carries_the_diagnosis():
    with Simulator(faults=["bad-checksum:1"]) as path, kavrol.Link.open(path) as link:
        reply = link.query(2, 1)
        with pytest.raises(kavrol.FrameError, match=r"checksum mismatch: received [0-9A-F]{2} [0-9A-F]{2}, "
                                                    r"computed [0-9A-F]{2} [0-9A-F]{2}; received 3e "):
            reply.raise_for_status()
        assert reply.diagnosis.startswith("checksum mismatch")


def test_seed_none_draws_a_fresh_seed_each_start():
    seeds = set()
    for _ in range(3):
        sim = Simulator(faults=["no-reply:0.5"])
        with sim:
            assert "--seed" in sim.arguments()
            seeds.add(sim.seed)
    assert len(seeds) == 3
    fixed = Simulator(seed=5)
    with fixed:
        assert fixed.seed == 5


def documented_flaky_devices():
    """The flaky_device fixtures the README and the module's help declare."""
    readme = (PACKAGE_DIR.parent / "README.md").read_text(encoding="utf-8")
    module = (PACKAGE_DIR / "kavrol" / "testing.py").read_text(encoding="utf-8")
    found = re.findall(r"flaky_device = simulator_fixture\((.*)\)", readme + module)
    assert len(found) >= 2
    return found


@pytest.mark.parametrize("arguments", documented_flaky_devices())
def test_documented_flaky_device_faults_within_twenty_commands(arguments):
    options = eval(f"dict({arguments})")  # the documentation's own text
    with Simulator(fault_log=True, **options) as (path, log), kavrol.Link.open(path, timeout_ms=200) as link:
        for _ in range(20):
            link.query(2, 1)
        entries = log.wait(20)
    assert any(e["faults"] for e in entries), arguments


def test_route_none_and_oversized_descriptors_are_clear_errors(device):
    with kavrol.Link.open(device) as link:
        with pytest.raises(TypeError, match=r"route must be a sequence of byte values, \(\) for a direct"):
            link.query(2, 1, route=None)
        with pytest.raises(TypeError, match="route must be"):
            link.send(1, route=None)
    with pytest.raises(ValueError, match="not an open descriptor"):
        kavrol.Link(2**31)


def process_gone(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().split(")", 1)[1].split()[0]
    except FileNotFoundError:
        return True
    return state in ("Z", "X")  # ended; an orphan waits for its reaper


def test_a_simulator_left_running_ends_with_the_interpreter():
    code = ("import kavrol.testing as t, os\n"
            "sim = t.Simulator(); sim.start()\n"
            "print(sim._process.pid, flush=True)\n"
            "t.Simulator().start()\n"  # not even a name keeps this one
            "del sim\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": str(PACKAGE_DIR)})
    assert result.returncode == 0, result.stderr
    pid = int(result.stdout.split()[0])
    deadline = time.monotonic() + 10
    while not process_gone(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert process_gone(pid), f"kavrol-devsim {pid} outlived the interpreter"


def test_line_time_reaches_the_simulator():
    sim = Simulator(line_time=True)
    assert "--line-time" in sim.arguments()
    with sim as path, kavrol.Link.open(path) as link:
        started = time.monotonic()
        assert link.query(2, 1).ok
        # 24 bytes of 1.04 ms each at 9600 8N1; a loaded machine only adds.
        assert time.monotonic() - started >= 0.024
