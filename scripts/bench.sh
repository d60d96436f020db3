#!/usr/bin/env bash
# Runs the benchmarks of a build: the kernel benchmark binary (single thread,
# every available tier), then the operation benchmark against dense F.linear.
# Results go to bench/results/ (kernels.json, ops.json, ops.png).
#
# Extra arguments through the environment:
#   BENCH_KERNEL_ARGS  for the kernel binary, e.g. --benchmark_filter=matvec/
#   BENCH_OPS_ARGS     for bench_ops.py, e.g. "--tiers all" or --quick
set -euo pipefail
build=${1:?usage: bench.sh BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
python=${PYTHON:-/usr/bin/python3}
results=$root/bench/results
mkdir -p "$results"

bin=$build/bench/kavo_bench_kernels
if [[ -x $bin ]]; then
  echo "== kernels (one thread; Wps = weights per second)"
  # shellcheck disable=SC2086
  "$bin" --benchmark_out="$results/kernels.json" \
    --benchmark_out_format=json ${BENCH_KERNEL_ARGS:-}
  echo
  echo "== kernel summary: Gweights/s, geometric mean over the shapes run"
  "$python" - "$results/kernels.json" <<'PY'
import json, math, sys
from collections import defaultdict
runs = json.load(open(sys.argv[1]))["benchmarks"]
rates = defaultdict(list)
for b in runs:
    if b.get("run_type", "iteration") != "iteration" or "Wps" not in b:
        continue
    kernel, tier, r = b["name"].split("/")[:3]
    rates[(kernel, tier, r)].append(b["Wps"])
order = ["scalar", "avx2", "avx512", "avx512fp16"]
rows = sorted({(k, t) for k, t, _ in rates},
              key=lambda kt: (kt[0], order.index(kt[1]) if kt[1] in order else 9))
rs = sorted({r for _, _, r in rates})
print(f"{'kernel':<14}{'tier':<12}" + "".join(f"{r:>8}" for r in rs))
for k, t in rows:
    cells = []
    for r in rs:
        v = rates.get((k, t, r))
        g = math.exp(sum(map(math.log, v)) / len(v)) / 1e9 if v else None
        cells.append(f"{g:8.2f}" if g else f"{'-':>8}")
    print(f"{k:<14}{t:<12}" + "".join(cells))
PY
else
  echo "== kernels: $bin not built (KAVO_BUILD_BENCH off, or the build was configured before bench/ existed: rerun cmake on it), skipped"
fi

# The extension goes where the build was configured to put it.
moddir=$(sed -n 's/^KAVO_MODULE_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
moddir=${moddir:-$root/kavo}
if compgen -G "$moddir/_C_cpu*.so" >/dev/null; then
  echo
  echo "== operations against dense F.linear"
  # shellcheck disable=SC2086
  PYTHONPATH=$(dirname "$moddir")${PYTHONPATH:+:$PYTHONPATH} \
    "$python" -P "$root/bench/bench_ops.py" ${BENCH_OPS_ARGS:-}
else
  echo "== operations: no _C_cpu module in $moddir, skipped"
fi
