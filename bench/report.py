#!/usr/bin/env python3
"""Turns the benchmark results into docs/performance.md and the scaling plot.

Inputs (all written by scripts/bench into one directory):
  decode.json, roundtrip.json, modbus.json, peers.json   Google Benchmark JSON output
  callgrind.tsv                              model, reply code, step, Ir per reply
  machine.txt                                key: value lines about the machine
  commands.txt                               the commands that produced them
"""
import argparse
import json
import os
import subprocess


def load_runs(path):
    """name -> median entry (repetitions aggregated) or the single run."""
    with open(path) as fh:
        data = json.load(fh)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        if b.get("error_occurred"):
            runs[b["run_name"]] = {"error": b.get("error_message", "error")}
            continue
        runs[b["run_name"]] = b
    return runs


def ns(entry, key="cpu_time"):
    unit = entry.get("time_unit", "ns")
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]
    return entry[key] * scale


def read_kv(path):
    out = {}
    if os.path.exists(path):
        with open(path) as fh:
            for line in fh:
                if ":" in line:
                    k, v = line.split(":", 1)
                    out[k.strip()] = v.strip()
    return out


def read_callgrind(path):
    ir = {}
    if os.path.exists(path):
        with open(path) as fh:
            for line in fh:
                model, code, step, value = line.split()
                ir[(int(model), int(code), step)] = float(value)
    return ir


def fmt(x, digits=1):
    return f"{x:,.{digits}f}"


def decode_section(runs, ir):
    cases = {}
    for name, entry in runs.items():
        parts = name.split("/")  # decode/m<model>/c<code>/h<h3>/<step>
        if parts[0] != "decode" or "error" in entry:
            continue
        key = (int(parts[1][1:]), int(parts[2][1:]), int(parts[3][1:]))
        cases.setdefault(key, {})[parts[4]] = entry
    rows = []
    worst = 0.0
    worst_only = 0.0
    worst_ir = 0.0
    for (model, code, h3), steps in sorted(cases.items()):
        if not {"copy", "transport", "MuxReceiveComm"} <= steps.keys():
            continue
        copy, transport, full = (ns(steps[s]) for s in ("copy", "transport", "MuxReceiveComm"))
        e = steps["MuxReceiveComm"]
        ratio = full / copy
        worst = max(worst, ratio)
        worst_only = max(worst_only, (full - transport) / copy)
        ir_copy = ir.get((model, code, "copy"))
        ir_transport = ir.get((model, code, "transport"))
        ir_full = ir.get((model, code, "decode"))
        ir_cells = ["–"] * 4
        if ir_copy and ir_transport and ir_full:
            worst_ir = max(worst_ir, ir_full / ir_copy)
            ir_cells = [fmt(ir_copy, 0), fmt(ir_transport, 0), fmt(ir_full, 0), fmt(ir_full / ir_copy)]
        rows.append(
            f"| {e.get('label', '').replace('group ', '')} | {model} | {code}{' (r[3]≠0)' if h3 else ''} | "
            f"{int(e['written'])} | {fmt(copy)} | {fmt(transport)} | {fmt(full)} | {fmt(full - transport)} | "
            f"{fmt(ratio)} | {e['bytes_per_second'] / 1e6:,.0f} | " + " | ".join(ir_cells) + " |")
    head = [
        "| group | model | reply code | positions written | copy ns | transport ns | MuxReceiveComm ns | "
        "decode only ns | ratio to copy | MB/s | copy Ir | transport Ir | MuxReceiveComm Ir | Ir ratio |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    return head + rows, (worst, worst_only), worst_ir


def round_trip_rows(rt, mb):
    sizes = sorted({int(n.split("/")[2]) for n in list(rt) + list(mb) if n.startswith("roundtrip/")})
    table = []
    for size in sizes:
        def get(runs, lib):
            e = runs.get(f"roundtrip/{lib}/{size}/real_time")
            return None if e is None or "error" in e else e
        table.append((size, get(rt, "raw"), get(rt, "raw_spin"), get(rt, "kavrol"),
                      get(mb, "libmodbus_server"), get(mb, "libmodbus_echo")))
    return table


def us(e, key="real_time"):
    return ns(e, key) / 1e3 if e else float("nan")


def tps(e):
    return e["items_per_second"] if e else float("nan")


def write_plot(table, out_png, workdir):
    dat = os.path.join(workdir, "scaling.dat")
    with open(dat, "w") as fh:
        fh.write("# reply_bytes raw_us raw_spin_us kavrol_us libmodbus_server_us libmodbus_echo_us\n")
        for size, raw, spin, kav, srv, echo in table:
            fh.write(f"{size} {us(raw):.2f} {us(spin):.2f} {us(kav):.2f} {us(srv):.2f} {us(echo):.2f}\n")
    script = f"""
set terminal pngcairo size 900,640 font 'sans,11'
set output '{out_png}'
set title 'Round trip over a raw pty pair: 8-byte request, reply of N bytes (median)'
set xlabel 'reply bytes on the line (both libraries)'
set ylabel 'µs per transaction'
set key below
set xrange [0:260]
set grid
set yrange [0:*]
plot '{dat}' using 1:2 with linespoints lw 2 title 'floor: write + blocking read', \\
     '' using 1:3 with linespoints lw 2 title 'floor: write + spin on FIONREAD + read', \\
     '' using 1:4 with linespoints lw 3 title 'Kavrol32 MuxSendComm + MuxReceiveComm', \\
     '' using 1:5 with linespoints lw 2 title 'libmodbus client + libmodbus server', \\
     '' using 1:6 with linespoints lw 2 title 'libmodbus client + echo peer'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


PEER_BEHAVIOURS = [
    (0, "instant", "answers at once"),
    (1, "after 5 ms", "answers 5 ms after the request"),
    (2, "1 ms per byte", "sends the reply one byte at a time, 1 ms apart (about a 9600-baud line)"),
    (3, "silent, 1 s time-out", "never answers; every client gives up after 1 s"),
]
PEER_CLIENTS = [("raw", "raw floor"), ("kavrol", "Kavrol32"), ("kavrol_spinning", "Kavrol32, spinning waits"),
                ("libmodbus", "libmodbus")]


def peer_entry(runs, client, arg):
    suffix = "/iterations:3/real_time" if arg == 3 else "/real_time"
    return runs.get(f"peers/{client}/{arg}{suffix}")


def peers_section(runs):
    """Rows of the peer-behaviour table and of the goals it decides."""
    rows = ["| peer | client | wall per transaction ms | client CPU per transaction µs | transactions/s |",
            "|---|---|---|---|---|"]
    for arg, name, _ in PEER_BEHAVIOURS:
        for client, label in PEER_CLIENTS:
            e = peer_entry(runs, client, arg)
            rows.append(f"| {name} | {label} | {fmt(us(e) / 1000, 3)} | {fmt(us(e, 'cpu_time'))} | {fmt(tps(e), 0)} |")

    def cpu(client, arg):
        return us(peer_entry(runs, client, arg), "cpu_time")

    def wall(client, arg):
        return us(peer_entry(runs, client, arg))

    goals = [
        ("instant peer: Kavrol32 wall time no more than 1.10× its spinning waits",
         wall("kavrol", 0) / wall("kavrol_spinning", 0), lambda x: x <= 1.10, "×"),
        ("instant peer: at least as many transactions/s as libmodbus",
         tps(peer_entry(runs, "kavrol", 0)) / tps(peer_entry(runs, "libmodbus", 0)), lambda x: x >= 1, "× libmodbus"),
        ("peer answers after 5 ms: Kavrol32 client CPU ≤ 2× libmodbus's",
         cpu("kavrol", 1) / cpu("libmodbus", 1), lambda x: x <= 2, "× libmodbus"),
        ("bytes 1 ms apart: Kavrol32 client CPU ≤ 2× libmodbus's",
         cpu("kavrol", 2) / cpu("libmodbus", 2), lambda x: x <= 2, "× libmodbus"),
        ("silent device, 1 s time-out: CPU during the whole wait ≤ 20 ms",
         cpu("kavrol", 3) / 1000, lambda x: x <= 20, " ms"),
    ]
    return rows, goals


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--plot", required=True)
    ap.add_argument("--notes", help="hand-written analysis appended as the last section")
    ap.add_argument("--stability", help="the section scripts/bench-stability wrote, put before the commands")
    a = ap.parse_args()
    r = a.results
    dec = load_runs(os.path.join(r, "decode.json"))
    rt = load_runs(os.path.join(r, "roundtrip.json"))
    mb = load_runs(os.path.join(r, "modbus.json"))
    peers = load_runs(os.path.join(r, "peers.json"))
    ir = read_callgrind(os.path.join(r, "callgrind.tsv"))
    machine = read_kv(os.path.join(r, "machine.txt"))
    with open(os.path.join(r, "commands.txt")) as fh:
        commands = fh.read().strip()

    decode_rows, (worst_ratio, worst_only), worst_ir = decode_section(dec, ir)
    table = round_trip_rows(rt, mb)
    write_plot(table, a.plot, r)

    rt_rows = ["| reply bytes | floor, blocking µs | floor, spinning µs | Kavrol32 µs | added over spinning µs | "
               "added over blocking µs | ratio to spinning | Kavrol32 CPU µs | libmodbus (server) µs | "
               "libmodbus CPU µs | libmodbus (echo peer) µs | Kavrol32 tx/s | libmodbus tx/s | Kavrol32 / libmodbus |",
               "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    max_added = 0.0
    min_vs_modbus = float("inf")
    for size, raw, spin, kav, srv, echo in table:
        added_spin = us(kav) - us(spin)
        added_raw = us(kav) - us(raw)
        max_added = max(max_added, added_spin, added_raw)
        vs = tps(kav) / tps(srv) if kav and srv else float("nan")
        min_vs_modbus = min(min_vs_modbus, vs)
        rt_rows.append(
            f"| {size} | {fmt(us(raw))} | {fmt(us(spin))} | {fmt(us(kav))} | {fmt(added_spin)} | {fmt(added_raw)} | "
            f"{fmt(us(kav) / us(spin), 2)} | {fmt(us(kav, 'cpu_time'))} | {fmt(us(srv))} | "
            f"{fmt(us(srv, 'cpu_time'))} | {fmt(us(echo))} | {fmt(tps(kav), 0)} | {fmt(tps(srv), 0)} | {fmt(vs, 2)} |")

    def verdict(ok):
        return "met" if ok else "**not met**"

    peer_rows, peer_goals = peers_section(peers)

    lines = [
        "# Performance",
        "",
        "Generated by `scripts/bench` (do not edit by hand). Figures are medians of "
        f"{machine.get('repetitions', '?')} repetitions; times are per reply or per transaction.",
        "",
        "## Machine",
        "",
    ]
    lines += [f"- {k}: {v}" for k, v in machine.items()]
    lines += [
        "",
        "## Goals",
        "",
        "| goal | measured | |",
        "|---|---|---|",
        f"| decode of the largest layout within 3× the plain copy | worst {fmt(worst_ratio)}× (CPU time), "
        f"{fmt(worst_ir)}× (instructions); without the fake host's transport {fmt(worst_only)}× | "
        f"{verdict(worst_ratio <= 3)} |",
        f"| round-trip overhead over the raw pty floor under 50 µs | worst {fmt(max_added)} µs (either floor) | "
        f"{verdict(max_added < 50)} |",
        f"| at least as many transactions/s as libmodbus at matched byte counts | worst "
        f"{fmt(min_vs_modbus, 2)}× libmodbus | {verdict(min_vs_modbus >= 1)} |",
    ]
    lines += [f"| {goal} | {fmt(value, 2)}{unit} | {verdict(ok(value))} |" for goal, value, ok, unit in peer_goals]
    lines += [
        "",
        "## Decode cost",
        "",
        "`MuxReceiveComm` per reply through the fake host (`testing/fake_host/host_fake.h`), for every model group's "
        "layout that writes the most buffer positions from a full frame (L = 250, 251 bytes), and where that is "
        "the payload run of reply code 9, also the group's largest fixed layout. In the same run: *copy*, a "
        "`memcpy` of the same 251 frame bytes (the floor), and *transport*, the same bytes fed through the fake "
        "host and read with the two timed reads, without checksum, normalization or record stage. *Decode only* "
        "is MuxReceiveComm minus transport. Times are CPU ns of the benchmark thread; MB/s is frame bytes "
        "through MuxReceiveComm. Ir columns are callgrind instruction counts per reply (`kavrol_decode_probe`), "
        "which do not depend on the machine's load.",
        "",
    ]
    lines += decode_rows
    lines += [
        "",
        "## Round trip over a pty, and against libmodbus",
        "",
        "One raw-mode pty pair (`openpty`, `cfmakeraw` on both ends); the client in the benchmark's thread, the "
        "peer in a second thread of the same process. Every transaction moves an 8-byte request and a reply of "
        "5 + 2N bytes: Kavrol32 sends command 8 with three raw bytes (8 bytes as sent) and receives a reply-code-9 "
        "frame decoded for model 0; libmodbus reads N holding registers (8-byte request, 5 + 2N byte reply). "
        "Two floors between the same two ends, against the same echo-style peer thread (it reads the request and "
        "writes prebuilt reply bytes): *blocking*, a plain `write` of the 8 bytes and a blocking `read` of the "
        "reply; *spinning*, the same `write`, a busy wait on `FIONREAD` until the whole reply is queued (the way "
        "the library waits) and one `read`. "
        "*libmodbus (server)*: libmodbus RTU client against a libmodbus RTU server thread "
        "(`modbus_receive`/`modbus_reply`); *libmodbus (echo peer)*: the libmodbus client against the same echo "
        "peer that serves Kavrol32. Both libmodbus contexts are bound to the pty descriptors with "
        "`modbus_set_socket` (no reconfiguration of the line) and keep their default timeouts (0.5 s response, "
        "0.5 s byte). Times are real (wall) time, medians; CPU is the client thread's CPU time per transaction "
        "(Kavrol32's waits spin briefly and then block in `poll`, libmodbus sleeps in `select`).",
        "",
    ]
    lines += rt_rows
    lines += [
        "",
        f"![round trip versus reply size]({os.path.basename(a.plot)})",
        "",
        "What differs between the libraries: Kavrol32 purges both directions before each send (two `tcflush`) "
        "and looks at the queue counts (`TIOCOUTQ`, `FIONREAD`), blocking in `poll` between two looks, "
        "then reads the reply in two reads "
        "(header, rest); libmodbus writes at once and waits in `select` before each of its reads (function code, "
        "byte count, data + CRC), and computes a CRC-16 where Kavrol32 XORs. The libmodbus server also parses "
        "the request and computes a CRC; the echo peer does neither.",
        "",
        "## Peer behaviours: client CPU and wall time per transaction",
        "",
        "One raw-mode pty pair and one peer thread, as above, with an 8-byte request and a 25-byte reply for "
        "every client: Kavrol32 (command 8, reply code 9, model 0), libmodbus (10 holding registers, response "
        "time-out set to 1 s), and the raw floor (a `write` and a blocking `read`; for the silent peer a "
        "`poll` of 1 s). *Kavrol32, spinning waits* is the same library with a host whose wait returns at once, "
        "so the link looks at the queue counts in a busy loop, as every wait did before the waits slept. The "
        "peer " + "; ".join(f"*{name}*: {what}" for _, name, what in PEER_BEHAVIOURS) + ". "
        "Wall time is real time per transaction (median); CPU is the client thread's CPU time "
        "(`CLOCK_THREAD_CPUTIME_ID` through Google Benchmark), so the peer thread and other processes on the "
        "loaded machine do not count. The silent peer runs three transactions per repetition.",
        "",
    ]
    lines += peer_rows
    if a.stability and os.path.exists(a.stability):
        with open(a.stability) as fh:
            lines += ["", fh.read().strip()]
    lines += [
        "",
        "## Commands",
        "",
        "```",
        commands,
        "```",
        "",
    ]
    if a.notes and os.path.exists(a.notes):
        with open(a.notes) as fh:
            lines += [fh.read().strip(), ""]
    with open(a.out, "w") as fh:
        fh.write("\n".join(lines))


if __name__ == "__main__":
    main()
