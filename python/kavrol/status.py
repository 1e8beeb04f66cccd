"""Results of the library's protocol calls."""

from __future__ import annotations

import enum
from typing import Optional

from ._protocol import FRAME, RESULT_NAMES, RESULT_VALUES

_DEVICE_ERROR_OFFSET = FRAME["device_error_bias"]  # device error code c is reported as c - bias
_FIRST_DEVICE_ERROR = FRAME["first_device_error"]


def _device(code: int) -> int:
    return code - _DEVICE_ERROR_OFFSET


class Status(enum.IntEnum):
    """What a send or receive returned. ``label`` is the library's own name
    for the result (``"ok"``, ``"timeout"``, ``"device-error"``, ...)."""

    OK = RESULT_VALUES["ok"]
    REJECTED = RESULT_VALUES["rejected"]
    TIMEOUT = RESULT_VALUES["timeout"]
    FRAME_ERROR = RESULT_VALUES["frame-error"]
    DEVICE_ERROR_255 = _device(255)
    DEVICE_ERROR_254 = _device(254)
    DEVICE_ERROR_253 = _device(253)
    DEVICE_ERROR_252 = _device(252)
    DEVICE_ERROR_251 = _device(251)
    DEVICE_ERROR_250 = _device(250)
    DEVICE_ERROR_249 = _device(249)
    DEVICE_ERROR_248 = _device(248)
    DEVICE_ERROR_247 = _device(247)

    @property
    def label(self) -> str:
        """The library's name of this result."""
        return RESULT_NAMES[int(self)]

    @property
    def device_code(self) -> Optional[int]:
        """The device's error code (247..255) for a device error, else None."""
        code = int(self) + _DEVICE_ERROR_OFFSET
        return code if _FIRST_DEVICE_ERROR <= code <= 0xFF else None

    @classmethod
    def for_device_code(cls, code: int) -> "Status":
        """The status a device error code 247..255 is reported as."""
        return cls(code - _DEVICE_ERROR_OFFSET)
