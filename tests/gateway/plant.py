"""The test plant: lines of two simulated devices each, one polled
directly and one through the multiplexer on route 1,5."""

from __future__ import annotations

from typing import Any

# Per line: (model, command) of the direct device, then of the routed one.
DEVICES = [
    ((2, 1), (23, 6)),
    ((5, 2), (18, 3)),
    ((0, 4), (10, 3)),
    ((12, 5), (24, 1)),
]
ROUTE = (1, 5)
PREFIX = "plant"
GATEWAY_ID = "g1"


def device_dicts(line: int, interval_ms: int) -> list[dict[str, Any]]:
    (m1, c1), (m2, c2) = DEVICES[line % len(DEVICES)]
    return [
        {"name": "direct", "model": m1, "polls": [{"name": "p", "command": c1, "interval_ms": interval_ms}]},
        {"name": "routed", "model": m2, "route": list(ROUTE),
         "polls": [{"name": "p", "command": c2, "interval_ms": interval_ms}]},
    ]


def line_dict(name: str, port: str, interval_ms: int, **extra: Any) -> dict[str, Any]:
    return {"name": name, "port": port, **extra, "devices": device_dicts(int(name[1:]), interval_ms)}


def topic(*levels: str) -> str:
    return "/".join((PREFIX, GATEWAY_ID) + levels)


def poll_topics(line: str) -> list[str]:
    return [topic(line, "direct", "p"), topic(line, "routed", "p")]


def base_config(broker_port: int) -> tuple[dict[str, Any], dict[str, Any]]:
    return {"id": GATEWAY_ID, "prefix": PREFIX}, {"host": "127.0.0.1", "port": broker_port}
