"""Fixtures of the gateway tests: a fresh broker for each test."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from harness import Broker  # noqa: E402


@pytest.fixture()
def broker(tmp_path: Path):
    b = Broker(tmp_path).start()
    yield b
    b.stop()
