"""A test oracle: an independent reading of command and reply frames, kept
apart from the package on purpose so that a fault in the library's protocol
module shows. Not used by the package."""

from __future__ import annotations

from typing import Optional


def _two_byte(frame: bytes, last: int) -> tuple[int, int]:
    odd = even = 0
    for i in range(last + 1):
        b = 0 if i in (4, 5) else frame[i]
        if i % 2:
            odd ^= b
        else:
            even ^= b
    return odd, even


def _one_byte(frame: bytes, last: int) -> int:
    x = 0
    for i in range(last + 1):
        if i != 2:
            x ^= frame[i]
    return x


def reply_frame(code: int, header3: int, payload: bytes, start: int = 0x3E) -> bytes:
    """Start byte, index of the last byte, reply code, second header byte, the
    two XOR checksum bytes (odd positions at 4, even positions at 5), payload."""
    if len(payload) > 245:
        raise ValueError("payload too long for one frame")
    f = bytearray([start, 5 + len(payload), code, header3, 0, 0]) + bytes(payload)
    f[4], f[5] = _two_byte(f, len(f) - 1)
    return bytes(f)


def read_command(b: bytes, multiplexed: bool) -> dict:
    """The fault of a command as sent and, where the frame holds, its fields."""
    if not multiplexed:
        if not b:
            return {"fault": "cut"}
        last = b[0]
        if not 5 <= last <= 49:
            return {"fault": "length-out-of-range"}
        if len(b) < last:
            return {"fault": "cut"}
        inner, route = bytes([0x3C]) + b[:last], b""
        fault = None
    else:
        if not b:
            return {"fault": "cut"}
        if b[0] != 0x24:
            return {"fault": "not-this-form"}
        if len(b) < 2:
            return {"fault": "cut"}
        last = b[1]
        if not 9 <= last <= 49:
            return {"fault": "length-out-of-range"}
        if len(b) < last + 1:
            return {"fault": "cut"}
        n = b[3]
        if n > 9 or 4 + n + 5 > last:
            return {"fault": "route-out-of-range"}
        inner, route = b[4 + n:last + 1], b[4:4 + n]
        if inner[0] != 0x3C:
            return {"fault": "inner-start-wrong"}
        if inner[1] + 1 != len(inner):
            return {"fault": "inner-length-wrong"}
        fault = None if _one_byte(b, last) == b[2] else "envelope-checksum-mismatch"
    if fault is None and _two_byte(inner, inner[1]) != (inner[4], inner[5]):
        fault = "checksum-mismatch"
    return {"fault": fault or "none", "command": inner[2], "sub": inner[3], "route": route,
            "payload": inner[6:inner[1] + 1]}


def read_reply(b: bytes) -> dict:
    """What a host reader concludes from the bytes: fault, status, fields."""
    if len(b) < 2:
        return {"fault": "header-cut" if b else "no-reply", "status": -2}
    last = b[1]
    if last > 250:
        return {"fault": "length-above-range", "status": -3}
    if last < 5:
        return {"fault": "length-below-range", "status": -3}
    if len(b) < last + 1:
        return {"fault": "cut", "status": -2}
    fields: dict[str, Optional[object]] = {"code": b[2], "r3": b[3], "payload": b[6:last + 1]}
    if _two_byte(b, last) != (b[4], b[5]):
        return {"fault": "checksum-mismatch", "status": -3, **fields}
    if b[2] >= 247:
        return {"fault": "device-error", "status": b[2] - 259, **fields}
    return {"fault": "none", "status": 1, **fields}
