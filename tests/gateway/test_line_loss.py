"""A simulator is killed and restarted on the same link path: the line's
retained state goes lost, then reopened, and its polling resumes; the other
lines never stop."""

from __future__ import annotations

import json
import time
from pathlib import Path

from harness import Devsim, Gateway, Subscriber, eventually, gateway_toml, retained, shut_down
from plant import base_config, line_dict, poll_topics, topic

DOWN_S = 1.5


def test_lost_line_is_reopened_and_the_others_go_on(tmp_path: Path, broker) -> None:
    sims = [Devsim(tmp_path, f"L{i}").start() for i in range(4)]
    sub = Subscriber(broker.port, [topic("#")])
    gw_cfg, broker_cfg = base_config(broker.port)
    lines = [line_dict(f"L{i}", str(s.link), 20) for i, s in enumerate(sims)]
    gateway = Gateway(tmp_path, gateway_toml(gw_cfg, broker_cfg, lines)).start()
    states = lambda: [json.loads(p)["state"] for p in sub.on(topic("L1", "state"))]
    arrivals = lambda line: [m[0] for m in sub.all() if m[1] in poll_topics(line)]
    try:
        assert eventually(lambda: len(arrivals("L1")) >= 20, 20)
        sims[1].stop()
        assert eventually(lambda: "lost" in states(), 20), gateway.log()
        lost_at = time.monotonic()
        time.sleep(DOWN_S)
        others_during = {name: len(arrivals(name)) for name in ("L0", "L2", "L3")}
        l1_during = len(arrivals("L1"))
        frames_before = len(sims[1].received_frames())
        sims[1].start()
        assert eventually(lambda: "reopened" in states(), 20), gateway.log()
        assert states()[states().index("lost") + 1] == "reopened"
        assert eventually(lambda: len(arrivals("L1")) >= l1_during + 20, 20), "polling did not resume"

        final = json.loads(retained(broker.port, topic("L1", "state")))
        assert final["state"] == "reopened" and final["lost"] == 1 and final["reopened"] == 1
        # The other lines polled all the while the line was down.
        for line in ("L0", "L2", "L3"):
            during = [t for t in arrivals(line) if lost_at <= t <= lost_at + DOWN_S]
            assert len(during) >= 10, (line, len(during))
            assert others_during[line] < len(arrivals(line))
            assert {json.loads(p)["state"] for p in sub.on(topic(line, "state"))} == {"open"}
        # The restarted simulator got the line's polls again.
        assert len(sims[1].received_frames()) > frames_before
    finally:
        shut_down(sub, gateway, sims)
