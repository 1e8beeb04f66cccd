"""Removes from equivalent.txt the keys that match no mutant of the tree
(their source line changed or went), and prints them: run it after a change
that the staleness test flags, then re-examine the mutants of the changed
lines."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import plan  # noqa: E402

tree = pathlib.Path(__file__).resolve().parents[2]
stale = set(plan.stale_equivalents(tree))
path = tree / "scripts/mutation/equivalent.txt"
kept = []
for line in path.read_text(encoding="utf-8").splitlines(keepends=True):
    key = line.split(" => ", 1)[0].strip()
    if key in stale:
        print("removed:", line.rstrip())
        continue
    kept.append(line)
path.write_text("".join(kept), encoding="utf-8")
