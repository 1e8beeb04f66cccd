# Bad arguments raise before anything reaches the port; limits agree with
# the library's (at the limit the library sends, one past it Python refuses).
import os
import select

import pytest

import kavrol
from kavrol import Link, Status


def pending(fd: int) -> bytes:
    """What has arrived at the peer's end (the calls are synchronous: a write
    made by the call is there when it returns)."""
    out = b""
    while select.select([fd], [], [], 0)[0]:
        out += os.read(fd, 4096)
    return out


BAD_CALLS = [
    ("query", dict(model=2, command=3, words=(1, 2, 3, 4, 5)), "at most 4 words"),
    ("query", dict(model=2, command=1, route=bytes(10)), "at most 9 bytes"),
    ("query", dict(model=2, command=8, raw=bytes(50)), "direct frame carries at most 44 raw bytes"),
    ("send", dict(command=11, raw=bytes(45)), "direct frame carries at most 44 raw bytes, got 45"),
    ("send", dict(command=8, route=bytes(9), raw=bytes(32)), "route of 9 carries at most 31 raw bytes"),
    ("send", dict(command=3, raw=b"\x01"), "only commands 8 and 11 send raw data"),
    ("send", dict(command=11, words=(1,)), "command 11 sends raw data, not words"),
    ("send", dict(command=3, words=(0x10000,)), "word must be an integer 0..65535"),
    ("send", dict(command=256), "command must be 0..255"),
    ("send", dict(command=1, sub=-1), "sub-command must be 0..255"),
    ("send", dict(command=1, route=(1, 300)), "route byte must be 0..255"),
    ("send", dict(command=1, route=(1, 5), multiplexed=False), "a route needs a multiplexed frame"),
    ("send", dict(command=3, words="12"), "words must be a sequence"),
    ("query", dict(model=-1, command=1), "model must be an integer"),
    ("query", dict(model="2", command=1), "model must be an integer"),
    ("ack", dict(value=256), "one byte 0..255"),
]


@pytest.mark.parametrize("method, arguments, message", BAD_CALLS, ids=[m for _, _, m in BAD_CALLS])
def test_bad_arguments_send_nothing(pty_pair, method, arguments, message):
    port, peer = pty_pair
    with Link(port, timeout_ms=200) as link:
        with pytest.raises(ValueError, match=message):
            getattr(link, method)(**arguments)
    assert pending(peer) == b""


@pytest.mark.parametrize(
    "arguments, length",
    [
        (dict(command=8, raw=bytes(44)), 5 + 44),
        (dict(command=11, route=bytes(range(1, 10)), raw=bytes(31)), 10 + 9 + 31),
        (dict(command=8, multiplexed=True, raw=bytes(40)), 10 + 40),
        (dict(command=4, words=(1, 2, 3, 4)), 5 + 8),
    ],
)
def test_largest_commands_go_out_whole(pty_pair, arguments, length):
    port, peer = pty_pair
    with Link(port) as link:
        reply = link.send(**arguments)
    assert reply.status is Status.OK
    assert pending(peer) == reply.sent and len(reply.sent) == length


def test_closed_link_refuses_every_call(pty_pair):
    port, peer = pty_pair
    link = Link(port)
    link.close()
    link.close()  # twice is fine
    for call in (lambda: link.query(2, 1), lambda: link.send(1), lambda: link.receive(2),
                 lambda: link.ack(6), lambda: link.port_lost):
        with pytest.raises(kavrol.KavrolError, match="link is closed"):
            call()
    assert pending(peer) == b"" and link.closed
    os.fstat(port)  # the caller's descriptor stays open


class PortObject:
    """Anything with fileno(), as a pyserial Serial."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def fileno(self) -> int:
        return self.fd


def test_port_object_and_acknowledge(pty_pair):
    port, peer = pty_pair
    with Link(PortObject(port)) as link:
        assert link.ack(0x06) is Status.OK
        assert link.fileno() == port
        # A Link is itself a port object, as a pyserial Serial is.
        with Link(link) as second:
            assert second.fileno() == port
    assert pending(peer) == b"\x06"


def test_unusable_ports(tmp_path):
    closed_r, closed_w = os.pipe()
    os.close(closed_r)
    os.close(closed_w)
    for port, message in [(0, "descriptor 0"), (object(), "object with fileno"), (closed_r, "is not open"),
                          (True, "not a port"), (2**31, "not an open descriptor"), (-1, "not an open descriptor"),
                          (PortObject(2**63), "not an open descriptor")]:
        with pytest.raises(ValueError, match=message):
            Link(port)
    with pytest.raises(ValueError, match="timeout_ms"):
        Link(PortObject(1), timeout_ms=-1)
    regular = tmp_path / "file"
    regular.write_bytes(b"")
    with pytest.raises(OSError, match="not a serial port"):
        Link.open(str(regular))
    with pytest.raises(ValueError, match="baud rate 1234"):
        Link.open("/dev/null", baudrate=1234)


@pytest.mark.parametrize("baudrate", [50, 9600, 500000, 1000000, 4000000])
def test_every_standard_speed_of_the_host_layer_opens(device, baudrate):
    # The speeds come from the host layer's table (protocol.json), not a
    # shorter list of Python's own.
    Link.open(device, baudrate=baudrate, shared=True).close()


def test_open_closes_its_own_port(device):
    link = Link.open(device, baudrate=19200, bytesize=7, parity="E", stopbits=2)
    fd = link.fileno()
    assert fd > 2
    link.close()
    with pytest.raises(OSError):
        os.fstat(fd)


@pytest.mark.parametrize("model", ["25", "30", "99", "-1", "0x19"])
def test_cli_takes_only_the_model_codes_of_the_family(model, capsys):
    from kavrol.__main__ import main
    with pytest.raises(SystemExit) as exit_:
        main(["query", "--port", "/dev/null", "--model", model, "--command", "1"])
    assert exit_.value.code == 2
    assert "model code must be 0..24" in capsys.readouterr().err


def test_cli_accepts_the_highest_model_and_shows_plain_help(capsys):
    from kavrol.__main__ import _parser
    assert _parser().parse_args(["query", "--port", "P", "--model", "24", "--command", "1"]).model == 24
    with pytest.raises(SystemExit):
        _parser().parse_args(["--help"])
    out = capsys.readouterr().out
    assert "python -m kavrol query ...: one transaction" in out
    assert "``" not in out
