"""A broker that refuses MQTT 5: the gateway connects with 3.1.1, publishes
as before, and answers commands on .../cmd/reply."""

from __future__ import annotations

import json
from pathlib import Path

from harness import Devsim, Gateway, Subscriber, V5RefusingProxy, eventually, gateway_toml, retained, shut_down
from plant import base_config, line_dict, poll_topics, topic


def test_falls_back_to_3_1_1(tmp_path: Path, broker) -> None:
    proxy = V5RefusingProxy(broker.port)
    sim = Devsim(tmp_path, "L0").start()
    gw_cfg, broker_cfg = base_config(proxy.port)
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, [line_dict("L0", str(sim.link), 50)]))
    sub = Subscriber(broker.port, [topic("#")])
    try:
        gateway.start(wait_for="broker connected (MQTT 3.1.1)")
        assert proxy.refused == 1 and proxy.passed == 1
        assert "refused MQTT 5" in gateway.log()
        assert eventually(lambda: len(sub.on(poll_topics("L0")[0])) >= 3, 20)
        assert retained(broker.port, topic("status")) == b"online"
        # The response topic does not cross to a 3.1.1 client: the reply goes to .../cmd/reply.
        sub.publish(topic("L0", "direct", "cmd"), json.dumps({"command": 2, "id": 5}),
                    response_topic="answers/lost", correlation=b"x")
        got = eventually(lambda: sub.json_on(topic("L0", "direct", "cmd", "reply")), 20)
        assert got and got[0]["id"] == 5 and got[0]["status"] == 1
        assert not sub.on("answers/lost")
        assert gateway.stop()[0] == 0
        assert retained(broker.port, topic("status")) == b"offline"
    finally:
        shut_down(sub, gateway, [sim])
        proxy.close()
