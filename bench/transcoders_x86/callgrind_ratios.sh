#!/usr/bin/env bash
# Instructions per call of every converter-table slot in each form, counted
# by callgrind (deterministic, unlike timings on a shared machine), and the
# forms' share of the reference bit loop's instructions against the goals:
# general-purpose decoders <= 45 %, MMX decoders <= 15 %, general-purpose
# encoders <= 62 %, MMX encoders <= 52 %.
#
#   bench/transcoders_x86/callgrind_ratios.sh [path/to/hx_bench_transcoders_x86] [calls]
#
# Exit status 1 when a form misses its goal.
set -euo pipefail
bench="${1:-build/default/bench/transcoders_x86/hx_bench_transcoders_x86}"
calls="${2:-200}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$work/profile" \
  "$bench" --count "$calls" >"$work/map" 2>"$work/valgrind.log"
callgrind_annotate --inclusive=yes --threshold=100 "$work/profile" >"$work/annotated"

python3 - "$work/map" "$work/annotated" <<'PY'
import re, sys

mapping, calls = [], None
for line in open(sys.argv[1]):
    parts = line.split()
    if parts[0] == "calls":
        calls = int(parts[1])
    else:
        mapping.append((parts[0], parts[1], parts[2]))

# "  1,234 (0.5%)  file:function [object]" with inclusive counts.
costs = {}
for line in open(sys.argv[2]):
    m = re.match(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)$", line)
    if not m:
        continue
    ir = int(m.group(1).replace(",", ""))
    name = m.group(2)
    name = re.sub(r"\s+\[[^\]]*\]$", "", name)
    name = name.split(":", 1)[1] if ":" in name and not name.startswith("(") else name
    costs.setdefault(name, ir)

def per_call(symbol):
    if symbol.startswith("referenceCall<"):
        hits = [v for k, v in costs.items() if symbol in k]
    else:
        hits = [v for k, v in costs.items() if k == symbol or k.startswith(symbol + "'")]
    return max(hits) / calls if hits else None

goals = {("decoder", "ASM"): 45, ("decoder", "SSE"): 15,
         ("encoder", "ASM"): 62, ("encoder", "SSE"): 52}
rows = {}
for slot, form, symbol in mapping:
    rows.setdefault(slot, {})[form] = per_call(symbol)

missed = 0
print(f"{'slot':30} {'ref':>8} {'C':>8} {'ASM':>8} {'SSE':>8} {'C/ref':>7} {'ASM/ref':>8} {'SSE/ref':>8}")
for slot, r in rows.items():
    kind = "decoder" if slot.startswith("dmaDecode") else "encoder"
    ref = r.get("reference")
    cells, ratios = [], []
    for form in ("reference", "C", "ASM", "SSE"):
        v = r.get(form)
        cells.append(f"{v:8.0f}" if v else f"{'-':>8}")
    for form in ("C", "ASM", "SSE"):
        v = r.get(form)
        if v and ref:
            pct = 100.0 * v / ref
            goal = goals.get((kind, form))
            flag = "!" if goal is not None and pct > goal else " "
            missed += flag == "!"
            ratios.append(f"{pct:6.1f}%{flag}")
        else:
            ratios.append(f"{'-':>7} ")
    print(f"{slot:30} {' '.join(cells)} {' '.join(ratios)}")
print(f"\ninstructions per call over {calls} calls; '!' marks a form above its goal "
      "(decoders ASM <= 45 %, SSE <= 15 %; encoders ASM <= 62 %, SSE <= 52 % of the reference loop)")
sys.exit(1 if missed else 0)
PY
