"""One serial line driven through the library's link API."""

from __future__ import annotations

import ctypes
import os
import threading
from typing import Iterable, Optional

from . import _library as lib
from .command import BytesLike, Command
from .errors import KavrolError
from .port import PortLike, descriptor_of, open_port
from .record import Record
from .reply import Reply
from .status import Status

MAX_TIMEOUT_MS = 0xFFFFFFFF  # waits without end


def _check_timeout(timeout_ms: int) -> int:
    if isinstance(timeout_ms, bool) or not isinstance(timeout_ms, int) or not 0 <= timeout_ms <= MAX_TIMEOUT_MS:
        raise ValueError(f"timeout_ms must be an integer 0..{MAX_TIMEOUT_MS}, got {timeout_ms!r}")
    return timeout_ms


def _check_model(model: int) -> int:
    if isinstance(model, bool) or not isinstance(model, int) or not 0 <= model <= 0xFFFFFFFF:
        raise ValueError(f"model must be an integer 0..{0xFFFFFFFF}, got {model!r}")
    return model


def _check_route(route: BytesLike) -> BytesLike:
    if route is None:
        raise TypeError("route must be a sequence of byte values, () for a direct command; got None")
    return route


class Link:
    """One line: a link object of the library bound to an open port.

    ``Link(port, timeout_ms=1000)`` takes a port the caller opened and keeps
    owning (an integer descriptor, or any object with ``fileno()`` such as a
    pyserial ``Serial``); :meth:`open` opens and configures one itself and
    closes it again in :meth:`close`. Links are independent, so each line can
    run on a thread of its own; a link serialises calls made on it from
    several threads.
    """

    def __init__(self, port: PortLike, timeout_ms: int = 1000) -> None:
        self._fd = descriptor_of(port)
        self._timeout_ms = _check_timeout(timeout_ms)
        self._port = port  # keeps a caller's port object alive while bound
        self._owns_fd = False
        self._lock = threading.Lock()
        self._lib = lib.library()
        self._link: Optional[ctypes.Array] = lib.LinkStorage()
        if self._lib.kavrol_link_init(self._link, ctypes.c_void_p(self._fd), self._timeout_ms) != 1:
            raise KavrolError(f"the library cannot bind a link to descriptor {self._fd}")

    @classmethod
    def open(cls, path: str, baudrate: int = 9600, bytesize: int = 8, parity: str = "N", stopbits: int = 1,
             timeout_ms: int = 1000, *, shared: bool = False) -> "Link":
        """Opens the serial device at ``path`` (raw, no flow control) with these
        line settings and binds a link to it; the link closes it. The port is
        locked for this process as the command-line tools lock it
        (:class:`PortBusy` when another program holds it); ``shared=True``
        opens it without the lock."""
        _check_timeout(timeout_ms)
        fd = open_port(path, baudrate, bytesize, parity, stopbits, shared)
        try:
            link = cls(fd, timeout_ms)
        except BaseException:
            os.close(fd)
            raise
        link._owns_fd = True
        return link

    @property
    def closed(self) -> bool:
        return self._link is None

    def fileno(self) -> int:
        """The descriptor the link is bound to (as pyserial's ``Serial.fileno()``)."""
        return self._fd

    @property
    def timeout_ms(self) -> int:
        return self._timeout_ms

    @property
    def port_lost(self) -> bool:
        """True when the last call found the port hung up or gone."""
        with self._lock:
            return self._lost(self._bound())

    def close(self) -> None:
        """Unbinds the link (and closes the port if :meth:`open` opened it).
        Calls on a closed link raise :class:`KavrolError`; closing twice is fine."""
        with self._lock:
            if self._link is None:
                return
            self._link = None
            if self._owns_fd:
                os.close(self._fd)
            self._port = None

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"fd {self._fd}, time-out {self._timeout_ms} ms"
        return f"<kavrol.Link {state}>"

    def _bound(self) -> ctypes.Array:
        if self._link is None:
            raise KavrolError("the link is closed")
        return self._link

    def query(self, model: int, command: int, sub: int = 0, words: Iterable[int] = (), route: BytesLike = (),
              raw: Optional[BytesLike] = None, *, multiplexed: Optional[bool] = None) -> Reply:
        """Sends a command and reads the reply as ``model``. A route (at most 9
        bytes) sends the command through the multiplexer. When the send fails,
        nothing is read and the reply carries the send's status."""
        _check_model(model)
        cmd = Command.build(command, sub, words, _check_route(route), raw, multiplexed)
        with self._lock:
            sent = self._send(cmd)
            if not sent.ok:
                return sent
            return self._receive(model, sent.sent)

    def send(self, command: int, sub: int = 0, words: Iterable[int] = (), route: BytesLike = (),
             raw: Optional[BytesLike] = None, *, multiplexed: Optional[bool] = None) -> Reply:
        """Sends one command; the reply's status is the send's (OK or TIMEOUT)."""
        cmd = Command.build(command, sub, words, _check_route(route), raw, multiplexed)
        with self._lock:
            return self._send(cmd)

    def receive(self, model: int) -> Reply:
        """Reads one reply and decodes it as ``model``."""
        _check_model(model)
        with self._lock:
            return self._receive(model, b"")

    def ack(self, value: int) -> Status:
        """Sends one acknowledge byte and waits until it has gone out."""
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFF:
            raise ValueError(f"an acknowledge is one byte 0..255, got {value!r}")
        with self._lock:
            return Status(self._lib.kavrol_link_ack(self._bound(), value))

    def _send(self, cmd: Command) -> Reply:
        link = self._bound()
        struct, raw_array = cmd.to_struct()
        status = Status(self._lib.kavrol_link_send(link, ctypes.byref(struct)))
        del raw_array  # the library keeps no pointer after the call
        sent = (ctypes.c_uint8 * lib.MAX_COMMAND_FRAME)()
        count = self._lib.kavrol_link_last_sent(link, sent, lib.MAX_COMMAND_FRAME)
        return Reply(status, sent=bytes(sent[:count]), port_lost=self._lost(link))

    def _receive(self, model: int, sent: bytes) -> Reply:
        link = self._bound()
        buffer = lib.BufferStorage()
        record = lib.RecordStorage()
        status = Status(self._lib.kavrol_link_receive(link, model, buffer, record))
        received = (ctypes.c_uint8 * lib.MAX_REPLY_FRAME)()
        count = self._lib.kavrol_link_last_received(link, received, lib.MAX_REPLY_FRAME)
        if status is not Status.OK:
            return Reply(status, model, sent, bytes(received[:count]), port_lost=self._lost(link))
        return Reply(status, model, sent, bytes(received[:count]), bytes(buffer),
                     Record(ctypes.string_at(record, lib.REPLY_RECORD_SIZE)))

    def _lost(self, link: ctypes.Array) -> bool:
        return self._lib.kavrol_link_port_lost(link) == 1
