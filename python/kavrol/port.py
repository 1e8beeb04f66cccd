"""Opening and configuring a serial port with termios."""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import termios
from typing import Any, Union

from ._protocol import FACTS
from .errors import PortBusy

PortLike = Union[int, Any]  # a descriptor, or an object with fileno()

_SIZES = {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}
_PARITIES = {"N": 0, "E": termios.PARENB, "O": termios.PARENB | termios.PARODD}
# The host layer's table of standard speeds; those this Python's termios names.
_STANDARD_RATES = tuple(b for b in FACTS["standard_bauds"] if hasattr(termios, f"B{b}"))


def check_line(baudrate: int, bytesize: int, parity: str, stopbits: int) -> None:
    """Raises ValueError for line settings the port cannot take."""
    if baudrate not in _STANDARD_RATES:
        raise ValueError(f"baud rate {baudrate} is not one of the standard rates {_STANDARD_RATES}")
    if bytesize not in _SIZES:
        raise ValueError(f"bytesize must be 5..8, got {bytesize}")
    if parity not in _PARITIES:
        raise ValueError(f"parity must be 'N', 'E' or 'O', got {parity!r}")
    if stopbits not in (1, 2):
        raise ValueError(f"stopbits must be 1 or 2, got {stopbits}")


_PTY_MAJORS = range(136, 144)  # the terminal ends of Unix 98 pseudo-terminals
_MAX_DESCRIPTOR = 2**31 - 1


def _is_pseudo_terminal(fd: int) -> bool:
    st = os.fstat(fd)
    return stat.S_ISCHR(st.st_mode) and os.major(st.st_rdev) in _PTY_MAJORS


def claim_exclusive(fd: int, path: str) -> None:
    """Locks the port as the tools do: flock(LOCK_EX | LOCK_NB), which the
    kernel drops with the process and which also holds for root, and
    TIOCEXCL on a tty other than a pseudo-terminal (whose other side may keep
    it open, so the mark would outlive a killed client). PortBusy when
    another program holds the lock."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise PortBusy(path) from None
    if not _is_pseudo_terminal(fd):
        fcntl.ioctl(fd, termios.TIOCEXCL)


def open_port(path: str, baudrate: int, bytesize: int, parity: str, stopbits: int, shared: bool = False) -> int:
    """Opens ``path`` raw, without flow control, blocking, with the line
    settings given, and returns its descriptor (never 0..2: descriptor 0
    means "unbound" to the library). Unless ``shared``, the port is locked
    for this process alone (see :func:`claim_exclusive`)."""
    check_line(baudrate, bytesize, parity, stopbits)
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        if e.errno == errno.EBUSY:  # marked TIOCEXCL by another program
            raise PortBusy(path) from None
        raise
    try:
        if not os.isatty(fd):
            raise OSError(f"{path} is not a serial port or terminal")
        if not shared:
            claim_exclusive(fd, path)
        if fd <= 2:
            moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 3)
            os.close(fd)
            fd = moved
        os.set_blocking(fd, True)
        iflag, oflag, cflag, lflag, _, _, cc = termios.tcgetattr(fd)
        speed = getattr(termios, f"B{baudrate}")
        # Raw mode, as cfmakeraw sets it.
        iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
                   | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY)
        oflag &= ~termios.OPOST
        lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
        cflag &= ~(termios.CSIZE | termios.PARENB | termios.PARODD | termios.CSTOPB | termios.CRTSCTS)
        cflag |= termios.CLOCAL | termios.CREAD | _SIZES[bytesize] | _PARITIES[parity]
        if stopbits == 2:
            cflag |= termios.CSTOPB
        cc[termios.VMIN] = 1
        cc[termios.VTIME] = 0
        termios.tcsetattr(fd, termios.TCSANOW, [iflag, oflag, cflag, lflag, speed, speed, cc])
    except BaseException:
        os.close(fd)
        raise
    return fd


def descriptor_of(port: PortLike) -> int:
    """The descriptor of an int or of an object with ``fileno()`` (a pyserial
    ``Serial``, a file); ValueError when there is none or it is 0."""
    if isinstance(port, bool):
        raise ValueError(f"not a port: {port!r}")
    if isinstance(port, int):
        fd = port
    elif callable(getattr(port, "fileno", None)):
        fd = port.fileno()
    else:
        raise ValueError(f"a port is a descriptor or an object with fileno(), got {type(port).__name__}")
    if isinstance(fd, bool) or not isinstance(fd, int) or not 0 <= fd <= _MAX_DESCRIPTOR:
        raise ValueError(f"not an open descriptor: {fd!r}")
    if fd == 0:
        raise ValueError("descriptor 0 cannot be a port: the library reads it as 'unbound'")
    try:
        os.fstat(fd)
    except OSError as e:
        raise ValueError(f"descriptor {fd} is not open: {e.strerror}") from None
    return fd
