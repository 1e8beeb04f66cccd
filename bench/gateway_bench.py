"""Benchmark of kavrol-gateway against a real mosquitto on this host.

1. Throughput: 16 lines with instantly answering simulators, polled back to
   back, for --seconds; the gateway's transactions per second against the
   same 16 links driven in one process without MQTT (kavrol query with 16
   ports, one thread each, output to /dev/null).
2. Latency from the simulator's last reply byte (its fault log's sent_us,
   CLOCK_MONOTONIC) to a paho subscriber's receipt (the same clock):
   p50, p99, max, at 16 lines x 2 polls every 20 ms.
3. Gateway CPU (user + system) per published message, in both runs.
4. RSS over --rss-seconds at 16 lines x 2 polls every 10 ms, sampled
   every 10 s after a 30 s warm-up.

Prints a Markdown section. Uses the gateway tests' harness.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "gateway"))

from harness import CLI, Broker, Devsim, Gateway, Subscriber, gateway_toml  # noqa: E402

LINES = 16
NOTES = """\
Both throughput runs share the host's cores with the 16 simulators; the
gateway's run also with mosquitto and a QoS 1 consumer (`mosquitto_sub`),
whose share per message the broker row shows. On a host with fewer cores
than busy processes the ratio measures that sharing as much as the
gateway's own cost: every microsecond the broker, the consumer and the
gateway's publishing take is one the simulators do not get. The latency
is from the simulator's last reply byte to the subscriber's receipt, so it
holds the line's read, the decoding, the JSON, the broker's hop and paho's.
"""
TICK = os.sysconf("SC_CLK_TCK")


def config(port: int, sims: list[Devsim], interval_ms: int) -> str:
    lines = [{"name": f"L{i}", "port": str(s.link), "timeout_ms": 1000,
              "devices": [{"name": "d", "model": 2,
                           "polls": [{"name": "a", "command": 1, "interval_ms": interval_ms},
                                     {"name": "b", "command": 3, "interval_ms": interval_ms}]}]}
             for i, s in enumerate(sims)]
    return gateway_toml({"id": "bench", "prefix": "bench", "metrics": "127.0.0.1:0"},
                        {"host": "127.0.0.1", "port": port}, lines)


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def transactions(url: str) -> int:
    text = urllib.request.urlopen(url, timeout=10).read().decode()
    return sum(int(float(line.rsplit(" ", 1)[1])) for line in text.splitlines()
               if line.startswith("kavrol_gateway_transactions_total{"))


def metrics_url(gateway: Gateway) -> str:
    for line in gateway.log().splitlines():
        if "metrics on " in line:
            return line.split("metrics on ", 1)[1].strip()
    raise RuntimeError("no metrics address in the log")


def start_sims(work: Path, tag: str, fault_log: bool) -> list[Devsim]:
    sims = []
    for i in range(LINES):
        s = Devsim(work, f"{tag}{i}", ("--quiet",))
        if not fault_log:
            k = s.args.index("--fault-log")
            del s.args[k:k + 2]
        sims.append(s.start())
    return sims


def baseline(sims: list[Devsim], repeat: int) -> float:
    args = [CLI, "query", "--model", "2", "--command", "1", "--repeat", str(repeat), "--interval", "0"]
    for s in sims:
        args += ["--port", str(s.link)]
    start = time.monotonic()
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=600)
    return LINES * repeat / (time.monotonic() - start)


def throughput(work: Path, broker: Broker, seconds: float) -> dict[str, float]:
    sims = start_sims(work, "t", fault_log=False)
    try:
        base = baseline(sims, 2000)
        consumer = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-q", "1", "-t", "bench/#"],
                                    stdout=subprocess.DEVNULL)
        gateway = Gateway(work, config(broker.port, sims, 0), "gw-throughput").start()
        url = metrics_url(gateway)
        time.sleep(2)  # warm-up
        n0, c0, t0 = transactions(url), cpu_seconds(gateway.process.pid), time.monotonic()
        b0 = cpu_seconds(broker.process.pid)
        time.sleep(seconds)
        n1, c1, t1 = transactions(url), cpu_seconds(gateway.process.pid), time.monotonic()
        b1 = cpu_seconds(broker.process.pid)
        gateway.stop()
        consumer.terminate()
        consumer.wait()
        rate = (n1 - n0) / (t1 - t0)
        return {"baseline": base, "gateway": rate, "ratio": rate / base, "cpu_us": (c1 - c0) / (n1 - n0) * 1e6,
                "broker_us": (b1 - b0) / (n1 - n0) * 1e6}
    finally:
        for s in sims:
            s.stop()


def latency(work: Path, broker: Broker, seconds: float) -> dict[str, float]:
    sims = start_sims(work, "l", fault_log=True)
    sub = Subscriber(broker.port, ["bench/#"])
    try:
        gateway = Gateway(work, config(broker.port, sims, 20), "gw-latency").start()
        c0 = cpu_seconds(gateway.process.pid)
        time.sleep(seconds)
        c1 = cpu_seconds(gateway.process.pid)
        gateway.stop()
        time.sleep(1)
        received = {}
        for t, topic, payload, _, _ in sub.all():
            parts = topic.split("/")
            if len(parts) == 5 and parts[3] == "d":
                received[(parts[2], json.loads(payload)["seq"])] = t
        samples = []
        for i, s in enumerate(sims):
            for e in s.faults():
                at = received.get((f"L{i}", e["seq"]))
                if at is not None and e["sent_us"] is not None:
                    samples.append(at * 1e6 - e["sent_us"])
        samples.sort()
        return {"n": len(samples), "p50": samples[len(samples) // 2] / 1000,
                "p99": samples[int(len(samples) * 0.99)] / 1000, "max": samples[-1] / 1000,
                "cpu_us": (c1 - c0) / len(samples) * 1e6}
    finally:
        sub.close()
        for s in sims:
            s.stop()


def rss(work: Path, broker: Broker, seconds: float) -> dict[str, float]:
    sims = start_sims(work, "r", fault_log=False)
    consumer = subprocess.Popen(["mosquitto_sub", "-p", str(broker.port), "-q", "1", "-t", "bench/#"],
                                stdout=subprocess.DEVNULL)
    try:
        gateway = Gateway(work, config(broker.port, sims, 10), "gw-rss").start()
        url = metrics_url(gateway)
        time.sleep(min(30.0, seconds / 4))
        samples = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            samples.append(rss_kib(gateway.process.pid))
            time.sleep(10)
        samples.append(rss_kib(gateway.process.pid))
        n = transactions(url)
        gateway.stop()
        return {"first": samples[0], "last": samples[-1], "max": max(samples), "growth": samples[-1] - samples[0],
                "seconds": seconds, "transactions": n}
    finally:
        consumer.terminate()
        consumer.wait()
        for s in sims:
            s.stop()


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--latency-seconds", type=float, default=20.0)
    ap.add_argument("--rss-seconds", type=float, default=600.0)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="kavrol-gw-bench-") as d:
        work = Path(d)
        broker = Broker(work).start()
        try:
            tp = throughput(work, broker, a.seconds)
            lat = latency(work, broker, a.latency_seconds)
            mem = rss(work, broker, a.rss_seconds)
        finally:
            broker.stop()
    ok_tp = tp["ratio"] >= 0.9
    ok_rss = mem["growth"] < 1024
    print("## Gateway: 16 lines on a broker\n")
    print(f"`scripts/bench-gateway` (mosquitto on this host, {LINES} kavrol-devsim lines answering at once, "
          f"load average {' '.join(Path('/proc/loadavg').read_text().split()[:3])} at the end).\n")
    print("| figure | value | goal |")
    print("|---|---|---|")
    print(f"| in-process, 16 links (kavrol query, 16 threads) | {tp['baseline']:.0f} transactions/s | |")
    print(f"| gateway, 16 lines, back to back, published at QoS 1 | {tp['gateway']:.0f} transactions/s | |")
    print(f"| gateway / in-process | {tp['ratio'] * 100:.0f} % | >= 90 % {'(met)' if ok_tp else '(not met)'} |")
    print(f"| gateway CPU per published message, back to back | {tp['cpu_us']:.1f} µs | |")
    print(f"| broker (mosquitto) CPU per message, back to back | {tp['broker_us']:.1f} µs | |")
    print(f"| reply to subscriber, p50 / p99 / max ({lat['n']} replies, 16 lines x 2 polls / 20 ms) | "
          f"{lat['p50']:.2f} / {lat['p99']:.2f} / {lat['max']:.2f} ms | |")
    print(f"| gateway CPU per published message, at that rate | {lat['cpu_us']:.1f} µs | |")
    print(f"| RSS over {mem['seconds'] / 60:.0f} min ({mem['transactions']} transactions): first / last / max | "
          f"{mem['first']} / {mem['last']} / {mem['max']} KiB | |")
    print(f"| RSS growth | {mem['growth']} KiB | < 1 MB {'(met)' if ok_rss else '(not met)'} |")
    print()
    print(NOTES)
    return 0 if ok_tp and ok_rss else 1


if __name__ == "__main__":
    sys.exit(main())
