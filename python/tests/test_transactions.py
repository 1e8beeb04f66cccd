# Every result through the real library against the simulator: the status,
# its exception, and the bytes the reply carries (cross-checked with the
# simulator's own record of what it read and what it sent).
import builtins
import time

import pytest

import kavrol
from kavrol import Link, Status
from kavrol.testing import Simulator, simulator_fixture

SHORT_MS = 300  # for the calls that must time out
shared_device = simulator_fixture(scope="module")


def frames_read(sim: Simulator, count: int) -> list[bytes]:
    """The simulator's log is written as it reads; wait (generously) for it."""
    deadline = time.monotonic() + 5
    while len(sim.received_frames()) < count and time.monotonic() < deadline:
        time.sleep(0.02)
    return sim.received_frames()


def test_ok_reply(shared_device):
    with Link.open(shared_device) as link:
        reply = link.query(model=2, command=1)
    assert reply.status is Status.OK and reply.ok and reply.status.label == "ok"
    assert reply.reply_code == 1
    assert reply.sent == bytes.fromhex("05 01 00 05 3D")
    assert reply.received[0] == 0x3E and len(reply.received) == reply.received[1] + 1
    assert len(reply.buffer) == 317
    assert reply.raise_for_status() is reply


@pytest.mark.parametrize("code", range(247, 256))
def test_each_device_error(shared_device, code):
    with Link.open(shared_device) as link:
        reply = link.query(model=2, command=code)
    assert reply.status == code - 259 and reply.status.label == "device-error"
    assert reply.status.device_code == code and reply.reply_code == code
    assert reply.buffer is None and reply.record is None and not reply.ok
    with pytest.raises(kavrol.DeviceError, match=f"error code {code}") as caught:
        reply.raise_for_status()
    assert caught.value.code == code and caught.value.reply is reply


def test_silent_device_times_out(shared_device):
    with Link.open(shared_device, timeout_ms=SHORT_MS) as link:
        reply = link.query(model=2, command=100)  # no rule answers it
    assert reply.status is Status.TIMEOUT and reply.status.label == "timeout"
    assert reply.received == b"" and reply.reply_code is None
    with pytest.raises(kavrol.TimeoutError) as caught:
        reply.raise_for_status()
    assert isinstance(caught.value, builtins.TimeoutError) and isinstance(caught.value, kavrol.KavrolError)


# Faults on every reply; the fault log says which status a client must see
# and which bytes the simulator put on the line. The reader takes the two
# header bytes, then the rest only once it has all arrived: of an oversized
# or a truncated frame it has read the header alone.
@pytest.mark.parametrize(
    "fault, status, error, read",
    [
        ("bad-checksum", Status.FRAME_ERROR, kavrol.FrameError, None),
        ("oversize:1:251", Status.FRAME_ERROR, kavrol.FrameError, 2),
        ("device-error:1:250", Status.DEVICE_ERROR_250, kavrol.DeviceError, None),
        ("truncate:1:4", Status.TIMEOUT, kavrol.TimeoutError, 2),
        ("no-reply", Status.TIMEOUT, kavrol.TimeoutError, None),
    ],
)
def test_faults(fault, status, error, read):
    with Simulator(faults=[fault], fault_log=True) as (path, log):
        with Link.open(path, timeout_ms=SHORT_MS) as link:
            reply = link.query(model=23, command=6)
        (entry,) = log.wait(1)
    assert reply.status is status and entry["expect"] == int(status)
    wire = bytes.fromhex(entry["sent"])
    assert reply.received == wire[:read] and reply.port_lost is False
    with pytest.raises(error):
        reply.raise_for_status()


def test_route_through_the_multiplexer():
    with Simulator(routes=[(1, 5)]) as path, Link.open(path, timeout_ms=SHORT_MS) as link:
        served = link.query(model=23, command=6, route=(1, 5))
        not_served = link.query(model=23, command=6, route=(2, 7))
    assert served.ok and served.reply_code == 6 and served.sent[0] == 0x24
    assert served.sent[3:6] == bytes([2, 1, 5])
    assert not_served.status is Status.TIMEOUT


# The frame a Reply reports as sent is the one the simulator read.
def test_sent_frames_match_the_simulator_log():
    cases = [
        dict(command=1),
        dict(command=3, sub=7, words=(0x1234, 0x56)),
        dict(command=5, words=(1, 2, 3, 0xFFFF)),
        dict(command=8, raw=b"ABC"),
        dict(command=8, raw=bytes(range(44))),
        dict(command=6, route=(1, 5)),
        dict(command=8, route=(1, 5), raw=bytes(range(38))),
        dict(command=2, sub=255, route=(1, 5), words=(0xBEEF,)),
    ]
    sim = Simulator(routes=[(1, 5)])
    with sim as path, Link.open(path) as link:
        # One whole transaction each: frames sent back to back would run together.
        sent = [link.query(2, **c) for c in cases]
        logged = frames_read(sim, len(cases))
    assert all(r.ok for r in sent)
    assert [r.sent for r in sent] == logged


def test_send_and_receive_apart(shared_device):
    with Link.open(shared_device) as link:
        sent = link.send(5, sub=2)
        reply = link.receive(9)
    assert sent.ok and sent.received == b"" and sent.reply_code is None
    assert reply.ok and reply.sent == b"" and reply.reply_code == 5 and reply.received[3] == 2


def test_status_labels_are_the_librarys():
    expected = {1: "ok", -1: "rejected", -2: "timeout", -3: "frame-error"}
    expected.update({r: "device-error" for r in range(-12, -3)})
    assert {int(s): s.label for s in Status} == expected
    # The generated names are the ones the library itself gives.
    from kavrol._library import library
    assert {int(s): library().kavrol_result_name(int(s)).decode() for s in Status} == expected


def test_vanished_simulator_is_a_lost_port():
    sim = Simulator()
    with sim as path, Link.open(path, timeout_ms=5000) as link:
        sim.stop()
        reply = link.query(model=2, command=1)
    assert reply.status is Status.TIMEOUT and reply.port_lost
    with pytest.raises(kavrol.TimeoutError, match="hung up or is gone"):
        reply.raise_for_status()
