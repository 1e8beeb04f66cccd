"""One command: checked arguments and the library's command struct.

The frame the library sent for it is the library's to say: a reply's
``sent`` comes from ``kavrol_link_last_sent``.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Iterable, Optional, Union

from ._library import MAX_ROUTE, CommandStruct
from ._protocol import FRAME

RAW_COMMANDS = tuple(FRAME["raw_commands"])
MAX_WORDS = FRAME["max_word_items"]
MAX_DIRECT_RAW = FRAME["max_direct_raw"]
MAX_ENVELOPE_RAW = FRAME["max_envelope_raw"]  # less the route length

BytesLike = Union[bytes, bytearray, memoryview, Iterable[int]]


def _byte(value: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{what} must be an integer 0..255, got {value!r}")
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{what} must be 0..255, got {value}")
    return value


def _bytes(values: BytesLike, what: str) -> bytes:
    if isinstance(values, (bytes, bytearray, memoryview)):
        return bytes(values)
    if isinstance(values, (str, int)):
        raise ValueError(f"{what} must be a sequence of byte values, got {values!r}")
    return bytes(_byte(v, f"{what} byte") for v in values)


def _words(words: Iterable[int]) -> tuple[int, ...]:
    if isinstance(words, (str, bytes, int)):
        raise ValueError(f"words must be a sequence of integers, got {words!r}")
    values = tuple(words)
    if len(values) > MAX_WORDS:
        raise ValueError(f"at most {MAX_WORDS} words fit a command, got {len(values)}")
    for w in values:
        if isinstance(w, bool) or not isinstance(w, int) or not 0 <= w <= 0xFFFF:
            raise ValueError(f"a word must be an integer 0..65535, got {w!r}")
    return values


def _fitting_raw(raw: bytes, route: Optional[bytes]) -> bytes:
    """The raw data, if it fits the 50-byte frame (route None: a direct frame)."""
    limit = MAX_DIRECT_RAW if route is None else MAX_ENVELOPE_RAW - len(route)
    if len(raw) > limit:
        frame = "a direct frame" if route is None else f"a multiplexed frame on a route of {len(route)}"
        raise ValueError(f"{frame} carries at most {limit} raw bytes, got {len(raw)}")
    return raw


@dataclass(frozen=True)
class Command:
    """A command the library will accept. Make one with :meth:`build`, which
    checks the arguments and raises ``ValueError`` before anything is sent."""

    command: int
    sub: int = 0
    words: tuple[int, ...] = ()
    route: bytes = b""
    raw: Optional[bytes] = None
    multiplexed: bool = False

    @classmethod
    def build(cls, command: int, sub: int = 0, words: Iterable[int] = (), route: BytesLike = (),
              raw: Optional[BytesLike] = None, multiplexed: Optional[bool] = None) -> "Command":
        """Checks the arguments. ``multiplexed`` defaults to "the route is not empty"."""
        _byte(command, "command")
        _byte(sub, "sub-command")
        word_values = _words(words)
        route_bytes = _bytes(route, "route")
        if len(route_bytes) > MAX_ROUTE:
            raise ValueError(f"a route has at most {MAX_ROUTE} bytes, got {len(route_bytes)}")
        mux = bool(route_bytes) if multiplexed is None else bool(multiplexed)
        if route_bytes and not mux:
            raise ValueError("a route needs a multiplexed frame")
        raw_bytes = None if raw is None else _bytes(raw, "raw data")
        if command in RAW_COMMANDS:
            if word_values:
                raise ValueError(f"command {command} sends raw data, not words")
            raw_bytes = _fitting_raw(raw_bytes or b"", route_bytes if mux else None)
        elif raw_bytes is not None:
            raise ValueError(f"only commands {RAW_COMMANDS[0]} and {RAW_COMMANDS[1]} send raw data, not {command}")
        return cls(command, sub, word_values, route_bytes, raw_bytes, mux)

    def to_struct(self) -> tuple[CommandStruct, Optional[ctypes.Array]]:
        """The library's command struct, and the raw-data array it points to
        (keep it alive for the call)."""
        s = CommandStruct()
        s.routeCount = len(self.route)
        for i, b in enumerate(self.route):
            s.route[i] = b
        s.command = self.command
        s.subCommand = self.sub
        s.muxMode = 1 if self.multiplexed else 0
        for i, w in enumerate(self.words):
            s.words[i] = w
        raw_array = None
        if self.raw is not None:
            s.itemCount = len(self.raw)
            raw_array = (ctypes.c_uint8 * max(1, len(self.raw))).from_buffer_copy(self.raw.ljust(1, b"\0"))
            s.rawData = ctypes.cast(raw_array, ctypes.POINTER(ctypes.c_uint8))
            s.rawLength = len(self.raw)
        else:
            s.itemCount = len(self.words)
        return s, raw_array
