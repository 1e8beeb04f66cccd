"""http://<listen>/metrics: transactions by line, device, poll and status,
the round-trip histogram, queue depth and drops, the broker connection."""

from __future__ import annotations

import re
import urllib.request
from pathlib import Path

from harness import Devsim, Gateway, Subscriber, eventually, gateway_toml, shut_down
from plant import base_config, line_dict, poll_topics, topic


def scrape(url: str) -> dict[str, float]:
    text = urllib.request.urlopen(url, timeout=10).read().decode()
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
    return values


def test_metrics(tmp_path: Path, broker) -> None:
    sims = [Devsim(tmp_path, "L0").start(), Devsim(tmp_path, "L1").start()]
    gw_cfg, broker_cfg = base_config(broker.port)
    gw_cfg["metrics"] = "127.0.0.1:0"
    # L0 polls once at the start and then not for a day; L1 keeps polling into a queue of 5.
    lines = [line_dict("L0", str(sims[0].link), 86400000), line_dict("L1", str(sims[1].link), 10, queue_limit=5)]
    sub = Subscriber(broker.port, [topic("#")])
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, lines)).start()
    try:
        url = re.search(r"metrics on (http://\S+)", gateway.log()).group(1)
        assert eventually(lambda: all(sub.on(t) for t in poll_topics("L0")), 20)
        m = scrape(url)
        for device in ("direct", "routed"):
            assert m[f'kavrol_gateway_transactions_total{{line="L0",device="{device}",poll="p",status="ok"}}'] == 1
        assert m['kavrol_gateway_round_trip_seconds_count{line="L0"}'] == 2
        assert m['kavrol_gateway_round_trip_seconds_bucket{line="L0",le="+Inf"}'] == 2
        assert m['kavrol_gateway_round_trip_seconds_bucket{line="L0",le="5"}'] == 2
        assert m["kavrol_gateway_broker_connected"] == 1
        assert m['kavrol_gateway_dropped_messages_total{line="L1"}'] == 0

        broker.stop()
        assert eventually(lambda: scrape(url)["kavrol_gateway_broker_connected"] == 0, 20)
        assert eventually(lambda: scrape(url)['kavrol_gateway_dropped_messages_total{line="L1"}'] > 0, 20)
        m = scrape(url)
        assert m['kavrol_gateway_queue_depth{line="L1"}'] == 5
        assert m['kavrol_gateway_queue_depth{line="L0"}'] == 0
        assert m['kavrol_gateway_line_lost_total{line="L1"}'] == 0
    finally:
        shut_down(sub, gateway, sims)
