"""The results of a run: counts, score and docs/mutation.md."""

from __future__ import annotations

import collections
import dataclasses
import json
import pathlib
import time

import plan

OUTCOMES = ("killed", "timed-out", "survived", "not-compiled", "build-timeout")
OPERATOR_TEXT = {
    "rel": "relational flip: `<` <-> `<=`, `>` <-> `>=`, `==` <-> `!=`",
    "bitop": "`&` <-> `|`, `&=` <-> `|=`",
    "const": "integer constant +1 / -1; a mask (hexadecimal, two or more bits set) also loses its top bit",
    "call": "a call statement removed",
    "layout": "in a layout table (row builders, record-stage field runs, value maps) one number of one row +1 / -1",
}


def is_equivalent(why: str | None) -> bool:
    """A survivor's reason says it cannot change behaviour ("open:" marks a known gap)."""
    return why is not None and not why.startswith("open:")


@dataclasses.dataclass
class Summary:
    commit: str
    started: float
    seconds: float
    total: int
    chosen: int
    selection: str
    results: list        # (Mutant, outcome, deciding test)
    stopped: str
    equivalent: dict     # mutant key -> reason
    present: frozenset = frozenset()  # keys of every mutant in the tree measured

    def count(self, outcome: str, operator: str | None = None) -> int:
        return sum(1 for m, o, _ in self.results if o == outcome and (operator is None or m.operator == operator))

    def compiled(self, operator: str | None = None) -> int:
        return sum(self.count(o, operator) for o in ("killed", "timed-out", "survived"))

    def detected(self, operator: str | None = None) -> int:
        return self.count("killed", operator) + self.count("timed-out", operator)

    def score(self, operator: str | None = None) -> float:
        c = self.compiled(operator)
        return 100.0 * self.detected(operator) / c if c else 0.0

    def survivors(self):
        return [(m, plan.reason_for(m.key, self.equivalent)) for m, o, _ in self.results if o == "survived"]

    def survivor_counts(self) -> tuple[int, int, int]:
        """(equivalent, known but open, not looked at) among the survivors."""
        whys = [why for _, why in self.survivors()]
        equivalent = sum(1 for w in whys if is_equivalent(w))
        missing = sum(1 for w in whys if w is None)
        return equivalent, len(whys) - equivalent - missing, missing

    def score_line(self) -> str:
        unexplained = sum(self.survivor_counts()[1:])
        return (f"mutation score {self.score():.1f} % ({self.detected()} of {self.compiled()} compiling mutants "
                f"killed or timed out; {self.count('survived')} survived, {unexplained} without a reason; "
                f"{len(self.results)} run in {self.seconds:.0f} s)")


def _row(cells) -> str:
    return "| " + " | ".join(str(c) for c in cells) + " |"


def markdown(s: Summary, all_mutants) -> str:
    by_op = collections.Counter(m.operator for m in all_mutants)
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(s.started))
    out = [
        "# Mutation testing",
        "",
        "`scripts/mutate` makes single-token faults (mutants) in the library's production code, builds each",
        "one and runs the fast test suites against it. A mutant is *killed* when a test fails, *timed out*",
        "when a test binary overruns its limit (both count as detected), *survived* when every fast suite",
        "passes. Mutants that do not compile (many layout rows fail their compile-time range checks) are",
        "counted but do not enter the score. This file is written by the runner; the reasons for equivalent",
        "mutants come from `scripts/mutation/equivalent.txt`.",
        "",
        "## Running it",
        "",
        "```",
        "scripts/mutate --sample 40 --seed 7      # a stratified sample",
        "scripts/mutate --all --report docs/mutation.md",
        "scripts/mutate --sample 0 --all-layout   # every layout-table mutant",
        "scripts/mutate --list --all --only group_6   # what would run",
        "# a full run in two shards at once, each in its own clone at the same commit:",
        "scripts/mutate --all --shard 1/2 --jobs 1 --results s1.json",
        "scripts/mutate --all --shard 2/2 --jobs 1 --results s2.json",
        "scripts/mutate --merge s1.json s2.json --report docs/mutation.md",
        "```",
        "",
        "The runner builds in `build-mutate/` (unoptimised, with the standard library's bounds checks",
        "`_GLIBCXX_ASSERTIONS`, no tools, ccache), runs every",
        "`tests/*_test.cpp` binary directly (those most related to the mutated file first, stopping at the",
        "first failure) with a limit of 4 x its unmutated time + 10 s, and restores each file in a `finally`",
        "block; SIGINT/SIGTERM end the run through the same path, a journal in the build directory restores a",
        "file after a hard kill, and the run fails (exit 3) unless `git diff --quiet -- src` holds at the end.",
        "Not mutated: the fake host (a test helper), the Windows host and entry routine (not built on this",
        "platform) and compile-time guards (`require`, `check*`, `static_assert`: weakening a guard cannot",
        "change a table that compiles).",
        "",
        "CI (`scripts/ci-mutate`, a step of `.ci/run`) runs a small random sample bounded in time. It fails",
        "only when the runner breaks or the tree is not restored; it prints the score but a survivor of a",
        "random sample does not fail CI.",
        "",
        "## Operators",
        "",
        _row(["operator", "what changes", "mutants in the tree"]),
        _row(["---", "---", "---:"]),
    ]
    for op, text in OPERATOR_TEXT.items():
        out.append(_row([op, text, by_op.get(op, 0)]))
    out += [
        "",
        "## Last run",
        "",
        f"- commit measured: `{s.commit}`",
        f"- started {when}, wall time {s.seconds / 60:.1f} min ({s.seconds:.0f} s)",
        f"- selection: {s.selection}; {s.chosen} of {s.total} mutants chosen, {len(s.results)} run",
    ]
    if s.stopped:
        out.append(f"- stopped early: {s.stopped}")
    out += [
        f"- **score {s.score():.1f} %** ({s.detected()} detected of {s.compiled()} compiling mutants)",
        "",
        _row(["operator", "run", "compiled", "killed", "timed out", "survived", "not compiled", "score"]),
        _row(["---"] + ["---:"] * 7),
    ]
    for op in list(OPERATOR_TEXT) + [None]:
        run = sum(1 for m, _, _ in s.results if op is None or m.operator == op)
        not_compiled = s.count("not-compiled", op) + s.count("build-timeout", op)
        out.append(_row(["**all**" if op is None else op, run, s.compiled(op), s.count("killed", op),
                         s.count("timed-out", op), s.count("survived", op), not_compiled,
                         f"{s.score(op):.1f} %"]))
    equivalent, open_, missing = s.survivor_counts()
    out += ["", "## Survivors", "",
            f"{len(s.survivors())} survivors: {equivalent} equivalent (or not observable without a sanitizer), "
            f"{open_} known and not killed yet, {missing} not yet looked at.", ""]
    survivors = s.survivors()
    if not survivors:
        out.append("None.")
    for m, why in survivors:
        out.append(f"- {m.describe()}: {why if why else '**not yet explained**'}")
    out.append("")
    return "\n".join(out)


def results_json(s: Summary) -> str:
    return json.dumps({
        "commit": s.commit, "started": s.started, "seconds": s.seconds, "selection": s.selection,
        "stopped": s.stopped,
        "results": [
            {"key": m.key, "file": m.path, "line": m.line, "operator": m.operator, "before": m.before,
             "after": m.after, "outcome": o, "test": t}
            for m, o, t in s.results
        ],
    }, indent=1)


def load_results(path: str) -> dict:
    data = json.loads(pathlib.Path(path).read_text())
    return data if isinstance(data, dict) else {"commit": "", "results": data}  # a bare list: outcomes only


def rerun_section(s: Summary, earlier: dict) -> str:
    """The survivors of an earlier run, run again, and the score they give that run."""
    outcomes = [e["outcome"] for e in earlier["results"]]
    compiled = sum(1 for o in outcomes if o in ("killed", "timed-out", "survived"))
    detected = sum(1 for o in outcomes if o in ("killed", "timed-out"))
    now = {m.key: o for m, o, _ in s.results}
    newly = sum(1 for o in now.values() if o in ("killed", "timed-out"))
    gone = sum(1 for e in earlier["results"] if e["outcome"] == "survived" and e["key"] not in now
               and e["key"] not in s.present)
    carried = sum(1 for e in earlier["results"] if e["outcome"] == "survived" and e["key"] not in now
                  and e["key"] in s.present)
    score = 100.0 * (detected + newly) / compiled if compiled else 0.0
    # Equivalent: the survivors of the earlier run that are still in the tree,
    # not killed now, and have a reason (whether run again or not).
    still = {e["key"] for e in earlier["results"] if e["outcome"] == "survived"
             and now.get(e["key"], "survived") == "survived" and (e["key"] in now or e["key"] in s.present)}
    equivalent = sum(1 for k in still if is_equivalent(plan.reason_for(k, s.equivalent)))
    rest = compiled - equivalent
    score_rest = 100.0 * (detected + newly) / rest if rest else 0.0
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(s.started))
    out = [
        "## Survivors run again",
        "",
        f"The survivors of the run above, run again at commit `{s.commit}` ({when}, {s.seconds:.0f} s) with the",
        "tests written for them:",
        "",
        f"- {newly} of {len(now)} run again are killed now; {gone} no longer exist in the tree"
        + (f"; {carried} with a reason were not run again" if carried else ""),
        f"- **score of the run above with them: {score:.1f} %** ({detected + newly} of {compiled})",
        f"- of the {rest} compiling mutants that are not equivalent: {score_rest:.1f} % "
        f"({equivalent} survivors are equivalent)",
        "",
    ]
    for m, o, t in s.results:
        why = plan.reason_for(m.key, s.equivalent)
        note = f"killed by {t}" if o == "killed" else o
        if o == "survived":
            note += f": {why}" if why else ": **not yet explained**"
        out.append(f"- {m.describe()}: {note}")
    out.append("")
    return "\n".join(out)
