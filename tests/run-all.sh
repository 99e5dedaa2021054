#!/usr/bin/env bash
# Installs what the build and tests need when it is missing, then builds
# MACtoSN and runs every test. Run from anywhere; builds under ./build-test.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=${MACTOSN_TEST_BUILD_DIR:-$top/build-test}
jobs=$(nproc 2>/dev/null || echo 2)

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || need+=(cmake)
have g++ || need+=(g++)
have python3 || need+=(python3)
have ninja || need+=(ninja-build)
if ((${#need[@]})); then
  echo "Installing: ${need[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

echo "== host build"
cmake -S "$top" -B "$out/host" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$out/host" -j "$jobs"
ctest --test-dir "$out/host" --output-on-failure -j "$jobs"
