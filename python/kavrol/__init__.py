"""Talk to the field devices of the Kavrol32 family from Python.

A thin layer over ``libkavrol32.so`` (loaded with ctypes from ``$KAVROL_LIBRARY``,
next to this package, or from the system's library path)::

    import kavrol
    with kavrol.Link.open("/dev/ttyUSB0", baudrate=9600, timeout_ms=1000) as link:
        reply = link.query(model=2, command=1).raise_for_status()
        print(reply.record.code1Word0)
"""

from .command import Command
from .errors import DeviceError, FrameError, KavrolError, PortBusy, TimeoutError
from .link import Link
from .record import Field, Record, fields_of, record_fields
from .reply import Reply
from .status import Status

from ._version import __version__  # noqa: F401 (the package's version)

__all__ = [
    "Command",
    "DeviceError",
    "Field",
    "FrameError",
    "KavrolError",
    "Link",
    "PortBusy",
    "Record",
    "Reply",
    "Status",
    "TimeoutError",
    "fields_of",
    "record_fields",
]
