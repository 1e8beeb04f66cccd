"""The outcome of one transaction."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Optional

from . import _library
from ._protocol import FRAME
from .errors import DeviceError, FrameError, KavrolError, TimeoutError
from .record import Record
from .status import Status


_FIRST_INDEX, _LAST_INDEX = FRAME["min_frame_index"], FRAME["max_reply_index"]  # the range of a reply's L
_FIRST_DEVICE_ERROR = FRAME["first_device_error"]


def diagnose(received: bytes) -> str:
    """The judgement of the bytes read for a reply: the length byte, a cut
    frame, the checksum, a device error; as the command-line client words it."""
    if not received:
        return "no reply arrived"
    if len(received) < 2:
        return "only 1 byte arrived, the header needs 2"
    last = received[1]
    if last > _LAST_INDEX:
        return f"length byte L = {last} is above {_LAST_INDEX}"
    if last < _FIRST_INDEX:
        return f"length byte L = {last} is below {_FIRST_INDEX}, too short to hold a checksum"
    if len(received) < last + 1:
        return f"the header announced {last + 1} bytes, only {len(received)} arrived"
    frame = (ctypes.c_uint8 * (last + 1)).from_buffer_copy(received[: last + 1])
    computed = (ctypes.c_uint8 * 2)()
    _library.library().kavrol_frame_checksum(frame, last + 1, computed)
    if bytes(computed) != received[4:6]:
        return (f"checksum mismatch: received {received[4]:02X} {received[5]:02X}, "
                f"computed {computed[0]:02X} {computed[1]:02X}")
    if received[2] >= _FIRST_DEVICE_ERROR:
        return f"device error code {received[2]}"
    return f"valid reply frame, reply code {received[2]}"


@dataclass(frozen=True)
class Reply:
    """What a send or a receive gave.

    ``sent`` is the frame the library sent for the command (empty when only
    a receive ran), ``received`` the bytes it read from the port for the
    reply (header and rest, as read). ``buffer`` (317 bytes) and ``record``
    are the library's caller objects after a successful receive, None
    otherwise: the library writes them only when the status is ``OK``.
    ``reply_code`` is r[2] of a reply that was read whole (also for device
    errors), else None. ``port_lost`` tells that the call found the port hung
    up or gone (the status is then the one the deadline would have given).
    Each reply has a record of its own, zeroed before the receive: it holds
    this reply's region only.
    """

    status: Status
    model: Optional[int] = None
    sent: bytes = b""
    received: bytes = b""
    buffer: Optional[bytes] = None
    record: Optional[Record] = None
    port_lost: bool = False

    def __repr__(self) -> str:
        parts = [f"status={self.status.name}"]
        if self.reply_code is not None:
            parts.append(f"reply_code={self.reply_code}")
        parts += [f"sent={self.sent.hex(' ')!r}", f"received={self.received.hex(' ')!r}"]
        if self.record is not None:
            parts.append(f"record={self.record!r}")
        return f"Reply({', '.join(parts)})"

    @property
    def diagnosis(self) -> str:
        """What the received bytes are, in the command-line client's words
        ("checksum mismatch: received 10 63, computed 10 39")."""
        return diagnose(self.received)

    @property
    def ok(self) -> bool:
        return self.status is Status.OK

    @property
    def reply_code(self) -> Optional[int]:
        if (self.ok and self.model is not None) or self.status.device_code is not None:
            return self.received[2] if len(self.received) > 2 else None
        return None

    def raise_for_status(self) -> "Reply":
        """Returns the reply when it is ``OK``, else raises the matching error."""
        if self.ok:
            return self
        status = self.status
        text = f"{status.label} ({int(status)})" + (", the port hung up or is gone" if self.port_lost else "")
        if status is Status.TIMEOUT:
            raise TimeoutError(f"no reply in time: {text}", self)
        if status is Status.FRAME_ERROR:
            raise FrameError(f"unreadable reply: {text}: {self.diagnosis}; received {self.received.hex(' ')}", self)
        code = status.device_code
        if code is not None:
            raise DeviceError(f"the device answered with error code {code}: {text}", code, self)
        raise KavrolError(f"the library refused the call: {text}", self)
