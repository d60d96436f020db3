#!/usr/bin/env python3
"""Checks the compile commands of the kernel units: nothing is built with
fast-math, every unit forbids float contraction, and each tier unit gets
exactly its own instruction-set extensions (the rest stay at baseline)."""

import json
import os
import re
import sys

TIER_FLAGS = {
    "kavo_trellis_cpu_avx2.cpp": {"-mavx2", "-mfma", "-mf16c"},
    "kavo_trellis_cpu_avx512.cpp": {"-mavx512f", "-mavx512bw", "-mavx512vl"},
    "kavo_trellis_cpu_fp16.cpp": {"-mavx512f", "-mavx512bw", "-mavx512vl", "-mavx512fp16"},
}
UNITS = {"kavo_cpu_dispatch.cpp", "kavo_trellis_cpu_scalar.cpp", "kavo_fht_cpu.cpp",
         "kavo_bindings_cpu.cpp", *TIER_FLAGS}


def main(path):
    with open(path) as f:
        commands = json.load(f)
    seen, bad = set(), []
    for c in commands:
        name = os.path.basename(c["file"])
        args = c.get("arguments") or c["command"].split()
        if any(a in ("-ffast-math", "-Ofast", "-funsafe-math-optimizations") for a in args):
            bad.append(f"{name}: fast-math flag")
        if name not in UNITS or "/csrc/cpu/" not in c["file"]:
            continue
        seen.add(name)
        if "-ffp-contract=off" not in args:
            bad.append(f"{name}: float contraction not disabled")
        isa = {a for a in args if re.fullmatch(r"-m(avx|fma|f16c|sse4|bmi|xsave)\S*", a)}
        want = TIER_FLAGS.get(name, set())
        if isa != want:
            bad.append(f"{name}: instruction-set flags {sorted(isa)}, want {sorted(want)}")
    missing = (UNITS - {"kavo_bindings_cpu.cpp"}) - seen
    if missing:
        bad.append(f"units not found: {sorted(missing)}")
    for b in bad:
        print("FAIL", b)
    print(f"checked {len(seen)} kernel units")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
