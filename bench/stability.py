#!/usr/bin/env python3
"""Runs the peers benchmark in many fresh processes and reports how its
instant-peer figure is spread over them.

A wait strategy that learns from earlier waits can settle in a different
state in each process; one process shows one state only. This starts
kavrol_bench_peers PROCESSES times for the instant peer (Kavrol32, Kavrol32
with spinning waits, libmodbus), takes each process's median, and reports
min / median / max of those medians. One more process measures the client
CPU at the 5 ms answer, the 1 ms/byte trickle and the silent peer.

Writes the section as Markdown to --section, and, with --doc, puts it into
that file between the stability markers (appended when they are missing).
Exit status 1 when a goal is not met.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

BEGIN = "<!-- stability:begin -->"
END = "<!-- stability:end -->"

CLIENTS = [("kavrol", "Kavrol32"), ("kavrol_spinning", "Kavrol32, spinning waits"), ("libmodbus", "libmodbus")]


def run_bench(binary, bench_filter, reps, min_time, out):
    cmd = [binary, f"--benchmark_filter={bench_filter}", f"--benchmark_repetitions={reps}",
           "--benchmark_report_aggregates_only=true", f"--benchmark_min_time={min_time}",
           "--benchmark_enable_random_interleaving=true", "--benchmark_out_format=json", f"--benchmark_out={out}"]
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(out) as fh:
        data = json.load(fh)
    medians = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        # peers/<client>/<arg>/real_time_median (iterations fixed: .../iterations:3/...)
        parts = b["run_name"].split("/")
        medians[(parts[1], int(parts[2]))] = (b["real_time"], b["cpu_time"], b["time_unit"])
    return cmd, medians


def micro(value, unit):
    return value * {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[unit]


def fmt(x, digits=1):
    return f"{x:,.{digits}f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench", required=True, help="kavrol_bench_peers")
    ap.add_argument("--results", required=True, help="directory for the JSON of every process")
    ap.add_argument("--processes", type=int, default=20)
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--min-time", default="0.1")
    # The CPU goals' peers answer in milliseconds: a longer run per repetition
    # gives each median enough transactions (about 40 at a 1 ms/byte trickle).
    ap.add_argument("--cpu-min-time", default="1.0")
    ap.add_argument("--cpu-repetitions", type=int, default=5)
    ap.add_argument("--section", required=True, help="Markdown section to write")
    ap.add_argument("--doc", help="document to put the section into, between the stability markers")
    a = ap.parse_args()
    os.makedirs(a.results, exist_ok=True)

    instant = {name: [] for name, _ in CLIENTS}
    instant_cpu = {name: [] for name, _ in CLIENTS}
    instant_filter = "peers/(" + "|".join(n for n, _ in CLIENTS) + ")/0/"
    cmd = None
    for i in range(a.processes):
        cmd, med = run_bench(a.bench, instant_filter, a.repetitions, a.min_time,
                             os.path.join(a.results, f"instant-{i:02d}.json"))
        for name, _ in CLIENTS:
            wall, cpu, unit = med[(name, 0)]
            instant[name].append(micro(wall, unit))
            instant_cpu[name].append(micro(cpu, unit))
        print(f"process {i + 1:2d}: " + ", ".join(f"{n} {instant[n][-1]:.1f} us" for n, _ in CLIENTS), flush=True)

    cpu_filter = "peers/(kavrol|libmodbus)/[123]/"
    cpu_cmd, cpu_med = run_bench(a.bench, cpu_filter, a.cpu_repetitions, a.cpu_min_time,
                                 os.path.join(a.results, "cpu.json"))

    spin_median = statistics.median(instant["kavrol_spinning"])
    modbus_median = statistics.median(instant["libmodbus"])
    worst = max(instant["kavrol"])

    def cpu(name, arg):
        _, c, unit = cpu_med[(name, arg)]
        return micro(c, unit)

    goals = [
        ("worst Kavrol32 median / median of the spinning medians", worst / spin_median, 1.15, ""),
        ("worst Kavrol32 median / median of the libmodbus medians", worst / modbus_median, 1.0, ""),
        ("client CPU at a 5 ms answer, Kavrol32 / libmodbus", cpu("kavrol", 1) / cpu("libmodbus", 1), 2.0, ""),
        ("client CPU at 1 ms per byte, Kavrol32 / libmodbus", cpu("kavrol", 2) / cpu("libmodbus", 2), 2.0, ""),
        ("client CPU of a silent 1 s wait, Kavrol32, ms", cpu("kavrol", 3) / 1000.0, 20.0, " ms"),
    ]
    met = all(value <= bound for _, value, bound, _ in goals)

    lines = [
        BEGIN,
        "## Instant peer over fresh processes",
        "",
        f"`kavrol_bench_peers` started in {a.processes} fresh processes for the instant peer, "
        f"{a.repetitions} repetitions each; each process gives its median, and the table shows how those "
        "medians spread. A wait that learns from earlier waits can settle differently in each process, "
        "so one process is not enough to show it is fast. Generated by `scripts/bench-stability`.",
        "",
        "| client | min of medians µs | median of medians µs | max of medians µs | median client CPU µs |",
        "|---|---|---|---|---|",
    ]
    for name, label in CLIENTS:
        v = instant[name]
        lines.append(f"| {label} | {fmt(min(v))} | {fmt(statistics.median(v))} | {fmt(max(v))} | "
                     f"{fmt(statistics.median(instant_cpu[name]))} |")
    lines += ["", "| goal | value | bound | |", "|---|---|---|---|"]
    for goal, value, bound, unit in goals:
        lines.append(f"| {goal} | {fmt(value, 2)}{unit} | ≤ {fmt(bound, 2)}{unit} | "
                     f"{'met' if value <= bound else '**not met**'} |")
    lines += ["", "Every process's medians, in µs (Kavrol32 / spinning / libmodbus): " +
              "; ".join(f"{k:.0f}/{s:.0f}/{m:.0f}" for k, s, m in
                        zip(instant["kavrol"], instant["kavrol_spinning"], instant["libmodbus"])) + ".",
              "", f"Load average (1, 5, 15 min) after: {open('/proc/loadavg').read().split()[0:3]}.",
              "", "```", f"# {a.processes} times:", " ".join(cmd[:-1]), "# once, for the CPU goals:",
              " ".join(cpu_cmd[:-1]), "```", END]
    section = "\n".join(lines) + "\n"
    with open(a.section, "w") as fh:
        fh.write(section)
    print(section)

    if a.doc:
        text = open(a.doc).read() if os.path.exists(a.doc) else ""
        if BEGIN in text and END in text:
            head, rest = text.split(BEGIN, 1)
            text = head + section.rstrip("\n") + rest.split(END, 1)[1]
        else:
            text = text.rstrip("\n") + "\n\n" + section
        with open(a.doc, "w") as fh:
            fh.write(text)
        print(f"wrote the section into {a.doc}")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
