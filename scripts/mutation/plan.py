"""Which files are mutated, which mutants run in which order, which tests judge them."""

from __future__ import annotations

import collections
import fnmatch
import pathlib
import random
import re

import mutants as mutants_mod

# Production code of the library: src/ without the fake host (a test helper),
# the Windows host and entry routine (not built here) and the export lists.
SOURCE_GLOBS = ("src/**/*.cpp", "src/**/*.h")
NOT_MUTATED = (
    "src/host/host_fake.*",
    "src/host/host_win32.cpp",
    "src/util/dll_entry.cpp",
)

# The fast suites: every tests/*_test.cpp binary. The soak, tool, install and
# Windows suites are not run per mutant.
TEST_GLOB = "tests/*_test.cpp"

# Tests that judge a mutant of a file first (fnmatch patterns, first match
# wins); when they all pass, the rest of the fast suites run.
FIRST_TESTS = (
    ("src/reply/record_stage.*", ("record_stage_test", "layouts_written_test")),
    ("src/reply/reply_reader.*", ("reply_reader_test", "reply_bounds_test")),
    ("src/reply/*", ("layouts_*_test", "models_bounds_test")),
    ("src/link/link_state.*", ("link_api_test", "link_timed_io_test")),
    ("src/link/*", ("link_timed_io_test", "link_wait_test")),
    ("src/command/*", ("command_frame_test",)),
    ("src/protocol/*", ("protocol_test", "command_frame_test", "reply_reader_test")),
    ("src/util/file_io.*", ("file_io_test", "handle_safety_test")),
    ("src/util/*", ("util_test",)),
    ("src/host/host_posix.*", ("*_pty_test", "*_posix_test")),
    ("src/host/host_forwarding.*", ("host_forwarding_test",)),
    ("src/host/posix_wait_policy.*", ("posix_wait_policy_test", "port_bounds_pty_test")),
    ("src/host/posix_port.*", ("port_bounds_pty_test", "*_pty_test", "link_api_test")),
    ("src/host/*", ("link_timed_io_test", "handle_safety_test", "file_io_test")),
    ("src/exports/link_api.*", ("link_api_test", "link_threads_test")),
    ("src/exports/*", ("reply_reader_test", "command_frame_test", "util_test", "file_io_test")),
)

EQUIVALENT_FILE = "scripts/mutation/equivalent.txt"


def source_files(tree: pathlib.Path) -> list[str]:
    files = set()
    for pattern in SOURCE_GLOBS:
        for p in tree.glob(pattern):
            rel = p.relative_to(tree).as_posix()
            if not any(fnmatch.fnmatch(rel, skip) for skip in NOT_MUTATED):
                files.add(rel)
    return sorted(files)


def collect(tree: pathlib.Path) -> list[mutants_mod.Mutant]:
    found = []
    for rel in source_files(tree):
        found += mutants_mod.mutants_of(rel, (tree / rel).read_text())
    return found


def stratified_order(found: list[mutants_mod.Mutant], seed: int) -> list[mutants_mod.Mutant]:
    """Every mutant once, strata (file, operator) taken in turn.

    Within a stratum the mutants are shuffled; a layout stratum gives each row
    one mutant before any row gets a second, so that a prefix of the order
    reaches as many rows as it can.
    """
    rng = random.Random(seed)
    strata: dict[tuple[str, str], list[mutants_mod.Mutant]] = collections.defaultdict(list)
    for m in found:
        strata[(m.path, m.operator)].append(m)
    queues = []
    for key in sorted(strata):
        members = strata[key]
        rng.shuffle(members)
        if key[1] == "layout":
            by_row: dict[int, list] = collections.defaultdict(list)
            for m in members:
                by_row[m.line].append(m)
            rows = list(by_row.values())
            rng.shuffle(rows)
            members = [row[i] for i in range(max(map(len, rows))) for row in rows if i < len(row)]
        queues.append(collections.deque(members))
    rng.shuffle(queues)
    order = []
    while queues:
        queues = [q for q in queues if q]
        for q in queues:
            order.append(q.popleft())
    return order


def choose(found: list[mutants_mod.Mutant], args) -> list[mutants_mod.Mutant]:
    """The mutants to run, in the order to run them.

    --sample N takes the first N of the stratified order of the mutants that
    are not layout mutants; --all-layout adds every layout mutant, and
    --layout-rows one mutant of every layout row (the first of the row in the
    stratified order). The chosen set runs in stratified order, so that a run
    cut short by its time budget is still spread over files and operators.
    """
    pool = [m for m in found
            if (not args.only or any(s in m.path for s in args.only))
            and (not args.operator or m.operator in args.operator)]
    order = stratified_order(pool, args.seed)
    if args.all or args.sample is None:
        return order
    layout_rows = getattr(args, "layout_rows", False)
    if not (args.all_layout or layout_rows):
        return order[: args.sample]
    chosen = {m.key for m in [m for m in order if m.operator != "layout"][: args.sample]}
    rows_seen = set()
    for m in order:
        if m.operator != "layout":
            continue
        if args.all_layout or m.row not in rows_seen:
            chosen.add(m.key)
            rows_seen.add(m.row)
    return [m for m in order if m.key in chosen]


def describe_selection(args) -> str:
    parts = ["every mutant" if args.all else f"stratified sample of {args.sample}, seed {args.seed}"]
    if args.all_layout and not args.all:
        parts.append("plus every layout mutant")
    elif getattr(args, "layout_rows", False) and not args.all:
        parts.append("plus one mutant of every layout row")
    if args.only:
        parts.append("files containing " + ", ".join(args.only))
    if args.operator:
        parts.append("operators " + ", ".join(args.operator))
    if args.budget:
        parts.append(f"time budget {args.budget:.0f} s")
    if getattr(args, "shard", None):
        parts.append("shard {} of {}".format(*args.shard))
    return "; ".join(parts)


def shard_of(chosen: list, shard) -> list:
    """Shard (k, n): every n-th mutant of the chosen order, from the k-th."""
    if not shard:
        return chosen
    k, n = shard
    return chosen[k - 1::n]


def test_targets(tree: pathlib.Path) -> list[str]:
    return sorted(p.stem for p in tree.glob(TEST_GLOB))


def test_stages(path: str, targets: list[str], kills=None) -> list[list[str]]:
    """The order in which tests judge a mutant of path: the file's first tests
    one at a time (those with the most kills in it so far first), then all
    the others together."""
    kills = kills or {}
    first: list[str] = []
    for pattern, tests in FIRST_TESTS:
        if fnmatch.fnmatch(path, pattern):
            first = [t for t in targets if any(fnmatch.fnmatch(t, g) for g in tests)]
            break
    first.sort(key=lambda t: -kills.get(t, 0))  # stable: ties keep their order
    rest = [t for t in targets if t not in first]
    return [[t] for t in first] + ([rest] if rest else [])


def reason_for(key: str, reasons: dict[str, str]) -> str | None:
    if key in reasons:
        return reasons[key]
    for pattern, why in reasons.items():
        # '*' is the only wildcard: keys hold code, whose brackets are literal.
        if "*" in pattern and re.fullmatch(".*".join(map(re.escape, pattern.split("*"))), key):
            return why
    return None


def stale_equivalents(tree: pathlib.Path) -> list[str]:
    """The keys (or patterns) of the equivalent-mutant file that match no
    mutant of the current tree: their source line has changed or gone."""
    keys = [m.key for m in collect(tree)]
    present = set(keys)
    stale = []
    for pattern in load_equivalent(tree):
        if pattern in present:
            continue
        if "*" in pattern and any(reason_for(k, {pattern: ""}) is not None for k in keys):
            continue
        stale.append(pattern)
    return stale


def load_equivalent(tree: pathlib.Path) -> dict[str, str]:
    """Mutant key (or a pattern of keys with '*') => why it cannot change observable behaviour."""
    path = tree / EQUIVALENT_FILE
    reasons = {}
    if path.exists():
        for line in path.read_text().splitlines():
            if " => " in line and not line.startswith("#"):
                key, reason = line.split(" => ", 1)
                reasons[key.strip()] = reason.strip()
    return reasons
