"""Finding and loading libkavrol32.so, and the C declarations of its link API."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path
from typing import Optional

from ._protocol import SIZES
from .errors import KavrolError

LIBRARY_FILE = "libkavrol32.so"
LIBRARY_ENV = "KAVROL_LIBRARY"

REPLY_BUFFER_SIZE = SIZES["reply_buffer"]
REPLY_RECORD_SIZE = SIZES["reply_record"]
MAX_REPLY_FRAME = SIZES["max_reply_frame"]
MAX_ROUTE = SIZES["max_route"]
MAX_COMMAND_FRAME = SIZES["max_command_frame"]
LINK_SIZE = SIZES["link"]

#: The link object the library works on: caller-owned, fixed size, 8-aligned.
LinkStorage = ctypes.c_uint64 * (LINK_SIZE // 8)
#: Caller objects of a receive; the record needs the alignment of its 32-bit fields.
BufferStorage = ctypes.c_uint8 * REPLY_BUFFER_SIZE
RecordStorage = ctypes.c_uint32 * ((REPLY_RECORD_SIZE + 3) // 4)


class CommandStruct(ctypes.Structure):
    """``KavrolCommand`` of ``kavrol32/link.h``."""

    _fields_ = [
        ("routeCount", ctypes.c_uint8),
        ("route", ctypes.c_uint8 * MAX_ROUTE),
        ("command", ctypes.c_uint8),
        ("subCommand", ctypes.c_uint8),
        ("itemCount", ctypes.c_uint8),
        ("muxMode", ctypes.c_uint8),
        ("words", ctypes.c_uint16 * 4),
        ("rawData", ctypes.POINTER(ctypes.c_uint8)),
        ("rawLength", ctypes.c_uint32),
    ]


class LibraryNotFound(KavrolError, OSError):
    """No usable libkavrol32.so was found."""


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    link_p = ctypes.POINTER(LinkStorage)
    u8_p = ctypes.POINTER(ctypes.c_uint8)
    i32, u32 = ctypes.c_int32, ctypes.c_uint32
    signatures = {
        "kavrol_link_init": (i32, [link_p, ctypes.c_void_p, u32]),
        "kavrol_link_send": (i32, [link_p, ctypes.POINTER(CommandStruct)]),
        "kavrol_link_receive": (i32, [link_p, u32, ctypes.c_void_p, ctypes.c_void_p]),
        "kavrol_link_ack": (i32, [link_p, u32]),
        "kavrol_link_port_lost": (i32, [link_p]),
        "kavrol_link_last_received": (i32, [link_p, u8_p, u32]),
        "kavrol_link_last_sent": (i32, [link_p, u8_p, u32]),
        "kavrol_frame_checksum": (i32, [u8_p, u32, u8_p]),
        "kavrol_result_name": (ctypes.c_char_p, [i32]),
        "Get_Version": (i32, []),
    }
    for name, (restype, argtypes) in signatures.items():
        try:
            function = getattr(lib, name)
        except AttributeError as e:
            raise LibraryNotFound(
                f"{lib._name} has no {name}: it is a build of libkavrol32 without the link API"
            ) from e
        function.restype = restype
        function.argtypes = argtypes
    return lib


def _candidates() -> list[tuple[str, Optional[str]]]:
    """Where the library is looked for, in order: (description, path or None)."""
    beside = Path(__file__).resolve().parent / LIBRARY_FILE
    return [
        (f"${LIBRARY_ENV}", os.environ.get(LIBRARY_ENV) or None),
        (f"next to the package ({beside})", str(beside) if beside.exists() else None),
        ("the system's library path", ctypes.util.find_library("kavrol32") or LIBRARY_FILE),
    ]


def load_library() -> ctypes.CDLL:
    """Loads the library from the first place that has it.

    An explicit ``KAVROL_LIBRARY`` that cannot be loaded is an error of its
    own: falling back to another copy would hide which library runs.
    """
    tried: list[str] = []
    for where, path in _candidates():
        if path is None:
            tried.append(f"{where}: not set" if where.startswith("$") else f"{where}: no file")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            if where.startswith("$"):
                raise LibraryNotFound(f"${LIBRARY_ENV}={path} cannot be loaded: {e}") from e
            tried.append(f"{where}: {e}")
            continue
        return _declare(lib)
    raise LibraryNotFound(
        f"{LIBRARY_FILE} not found; looked in " + "; ".join(tried)
        + f". Set {LIBRARY_ENV} to the library's path, put it next to the package,"
        " or install it in the system's library path."
    )


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library (loaded on first use)."""
    global _library
    with _lock:
        if _library is None:
            _library = load_library()
        return _library
