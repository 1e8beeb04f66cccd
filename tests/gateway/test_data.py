"""4 lines x 2 devices, about 2,000 transactions: every reply reaches a
subscriber, and each payload's fields equal kavrol query --json's decoding
of the same reply."""

from __future__ import annotations

import json
from pathlib import Path

from harness import Devsim, Gateway, Subscriber, cli_json, eventually, gateway_toml, retained, shut_down
from plant import DEVICES, ROUTE, base_config, line_dict, poll_topics, topic

LINES = 4
TOTAL = 2000
COMPARED = ("status", "status_name", "reply_code", "record", "record_from_caller_buffer")


def test_every_reply_arrives_decoded_as_the_cli_decodes_it(tmp_path: Path, broker) -> None:
    sims = [Devsim(tmp_path, f"L{i}").start() for i in range(LINES)]
    reference = Devsim(tmp_path, "reference").start()
    sub = Subscriber(broker.port, [topic("#")])
    gw_cfg, broker_cfg = base_config(broker.port)
    lines = [line_dict(f"L{i}", str(sims[i].link), 8, timeout_ms=1000) for i in range(LINES)]
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, lines)).start()
    try:
        all_topics = [t for i in range(LINES) for t in poll_topics(f"L{i}")]
        assert eventually(lambda: sum(len(sub.on(t)) for t in all_topics) >= TOTAL, 60), gateway.log()
        code, _ = gateway.stop()
        assert code == 0, gateway.log()
        final = {}
        for i in range(LINES):
            state = retained(broker.port, topic(f"L{i}", "state"))
            assert state is not None
            final[i] = json.loads(state)
            assert final[i]["state"] == "open" and final[i]["dropped"] == 0
        for i in range(LINES):
            got = lambda: sum(len(sub.on(t)) for t in poll_topics(f"L{i}")) >= final[i]["transactions"]
            assert eventually(got, 10), f"line L{i}: fewer replies than the gateway made"

        for i in range(LINES):
            seqs = []
            for d, t in enumerate(poll_topics(f"L{i}")):
                model, command = DEVICES[i][d]
                want = cli_json(str(reference.link), model, command, route=ROUTE if d == 1 else ())
                assert want["status"] == 1, want
                for payload in sub.json_on(t):
                    seqs.append(payload["seq"])
                    for key in COMPARED:
                        assert payload[key] == want[key], (t, key, payload, want)
                    assert set(payload["record"]) == set(want["record"])
                    assert payload["time"].endswith("Z") and payload["rtt_ms"] >= 0
            # Every reply once and in full: the line's sequence numbers 1..n without a gap.
            assert sorted(set(seqs)) == list(range(1, final[i]["transactions"] + 1)), f"line L{i}"
        assert sum(f["transactions"] for f in final.values()) >= TOTAL
        assert retained(broker.port, topic("status")) == b"offline"
    finally:
        shut_down(sub, gateway, sims + [reference])


def test_at_qos_0_publishing_never_waits_for_an_acknowledgement(tmp_path: Path, broker) -> None:
    # More than the client's window of unacknowledged messages (512): at QoS 0
    # none is ever acknowledged, so none may be held back waiting for it.
    sims = [Devsim(tmp_path, f"L{i}").start() for i in range(2)]
    sub = Subscriber(broker.port, [topic("#")])
    gw_cfg, broker_cfg = base_config(broker.port)
    lines = [line_dict(f"L{i}", str(sims[i].link), 8) for i in range(2)]
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, {**broker_cfg, "qos": 0}, lines)).start()
    try:
        all_topics = [t for i in range(2) for t in poll_topics(f"L{i}")]
        assert eventually(lambda: sum(len(sub.on(t)) for t in all_topics) >= 1200, 90), gateway.log()
        code, _ = gateway.stop()
        assert code == 0, gateway.log()
        assert "did not take" not in gateway.log()
    finally:
        shut_down(sub, gateway, sims)
