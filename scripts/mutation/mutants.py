"""Single-token mutants of C++ sources.

A mutant replaces one span of one file. The source is first masked (comments,
string and character literals and preprocessor lines blanked to spaces, same
length), so that every operator only ever sees code; the replacement is then
applied to the original text at the same position.

Operators:
  rel     relational flips: < <=, > >=, == != (operators written with a space
          on both sides, which is how this code base writes them; template
          brackets never are)
  bitop   & |, &= |= (binary, spaced)
  const   integer constant +1 and -1; a hexadecimal constant with two or more
          bits set (a mask) also loses its highest set bit
  call    a call statement removed (replaced by an empty block)
  layout  in layout tables (the row builders of the reply layouts, the
          record-stage field runs, value maps) one number of one row +1 / -1
"""

from __future__ import annotations

import dataclasses
import re

# Row builders of the layout tables (src/reply/layout.h).
LAYOUT_ROW_CALLS = (
    "copy", "zero", "set", "flag", "field", "orField", "bit", "orNonZero",
    "orBit0IntoBit1", "map", "pack", "payloadToEnd", "threshold", "chooseBy",
)
# Aggregate tables whose braced rows are layout rows.
LAYOUT_TABLE_TYPES = ("FieldRun", "ValueMap")
# Compile-time guards: a guard that is weakened or removed cannot change a
# table that compiles, so they are not mutated.
GUARD_CALLS = ("require", "checkOut", "checkSrc", "checkBits", "static_assert")
KEYWORDS = {
    "return", "if", "for", "while", "switch", "sizeof", "case", "delete", "new",
    "throw", "do", "else", "alignof", "decltype", "static_assert",
}

REL_FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
BIT_FLIPS = {"&": "|", "|": "&", "&=": "|=", "|=": "&="}


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str        # relative to the repository root
    operator: str
    start: int       # offset of the replaced span in the file
    end: int
    before: str
    after: str
    line: int        # 1-based line of the span's start
    line_text: str   # the original line, stripped

    @property
    def key(self) -> str:
        """A name that survives edits elsewhere in the file (no line number)."""
        return f"{self.path}|{self.operator}|{self.line_text}|{self.before}|{self.after}|{self.occurrence}"

    occurrence: int = 0  # index among mutants of the same line and before/after
    row: tuple = ()      # layout mutants: (path, offset) of the table row they change

    def apply(self, text: str) -> str:
        return text[: self.start] + self.after + text[self.end :]

    def describe(self) -> str:
        before = " ".join(self.before.split())
        after = " ".join(self.after.split())
        return f"{self.path}:{self.line} `{before}` -> `{after}`"


def mask(text: str) -> str:
    """Blanks comments, literals and preprocessor lines, keeping offsets and newlines."""
    out = list(text)
    i, n = 0, len(text)
    at_line_start = True

    def blank(a: int, b: int) -> None:
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if at_line_start and c in " \t":
            i += 1
            continue
        if at_line_start and c == "#":
            j = i
            while j < n:  # up to the end of the line, following continuations
                nl = text.find("\n", j)
                if nl < 0:
                    nl = n
                if nl > 0 and text[nl - 1] == "\\":
                    j = nl + 1
                    continue
                break
            blank(i, nl)
            i = nl
            continue
        at_line_start = c == "\n"
        if text.startswith("//", i):
            nl = text.find("\n", i)
            nl = n if nl < 0 else nl
            blank(i, nl)
            i = nl
        elif text.startswith("/*", i):
            e = text.find("*/", i + 2)
            e = n if e < 0 else e + 2
            blank(i, e)
            i = e
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i, min(j + 1, n))
            i = j + 1
        else:
            i += 1
    return "".join(out)


def matching_paren(masked: str, open_at: int) -> int:
    """Offset of the bracket closing the one at open_at, or -1."""
    pairs = {"(": ")", "{": "}", "[": "]"}
    opener = masked[open_at]
    closer = pairs[opener]
    depth = 0
    for k in range(open_at, len(masked)):
        ch = masked[k]
        if ch == opener:
            depth += 1
        elif ch == closer:
            depth -= 1
            if depth == 0:
                return k
    return -1


def _spans_of_calls(masked: str, names: tuple[str, ...]) -> list[tuple[int, int]]:
    spans = []
    for m in re.finditer(r"\b(" + "|".join(names) + r")\s*\(", masked):
        close = matching_paren(masked, m.end() - 1)
        if close > 0:
            spans.append((m.start(), close + 1))
    return spans


def _layout_spans(masked: str) -> list[tuple[int, int]]:
    """Argument lists of row builders and bodies of the layout aggregate tables."""
    spans = _spans_of_calls(masked, LAYOUT_ROW_CALLS)
    for m in re.finditer(r"\b(" + "|".join(LAYOUT_TABLE_TYPES) + r")\s+\w+(\s*\[\s*\])?\s*=\s*\{", masked):
        close = matching_paren(masked, m.end() - 1)
        if close > 0:
            spans.append((m.end() - 1, close + 1))
    # Definitions of the builders themselves (consteval Op copy(...)) are not rows.
    return [s for s in spans if not re.search(r"\bconsteval\s+\w+\s+$", masked[max(0, s[0] - 40) : s[0]])]


def _braced_rows(masked: str, spans: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """The {...} rows inside the aggregate tables (a FieldRun row, say)."""
    rows = []
    for a, b in spans:
        if masked[a] != "{":
            continue
        k = a + 1
        while k < b - 1:
            if masked[k] == "{":
                close = matching_paren(masked, k)
                rows.append((k, close + 1))
                k = close + 1
            else:
                k += 1
    return rows


def _innermost(pos: int, spans: list[tuple[int, int]]) -> tuple[int, int] | None:
    inside = [s for s in spans if s[0] <= pos < s[1]]
    return min(inside, key=lambda s: s[1] - s[0]) if inside else None


_NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")


def _number_variants(literal: str, suffix: str, masks: bool) -> list[str]:
    is_hex = literal[:2].lower() == "0x"
    value = int(literal, 16 if is_hex else 10)
    digits = len(literal) - 2
    fmt = (lambda v: literal[:2] + "%0*X" % (digits, v)) if is_hex else str
    variants = [fmt(value + 1) + suffix]
    if value > 0:
        variants.append(fmt(value - 1) + suffix)
    if masks and is_hex and bin(value).count("1") >= 2:
        cleared = value & ~(1 << (value.bit_length() - 1))
        if fmt(cleared) + suffix not in variants:
            variants.append(fmt(cleared) + suffix)
    return variants


_LABEL = re.compile(r"(^|[;{}]|\n)\s*(case\s[^;:]*|default|public|private|protected)\s*:$")


def _call_statements(masked: str) -> list[tuple[int, int]]:
    """Spans of expression statements that are calls: `f(..);`, `a.b(..);`, `ns::f(..);`."""
    heads = set()
    for m in re.finditer(r"\b(if|for|while)\s*\(", masked):
        close = matching_paren(masked, m.end() - 1)
        if close > 0:
            heads.add(close)
    spans = []
    start_re = re.compile(r"(static_cast<void>\(\s*)?([A-Za-z_][\w:]*)\s*(?:\([^;{}]*?\)\s*)?(?:(?:\.|->)\s*\w+\s*)*\(")
    for m in start_re.finditer(masked):
        if m.group(2) in KEYWORDS or m.group(2) in GUARD_CALLS:
            continue
        if m.start() > 0 and (masked[m.start() - 1].isalnum() or masked[m.start() - 1] in "_:.>"):
            continue
        prev = masked[: m.start()].rstrip()
        prev_end = len(prev) - 1
        if not (prev == "" or prev[-1] in ";{}" or _LABEL.search(prev) or prev_end in heads
                or re.search(r"\belse$", prev)):
            continue
        # The statement runs to the first ';' at depth 0; no ',', '=' or '?' at depth 0.
        depth, k, ok = 0, m.start(), True
        while k < len(masked):
            ch = masked[k]
            if ch in "([{":
                depth += 1
            elif ch in ")]}":
                depth -= 1
                if depth < 0:
                    ok = False
                    break
            elif depth == 0 and ch == ";":
                break
            elif depth == 0 and (ch in ",?" or (ch == "=" and masked[k - 1] not in "=!<>" and masked[k + 1] != "=")):
                ok = False
                break
            k += 1
        if ok and k < len(masked) and masked[m.start() : k].rstrip().endswith(")"):
            spans.append((m.start(), k + 1))
    return spans


def _guard_lines(masked: str) -> set[int]:
    """Line numbers (0-based) inside compile-time guard calls and static_asserts."""
    lines = set()
    for a, b in _spans_of_calls(masked, GUARD_CALLS):
        first = masked.count("\n", 0, a)
        last = masked.count("\n", 0, b)
        lines.update(range(first, last + 1))
    return lines


def mutants_of(path: str, text: str) -> list[Mutant]:
    masked = mask(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    lines = text.split("\n")
    guard_lines = _guard_lines(masked)
    layout = _layout_spans(masked)
    found: list[tuple[str, int, int, str]] = []

    def line_of(pos: int) -> int:
        lo, hi = 0, len(line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if line_starts[mid] <= pos:
                lo = mid
            else:
                hi = mid - 1
        return lo

    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", masked):
        found.append(("rel", m.start(), m.end(), REL_FLIPS[m.group(1)]))
    for m in re.finditer(r"(?<=\s)(&=|\|=|&|\|)(?=\s)", masked):
        found.append(("bitop", m.start(), m.end(), BIT_FLIPS[m.group(1)]))
    rows = layout + _braced_rows(masked, layout)
    row_of: dict[int, int] = {}
    for m in _NUMBER.finditer(masked):
        in_layout = _innermost(m.start(), layout) is not None
        if in_layout:
            row_of[m.start()] = _innermost(m.start(), rows)[0]
        for variant in _number_variants(m.group(1), m.group(2), masks=not in_layout):
            found.append(("layout" if in_layout else "const", m.start(), m.end(), variant))
    for a, b in _call_statements(masked):
        body = text[a:b]
        found.append(("call", a, b, "{}" + "\n" * body.count("\n")))

    result: list[Mutant] = []
    seen: dict[tuple, int] = {}
    for operator, a, b, after in sorted(found, key=lambda f: (f[1], f[0], f[3])):
        ln = line_of(a)
        if ln in guard_lines:
            continue
        before = text[a:b]
        line_text = lines[ln].strip()
        ident = (operator, line_text, before, after)
        occurrence = seen.get(ident, 0)
        seen[ident] = occurrence + 1
        row = (path, row_of[a]) if operator == "layout" else ()
        result.append(Mutant(path, operator, a, b, before, after, ln + 1, line_text, occurrence, row))
    return result
