#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

reply:    one model selector byte, then a stream of reply frames: a valid
          frame of every model group and reply code (1..9, short and full
          length, both forms of r[3] where a group chooses by it), the device
          error codes, codes without a layout, and the framing failures (bad
          checksum, L > 250, L < 5, truncated frames, two frames back to back).
command:  the argument encoding of fuzz_command.cpp for direct and
          multiplexed frames, word and raw payloads, and frames that do not fit.
checksum: offset, mode, flip seed and a frame, for both checksum kinds.

Deterministic: running it again writes the same files.
"""
import os
import shutil
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# One model code per group, then models without normalization.
GROUP_MODELS = [0, 2, 23, 4, 5, 11, 17, 6, 8, 18, 3]
# Groups whose layouts choose a form by whether r[3] is 0.
HEADER3_MODELS = {6, 8, 3}
NO_LAYOUT_MODELS = [1, 19, 25, 0xFF]  # 0xFF selects a code near 2^32


# The frames' test oracle, shared with the Python package's tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "tests"))
from frame_oracle import reply_frame  # noqa: E402


def payload(length, seed):
    x = (seed * 2654435761 + 12345) & 0xFFFFFFFF
    out = []
    for _ in range(length):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append((x >> 16) & 0xFF)
    return out


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as fh:
        fh.write(data)


def reply_corpus():
    for model in GROUP_MODELS + NO_LAYOUT_MODELS:
        for code in range(1, 10):
            for header3 in ((0, 1) if model in HEADER3_MODELS else (0,)):
                for last in (40, 250):
                    p = payload(last - 5, model * 1000 + code * 10 + header3)
                    write("reply", f"m{model}_c{code}_h{header3}_L{last}",
                          bytes([model]) + reply_frame(code, header3, p))
    for code in list(range(247, 256)) + [0, 10, 127, 128, 246]:
        write("reply", f"m0_code{code}", bytes([0]) + reply_frame(code, 0, payload(8, code)))
    good = reply_frame(9, 0, payload(20, 7))
    bad = bytearray(good)
    bad[4] ^= 0x01
    write("reply", "bad_checksum", bytes([0]) + bytes(bad))
    write("reply", "bad_checksum_error_code", bytes([0]) + bytes([0x3E, 5, 250, 0, 0x55, 0x66]))
    write("reply", "length_251", bytes([0, 0x3E, 251]) + bytes(payload(250, 3)))
    write("reply", "length_4", bytes([0, 0x3E, 4, 1, 0, 0]))
    write("reply", "length_0", bytes([0, 0x3E, 0]))
    write("reply", "truncated", bytes([23]) + reply_frame(3, 0, payload(60, 9))[:30])
    write("reply", "header_only", bytes([0, 0x3E]))
    write("reply", "two_frames", bytes([23]) + reply_frame(1, 0, payload(10, 1)) + reply_frame(6, 0, payload(30, 2)))
    write("reply", "noise_then_frame", bytes([2, 0x00, 0xFF]) + reply_frame(5, 0, payload(30, 4)))


def command_args(route_count=0, command=3, sub=0, route=(), items=0, words=(), mux=0, flags=0, raw=b""):
    r = list(route) + [0] * (9 - len(route))
    w = list(words) + [0] * (4 - len(words))
    return struct.pack("<18I", route_count, command, sub, *r, items, *w, mux) + bytes([flags]) + raw


def command_corpus():
    seeds = {
        "direct_words2": command_args(command=3, items=2, words=(0x1234, 0x0056)),
        "direct_raw3": command_args(command=8, sub=1, items=3, raw=b"ABC"),
        "direct_empty": command_args(command=5, sub=7),
        "direct_words5": command_args(command=3, items=5),
        "direct_raw44": command_args(command=11, items=44, raw=bytes(range(44))),
        "direct_raw45": command_args(command=8, items=45, raw=bytes(range(45))),
        "mux_route2": command_args(route_count=2, command=3, route=(1, 5), items=1, words=(0x0102,), mux=1),
        "mux_raw4": command_args(command=11, sub=2, items=4, mux=1, raw=bytes([0x10, 0x20, 0x30, 0x40])),
        "mux_route9": command_args(route_count=9, command=3, route=range(1, 10), items=4,
                                   words=(1, 2, 3, 4), mux=1),
        "mux_route10": command_args(route_count=10, command=3, route=range(1, 10), mux=1),
        "mux_raw_full": command_args(route_count=3, command=8, route=(7, 8, 9), items=37, mux=1,
                                     raw=bytes(range(37))),
        "mux_raw_over": command_args(route_count=3, command=8, route=(7, 8, 9), items=38, mux=1,
                                     raw=bytes(range(38))),
        "mux_mode257": command_args(route_count=1, command=3, route=(4,), mux=257),
        "direct_mode2_stuck": command_args(route_count=3, command=3, items=1, words=(0xBEEF,), mux=2, flags=1),
    }
    for name, data in seeds.items():
        write("command", name, data)


def checksum_corpus():
    write("checksum", "direct_example",
          bytes([0, 2, 0]) + bytes([0x3C, 0x09, 0x03, 0x00, 0, 0, 0x34, 0x12, 0x56, 0x00]))
    write("checksum", "no_payload", bytes([0, 2, 1]) + bytes([0x3C, 0x05, 0x05, 0x07, 0, 0]))
    write("checksum", "inner_at_6", bytes([6, 2, 2]) + bytes([0x3C, 0x07, 0x03, 0x00, 0, 0, 0x02, 0x01]))
    write("checksum", "one_byte_example",
          bytes([0, 1, 0]) + bytes([0x24, 0x0D, 0, 0x02, 0x01, 0x05, 0x3C, 0x07, 0x03, 0x00, 0x06, 0x3D, 0x02, 0x01]))
    write("checksum", "long_frame", bytes([13, 2, 5]) + bytes([0x3E, 250]) + bytes(payload(249, 11)))


def main():
    if os.path.isdir(ROOT):
        shutil.rmtree(ROOT)
    reply_corpus()
    command_corpus()
    checksum_corpus()
    for target in sorted(os.listdir(ROOT)):
        print(f"{target}: {len(os.listdir(os.path.join(ROOT, target)))} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
