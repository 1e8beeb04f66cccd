#!/usr/bin/env python3
"""ABI check of Kavrol32.dll: export names and ordinals, imports, and the
stack clean-up of every export.

Reads the export and import tables with `objdump -p` and the code with
`objdump -d`. From each export's entry point the code is followed along
every direct jump and branch (calls are stepped over); each return reached
must remove the export's own arguments: `ret $N` with N = 4 x argument
count on i686 (stdcall), a plain `ret` on x86_64 (the caller cleans up).
Needs no symbol table, so it also checks a stripped DLL.

With --client, checks instead that a program linked through the import
library imports every export under its exported name.

Exit status 0 when every check holds.
"""

import argparse
import re
import subprocess
import sys

# name, ordinal, bytes of arguments (4 per 32-bit slot)
EXPORTS = [
    ("Init_Msg_Bin", 1, 12),
    ("Get_Version", 2, 0),
    ("MuxSendComm", 3, 76),
    ("MuxReceiveComm", 4, 12),
    ("SaveBuffer", 5, 8),
    ("LoadBuffer", 6, 8),
    ("ChiudiFile", 7, 0),
    ("ApriFile", 8, 4),
    ("CreaFile", 9, 8),
    ("ShiftMask", 10, 20),
    ("_Invia_Ack@4", 11, 4),
]

# The system calls the library is built on; each must be imported.
PLATFORM_CALLS = {
    "PurgeComm", "WriteFile", "ReadFile", "ClearCommError", "GetTickCount",
    "_lcreat", "_lopen", "_lwrite", "_lread", "_lclose",
    "GetCommTimeouts", "SetCommTimeouts", "SwitchToThread", "Sleep", "GetLastError",
    # driver-driven waits: line format, overlapped completion, the timer
    # sleep (its creation call is looked up at run time, not imported)
    "GetCommState", "CreateEventW", "GetOverlappedResult", "CloseHandle",
    "SetWaitableTimer", "WaitForSingleObject", "GetModuleHandleW", "GetProcAddress",
}
# What else may be imported: the mingw-w64 DLL start-up code (the C runtime
# initialisation and its run-time relocation support) and the compiler's
# block moves. Anything outside this list (a heap allocator called by the
# library, the C++ runtime's exception support, a compiler-runtime DLL)
# fails the check.
CRT_STARTUP = {
    "KERNEL32.dll": {
        "DeleteCriticalSection", "EnterCriticalSection", "FreeLibrary", "GetLastError",
        "GetModuleHandleA", "GetModuleHandleW", "GetProcAddress", "InitializeCriticalSection",
        "LeaveCriticalSection", "LoadLibraryA", "LoadLibraryW", "SetUnhandledExceptionFilter",
        "Sleep", "TlsGetValue", "VirtualProtect", "VirtualQuery", "RtlAddFunctionTable",
        "RtlCaptureContext", "RtlLookupFunctionEntry", "RtlVirtualUnwind",
    },
    "msvcrt.dll": {
        "_amsg_exit", "_initterm", "_iob", "__iob_func", "_lock", "_unlock", "abort", "calloc",
        "free", "fwrite", "realloc", "strlen", "strncmp", "strcmp", "vfprintf", "__dllonexit",
        "_onexit", "memcpy", "memmove", "memset", "memcmp",
    },
}
FORMAT = {"i686": "pei-i386", "x86_64": "pei-x86-64"}


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, message):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL: {message}")
        return ok


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def parse_headers(text):
    """Image base, DLL characteristics, export table and import tables."""
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
    is_dll = re.search(r"^Characteristics.*\n(?:\t.*\n)*?\tDLL\b", text, re.M) is not None
    exports = {"rva": {}, "names": {}, "base": None, "dll": None}
    m = re.search(r"^Ordinal Base\s+(\d+)", text, re.M)
    if m:
        exports["base"] = int(m.group(1))
    m = re.search(r"^Name\s+[0-9a-fA-F]+\s+(\S+)", text, re.M)
    if m:
        exports["dll"] = m.group(1)
    for idx, rva in re.findall(r"^\t\[\s*(\d+)\] \+base\[\s*\d+\]\s+([0-9a-fA-F]+) Export RVA", text, re.M):
        exports["rva"][int(idx)] = int(rva, 16)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for idx, name in re.findall(r"^\t\[\s*(\d+)\] (\S+)$", table[1], re.M):
            exports["names"][name] = int(idx)
    imports = {}
    current = None
    section = text.split("The Import Tables", 1)[-1].split("There is an export table", 1)[0]
    for line in section.splitlines():
        m = re.match(r"^\tDLL Name: (\S+)", line)
        if m:
            current = imports.setdefault(m.group(1), set())
            continue
        m = re.match(r"^\t[0-9a-fA-F]+\s+\d+\s+(\S+)", line)
        if m and current is not None:
            current.add(m.group(1))
    return base, is_dll, exports, imports


INSN = re.compile(r"^\s*([0-9a-f]+):\t(\S+)\s*(.*)$")


def parse_code(text):
    """Address -> (mnemonic, operands, address of the next instruction)."""
    rows = []
    for line in text.splitlines():
        m = INSN.match(line)
        if m:
            rows.append((int(m.group(1), 16), m.group(2), m.group(3).split("#")[0].strip()))
    code = {}
    for i, (addr, mnem, ops) in enumerate(rows):
        nxt = rows[i + 1][0] if i + 1 < len(rows) else None
        code[addr] = (mnem, ops, nxt)
    return code


def returns_reached(code, entry, limit=20000):
    """Follows the code from entry; returns (set of ret operands, problems)."""
    rets, problems, seen, work = set(), [], set(), [entry]
    while work and len(seen) < limit:
        addr = work.pop()
        if addr in seen:
            continue
        seen.add(addr)
        if addr not in code:
            problems.append(f"no instruction at {addr:#x}")
            continue
        mnem, ops, nxt = code[addr]
        if mnem in ("rep", "repz", "bnd") and ops.startswith("ret"):
            mnem, ops = ops.split(None, 1)[0], (ops.split(None, 1)[1] if " " in ops else "")
        if mnem in ("ret", "retl", "retq"):
            rets.add(int(ops.lstrip("$"), 16) if ops else 0)
            continue
        target = re.match(r"^(?:0x)?([0-9a-f]+)\b", ops)
        if mnem.startswith("jmp"):
            if target:
                work.append(int(target.group(1), 16))
            else:
                problems.append(f"indirect jump at {addr:#x} not followed")
            continue
        if mnem in ("hlt", "ud2", "int3"):
            continue
        if re.match(r"^(j[a-z]+|loop[a-z]*)$", mnem) and target:
            work.append(int(target.group(1), 16))
        if nxt is not None:
            work.append(nxt)
    return rets, problems


def check_dll(tool, arch, dll, report):
    headers = objdump(tool, "-p", dll)
    base, is_dll, exports, imports = parse_headers(headers)
    report.check(f"file format {FORMAT[arch]}" in headers, f"not a {FORMAT[arch]} image")
    report.check(is_dll, "the image is not flagged as a DLL")
    report.check(exports["dll"] == "Kavrol32.dll", f"export table names the DLL {exports['dll']}")
    report.check(exports["base"] == 1, f"ordinal base {exports['base']}, expected 1")

    want_names = {name for name, _, _ in EXPORTS}
    got_names = set(exports["names"])
    report.check(got_names == want_names,
                 f"exported names differ: extra {sorted(got_names - want_names)}, "
                 f"missing {sorted(want_names - got_names)}")
    report.check(len(exports["rva"]) == len(EXPORTS),
                 f"{len(exports['rva'])} entries in the export address table, expected {len(EXPORTS)}")

    code = parse_code(objdump(tool, "-d", "-w", "--no-show-raw-insn", dll))
    print(f"{'export':<16}{'ordinal':>8}{'ret':>6}")
    for name, ordinal, arg_bytes in EXPORTS:
        if name not in exports["names"]:
            continue
        idx = exports["names"][name]
        got_ordinal = idx + (exports["base"] or 0)
        report.check(got_ordinal == ordinal, f"{name} has ordinal {got_ordinal}, expected {ordinal}")
        want_ret = arg_bytes if arch == "i686" else 0
        rets, problems = returns_reached(code, base + exports["rva"][idx])
        for p in problems:
            print(f"note: {name}: {p}")
        report.check(rets == {want_ret},
                     f"{name} returns with {sorted(rets) or 'no ret found'}, expected ret {want_ret}")
        print(f"{name:<16}{got_ordinal:>8}{','.join(str(r) for r in sorted(rets)):>6}")

    allowed_dlls = {d.lower() for d in CRT_STARTUP}
    report.check({d.lower() for d in imports} <= allowed_dlls,
                 f"imports from {sorted(imports)}; only {sorted(CRT_STARTUP)} are allowed")
    kernel = next((funcs for dll_name, funcs in imports.items() if dll_name.lower() == "kernel32.dll"), set())
    report.check(PLATFORM_CALLS <= kernel, f"KERNEL32 imports lack {sorted(PLATFORM_CALLS - kernel)}")
    for dll_name, funcs in sorted(imports.items()):
        allowed = next((v for k, v in CRT_STARTUP.items() if k.lower() == dll_name.lower()), set())
        if dll_name.lower() == "kernel32.dll":
            allowed = allowed | PLATFORM_CALLS
        report.check(funcs <= allowed, f"{dll_name}: unexpected imports {sorted(funcs - allowed)}")
        print(f"imports {dll_name}: {' '.join(sorted(funcs))}")


def check_client(tool, client, report):
    """A program linked through the import library imports every export
    under its exported name."""
    _, _, _, imports = parse_headers(objdump(tool, "-p", client))
    got = imports.get("Kavrol32.dll", set())
    want = {name for name, _, _ in EXPORTS}
    report.check(got == want, f"the client imports {sorted(got)} from Kavrol32.dll, expected {sorted(want)}")
    print(f"client imports Kavrol32.dll: {' '.join(sorted(got))}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dll", nargs="?", help="the DLL to check")
    ap.add_argument("--client", help="check instead what this program imports from the DLL")
    ap.add_argument("--arch", choices=sorted(FORMAT), default="i686")
    ap.add_argument("--objdump", default=None, help="default: <arch>-w64-mingw32-objdump")
    opts = ap.parse_args()
    if not (opts.dll or opts.client):
        ap.error("name a DLL or a --client program")
    tool = opts.objdump or f"{opts.arch}-w64-mingw32-objdump"
    report = Report()
    if opts.client:
        check_client(tool, opts.client, report)
    else:
        check_dll(tool, opts.arch, opts.dll, report)
    print(f"abi: {report.passed} passed, {report.failed} failed")
    return 0 if report.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
