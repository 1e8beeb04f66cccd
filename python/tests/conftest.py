# The tests run the real library and simulator: $KAVROL_LIBRARY and
# $KAVROL_DEVSIM (set by CTest), else the ones of the default build tree.
import os
from pathlib import Path

import pytest

from kavrol.testing import simulator_fixture

_BUILD = Path(__file__).resolve().parents[2] / "build"
os.environ.setdefault("KAVROL_LIBRARY", str(_BUILD / "src" / "libkavrol32.so"))
os.environ.setdefault("KAVROL_DEVSIM", str(_BUILD / "tools" / "devsim" / "kavrol-devsim"))

# The fixtures a user's conftest.py would declare.
device = simulator_fixture()
logged_device = simulator_fixture(fault_log=True)


@pytest.fixture
def pty_pair():
    """A raw pseudo-terminal: (the end a link binds, the peer's end)."""
    import tty

    peer, port = os.openpty()
    tty.setraw(port)
    tty.setraw(peer)
    yield port, peer
    for fd in (port, peer):
        try:
            os.close(fd)
        except OSError:
            pass
