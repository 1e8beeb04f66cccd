"""Commands on .../cmd: a round trip with correlation data under MQTT v5,
the .../cmd/reply topic for a 3.1.1 client, and malformed commands, each
answered with an error naming what is wrong and never sent to the line."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from harness import Devsim, Gateway, Subscriber, cli_json, eventually, gateway_toml
from plant import base_config, line_dict, topic

# The command byte of every malformed command below, so that the
# simulator's log shows whether any of them reached the line.
MARK = 77
MALFORMED = [
    ("{", "not JSON"),
    ("[77]", "JSON object"),
    ('{"sub": 1}', "command: missing"),
    ('{"command": 300}', "command: must be an integer 0..255"),
    ('{"command": 77, "words": [1, 2, 3, 4, 5]}', "words: at most 4 words"),
    ('{"command": 77, "words": [70000]}', "words: 70000"),
    ('{"command": 77, "raw": "41"}', "raw: only commands 8 and 11"),
    ('{"command": 77, "colour": 1}', "colour: unknown key"),
    ('{"command": 77, "model": 99}', "model: must be an integer 0..24"),
    ('{"command": 77, "timeout_ms": "fast"}', "timeout_ms: must be an integer"),
    ('{"command": 8, "raw": "4G"}', "raw: "),
]


@pytest.fixture()
def plant(tmp_path: Path, broker):
    sim = Devsim(tmp_path, "L0").start()
    reference = Devsim(tmp_path, "reference").start()
    gw_cfg, broker_cfg = base_config(broker.port)
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, [line_dict("L0", str(sim.link), 50)])).start()
    yield sim, reference, gateway, broker
    gateway.stop()
    sim.stop()
    reference.stop()


def replies(sub: Subscriber, reply_topic: str) -> list[tuple[dict, bytes]]:
    out = []
    for m in sub.all():
        if m[1] == reply_topic:
            corr = getattr(m[3], "CorrelationData", None) if m[3] is not None else None
            out.append((json.loads(m[2]), corr))
    return out


def test_v5_round_trip_with_correlation_data(plant) -> None:
    sim, reference, gateway, broker = plant
    sub = Subscriber(broker.port, ["answers/#"])
    try:
        sub.publish(topic("L0", "direct", "cmd"), json.dumps({"command": 3, "sub": 2, "words": [0x1234]}),
                    response_topic="answers/me", correlation=b"\x00corr-1")
        got = eventually(lambda: replies(sub, "answers/me"), 20)
        assert got, gateway.log()
        reply, corr = got[0]
        assert corr == b"\x00corr-1"
        assert reply["sent"] is True and reply["status"] == 1 and reply["command"] == 3
        want = cli_json(str(reference.link), 2, 3, sub=2)
        for key in ("status", "status_name", "reply_code", "record", "record_from_caller_buffer"):
            assert reply[key] == want[key], key
    finally:
        sub.close()


def test_v311_reply_goes_to_the_reply_topic_with_the_id(plant) -> None:
    sim, reference, gateway, broker = plant
    sub = Subscriber(broker.port, [topic("L0", "routed", "cmd", "reply")], v5=False)
    try:
        sub.publish(topic("L0", "routed", "cmd"), json.dumps({"command": 6, "id": "job-9"}))
        got = eventually(lambda: sub.json_on(topic("L0", "routed", "cmd", "reply")), 20)
        assert got, gateway.log()
        assert got[0]["id"] == "job-9" and got[0]["status"] == 1 and got[0]["reply_code"] == 6
    finally:
        sub.close()


def test_malformed_commands_get_an_error_and_never_reach_the_line(plant) -> None:
    sim, reference, gateway, broker = plant
    sub = Subscriber(broker.port, ["answers/#"])
    try:
        for i, (payload, _) in enumerate(MALFORMED):
            sub.publish(topic("L0", "direct", "cmd"), payload, response_topic="answers/bad",
                        correlation=f"bad-{i}".encode())
        # An unknown device is refused as well.
        sub.publish(topic("L0", "nosuch", "cmd"), '{"command": 77}', response_topic="answers/bad",
                    correlation=b"bad-device")
        got = eventually(lambda: len(replies(sub, "answers/bad")) >= len(MALFORMED) + 1
                         and replies(sub, "answers/bad"), 20)
        assert got, gateway.log()
        by_corr = {corr: reply for reply, corr in got}
        for i, (_, why) in enumerate(MALFORMED):
            reply = by_corr[f"bad-{i}".encode()]
            assert reply["sent"] is False and why in reply["error"], (MALFORMED[i], reply)
            assert "status" not in reply
        assert "no such line and device" in by_corr[b"bad-device"]["error"]
        # A good command after them still runs, and is the only one with the mark that reaches the line.
        sub.publish(topic("L0", "direct", "cmd"), json.dumps({"command": MARK}), response_topic="answers/good")
        assert eventually(lambda: replies(sub, "answers/good"), 20)
        marked = [f for f in sim.received_frames() if f[1] == MARK]
        assert len(marked) == 1, marked
        assert not [f for f in sim.received_frames() if f[1] == 8]
    finally:
        sub.close()
