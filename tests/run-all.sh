#!/usr/bin/env bash
# Installs what the builds and tests need when it is missing, then builds
# MACtoSN for the build host and for the device (ARMv7-A, run under
# qemu-arm), runs every test on both, checks that the device build is
# reproducible, runs the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and fuzzes the tool for a minute
# ($MACTOSN_FUZZ_SECONDS). Builds go under ./build-test
# (or $MACTOSN_TEST_BUILD_DIR).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=${MACTOSN_TEST_BUILD_DIR:-$top/build-test}
jobs=$(nproc 2>/dev/null || echo 2)

need=()
want() { command -v "$1" >/dev/null 2>&1 || need+=("$2"); }
want_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || need+=("$1"); }
want cmake cmake
want ninja ninja-build
want g++ g++
want python3 python3
want arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf
want qemu-arm qemu-user
want clang++ clang
want_package libclang-rt-14-dev
if ((${#need[@]})); then
  echo "== installing: ${need[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq </dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

# `ctest --preset P` tests the preset's own folder (build-P) once that exists,
# whatever --test-dir says, and passes when it finds no test there. So ctest
# runs on this script's folder directly, under the test preset's environment.
preset_environment() {
  python3 -c 'import json, sys
preset = next(p for p in json.load(open(sys.argv[1]))["testPresets"] if p["name"] == sys.argv[2])
for pair in preset.get("environment", {}).items():
    print("%s=%s" % pair)' "$top/CMakePresets.json" "$1"
}

build_and_test() {
  local preset=$1; shift
  echo "== $preset build and tests"
  local -a environment
  mapfile -t environment < <(preset_environment "$preset")
  cmake --preset "$preset" -S "$top" -B "$out/$preset" -G Ninja "$@"
  cmake --build "$out/$preset" -j "$jobs"
  env "${environment[@]}" ctest --test-dir "$out/$preset" --output-on-failure --no-tests=error -j "$jobs"
}

build_and_test host
build_and_test device
build_and_test sanitize
build_and_test fuzz -DMACTOSN_FUZZ_SECONDS="${MACTOSN_FUZZ_SECONDS:-60}"

echo "== device build reproducible from another folder"
copy="$out/elsewhere/source"
rm -rf "$out/elsewhere"
mkdir -p "$copy"
(cd "$top" && tar cf - --exclude='./build*' --exclude=./.git .) | tar xf - -C "$copy"
cmake --preset device -S "$copy" -B "$out/elsewhere/device" -G Ninja -DBUILD_TESTING=OFF
cmake --build "$out/elsewhere/device" -j "$jobs"
if cmp "$out/device/MACtoSN" "$out/elsewhere/device/MACtoSN"; then
  echo "reproducible: 1 passed, 0 failed"
else
  echo "reproducible: 0 passed, 1 failed"
  exit 1
fi
