#!/usr/bin/env python3
"""Disassembly gate for the hand-written x86-64 converters.

Runs `objdump -d` on object files or static archives and checks every
function symbol by its suffix:
  *_ASM  general-purpose registers only: no MMX, XMM/YMM/ZMM, mask or x87
         register, no x87 or SIMD-state instruction (EMMS included).
  *_SSE  the MMX register file with base MMX plus PINSRW, PSHUFW and
         PMOVMSKB only: no XMM/YMM/ZMM, mask or x87 register, no other
         instruction on an MMX register (PADDQ, PSUBQ, PMULUDQ, PSHUFB,
         PALIGNR, ...), no SSE/SSE2 instruction working on general registers
         (MOVNTI, fences, prefetches), and the MMX state empty (EMMS) on
         every path that leaves the function.
Other symbols are not checked.

Usage:
  x86_gate.py [--objdump PATH] [--expect-symbols ASM=N,SSE=M] FILE...
  x86_gate.py --expect-reject SYMBOL=KIND [...] FILE...   (self-test)

Exit status 0 when every checked symbol passes (or, with --expect-reject,
when exactly the named symbols are rejected, each for a violation of the
named kind: xmm, mmx-op, x87, gp-simd, mmx-reg, emms).
"""

import argparse
import re
import subprocess
import sys

BASE_MMX = {
    "emms", "movd", "movq",
    "packsswb", "packssdw", "packuswb",
    "paddb", "paddw", "paddd", "paddsb", "paddsw", "paddusb", "paddusw",
    "pand", "pandn", "por", "pxor",
    "pcmpeqb", "pcmpeqw", "pcmpeqd", "pcmpgtb", "pcmpgtw", "pcmpgtd",
    "pmaddwd", "pmulhw", "pmullw",
    "psllw", "pslld", "psllq", "psraw", "psrad", "psrlw", "psrld", "psrlq",
    "psubb", "psubw", "psubd", "psubsb", "psubsw", "psubusb", "psubusw",
    "punpckhbw", "punpckhwd", "punpckhdq", "punpcklbw", "punpcklwd", "punpckldq",
}
SSE_INTEGER_EXTENSIONS = {"pinsrw", "pshufw", "pmovmskb"}
ALLOWED_ON_MMX = BASE_MMX | SSE_INTEGER_EXTENSIONS

# SSE/SSE2 instructions that touch no SIMD register but are not part of the
# allowed set, and instructions that handle the whole FPU/SIMD state.
GP_SIMD = {
    "movnti", "lfence", "mfence", "sfence", "clflush", "clflushopt",
    "prefetchnta", "prefetcht0", "prefetcht1", "prefetcht2", "prefetchw",
    "ldmxcsr", "stmxcsr", "vldmxcsr", "vstmxcsr",
    "fxsave", "fxrstor", "fxsave64", "fxrstor64",
    "xsave", "xrstor", "xsave64", "xrstor64", "xsaveopt", "xsavec", "xsaves",
}
PREFIXES = {"rep", "repz", "repe", "repnz", "repne", "lock", "data16", "data32",
            "addr32", "cs", "ds", "es", "ss", "fs", "gs", "bnd", "notrack",
            "rex", "rex.w", "rex.b", "rex.x", "rex.r", "{vex}", "{evex}"}

RE_SYMBOL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
RE_INSN = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")
RE_XMM = re.compile(r"%[xyz]mm\d+")
RE_MMX = re.compile(r"%mm\d\b")
RE_X87 = re.compile(r"%st(\(\d\))?")
RE_MASK = re.compile(r"%k[0-7]\b")
RE_TARGET = re.compile(r"^([0-9a-f]+)\s+<")


class Insn:
    def __init__(self, addr, mnemonic, operands):
        self.addr = addr
        self.mnemonic = mnemonic
        self.operands = operands


def parse_insn(text):
    text = text.split("#")[0].strip()
    words = text.split()
    while words and words[0] in PREFIXES:
        words.pop(0)
    if not words:
        return None, ""
    return words[0], " ".join(words[1:])


def disassemble(objdump, files):
    """Returns {symbol: [Insn]} over all files (archive members included)."""
    out = subprocess.run([objdump, "-d", "--no-show-raw-insn", "-w", *files],
                         check=True, capture_output=True, text=True).stdout
    functions = {}
    current = None
    for line in out.splitlines():
        m = RE_SYMBOL.match(line)
        if m:
            current = functions.setdefault(m.group(2), [])
            continue
        if line.startswith("Disassembly of section") or line.startswith("In archive"):
            current = None
            continue
        m = RE_INSN.match(line)
        if m and current is not None:
            mnemonic, operands = parse_insn(m.group(2))
            if mnemonic is None or mnemonic == "(bad)":
                if mnemonic == "(bad)":
                    current.append(Insn(int(m.group(1), 16), "(bad)", ""))
                continue
            current.append(Insn(int(m.group(1), 16), mnemonic, operands))
    return functions


def is_x87(mnemonic):
    # No general-purpose mnemonic starts with "f".
    return mnemonic.startswith("f")


def register_violations(kind, insns):
    """(kind, address, text) for every instruction outside the register rule."""
    bad = []
    for i in insns:
        text = f"{i.mnemonic} {i.operands}".strip()
        if i.mnemonic == "(bad)":
            bad.append(("undecodable", i.addr, text))
            continue
        if RE_XMM.search(i.operands):
            bad.append(("xmm", i.addr, text))
            continue
        if RE_MASK.search(i.operands):
            bad.append(("xmm", i.addr, text))
            continue
        if RE_X87.search(i.operands) or is_x87(i.mnemonic):
            bad.append(("x87", i.addr, text))
            continue
        if i.mnemonic in GP_SIMD:
            bad.append(("gp-simd", i.addr, text))
            continue
        uses_mmx = bool(RE_MMX.search(i.operands))
        if kind == "ASM":
            if uses_mmx or i.mnemonic in ("emms", "femms"):
                bad.append(("mmx-reg", i.addr, text))
        elif uses_mmx and i.mnemonic not in ALLOWED_ON_MMX:
            bad.append(("mmx-op", i.addr, text))
    return bad


def is_jump(m):
    return m.startswith("j")


def emms_violations(insns):
    """Paths that leave the function with the MMX state in use.

    A forward data-flow over the function's control flow: the state is
    'dirty' after any instruction on an MMX register and clean after EMMS;
    every return, every jump out of the function and every indirect jump must
    be reached clean on all paths. The caller's state is taken as clean.
    """
    if not insns:
        return []
    index = {ins.addr: n for n, ins in enumerate(insns)}
    succ = []
    exits = []
    for n, ins in enumerate(insns):
        m = ins.mnemonic
        s = []
        if m.startswith("ret"):
            exits.append(n)
        elif is_jump(m):
            t = RE_TARGET.match(ins.operands)
            if t and int(t.group(1), 16) in index:
                s.append(index[int(t.group(1), 16)])
            else:
                exits.append(n)  # tail jump or indirect jump
            if m not in ("jmp", "jmpq") and n + 1 < len(insns):
                s.append(n + 1)
        elif m in ("ud2", "hlt"):
            pass
        elif n + 1 < len(insns):
            s.append(n + 1)
        succ.append(s)

    dirty_in = [None] * len(insns)  # None: not reached
    dirty_in[0] = False
    work = [0]
    while work:
        n = work.pop()
        ins = insns[n]
        state = dirty_in[n]
        if ins.mnemonic == "emms":
            state = False
        elif RE_MMX.search(ins.operands):
            state = True
        for t in succ[n]:
            merged = state if dirty_in[t] is None else (dirty_in[t] or state)
            if merged != dirty_in[t]:
                dirty_in[t] = merged
                work.append(t)
    bad = []
    for n in exits:
        ins = insns[n]
        state = dirty_in[n]
        if state is None:
            continue
        if ins.mnemonic != "emms" and RE_MMX.search(ins.operands):
            state = True
        if state:
            bad.append(("emms", ins.addr, f"{ins.mnemonic} {ins.operands}".strip()))
    return bad


def classify(symbol):
    if symbol.endswith("_ASM"):
        return "ASM"
    if symbol.endswith("_SSE"):
        return "SSE"
    return None


def check(functions):
    """Returns ({symbol: [violations]}, {'ASM': n, 'SSE': m})."""
    results = {}
    counts = {"ASM": 0, "SSE": 0}
    for symbol, insns in sorted(functions.items()):
        kind = classify(symbol)
        if kind is None:
            continue
        counts[kind] += 1
        bad = register_violations(kind, insns)
        if kind == "SSE":
            bad += emms_violations(insns)
        results[symbol] = bad
    return results, counts


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--objdump", default="objdump")
    ap.add_argument("--expect-symbols", default=None,
                    help="ASM=N,SSE=M: the exact numbers of symbols checked")
    ap.add_argument("--expect-reject", action="append", default=[],
                    metavar="SYMBOL=KIND")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()

    results, counts = check(disassemble(args.objdump, args.files))
    failed = False
    for symbol, bad in results.items():
        for kind, addr, text in bad:
            print(f"REJECT {symbol}: {kind} at {addr:#x}: {text}")
    print(f"checked {counts['ASM']} _ASM and {counts['SSE']} _SSE symbols")

    if args.expect_symbols:
        want = dict(kv.split("=") for kv in args.expect_symbols.split(","))
        for kind, n in want.items():
            if counts.get(kind) != int(n):
                print(f"FAIL: expected {n} _{kind} symbols, found {counts.get(kind)}")
                failed = True

    if args.expect_reject:
        # Self-test: exactly the named symbols rejected, each for its kind.
        expected = dict(e.split("=", 1) for e in args.expect_reject)
        for symbol, bad in results.items():
            kinds = {k for k, _, _ in bad}
            if symbol in expected:
                if expected[symbol] not in kinds:
                    print(f"FAIL: {symbol} not rejected for {expected[symbol]}")
                    failed = True
            elif bad:
                print(f"FAIL: {symbol} rejected but expected to pass")
                failed = True
        for symbol in expected:
            if symbol not in results:
                print(f"FAIL: {symbol} not found")
                failed = True
        return 1 if failed else 0

    if any(results.values()):
        failed = True
    if not results:
        print("FAIL: no _ASM or _SSE symbol found")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
