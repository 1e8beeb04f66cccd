"""Results of the library's protocol calls."""

from __future__ import annotations

import enum
from typing import Optional

from ._library import library

_DEVICE_ERROR_OFFSET = 259  # device error code c is reported as c - 259


class Status(enum.IntEnum):
    """What a send or receive returned. ``label`` is the library's own name
    for the result (``"ok"``, ``"timeout"``, ``"device-error"``, ...)."""

    OK = 1
    REJECTED = -1
    TIMEOUT = -2
    FRAME_ERROR = -3
    DEVICE_ERROR_255 = -4
    DEVICE_ERROR_254 = -5
    DEVICE_ERROR_253 = -6
    DEVICE_ERROR_252 = -7
    DEVICE_ERROR_251 = -8
    DEVICE_ERROR_250 = -9
    DEVICE_ERROR_249 = -10
    DEVICE_ERROR_248 = -11
    DEVICE_ERROR_247 = -12

    @property
    def label(self) -> str:
        """The library's name of this result."""
        return library().kavrol_result_name(int(self)).decode("ascii")

    @property
    def device_code(self) -> Optional[int]:
        """The device's error code (247..255) for a device error, else None."""
        code = int(self) + _DEVICE_ERROR_OFFSET
        return code if 247 <= code <= 255 else None

    @classmethod
    def for_device_code(cls, code: int) -> "Status":
        """The status a device error code 247..255 is reported as."""
        return cls(code - _DEVICE_ERROR_OFFSET)
