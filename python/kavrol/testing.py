"""The device simulator ``kavrol-devsim`` for the users' own tests.

``Simulator`` starts the simulator on a fresh pseudo-terminal and stops it
again; as a context manager it yields the pty's path, or ``(path, fault_log)``
with ``fault_log=True``. :func:`simulator_fixture` makes a pytest fixture of
it. The program is ``program``, else ``$KAVROL_DEVSIM``, else
``kavrol-devsim`` on the ``PATH``. A simulator left running is stopped
when the interpreter exits.
"""

from __future__ import annotations

import atexit
import json
import os
import secrets
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, Optional, Union

from .errors import KavrolError

DEVSIM_ENV = "KAVROL_DEVSIM"
DEVSIM_PROGRAM = "kavrol-devsim"
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
CLIENT_TIMEOUT_MS = 1000  # Link's default time-out

# Every simulator process started and not yet stopped, whatever became of
# its Simulator object: the interpreter's exit stops them.
_RUNNING: "set[subprocess.Popen[bytes]]" = set()


def _end(process: "subprocess.Popen[bytes]") -> None:
    _RUNNING.discard(process)
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@atexit.register
def _end_all() -> None:
    for process in list(_RUNNING):
        _end(process)


class SimulatorError(KavrolError):
    """The simulator could not be found or did not start."""


def find_devsim(program: Optional[str] = None) -> str:
    """The simulator program to run; SimulatorError names the places looked at."""
    for candidate in (program, os.environ.get(DEVSIM_ENV)):
        if candidate:
            if not os.access(candidate, os.X_OK):
                raise SimulatorError(f"{candidate} is not an executable simulator")
            return candidate
    found = shutil.which(DEVSIM_PROGRAM)
    if found is None:
        raise SimulatorError(
            f"{DEVSIM_PROGRAM} not found: pass program=..., set ${DEVSIM_ENV}, or put it on the PATH"
        )
    return found


class FaultLog:
    """The simulator's fault log: one entry per command it read (faults
    applied, bytes it sent, the status a client must see as ``expect``)."""

    def __init__(self, path: Path) -> None:
        self.path = path

    def entries(self) -> list[dict[str, Any]]:
        """Every entry written so far."""
        if not self.path.exists():
            return []
        lines = self.path.read_text(encoding="utf-8").splitlines()
        return [json.loads(line) for line in lines if line.strip() and line.endswith("}")]

    def wait(self, count: int, timeout_s: float = 5.0) -> list[dict[str, Any]]:
        """The entries once there are ``count`` of them (the simulator may
        write an entry after the client has its result), or all there are
        when ``timeout_s`` has passed."""
        deadline = time.monotonic() + timeout_s
        while len(found := self.entries()) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return found


class Simulator:
    """``kavrol-devsim`` serving a pseudo-terminal.

    ``scenario`` is a built-in scenario name or a JSON file; ``faults`` are
    ``KIND[:PROBABILITY[:VALUE]]`` texts applied to every reply; ``seed``
    fixes their decisions (None: a fresh seed for each start, kept in
    :attr:`seed` so that a failing run can be repeated); ``routes`` replaces
    the routes served (e.g. ``[(1, 5)]``). ``client_timeout_ms`` is the
    time-out of the links that talk to it: the fault log expects a time-out
    for a reply delayed that long. ``line_time`` sends each reply byte when
    it would have crossed a 9600 8N1 line. The frame log goes to
    :attr:`log_path` (see :meth:`log`).
    """

    def __init__(
        self,
        scenario: str = "all-models",
        faults: Iterable[str] = (),
        seed: Optional[int] = None,
        *,
        routes: Iterable[Iterable[int]] = (),
        fault_log: bool = False,
        client_timeout_ms: int = CLIENT_TIMEOUT_MS,
        line_time: bool = False,
        program: Optional[str] = None,
    ) -> None:
        if isinstance(client_timeout_ms, bool) or not isinstance(client_timeout_ms, int) \
                or not 0 <= client_timeout_ms <= 3600000:
            raise ValueError(f"client_timeout_ms must be an integer 0..3600000, got {client_timeout_ms!r}")
        self.scenario = scenario
        self.faults = tuple(faults)
        self.fixed_seed = seed
        self.seed = seed
        self.client_timeout_ms = client_timeout_ms
        self.line_time = line_time
        self.routes = tuple(tuple(r) for r in routes)
        self.want_fault_log = fault_log
        self.program = program
        self.path: Optional[str] = None
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._dir: Optional[tempfile.TemporaryDirectory[str]] = None

    @property
    def log_path(self) -> Path:
        return Path(self._work_dir(), "devsim.log")

    @property
    def fault_log(self) -> FaultLog:
        return FaultLog(Path(self._work_dir(), "faults.jsonl"))

    def _work_dir(self) -> str:
        if self._dir is None:
            raise SimulatorError("the simulator has not been started")
        return self._dir.name

    def arguments(self) -> list[str]:
        """The simulator's command line, without the program."""
        args = ["--scenario", self.scenario]
        for fault in self.faults:
            args += ["--fault", fault]
        if self.seed is not None:
            args += ["--seed", str(self.seed)]
        args += ["--client-timeout", str(self.client_timeout_ms)]
        if self.line_time:
            args.append("--line-time")
        for route in self.routes:
            args += ["--route", ",".join(str(b) for b in route)]
        if self.want_fault_log:
            args += ["--fault-log", str(self.fault_log.path)]
        return args

    def start(self) -> str:
        """Starts the simulator and returns the path of its pseudo-terminal."""
        if self._process is not None:
            raise SimulatorError("the simulator is running already")
        program = find_devsim(self.program)
        self.seed = self.fixed_seed if self.fixed_seed is not None else secrets.randbits(63)
        self._dir = tempfile.TemporaryDirectory(prefix="kavrol-devsim-")
        with open(self.log_path, "wb") as log:
            self._process = subprocess.Popen(
                [program, *self.arguments()], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log
            )
        _RUNNING.add(self._process)
        try:
            self.path = self._read_path()
        except BaseException:
            self.cleanup()  # the error carries the simulator's last words
            raise
        return self.path

    def _read_path(self) -> str:
        assert self._process is not None and self._process.stdout is not None
        out = self._process.stdout
        deadline = time.monotonic() + START_TIMEOUT_S
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([out], [], [], left)[0]:
                raise SimulatorError(f"the simulator printed no path within {START_TIMEOUT_S:.0f} s")
            chunk = os.read(out.fileno(), 256)
            if not chunk:
                self._process.wait()
                raise SimulatorError(
                    f"the simulator exited with {self._process.returncode}: {self.log().strip()}"
                )
            line += chunk
        return line.decode().strip()

    def log(self) -> str:
        """The simulator's frame log so far."""
        try:
            return self.log_path.read_text(encoding="utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def received_frames(self) -> list[bytes]:
        """The frames the simulator read (its ``<-`` log lines), in order."""
        frames = []
        for line in self.log().splitlines():
            parts = line.split("<- ", 1)
            if len(parts) == 2:
                frames.append(bytes.fromhex(parts[1].split("  ", 1)[0]))
        return frames

    def stop(self) -> None:
        """Stops the simulator (SIGTERM, then SIGKILL); its logs stay until :meth:`cleanup`."""
        process, self._process = self._process, None
        if process is not None:
            _end(process)
            if process.stdout is not None:
                process.stdout.close()
        self.path = None

    def cleanup(self) -> None:
        """Stops the simulator and removes its log files."""
        self.stop()
        if self._dir is not None:
            self._dir.cleanup()
            self._dir = None

    def __enter__(self) -> Union[str, tuple[str, FaultLog]]:
        path = self.start()
        return (path, self.fault_log) if self.want_fault_log else path

    def __exit__(self, *exc: object) -> None:
        self.cleanup()


def simulator_fixture(scope: str = "function",
                      **options: Any) -> Callable[[], Iterator[Union[str, tuple[str, FaultLog]]]]:
    """A pytest fixture that runs a :class:`Simulator` with these options (one
    per test, or per ``scope``) and gives the test what it yields. Give it
    ``timeout_ms``, the time-out of the test's links, and the simulator's
    fault log expects what those links see::

        # conftest.py
        from kavrol.testing import simulator_fixture
        device = simulator_fixture()
        flaky_device = simulator_fixture(faults=["no-reply:0.3"], seed=3)
        quick_device = simulator_fixture(fault_log=True, timeout_ms=300)
    """
    if "timeout_ms" in options:
        options["client_timeout_ms"] = options.pop("timeout_ms")
    import pytest  # only the users' tests need it

    def fixture() -> Iterator[Union[str, tuple[str, FaultLog]]]:
        with Simulator(**options) as served:
            yield served

    return pytest.fixture(fixture, scope=scope)
