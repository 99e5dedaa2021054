#!/usr/bin/env bash
# Runs every leg, or only those named (tests/run-all.sh LEG...); tests/README.md says what each checks. A new
# machine runs provision/install.sh first. Builds go under ./build-test ($MACTOSN_TEST_BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/checks.sh"
out=${MACTOSN_TEST_BUILD_DIR:-$top/build-test}
shelf=${MACTOSN_PACKAGERS:-$top/../shared/packagers}
jobs=$(nproc 2>/dev/null || echo 2)
all_legs=(yocto-5.0 yocto-6.0 buildroot debian fuzz dev list-bytes-ninja list-bytes-make device device-static
  sdk-variants sanitize ubsan reproducible)
for leg in "$@"; do
  [[ " ${all_legs[*]} " == *" $leg "* ]] || { echo "usage: $0 [LEG...]; the legs: ${all_legs[*]}" >&2; exit 2; }
done
legs=("${@:-${all_legs[@]}}")
rm -rf "$out/verdicts" && mkdir -p "$out/verdicts"
touch "$out/.run-started"
# step LEG COMMAND...: the leg, if asked for, in a subshell that stops at its first failure; status 77 is
# SKIPPED. Its verdict goes to $out/verdicts, and the script goes on to the next leg either way.
step() {
  local leg=$1 start=$SECONDS status verdict=passed
  shift
  [[ " ${legs[*]} " == *" $leg "* ]] || return 0
  echo "== $leg"
  set +e; ( set -e; "$@" ); status=$?; set -e
  case $status in 0) ;; 77) verdict=SKIPPED ;; *) verdict=FAILED ;; esac
  printf '%-16s %4d s  %s\n' "$leg" $((SECONDS - start)) "$verdict" >"$out/verdicts/$leg"
}
# beside LEG COMMAND...: the leg as step runs it, started now beside the legs that follow (it spends most of
# its time on one core); its output is shown once all are done.
beside_logs=()
beside() {
  [[ " ${legs[*]} " == *" $1 "* ]] || return 0
  echo "== $1: started beside the legs that follow"
  step "$@" >"$out/$1.log" 2>&1 </dev/null &
  beside_logs+=("$out/$1.log")
}
# build_and_test PRESET [CMAKE-ARGS...]: the preset's build in a folder of this run, and its tests (ctest
# --preset would test the preset's own folder). The configure cases run in dev only, the list tooling's
# Python tests in dev and device (the oldest Python), where other legs would only repeat them.
build_and_test() {
  local preset=$1 skip=configure\|list-tooling; shift
  [[ $preset != dev && $preset != device ]] || skip=""
  cmake --preset "$preset" -S "$top" -B "$out/$preset" -G Ninja "$@"
  cmake --build "$out/$preset" -j "$jobs" ${target:+--target "$target"}
  ctest --test-dir "$out/$preset" --output-on-failure --no-tests=error -j "$jobs" ${skip:+-LE "$skip"} ${tests:+-R "$tests"}
}
# The fuzz target alone: the other programs' tests run in every other host leg.
fuzz() { target=fuzz_mactosn tests='^fuzz$' build_and_test fuzz -DMACTOSN_FUZZ_SECONDS="${MACTOSN_FUZZ_SECONDS:-60}"; }
# divides BUILD with|without: the last ctest there ran the division helper's test on a CPU with or without
# the divide instruction, so that each side of the helper's run-time choice is tested.
divides() {
  local said="and the udiv path"; [ "$2" = with ] || said="this CPU has no divide instruction"
  grep -qF "$said" "$1/Testing/Temporary/LastTest.log" || { echo "$1: expected a CPU $2 the divide instruction"; return 1; }
}

device_python=${MACTOSN_DEVICE_PYTHON-$(command -v mactosn-oldest-python3 || true)}
device() {
  build_and_test device ${device_python:+"-DPython3_EXECUTABLE=$device_python"}
  divides "$out/device" without
}
device_static() {
  build_and_test device-static
  divides "$out/device-static" with
  ! grep -q '"-L"' "$out/device-static/tests/CTestTestfile.cmake" || { echo "the static build's tests got a C library (-L)"; return 1; }
}
# What device SDKs build with, each on its own, flags as an SDK passes them (CMAKE_CXX_FLAGS alone, from
# the device toolchain file's): every row, the transcript and the division helper, with and without divide.
device_variant() {  # NAME PRESET CPU-WITHOUT-DIVIDE CMAKE-ARGS...
  local name=$1 preset=$2 cpu_without=$3 dir=$out/variants/$1 cpu
  shift 3
  rm -rf "$dir"
  quiet "$dir.log" cmake --preset "$preset" -S "$top" -B "$dir" -G Ninja -DMACTOSN_STRICT_WARNINGS=OFF \
    -DMACTOSN_EMULATED_CPU= "$@"
  quiet "$dir.log" cmake --build "$dir" -j "$jobs" --target MACtoSN dump_serial_table check_unsigned_divide
  # With no -cpu in the build's emulator command, qemu-arm takes QEMU_CPU.
  for cpu in "$cpu_without" cortex-a15; do
    QEMU_CPU=$cpu quiet "$dir.log" ctest --test-dir "$dir" -R '^(cli_transcript|serial_table_every_row|unsigned_divide)$' \
      --no-tests=error --output-on-failure -j "$jobs"
    echo "$name on $cpu: $(grep 'tests passed' "$dir.log")"
    divides "$dir" "$([ "$cpu" = cortex-a15 ] && echo with || echo without)"
  done
}
device_variants() {
  local a9=cortex-a9,neon=off flags object
  flags=$(cmake --preset device -S "$top" -B "$out/variants/flags" -DBUILD_TESTING=OFF -LA |
    sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p')
  [[ $flags == *-mfpu=vfpv3-d16* ]] || { echo "no device flags from the toolchain file: '$flags'"; return 1; }
  device_variant lto device "$a9" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
  device_variant lto-static device-static "$a9" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
  device_variant no-exceptions device "$a9" "-DCMAKE_CXX_FLAGS=$flags -fno-exceptions"
  device_variant arm-state device "$a9" "-DCMAKE_CXX_FLAGS=$flags -marm"
  device_variant old-string-abi device "$a9" "-DCMAKE_CXX_FLAGS=$flags -D_GLIBCXX_USE_CXX11_ABI=0"
  device_variant neon device cortex-a9 "-DCMAKE_CXX_FLAGS=${flags/vfpv3-d16/neon}"
  # The division helper is Thumb-2 code: an ARMv6 hard-float SDK (VFPv2, no Thumb-2) builds without it.
  flags="-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard" object=CMakeFiles/MACtoSN.dir/src/arm_unsigned_divide.S.o
  quiet "$out/variants/armv6.log" cmake --preset device -S "$top" -B "$out/variants/armv6" -G Ninja \
    -DBUILD_TESTING=OFF -DMACTOSN_STRICT_WARNINGS=OFF "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_ASM_FLAGS=$flags"
  quiet "$out/variants/armv6.log" cmake --build "$out/variants/armv6" --target "$object"
  ! arm-linux-gnueabihf-nm "$out/variants/armv6/$object" | grep -w __aeabi_uidivmod >/dev/null || { echo "ARMv6 got the helper"; return 1; }
}
# The device leg's executable (or else one built here) against one built from a copy of the tree elsewhere.
reproducible() {
  local copy=$out/elsewhere/source here=$out/device/MACtoSN
  rm -rf "$out/elsewhere" && mkdir -p "$copy"
  if [ ! "$here" -nt "$out/.run-started" ]; then
    cmake --preset device -S "$top" -B "$out/reproducible-here" -G Ninja -DBUILD_TESTING=OFF
    cmake --build "$out/reproducible-here" -j "$jobs"
    here=$out/reproducible-here/MACtoSN
  fi
  (cd "$top" && tar cf - --exclude='./build*' --exclude=./.git .) | tar xf - -C "$copy"
  cmake --preset device -S "$copy" -B "$out/elsewhere/device" -G Ninja -DBUILD_TESTING=OFF
  cmake --build "$out/elsewhere/device" -j "$jobs"
  cmp "$here" "$out/elsewhere/device/MACtoSN"
}

# The real systems from their release tarballs on the shelf (../shared/packagers); without them, SKIPPED.
# As root, BitBake runs as mactosn-bitbake, who must reach their folder.
real=$out/real
if [ "$(id -u)" = 0 ] && mkdir -p "$real" && ! runuser -u mactosn-bitbake -- test -x "$real" 2>/dev/null; then
  real=$(mktemp -d "${TMPDIR:-/tmp}/mactosn-real.XXXXXX") && chmod 755 "$real"
  trap 'rm -rf "$real"' EXIT
fi
tree() {  # NAME: NAME.tar.xz from the shelf, unpacked in $real/trees/NAME
  [ -f "$shelf/$1.tar.xz" ] || { echo "SKIPPED, real system not checked: no $shelf/$1.tar.xz"; return 77; }
  rm -rf "$real/trees/$1" && mkdir -p "$real/trees/$1"
  tar -xf "$shelf/$1.tar.xz" -C "$real/trees/$1" --strip-components=1
}
yocto() {  # RELEASE BITBAKE-VERSION
  tree "bitbake-$2" && tree "openembedded-core-$1" || return
  bash "$top/tests/real_yocto.sh" "$1" "$real/trees/bitbake-$2" "$real/trees/openembedded-core-$1" "$real/yocto-$1"
}
buildroot() {
  tree buildroot-2026.02.3 || return
  bash "$top/tests/real_buildroot.sh" "$real/trees/buildroot-2026.02.3" "$real/buildroot"
}

beside yocto-5.0 yocto scarthgap 2.8
beside yocto-6.0 yocto wrynose 2.18
beside buildroot buildroot
beside debian env MACTOSN_TEST_BUILD_DIR="$out" bash "$top/tests/debian_package.sh"
# A minute on one core, while the legs beside it have work for the other.
step fuzz fuzz
step dev build_and_test dev
step list-bytes-ninja bash "$top/tests/list_rebuilds.sh" Ninja "$out/list-bytes/ninja"
step list-bytes-make bash "$top/tests/list_rebuilds.sh" "Unix Makefiles" "$out/list-bytes/make"
step device device
step device-static device_static
step sdk-variants device_variants
step sanitize build_and_test sanitize
step ubsan build_and_test ubsan
step reproducible reproducible
wait
cat "${beside_logs[@]}" /dev/null
echo "== summary"
cat "$out"/verdicts/*
echo "total: $SECONDS s"
echo "legs: $(cat "$out"/verdicts/* | awk '{n[$NF]++} END {printf "%d passed, %d failed, %d skipped", n["passed"], n["FAILED"], n["SKIPPED"]}')"
! grep -q FAILED "$out"/verdicts/*
