"""Mutation testing of the library: make mutants, build each, run the fast tests.

The tree is restored whatever happens: every mutated file is written back in a
finally block (SIGINT and SIGTERM are turned into an exception so that block
runs), a journal in the build directory lets a later run restore a file that
a killed run left mutated, and the run ends with `git diff --quiet` over the
mutated directory.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mutants as mutants_mod  # noqa: E402
import plan  # noqa: E402
import report  # noqa: E402

EXIT_BROKEN = 2
EXIT_NOT_RESTORED = 3


class Interrupted(Exception):
    pass


def _raise_interrupted(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


def run(cmd, cwd, timeout=None, env=None):
    """Runs cmd; returns (status, seconds). Status: 'ok', 'failed' or 'timeout'."""
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        rc = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return "timeout", time.monotonic() - t0
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    return ("ok" if rc == 0 else "failed"), time.monotonic() - t0


class Journal:
    """The original content of the file being mutated, kept on disk while it is."""

    def __init__(self, build_dir: pathlib.Path, tree: pathlib.Path):
        self.path = build_dir / "mutation-journal.json"
        self.tree = tree

    def recover(self) -> str | None:
        if not self.path.exists():
            return None
        entry = json.loads(self.path.read_text())
        (self.tree / entry["path"]).write_text(entry["original"])
        self.path.unlink()
        return entry["path"]

    def hold(self, rel: str, original: str) -> None:
        tmp = self.path.with_suffix(".tmp")
        tmp.write_text(json.dumps({"path": rel, "original": original}))
        tmp.replace(self.path)

    def release(self) -> None:
        self.path.unlink(missing_ok=True)


class Runner:
    def __init__(self, args):
        self.tree = pathlib.Path(args.tree).resolve()
        self.build = pathlib.Path(args.build_dir).resolve() if args.build_dir else self.tree / "build-mutate"
        self.args = args
        self.journal = Journal(self.build, self.tree)
        self.env = dict(os.environ)
        self.env.setdefault("CCACHE_BASEDIR", str(self.tree.parent))
        self.test_times: dict[str, float] = {}
        # Kills per file and test: the tests that killed mutants of a file
        # before are tried first on its next mutants.
        self.kills: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)

    def git(self, *cmd) -> subprocess.CompletedProcess:
        return subprocess.run(["git", *cmd], cwd=self.tree, capture_output=True, text=True)

    def tree_clean(self) -> bool:
        return self.git("diff", "--quiet", "--", "src").returncode == 0

    def configure(self) -> None:
        self.build.mkdir(parents=True, exist_ok=True)
        cmd = [
            "cmake", "-S", str(self.tree), "-B", str(self.build), "-G", "Ninja",
            # Unoptimised without debug information: the quickest to compile
            # and link, and the tests are small.
            # The standard library checks its bounds, so that a mutant that
            # indexes past an array or span fails instead of reading on.
            "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -D_GLIBCXX_ASSERTIONS",
            "-DCMAKE_C_FLAGS_DEBUG=-O0",
            "-DKAVROL_BUILD_TOOLS=OFF", "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST",
        ]
        launcher = [str(pathlib.Path(__file__).resolve().parent / "warnings-not-errors")]
        if not self.args.no_ccache and shutil.which("ccache"):
            launcher.append("ccache")
        cmd += [f"-DCMAKE_CXX_COMPILER_LAUNCHER={';'.join(launcher)}",
                f"-DCMAKE_C_COMPILER_LAUNCHER={';'.join(launcher)}"]
        status, _ = run(cmd, self.tree, env=self.env)
        if status != "ok":
            raise RuntimeError("configuring the mutation build failed")

    def build_targets(self, targets, timeout=None) -> str:
        # Ninja directly: a cmake --build per stage costs a second under load.
        cmd = ["ninja", "-C", str(self.build), "-j", str(self.args.jobs), *targets]
        return run(cmd, self.tree, timeout=timeout, env=self.env)[0]

    def binary(self, target: str) -> pathlib.Path:
        return self.build / "tests" / target

    def run_test(self, target: str) -> str:
        limit = self.args.test_timeout_factor * self.test_times.get(target, 5.0) + self.args.test_timeout_slack
        return run([str(self.binary(target))], self.build / "tests", timeout=limit, env=self.env)[0]

    def baseline(self, targets) -> None:
        """Builds the unmutated tree and times every test binary; all must pass."""
        if self.build_targets(targets) != "ok":
            raise RuntimeError("the unmutated tree does not build")
        for t in targets:
            status, seconds = run([str(self.binary(t))], self.build / "tests", env=self.env)
            if status != "ok":
                raise RuntimeError(f"test {t} fails on the unmutated tree")
            self.test_times[t] = seconds

    def judge(self, m: mutants_mod.Mutant, targets) -> tuple[str, str]:
        """Builds and tests one applied mutant: (outcome, test that decided)."""
        stages = plan.test_stages(m.path, targets, self.kills[m.path])
        built: set[str] = set()
        for stage in stages:
            need = [t for t in stage if t not in built]
            status = self.build_targets(need, timeout=self.args.build_timeout)
            if status != "ok":
                # A mutant that does not build in the first stage does not
                # compile. When the library and the first tests built, a
                # later test that no longer compiles against it has caught it
                # (a compile-time check in a test, say).
                if not built:
                    return ("not-compiled" if status == "failed" else "build-timeout"), ""
                if status == "failed":
                    return "killed", "build of " + " ".join(need)
                return "build-timeout", ""
            built.update(need)
            for t in stage:
                status = self.run_test(t)
                if status == "failed":
                    self.kills[m.path][t] += 1
                    return "killed", t
                if status == "timeout":
                    return "timed-out", t
        return "survived", ""

    def execute(self) -> int:
        args = self.args
        recovered = self.journal.recover()
        if recovered:
            print(f"restored {recovered} from the journal of an interrupted run")
        if not self.tree_clean():
            print("src/ has uncommitted changes: commit or stash them first", file=sys.stderr)
            return EXIT_BROKEN
        commit = self.git("rev-parse", "HEAD").stdout.strip()
        all_mutants = plan.collect(self.tree)
        earlier = report.load_results(args.rerun) if args.rerun else None
        if earlier is not None:
            survivors = {e["key"] for e in earlier["results"] if e["outcome"] == "survived"}
            if args.unexplained_only:
                reasons = plan.load_equivalent(self.tree)
                survivors = {k for k in survivors if not report.is_equivalent(plan.reason_for(k, reasons))}
            chosen = [m for m in all_mutants if m.key in survivors]
        else:
            # What an earlier part of the run did is left out before the
            # rest is split into shards.
            done = {e["key"] for path in args.skip for e in report.load_results(path)["results"]}
            chosen = plan.shard_of([m for m in plan.choose(all_mutants, args) if m.key not in done], args.shard)
        print(f"{len(all_mutants)} mutants, {len(chosen)} chosen; commit {commit[:12]}", flush=True)
        if args.list:
            for m in chosen:
                print(m.operator, m.describe())
            return 0

        started = time.time()
        t0 = time.monotonic()
        results: list[tuple[mutants_mod.Mutant, str, str]] = []
        old_int = signal.signal(signal.SIGINT, _raise_interrupted)
        old_term = signal.signal(signal.SIGTERM, _raise_interrupted)
        stopped = ""
        code = 0
        try:
            self.configure()
            targets = plan.test_targets(self.tree)
            self.baseline(targets)
            t_mutants = time.monotonic()
            print(f"baseline built and tested in {t_mutants - t0:.0f} s", flush=True)
            for n, m in enumerate(chosen, 1):
                if args.budget and time.monotonic() - t_mutants > args.budget:
                    stopped = f"time budget of {args.budget} s reached after {n - 1} mutants"
                    break
                t_one = time.monotonic()
                outcome, by = self.try_mutant(m, targets)
                results.append((m, outcome, by))
                print(f"[{n}/{len(chosen)}] {time.monotonic() - t_one:5.1f} s {outcome:13} {m.operator:6} "
                      f"{m.describe()}", flush=True)
        except Interrupted as e:
            stopped = f"interrupted by {e}"
            code = EXIT_BROKEN
        except RuntimeError as e:
            stopped = f"runner stopped: {e}"
            print(stopped, file=sys.stderr)
            code = EXIT_BROKEN
        finally:
            signal.signal(signal.SIGINT, old_int)
            signal.signal(signal.SIGTERM, old_term)
        restored = self.tree_clean()
        if not restored:
            print("ERROR: the tree is not restored (git diff src/ is not empty)", file=sys.stderr)
            return EXIT_NOT_RESTORED
        summary = report.Summary(
            commit=commit, started=started, seconds=time.monotonic() - t0, total=len(all_mutants),
            chosen=len(chosen), selection=plan.describe_selection(args), results=results, stopped=stopped,
            equivalent=plan.load_equivalent(self.tree), present=frozenset(m.key for m in all_mutants))
        print(summary.score_line())
        if earlier is not None and args.report:
            path = pathlib.Path(args.report)
            path.write_text(path.read_text().rstrip("\n") + "\n\n" + report.rerun_section(summary, earlier))
            print(f"appended the re-run to {args.report}")
        elif args.report:
            pathlib.Path(args.report).write_text(report.markdown(summary, all_mutants))
            print(f"wrote {args.report}")
        if args.results:
            pathlib.Path(args.results).write_text(report.results_json(summary))
        return code

    def try_mutant(self, m: mutants_mod.Mutant, targets) -> tuple[str, str]:
        path = self.tree / m.path
        original = path.read_text()
        if original[m.start:m.end] != m.before:
            raise RuntimeError(f"{m.path} changed under the runner")
        self.journal.hold(m.path, original)
        try:
            path.write_text(m.apply(original))
            return self.judge(m, targets)
        finally:
            # A second Ctrl-C must not cut the restore short.
            blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
            try:
                path.write_text(original)
                self.journal.release()
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def merge(args) -> int:
    """One report from the --results files of shards of one run (run side by side)."""
    tree = pathlib.Path(args.tree).resolve()
    parts = [report.load_results(path) for path in args.merge]
    commits = {p["commit"] for p in parts}
    if len(commits) != 1:
        raise RuntimeError("the shards measured different commits: " + ", ".join(sorted(commits)))
    all_mutants = plan.collect(tree)
    by_key = {m.key: m for m in all_mutants}
    results = []
    for p in parts:
        for e in p["results"]:
            if e["key"] not in by_key:
                raise RuntimeError(f"mutant not in this tree: {e['key']}")
            results.append((by_key[e["key"]], e["outcome"], e["test"]))
    selection = "; ".join(s for s in parts[0]["selection"].split("; ") if not s.startswith("shard "))
    summary = report.Summary(
        # Wall time from the first start to the last end: the parts ran side
        # by side (shards) or one after the other (a stopped run continued).
        commit=commits.pop(), started=min(p["started"] for p in parts),
        seconds=max(p["started"] + p["seconds"] for p in parts) - min(p["started"] for p in parts),
        total=len(all_mutants), chosen=len(results),
        selection=f"{selection}; in {len(parts)} parts (shards side by side, a stopped run continued)",
        results=results,
        # A part stopped by a signal was continued by later parts (--skip).
        stopped="; ".join(p["stopped"] for p in parts
                          if p.get("stopped") and not p["stopped"].startswith("interrupted")),
        equivalent=plan.load_equivalent(tree))
    print(summary.score_line())
    if args.report:
        pathlib.Path(args.report).write_text(report.markdown(summary, all_mutants))
        print(f"wrote {args.report}")
    if args.results:
        pathlib.Path(args.results).write_text(report.results_json(summary))
    return 0


def rewrite_rerun(args) -> int:
    """Writes the re-run section of --report again from the --results of a
    re-run (--rewrite-rerun) and the run it re-ran (--rerun), with the reasons
    in the tree's list of equivalent mutants as they are now."""
    tree = pathlib.Path(args.tree).resolve()
    earlier = report.load_results(args.rerun)
    again = report.load_results(args.rewrite_rerun)
    all_mutants = plan.collect(tree)
    by_key = {m.key: m for m in all_mutants}
    results = [(by_key[e["key"]], e["outcome"], e["test"]) for e in again["results"] if e["key"] in by_key]
    summary = report.Summary(
        commit=again["commit"], started=again["started"], seconds=again["seconds"], total=len(all_mutants),
        chosen=len(results), selection=again["selection"], results=results, stopped=again.get("stopped", ""),
        equivalent=plan.load_equivalent(tree), present=frozenset(by_key))
    path = pathlib.Path(args.report)
    text = path.read_text()
    cut = text.find("## Survivors run again")
    if cut >= 0:
        text = text[:cut]
    # A survivor of the run above that the re-run killed says so in its line.
    for m, outcome, test in results:
        if outcome in ("killed", "timed-out"):
            later = f"killed by {test} in the re-run below" if outcome == "killed" else "timed out in the re-run below"
            text = text.replace(f"- {m.describe()}: **not yet explained**", f"- {m.describe()}: {later}", 1)
    missing = text.count("**not yet explained**")
    text = re.sub(r"(\d+) not yet looked at\.",
                  f"{missing} not yet looked at (the others are killed in the re-run below).", text,
                  count=1)
    path.write_text(text.rstrip("\n") + "\n\n" + report.rerun_section(summary, earlier))
    print(f"rewrote the re-run section of {args.report}")
    return 0


def shard(text: str) -> tuple[int, int]:
    k, _, n = text.partition("/")
    if not (k.isdigit() and n.isdigit() and 1 <= int(k) <= int(n)):
        raise argparse.ArgumentTypeError("a shard is K/N with 1 <= K <= N")
    return int(k), int(n)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tree", default=str(pathlib.Path(__file__).resolve().parents[2]),
                   help="git checkout to mutate (default: this repository)")
    p.add_argument("--build-dir", help="build directory (default: TREE/build-mutate)")
    sel = p.add_mutually_exclusive_group()
    sel.add_argument("--all", action="store_true", help="run every mutant")
    sel.add_argument("--sample", type=int, help="run N mutants, stratified by file and operator")
    p.add_argument("--seed", type=int, default=1, help="seed of the sample (default 1)")
    p.add_argument("--all-layout", action="store_true", help="with --sample: every layout mutant as well")
    p.add_argument("--layout-rows", action="store_true",
                   help="with --sample: one mutant of every layout-table row as well")
    p.add_argument("--only", action="append", default=[], help="only files whose path contains this")
    p.add_argument("--operator", action="append", default=[], help="only these operators")
    p.add_argument("--budget", type=float, default=0, help="stop after this many seconds (0: no limit)")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--build-timeout", type=float, default=300)
    p.add_argument("--test-timeout-factor", type=float, default=4.0)
    p.add_argument("--test-timeout-slack", type=float, default=10.0)
    p.add_argument("--no-ccache", action="store_true")
    p.add_argument("--report", help="write the markdown report here")
    p.add_argument("--results", help="write every outcome as JSON here")
    p.add_argument("--list", action="store_true", help="only list the chosen mutants")
    p.add_argument("--rerun", metavar="RESULTS",
                   help="run again the survivors of an earlier --results file; with --report, append the "
                        "outcome to that (earlier) report")
    p.add_argument("--unexplained-only", action="store_true",
                   help="with --rerun: only the survivors without a reason in the list of equivalent mutants")
    p.add_argument("--shard", type=shard, metavar="K/N",
                   help="run every N-th chosen mutant from the K-th (shards of one run side by side, each in "
                        "its own checkout and build directory)")
    p.add_argument("--skip", action="append", default=[], metavar="RESULTS",
                   help="leave out the mutants of an earlier --results file (to go on with a run that was stopped)")
    p.add_argument("--rewrite-rerun", metavar="RERUN_RESULTS",
                   help="with --rerun and --report: write the re-run section again from these re-run results")
    p.add_argument("--merge", nargs="+", metavar="RESULTS",
                   help="write one --report/--results from the --results files of the shards of a run")
    args = p.parse_args(argv)
    if not args.all and args.sample is None and not args.list and not args.rerun and not args.merge:
        p.error("choose --all, --sample N or --rerun RESULTS")
    return args


def main(argv=None) -> int:
    try:
        args = parse_args(argv)
        if args.rewrite_rerun:
            return rewrite_rerun(args)
        return merge(args) if args.merge else Runner(args).execute()
    except RuntimeError as e:
        print(f"mutation runner: {e}", file=sys.stderr)
        return EXIT_BROKEN


if __name__ == "__main__":
    sys.exit(main())
