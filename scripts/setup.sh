#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# when they are missing. Quick when everything is present.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build clang-format
  python3-torch libtorch-dev pybind11-dev
  python3-pytest python3-numpy python3-scipy python3-hypothesis
  libgtest-dev libbenchmark-dev libopenblas0-pthread python3-matplotlib
  qemu-user clang-14 libclang-rt-14-dev valgrind
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
