#!/usr/bin/env bash
# Runs the C++ test binary under user-mode emulation of older processors and
# checks which tier the automatic choice picks there.
set -euo pipefail
bin=${1:?usage: qemu_tests.sh path/to/kavo_cpp_tests}
for pair in Nehalem:scalar Haswell:avx2; do
  cpu=${pair%%:*}
  tier=${pair##*:}
  echo "== qemu-x86_64 -cpu $cpu (automatic tier must be $tier)"
  KAVO_EXPECT_AUTO_TIER=$tier qemu-x86_64 -cpu "$cpu" "$bin" --gtest_brief=1
done
