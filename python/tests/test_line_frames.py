# The hand-made frames that the library's encoder and decoder and the
# Wireshark dissector are checked against (tests/tools/tools_dissector_test),
# read by the Python oracle: every field and fault agrees.
import json
from pathlib import Path

import pytest

from frame_oracle import read_command, read_reply

TABLE = Path(__file__).resolve().parents[2] / "tests" / "data" / "line_frames.json"
ROWS = json.loads(TABLE.read_text(encoding="utf-8"))["frames"]


@pytest.mark.parametrize("row", ROWS, ids=[r["name"] for r in ROWS])
def test_the_oracle_reads_every_frame_as_the_table_says(row):
    data = bytes.fromhex(row["bytes"])
    if row["side"] == "command":
        got = read_command(data, row["multiplexed"])
        assert got["fault"] == row["fault"]
        if "payload" in row:
            assert (got["command"], got["sub"]) == (row["command"], row["sub"])
            assert got["route"] == bytes.fromhex(row["route"])
            assert got["payload"] == bytes.fromhex(row["payload"])
        else:
            assert "command" not in got
    else:
        got = read_reply(data)
        assert (got["fault"], got["status"]) == (row["fault"], row["status"])
        if "payload" in row:
            assert (got["code"], got["r3"]) == (row["code"], row["r3"])
            assert got["payload"] == bytes.fromhex(row["payload"])
