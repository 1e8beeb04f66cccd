#!/usr/bin/env python3
"""Scripted serial peer: plays the device on the far end of a pty.

The peer opens a pty in raw mode, writes the path of its port side to
--link-file (the test maps COM1 to it) and then works through the script,
one line at a time:

    step NAME...                   announces the next step (for messages)
    expect HEX...                  the next bytes received must be exactly these
    reply CODE HDR [HEX...]        sends a reply frame with a valid checksum
    reply-bad CODE HDR [HEX...]    the same frame with its checksum broken
    reply-slow MS CODE HDR [HEX...] the frame's first two bytes, MS ms later the rest
    send HEX...                    sends raw bytes
    pause MS                       waits MS milliseconds

A HEX item is a byte in hexadecimal, or pattern:N:MUL:ADD for the N bytes
(i * MUL + ADD) & 0xFF, i = 0 .. N-1 (MUL and ADD in decimal). Blank lines
and lines starting with # are ignored.

With --passes N the script is played N times in a row (the test program
runs its transactions once per kind of port handle).

Exit status 0 when every expectation held and nothing else arrived, 1 otherwise.
A peer that got through the script keeps the pty open until it is sent
SIGTERM (or --linger seconds pass), so that the program on the port side
never sees the line hang up; only then does it exit with its verdict.
"""

import argparse
import os
import select
import signal
import sys
import time
import tty


def parse_bytes(items):
    out = bytearray()
    for item in items:
        if item.startswith("pattern:"):
            _, n, mul, add = item.split(":")
            out += bytes((i * int(mul) + int(add)) & 0xFF for i in range(int(n)))
        else:
            out.append(int(item, 16))
    return bytes(out)


# The frames' test oracle, shared with the Python package's tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python", "tests"))
from frame_oracle import reply_frame  # noqa: E402


class Peer:
    def __init__(self, master, expect_timeout):
        self.master = master
        self.expect_timeout = expect_timeout
        self.step = "(before the first step)"

    def fail(self, message):
        print(f"peer: FAIL in step '{self.step}': {message}", flush=True)
        sys.exit(1)

    def read_within(self, n, timeout):
        got = bytearray()
        deadline = time.monotonic() + timeout
        while len(got) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.master, n - len(got))
                except OSError:
                    break  # the port side is closed and the pty hung up
                if not chunk:
                    break
                got += chunk
        return bytes(got)

    def expect(self, want):
        got = self.read_within(len(want), self.expect_timeout)
        if got != want:
            self.fail(f"expected {want.hex(' ')}, received {got.hex(' ') or 'nothing'}")

    def send(self, data):
        os.write(self.master, data)

    def run(self, lines, passes=1):
        for number, raw in [(n, raw) for _ in range(passes) for n, raw in enumerate(lines, 1)]:
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            verb, *args = line.split()
            try:
                self.do(verb, args)
            except (ValueError, IndexError) as e:
                self.fail(f"script line {number}: {e}")
        self.step = "(after the last step)"
        extra = self.read_within(4096, 0.3)
        if extra:
            self.fail(f"unexpected bytes after the script: {extra.hex(' ')}")

    def do(self, verb, args):
        if verb == "step":
            self.step = " ".join(args)
            print(f"peer: step {self.step}", flush=True)
        elif verb == "expect":
            self.expect(parse_bytes(args))
        elif verb == "send":
            self.send(parse_bytes(args))
        elif verb == "pause":
            time.sleep(int(args[0]) / 1000.0)
        elif verb in ("reply", "reply-bad"):
            frame = bytearray(reply_frame(int(args[0]), int(args[1]), parse_bytes(args[2:])))
            if verb == "reply-bad":
                frame[4] ^= 0x01
            self.send(bytes(frame))
        elif verb == "reply-slow":
            frame = reply_frame(int(args[1]), int(args[2]), parse_bytes(args[3:]))
            self.send(frame[:2])
            time.sleep(int(args[0]) / 1000.0)
            self.send(frame[2:])
        else:
            raise ValueError(f"unknown verb '{verb}'")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--script", required=True)
    ap.add_argument("--link-file", required=True, help="receives the path of the port side")
    ap.add_argument("--expect-timeout", type=float, default=30.0, help="seconds per expect")
    ap.add_argument("--passes", type=int, default=1, help="times to play the script")
    ap.add_argument("--linger", type=float, default=300.0, help="seconds to wait for SIGTERM at the end")
    opts = ap.parse_args()

    with open(opts.script, encoding="utf-8") as f:
        lines = f.readlines()
    master, port = os.openpty()
    # Raw before anyone opens the port: no echo, no line editing, no CR/LF
    # mapping. The peer keeps the port side open, so the pty survives the
    # test program opening and closing it.
    tty.setraw(port)
    tmp = opts.link_file + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(os.ttyname(port))
    os.replace(tmp, opts.link_file)
    peer = Peer(master, opts.expect_timeout)
    finished = False

    def on_term(_signum, _frame):
        if finished:
            sys.exit(0)
        peer.fail("terminated before the end of the script")

    signal.signal(signal.SIGTERM, on_term)
    peer.run(lines, opts.passes)
    print("peer: every step as expected", flush=True)
    finished = True
    time.sleep(opts.linger)


if __name__ == "__main__":
    main()
