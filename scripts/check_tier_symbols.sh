#!/usr/bin/env bash
# Each vector tier's object may export exactly one symbol, its table accessor,
# and define no weak or unique symbols: a weak copy of an inline helper built
# with AVX flags could be chosen by the linker for baseline code.
set -euo pipefail
status=0
for obj in "$@"; do
  case "$obj" in
    *kavo_trellis_cpu_avx2*|*kavo_trellis_cpu_avx512*|*kavo_trellis_cpu_fp16*) ;;
    *) continue ;;
  esac
  weak=$(nm -C --defined-only "$obj" | grep -E ' [WwVvu] ' || true)
  if [ -n "$weak" ]; then
    echo "FAIL $obj defines weak symbols:"; echo "$weak"; status=1
  fi
  exported=$(nm -C --defined-only --extern-only "$obj" | awk '{ $1=""; $2=""; print }' | sed 's/^ *//')
  if [ "$(echo "$exported" | wc -l)" -ne 1 ] || ! echo "$exported" | grep -q '_kernels()$'; then
    echo "FAIL $obj exports more than its accessor:"; echo "$exported"; status=1
  fi
  echo "ok   $(basename "$obj"): exports $exported"
done
exit $status
