"""SIGTERM in the middle of a poll: the gateway lets the line finish its
transaction and publishes its reply, leaves "offline" retained, and exits 0
within 2 s."""

from __future__ import annotations

import json
import signal
import time
from pathlib import Path

import pytest

from harness import Devsim, Gateway, Subscriber, eventually, gateway_toml, retained
from plant import base_config, line_dict, poll_topics, topic

REPLY_DELAY_MS = 400
# The gateway's budget is 2 s; the rest is this process seeing it exit.
BOUND_S = 2.5


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_stop_mid_poll(tmp_path: Path, broker, sig: int) -> None:
    slow = Devsim(tmp_path, "L0", ("--fault", f"delay:1:{REPLY_DELAY_MS}")).start()
    quick = Devsim(tmp_path, "L1").start()
    sub = Subscriber(broker.port, [topic("#")])
    gw_cfg, broker_cfg = base_config(broker.port)
    lines = [line_dict("L0", str(slow.link), 10), line_dict("L1", str(quick.link), 10)]
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, lines)).start()
    try:
        published = lambda line: [json.loads(p) for t in poll_topics(line) for p in sub.on(t)]
        assert eventually(lambda: len(published("L0")) >= 2, 20)
        # Into the middle of the next slow transaction.
        time.sleep(REPLY_DELAY_MS / 2000)
        code, seconds = gateway.stop(sig)
        assert code == 0, gateway.log()
        assert seconds < BOUND_S, seconds
        assert retained(broker.port, topic("status")) == b"offline"
        # Every command the simulators read was answered and its reply published.
        for sim, line in ((slow, "L0"), (quick, "L1")):
            read = len(sim.faults())
            assert eventually(lambda: len(published(line)) == read, 5), (line, read, len(published(line)))
            assert all(p["status"] == 1 for p in published(line))
        assert "stopped" in gateway.log()
    finally:
        sub.close()
        slow.stop()
        quick.stop()
