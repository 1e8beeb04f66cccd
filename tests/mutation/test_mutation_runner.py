"""The mutation runner's own tests: what the operators find, and that the tree
is restored whatever ends a mutant."""

import json
import os
import pathlib
import signal
import sys
import tempfile
import types
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "scripts" / "mutation"))
import mutants  # noqa: E402
import plan  # noqa: E402
import report  # noqa: E402
import runner  # noqa: E402


def found(text, operator=None, path="src/x.cpp"):
    return [(m.operator, m.before, m.after) for m in mutants.mutants_of(path, text)
            if operator is None or m.operator == operator]


class OperatorsTest(unittest.TestCase):
    def test_relational_flips_only_spaced_operators(self):
        cases = [
            ("bool f(int a) { return a < 3; }\n", [("<", "<=")]),
            ("bool f(int a) { return a >= 3; }\n", [(">=", ">")]),
            ("bool f(int a) { return a != 3 && a == 4; }\n", [("!=", "=="), ("==", "!=")]),
            ("std::array<int, 3> a; auto b = static_cast<int>(x) >> 2; p->q;\n", []),
            ("template <typename T> int f();\n", []),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual([(b, a) for _, b, a in found(text, "rel")], expected)

    def test_comments_strings_and_preprocessor_lines_are_not_code(self):
        text = '#include <a>\n#define X (1 < 2)\n// a < b\n/* 5 | 6 */ const char* s = "a < b | 7";\n'
        self.assertEqual(found(text), [])

    def test_constants_and_masks(self):
        self.assertEqual(sorted(a for _, _, a in found("int x = 0;\n", "const")), ["1"])
        self.assertEqual(sorted(a for _, _, a in found("int x = 10U;\n", "const")), ["11U", "9U"])
        masks = sorted(a for _, _, a in found("int x = y & 0x0C;\n", "const"))
        self.assertEqual(masks, ["0x04", "0x0B", "0x0D"])  # +1, -1, top bit cleared
        self.assertEqual(found("int x = y1 + a.b2;\n", "const"), [])

    def test_bit_operators_only_binary(self):
        text = "void f(const T& a, int* p) { g(&a); x = a & b; y |= c; z = a && b; w = a || b; }\n"
        self.assertEqual([(b, a) for _, b, a in found(text, "bitop")], [("&", "|"), ("|=", "&=")])

    def test_call_statements(self):
        text = (
            "void f() {\n"
            "    g(1);\n"
            "    h.purge(a, b);\n"
            "    if (x) ns::k(2);\n"
            "    for (auto& o : v) run(o);\n"
            "    static_cast<void>(wait());\n"
            "    return h(3);\n"
            "    int y = g(4);\n"
            "    a = b ? c : d(5);\n"
            "    current().close(1);\n"
            "    switch (k) { case 1: put(2); break; }\n"
            "}\n"
        )
        calls = [b for op, b, _ in found(text, "call")]
        self.assertEqual(calls, ["g(1);", "h.purge(a, b);", "ns::k(2);", "run(o);", "static_cast<void>(wait());",
                                 "current().close(1);", "put(2);"])

    def test_removed_call_keeps_the_lines(self):
        text = "void f() {\n    g(1,\n      2);\n    h();\n}\n"
        m = next(m for m in mutants.mutants_of("src/x.cpp", text) if m.operator == "call")
        self.assertEqual(m.apply(text).count("\n"), text.count("\n"))
        self.assertNotIn("g(", m.apply(text))

    def test_layout_rows_and_tables_are_layout_mutants(self):
        text = (
            "constexpr Op kRows[] = {\n    copy(0, 6),\n    zero(1),\n};\n"
            "constexpr ValueMap kMap = {0, 4};\n"
            "constexpr FieldRun kRuns[] = {\n    {AT(a), 2, 1, 3},\n};\n"
            "consteval Op bit(unsigned o) { return field(o, 1); }\n"
            "unsigned n = 7;\n"
        )
        ops = found(text)
        self.assertEqual(sum(1 for op, _, _ in ops if op == "const"), 2)  # n = 7 only
        layout = [(b, a) for op, b, a in ops if op == "layout"]
        self.assertIn(("6", "7"), layout)
        self.assertIn(("4", "3"), layout)
        self.assertIn(("3", "2"), layout)
        self.assertIn(("1", "2"), layout)  # the number inside a builder's body row

    def test_compile_time_guards_are_not_mutated(self):
        text = "consteval void c(unsigned n) {\n    require(n >= 1 && n <= 3, \"n\");\n}\nstatic_assert(A == 4);\n"
        self.assertEqual(found(text), [])

    def test_keys_do_not_depend_on_line_numbers(self):
        a = mutants.mutants_of("src/x.cpp", "int f(int a) { return a < 1; }\n")
        b = mutants.mutants_of("src/x.cpp", "\n\nint f(int a) { return a < 1; }\n")
        self.assertEqual([m.key for m in a], [m.key for m in b])
        self.assertNotEqual(a[0].line, b[0].line)


class PlanTest(unittest.TestCase):
    def make(self, n_files=3, per=5):
        ms = []
        for f in range(n_files):
            text = "".join(f"int v{i} = a < {i};\n" for i in range(per))
            ms += mutants.mutants_of(f"src/f{f}.cpp", text)
        return ms

    def test_sample_is_reproducible_and_stratified(self):
        ms = self.make()
        args = types.SimpleNamespace(only=[], operator=[], seed=5, all=False, sample=6, all_layout=False)
        first = plan.choose(ms, args)
        self.assertEqual([m.key for m in first], [m.key for m in plan.choose(ms, args)])
        self.assertEqual(len(first), 6)
        self.assertEqual({m.path for m in first}, {"src/f0.cpp", "src/f1.cpp", "src/f2.cpp"})
        args.seed = 6
        self.assertNotEqual([m.key for m in first], [m.key for m in plan.choose(ms, args)])

    def test_layout_rows_gives_each_row_one_mutant(self):
        text = ("constexpr Op kRows[] = {\n    copy(0, 6), zero(1, 3),\n    bit(2, 6, 0),\n};\n"
                "constexpr FieldRun kRuns[] = {\n    {AT(a), 0, 2, 10},\n    {AT(b), 20, 1, 4},\n};\n"
                "int n = 1;\n")
        ms = mutants.mutants_of("src/t.cpp", text)
        args = types.SimpleNamespace(only=[], operator=[], seed=2, all=False, sample=1, all_layout=False,
                                     layout_rows=True)
        chosen = plan.choose(ms, args)
        layout = [m for m in chosen if m.operator == "layout"]
        self.assertEqual(len(layout), 5)  # copy, zero, bit and two field runs
        self.assertEqual(len({m.row for m in layout}), 5)
        self.assertEqual([m.operator for m in chosen if m.operator != "layout"], ["const"])

    def test_all_runs_every_mutant_once(self):
        ms = self.make()
        args = types.SimpleNamespace(only=[], operator=[], seed=1, all=True, sample=None, all_layout=False)
        self.assertEqual(sorted(m.key for m in plan.choose(ms, args)), sorted(m.key for m in ms))

    def test_shards_split_the_chosen_order_without_overlap(self):
        ms = self.make()
        parts = [plan.shard_of(ms, (k, 3)) for k in (1, 2, 3)]
        self.assertEqual(sorted(m.key for p in parts for m in p), sorted(m.key for m in ms))
        self.assertEqual(sum(map(len, parts)), len(ms))
        self.assertIs(plan.shard_of(ms, None), ms)
        for bad in ("0/2", "3/2", "2", "a/b"):
            with self.subTest(bad=bad), self.assertRaises(SystemExit):
                runner.parse_args(["--all", "--shard", bad])

    def test_first_tests_one_by_one_then_the_rest(self):
        targets = ["checksum_test", "command_frame_test", "layouts_a_test", "layouts_b_test", "util_test"]
        self.assertEqual(plan.test_stages("src/reply/group_6.cpp", targets),
                         [["layouts_a_test"], ["layouts_b_test"], ["checksum_test", "command_frame_test", "util_test"]])
        self.assertEqual(plan.test_stages("src/reply/group_6.cpp", targets, {"layouts_b_test": 2})[0],
                         ["layouts_b_test"])
        self.assertEqual(plan.test_stages("src/other/x.cpp", targets), [targets])

    def test_equivalent_patterns_treat_brackets_literally(self):
        reasons = {"src/a.cpp|rel|x[1] < y|*": "dead", "src/b.cpp|const|n = 2;|2|3|0": "same"}
        self.assertEqual(plan.reason_for("src/a.cpp|rel|x[1] < y|<|<=|0", reasons), "dead")
        self.assertIsNone(plan.reason_for("src/a.cpp|rel|x1 < y|<|<=|0", reasons))
        self.assertEqual(plan.reason_for("src/b.cpp|const|n = 2;|2|3|0", reasons), "same")

    def test_every_source_file_has_first_tests_that_exist(self):
        tree = pathlib.Path(__file__).resolve().parents[2]
        targets = plan.test_targets(tree)
        for rel in plan.source_files(tree):
            with self.subTest(rel=rel):
                stages = plan.test_stages(rel, targets)
                self.assertEqual(sorted(t for s in stages for t in s), targets)

    def test_every_equivalent_key_still_matches_a_mutant(self):
        # A key whose source line has changed explains nothing any more and
        # would hide a survivor of the line that replaced it.
        tree = pathlib.Path(__file__).resolve().parents[2]
        self.assertEqual(plan.stale_equivalents(tree), [])

    def test_stale_equivalents_names_keys_and_patterns_that_match_nothing(self):
        with tempfile.TemporaryDirectory() as d:
            root = pathlib.Path(d)
            (root / "src").mkdir()
            (root / "src" / "x.cpp").write_text("bool f(int a) { return a < 3; }\n")
            (root / "scripts" / "mutation").mkdir(parents=True)
            live = [m.key for m in mutants.mutants_of("src/x.cpp", (root / "src" / "x.cpp").read_text())]
            (root / "scripts" / "mutation" / "equivalent.txt").write_text(
                f"{live[0]} => same\nsrc/x.cpp|*|bool f(int a) {{ return a < 3; }}|* => pattern\n"
                "src/x.cpp|rel|gone < 4;|<|<=|0 => old\nsrc/y.cpp|*|any|* => no file\n")
            self.assertEqual(plan.stale_equivalents(root), ["src/x.cpp|rel|gone < 4;|<|<=|0", "src/y.cpp|*|any|*"])


class RestoreTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tree = pathlib.Path(self.dir.name)
        (self.tree / "src").mkdir()
        self.file = self.tree / "src" / "a.cpp"
        self.original = "int f(int a) { return a < 1; }\n"
        self.file.write_text(self.original)
        args = runner.parse_args(["--tree", str(self.tree), "--all"])
        self.runner = runner.Runner(args)
        self.runner.build.mkdir()
        self.mutant = mutants.mutants_of("src/a.cpp", self.original)[0]

    def tearDown(self):
        self.dir.cleanup()

    def test_file_restored_when_judging_raises(self):
        def judge(m, targets):
            self.assertNotEqual(self.file.read_text(), self.original)
            raise RuntimeError("build broke")
        self.runner.judge = judge
        with self.assertRaises(RuntimeError):
            self.runner.try_mutant(self.mutant, [])
        self.assertEqual(self.file.read_text(), self.original)
        self.assertFalse(self.runner.journal.path.exists())

    def test_file_restored_on_sigint(self):
        def judge(m, targets):
            os.kill(os.getpid(), signal.SIGINT)
            return "survived", ""
        self.runner.judge = judge
        old = signal.signal(signal.SIGINT, runner._raise_interrupted)
        try:
            with self.assertRaises(runner.Interrupted):
                self.runner.try_mutant(self.mutant, [])
        finally:
            signal.signal(signal.SIGINT, old)
        self.assertEqual(self.file.read_text(), self.original)

    def test_journal_restores_after_a_hard_kill(self):
        self.runner.journal.hold("src/a.cpp", self.original)
        self.file.write_text(self.mutant.apply(self.original))
        self.assertEqual(self.runner.journal.recover(), "src/a.cpp")
        self.assertEqual(self.file.read_text(), self.original)
        self.assertIsNone(self.runner.journal.recover())

    def test_changed_source_stops_the_run(self):
        self.file.write_text("// edited\n" + self.original)
        with self.assertRaises(RuntimeError):
            self.runner.try_mutant(self.mutant, [])


class JudgeTest(unittest.TestCase):
    """Outcomes from scripted build and test results (no compiler involved)."""

    def judge(self, builds, tests):
        args = runner.parse_args(["--tree", tempfile.gettempdir(), "--all"])
        r = runner.Runner(args)
        builds = list(builds)
        r.build_targets = lambda targets, timeout=None: builds.pop(0)
        r.run_test = lambda target: tests.get(target, "ok")
        m = mutants.mutants_of("src/reply/group_6.cpp", "int n = 1;\n")[0]
        return r.judge(m, ["layouts_a_test", "util_test"])

    def test_outcomes(self):
        cases = [
            (["failed"], {}, ("not-compiled", "")),
            (["timeout"], {}, ("build-timeout", "")),
            (["ok"], {"layouts_a_test": "failed"}, ("killed", "layouts_a_test")),
            (["ok", "ok"], {"util_test": "timeout"}, ("timed-out", "util_test")),
            (["ok", "ok"], {}, ("survived", "")),
            (["ok", "failed"], {}, ("killed", "build of util_test")),
        ]
        for builds, tests, expected in cases:
            with self.subTest(builds=builds, tests=tests):
                self.assertEqual(self.judge(builds, tests), expected)


class ReportTest(unittest.TestCase):
    def test_rerun_counts_new_kills_against_the_earlier_run(self):
        ms = mutants.mutants_of("src/a.cpp", "int f(int a) { return a < 1 && a > 2 && a == 3; }\n")
        earlier = {"results": [
            {"key": ms[0].key, "outcome": "killed"}, {"key": ms[1].key, "outcome": "survived"},
            {"key": ms[2].key, "outcome": "survived"}, {"key": "gone", "outcome": "survived"},
            {"key": ms[3].key, "outcome": "not-compiled"},
        ]}
        now = report.Summary(commit="abc", started=0, seconds=1, total=len(ms), chosen=2, selection="",
                             results=[(ms[1], "killed", "t_test"), (ms[2], "survived", "")], stopped="",
                             equivalent={ms[2].key: "same value"})
        text = report.rerun_section(now, earlier)
        self.assertIn("score of the run above with them: 50.0 %** (2 of 4)", text)
        self.assertIn("1 of 2 run again are killed now; 1 no longer exist", text)
        self.assertIn("of the 3 compiling mutants that are not equivalent: 66.7 %", text)
        self.assertIn("killed by t_test", text)
        self.assertIn("survived: same value", text)

    def test_rerun_of_the_unexplained_keeps_the_explained_survivors(self):
        ms = mutants.mutants_of("src/a.cpp", "int f(int a) { return a < 1 && a > 2 && a == 3; }\n")
        earlier = {"results": [{"key": ms[i].key, "outcome": "survived"} for i in range(4)]}
        reasons = {ms[2].key: "same value", ms[3].key: "same value"}
        # ms[0] killed now, ms[1] still alive without a reason; ms[2..3] not run again.
        now = report.Summary(commit="abc", started=0, seconds=1, total=len(ms), chosen=2, selection="",
                             results=[(ms[0], "killed", "t_test"), (ms[1], "survived", "")], stopped="",
                             equivalent=reasons, present=frozenset(m.key for m in ms))
        text = report.rerun_section(now, earlier)
        self.assertIn("1 of 2 run again are killed now; 0 no longer exist in the tree; 2 with a reason were not "
                      "run again", text)
        self.assertIn("of the 2 compiling mutants that are not equivalent: 50.0 % (2 survivors are equivalent)", text)

    def test_score_counts_timeouts_as_detected_and_skips_what_did_not_compile(self):
        ms = mutants.mutants_of("src/a.cpp", "int f(int a) { return a < 1 && a > 2 && a == 3; }\n")
        s = report.Summary(commit="abc", started=0, seconds=1, total=4, chosen=4, selection="",
                           results=[(ms[0], "killed", "t"), (ms[1], "timed-out", "t"), (ms[2], "survived", ""),
                                    (ms[3], "not-compiled", "")], stopped="", equivalent={})
        self.assertEqual((s.compiled(), s.detected()), (3, 2))
        self.assertAlmostEqual(s.score(), 200 / 3)
        self.assertEqual(s.survivor_counts(), (0, 0, 1))


class MergeTest(unittest.TestCase):
    SOURCE = "int f(int a) { return a < 1 && a > 2; }\n"

    def shard_file(self, d, name, commit, entries, seconds):
        path = pathlib.Path(d) / name
        path.write_text(json.dumps({"commit": commit, "started": seconds, "seconds": seconds,
                                    "selection": "every mutant; shard 1 of 2", "stopped": "", "results": entries}))
        return str(path)

    def test_shards_make_one_report_and_must_share_their_commit(self):
        with tempfile.TemporaryDirectory() as d:
            (pathlib.Path(d) / "src").mkdir()
            (pathlib.Path(d) / "src" / "a.cpp").write_text(self.SOURCE)
            ms = plan.collect(pathlib.Path(d))

            def entry(m, o):
                return {"key": m.key, "outcome": o, "test": "t_test" if o == "killed" else ""}
            a = self.shard_file(d, "a.json", "c1", [entry(ms[0], "killed")], 100)
            b = self.shard_file(d, "b.json", "c1", [entry(m, "survived") for m in ms[1:2]], 40)
            out = pathlib.Path(d) / "merged.md"
            args = runner.parse_args(["--tree", d, "--merge", a, b, "--report", str(out)])
            self.assertEqual(runner.merge(args), 0)
            text = out.read_text()
            self.assertIn("score 50.0 %** (1 detected of 2 compiling mutants)", text)
            self.assertIn("wall time 2.7 min (160 s)", text)  # first start at 40 s, last end at 200 s
            self.assertIn("every mutant; in 2 parts (shards side by side", text)
            self.assertNotIn("shard 1 of 2", text)
            c = self.shard_file(d, "c.json", "c2", [], 1)
            with self.assertRaises(RuntimeError):
                runner.merge(runner.parse_args(["--tree", d, "--merge", a, c]))
            gone = self.shard_file(d, "g.json", "c1", [{"key": "gone", "outcome": "killed", "test": ""}], 1)
            with self.assertRaises(RuntimeError):
                runner.merge(runner.parse_args(["--tree", d, "--merge", a, gone]))


class RewriteRerunTest(unittest.TestCase):
    def test_the_rerun_section_is_replaced_with_the_reasons_of_now(self):
        with tempfile.TemporaryDirectory() as d:
            root = pathlib.Path(d)
            (root / "src").mkdir()
            (root / "src" / "a.cpp").write_text(MergeTest.SOURCE)
            ms = plan.collect(root)
            earlier = root / "full.json"
            earlier.write_text(json.dumps({"commit": "c0", "results": [
                {"key": m.key, "outcome": "survived", "test": ""} for m in ms[:2]]}))
            again = root / "again.json"
            again.write_text(json.dumps({"commit": "c1", "started": 0, "seconds": 5, "selection": "", "results": [
                {"key": ms[0].key, "outcome": "killed", "test": "t_test"},
                {"key": ms[1].key, "outcome": "survived", "test": ""}]}))
            (root / "scripts" / "mutation").mkdir(parents=True)
            (root / "scripts" / "mutation" / "equivalent.txt").write_text(f"{ms[1].key} => same value\n")
            out = root / "mutation.md"
            out.write_text("# Mutation testing\n\n## Survivors run again\n\nold text\n")
            args = runner.parse_args(["--tree", d, "--rerun", str(earlier), "--rewrite-rerun", str(again),
                                      "--report", str(out)])
            self.assertEqual(runner.rewrite_rerun(args), 0)
            text = out.read_text()
            self.assertNotIn("old text", text)
            self.assertEqual(text.count("## Survivors run again"), 1)
            self.assertIn("survived: same value", text)
            self.assertIn("killed by t_test", text)


class TimeLimitTest(unittest.TestCase):
    def test_overrunning_command_is_killed(self):
        status, seconds = runner.run([sys.executable, "-c", "import time; time.sleep(30)"], ".", timeout=0.5)
        self.assertEqual(status, "timeout")
        self.assertLess(seconds, 10)
        self.assertEqual(runner.run([sys.executable, "-c", "raise SystemExit(1)"], ".")[0], "failed")


if __name__ == "__main__":
    unittest.main()
