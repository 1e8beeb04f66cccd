"""Exceptions of the package, all under :class:`KavrolError`."""

from __future__ import annotations

import builtins
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from .reply import Reply


class KavrolError(Exception):
    """Base of every error the package raises for a failed transaction or a
    link that cannot be used. ``reply`` is the failed reply, when there is one."""

    def __init__(self, message: str, reply: Optional["Reply"] = None) -> None:
        super().__init__(message)
        self.reply = reply


class TimeoutError(KavrolError, builtins.TimeoutError):
    """The device did not answer (or the command did not go out) in time."""


class FrameError(KavrolError):
    """A reply arrived but was unreadable: bad length, bad checksum, read failure."""


class DeviceError(KavrolError):
    """The device answered with an error code (247..255), kept in ``code``."""

    def __init__(self, message: str, code: int, reply: Optional["Reply"] = None) -> None:
        super().__init__(message, reply)
        self.code = code


class PortBusy(KavrolError):
    """Another program holds the port for exclusive use; ``path`` names it."""

    def __init__(self, path: str) -> None:
        super().__init__(f"port busy: {path} is in use by another program (shared=True opens it anyway)")
        self.path = path
