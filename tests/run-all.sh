#!/usr/bin/env bash
# Installs what the builds and tests need when it is missing, then runs
# each leg below, or only the legs named (tests/run-all.sh LEG...;
# tests/README.md says what each checks):
#   configure        what a configure decides: defaults, refusals, list
#                    paths, the unguarded-list warning, no emulator
#   dev              the build host's build with strict warnings, every test
#   install-refused  a failed build of the list installs nothing
#   list-bytes-ninja, list-bytes-make
#                    the rows follow the bytes of the lists and of their
#                    tooling, not file times, with Ninja and with Makefiles
#   device           ARMv7-A under qemu-arm on a core without divide, with
#                    the oldest Python pyenv has that the build supports
#   device-static    fully static, on a core with divide, no C library given
#   sdk-variants     LTO, -fno-exceptions, -marm, the old string ABI, NEON:
#                    every row, the transcript and the division helper
#   integrations     the real BitBake (Yocto 5.0, 6.0) and Buildroot build
#                    the recipe and the package (real_packagers.sh)
#   debian           the Debian package for armhf, lintian (debian_package.sh)
#   sanitize, ubsan  the suite under ASan+UBSan, and UBSan alone (which
#                    keeps the table's static block)
#   fuzz             libFuzzer on the tool for a minute ($MACTOSN_FUZZ_SECONDS)
#   reproducible     the device build is byte-identical from another folder
# integrations and debian start first and run beside the rest, which take
# turns. A failed leg does not stop the others; the summary names it, and the
# script then fails. Builds go under ./build-test (or
# $MACTOSN_TEST_BUILD_DIR); $MACTOSN_DEVICE_PYTHON names the device build's
# Python instead.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=${MACTOSN_TEST_BUILD_DIR:-$top/build-test}
jobs=$(nproc 2>/dev/null || echo 2)
all_legs=(configure dev install-refused list-bytes-ninja list-bytes-make device device-static sdk-variants
  integrations debian sanitize ubsan fuzz reproducible)
for leg in "$@"; do
  [[ " ${all_legs[*]} " == *" $leg "* ]] || { echo "usage: $0 [LEG...]; the legs: ${all_legs[*]}" >&2; exit 2; }
done
legs=("${@:-${all_legs[@]}}")

need=()
want() { command -v "$1" >/dev/null 2>&1 || need+=("$2"); }
want_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || need+=("$1"); }
want cmake cmake
want ninja ninja-build
want g++ g++
want python3 python3
want arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf
want qemu-arm qemu-user
want make make
want patchelf patchelf
want clang++ clang
want_package libclang-rt-14-dev
want busybox busybox
# What the real BitBake asks of the host (HOSTTOOLS) beyond the above, and
# the real Buildroot (check-package, the tools it looks for before building,
# and autoconf and automake for the configure patchelf's source lacks).
for tool in chrpath cpio diffstat gawk rsync bc file patch unzip wget bzip2 autoconf automake; do want "$tool" "$tool"; done
want_package locales
want_package python3-magic
want_package flake8
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
install_missing() {
  ((${#need[@]})) || return 0
  echo "== installing: ${need[*]}"
  $sudo apt-get update -qq </dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
}
install_missing
# BitBake runs only in this locale.
if ! locale -a 2>/dev/null | grep -qix 'en_US.utf-*8'; then
  echo "== generating the locale en_US.UTF-8"
  $sudo localedef -i en_US -f UTF-8 en_US.UTF-8
fi

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
# Values the build sets, read from a configured build rather than its sources.
mkdir -p "$out"
touch "$out/.run-started"
cmake -S "$top" -B "$out/facts" -DBUILD_TESTING=OFF >"$out/facts.log" 2>&1 || { cat "$out/facts.log"; exit 1; }
python_minimum=$(cache_value "$out/facts" MACTOSN_PYTHON_MINIMUM)

# The oldest Python pyenv has that the build supports: the one build hosts
# still run must build the tool and pass the tests.
oldest_pyenv_python() {
  local root exe version
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for exe in "$root"/versions/*/bin/python3; do
    version=$("$exe" -c "import sys
if sys.version_info[:2] < tuple(map(int, '$python_minimum'.split('.'))): sys.exit(1)
print('%d.%d.%d' % sys.version_info[:3])" 2>/dev/null) && echo "$version $exe"
  done | sort -V | head -n 1 | cut -d ' ' -f 2-
}
device_python=${MACTOSN_DEVICE_PYTHON-$(oldest_pyenv_python)}
device_python_label=""
if [ -n "$device_python" ]; then
  device_python_label=" (Python $("$device_python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' || echo "$device_python"))"
fi

summary=()
failed=0
# step LEG NAME COMMAND...: runs one leg, if it is among those asked for,
# in a subshell that stops at its first failure; the script goes on to the
# next leg either way.
step() {
  local leg=$1 name=$2 start=$SECONDS status verdict=passed
  shift 2
  [[ " ${legs[*]} " == *" $leg "* ]] || return 0
  echo "== $name"
  set +e
  ( set -e; "$@" )
  status=$?
  set -e
  if [ "$status" -ne 0 ]; then verdict=FAILED; failed=1; fi
  # What a leg adds to its verdict, such as a check it could not run.
  [ ! -s "$out/$leg.note" ] || verdict+=" ($(cat "$out/$leg.note"))"
  summary+=("$(printf '%-16s %-56s %4d s  %s' "$leg" "$name" $((SECONDS - start)) "$verdict")")
}

# beside LEG NAME COMMAND...: the leg as `step` runs it, started now beside
# the legs that follow, its output held in a file; `gather` waits for each
# and shows its output and its verdict. Those started so spend most of their
# time on one core (configure scripts, BitBake's parsing, dpkg's steps), and
# at a lower priority they take what the others leave of the second one.
beside_legs=()
beside() {
  [[ " ${legs[*]} " == *" $1 "* ]] || return 0
  echo "== $2: started beside the legs that follow"
  (
    renice -n 10 -p "$BASHPID" >/dev/null
    summary=() failed=0
    step "$@" >"$out/$1.log" 2>&1 </dev/null
    printf '%s\n' "${summary[@]}" >"$out/$1.summary"
    exit "$failed"
  ) &
  beside_legs+=("$1:$!")
}
gather() {
  local entry
  for entry in "${beside_legs[@]}"; do
    wait "${entry#*:}" || failed=1
    cat "$out/${entry%%:*}.log"
    summary+=("$(cat "$out/${entry%%:*}.summary")")
  done
}

# `ctest --preset P` tests the preset's own folder (build-P) once that exists,
# whatever --test-dir says, and passes when it finds no test there. So ctest
# runs on this script's folder directly, under the test preset's environment.
preset_environment() {
  python3 -c 'import json, sys
preset = next(p for p in json.load(open(sys.argv[1]))["testPresets"] if p["name"] == sys.argv[2])
for pair in preset.get("environment", {}).items():
    print("%s=%s" % pair)' "$top/CMakePresets.json" "$1"
}

# The list tooling's own tests run Python on the build host, whatever the
# build: dev runs them with the host's Python, device with the oldest the
# build supports, and the other legs would only repeat them.
build_and_test() {
  local preset=$1; shift
  local -a environment skip=()
  mapfile -t environment < <(preset_environment "$preset")
  [[ $preset == dev || $preset == device ]] || skip=(-E '^(generator|standin_list)$')
  cmake --preset "$preset" -S "$top" -B "$out/$preset" -G Ninja "$@"
  cmake --build "$out/$preset" -j "$jobs"
  env "${environment[@]}" ctest --test-dir "$out/$preset" --output-on-failure --no-tests=error -j "$jobs" "${skip[@]}"
}

# quiet LOG COMMAND...: runs COMMAND into LOG, shown only if COMMAND fails.
quiet() {
  local log=$1; shift
  "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}
expect_cache() {
  local got; got=$(cache_value "$1" "$2")
  [ "$got" = "$3" ] || { echo "$1: $2 is '$got', expected '$3'"; return 1; }
}
# expect_configure_error DIR TEXT CMAKE-ARGS...: the configure fails and says TEXT.
expect_configure_error() {
  local dir=$1 text=$2 said; shift 2
  if said=$(cmake -S "$top" -B "$dir" -G Ninja -DBUILD_TESTING=OFF "$@" 2>&1); then
    echo "$dir: the configure passed, expected: $text"; return 1
  fi
  said=$(tr -s ' \n' '  ' <<<"$said")
  grep -qF -- "$text" <<<"$said" || { echo "$said"; echo "$dir: expected: $text"; return 1; }
  echo "refused as expected: $text"
}

configure_checks() {
  local s=$out/configure-checks
  rm -rf "$s"
  mkdir -p "$s/parent"
  # A packager's explicitly empty build type stays empty, so its flags rule.
  quiet "$s/empty-build-type.log" cmake -S "$top" -B "$s/empty-build-type" -G Ninja -DCMAKE_BUILD_TYPE= -DBUILD_TESTING=OFF
  expect_cache "$s/empty-build-type" CMAKE_BUILD_TYPE ""
  # Neither does a multi-config generator get one.
  quiet "$s/multi-config.log" cmake -S "$top" -B "$s/multi-config" -G "Ninja Multi-Config" -DBUILD_TESTING=OFF
  expect_cache "$s/multi-config" CMAKE_BUILD_TYPE ""
  # Within another project, the parent's build type and install prefix stay its own.
  printf 'cmake_minimum_required(VERSION 3.16)\nproject(parent LANGUAGES CXX)\nadd_subdirectory("%s" mactosn)\n' \
    "$top" >"$s/parent/CMakeLists.txt"
  quiet "$s/parent.log" cmake -S "$s/parent" -B "$s/parent/build" -G Ninja -DBUILD_TESTING=OFF
  expect_cache "$s/parent/build" CMAKE_BUILD_TYPE ""
  expect_cache "$s/parent/build" CMAKE_INSTALL_PREFIX /usr/local

  expect_configure_error "$s/missing-list" "MACTOSN_SERIAL_LIST: no such file: $s/no/such.csv" \
    -DMACTOSN_SERIAL_LIST="$s/no/such.csv"
  expect_configure_error "$s/missing-previous" "MACTOSN_PREVIOUS_LIST: no such file: $s/no/such.csv" \
    -DMACTOSN_PREVIOUS_LIST="$s/no/such.csv"
  expect_configure_error "$s/allowed-alone" "MACTOSN_LIST_CHANGES_ALLOWED names changes against a previous list" \
    -DMACTOSN_LIST_CHANGES_ALLOWED="$top/README.md"

  # A list path holding what CMake itself reads in a path is refused at
  # configure, naming the option, for each of the three (the paths that
  # build are in rows_follow_list_bytes). One folder: the refusals come
  # before anything is cached, so each configure is quick.
  local -a refused=("';'" ";semicolon" "a backslash" 'back\slash' "a line end" $'line\nend' "'\$<'" '$<genex>'
    "'\$('" 'dollar$(id)')
  local option why path i
  printf '02:5E:A1:00:00:04,BV180100001\n' >"$s/good.csv"
  for option in MACTOSN_SERIAL_LIST MACTOSN_PREVIOUS_LIST MACTOSN_LIST_CHANGES_ALLOWED; do
    for ((i = 0; i < ${#refused[@]}; i += 2)); do
      why=${refused[i]} path=$s/odd/${refused[i + 1]}/list.csv
      mkdir -p "${path%/*}"
      cp "$s/good.csv" "$path"
      expect_configure_error "$s/odd-path" "$option: the path holds $why" -DMACTOSN_SERIAL_LIST="$s/good.csv" \
        -DMACTOSN_PREVIOUS_LIST="$s/good.csv" -DMACTOSN_LIST_CHANGES_ALLOWED= "-D$option=$path"
    done
  done

  # A list other than the stand-in, configured without the last release's
  # list, gets one warning that says what goes unnoticed; with it, or with
  # the stand-in, none.
  local setup warned
  for setup in "1 -DMACTOSN_SERIAL_LIST=$s/good.csv" "0 -DMACTOSN_SERIAL_LIST=$s/good.csv -DMACTOSN_PREVIOUS_LIST=$s/good.csv" \
      "0 -DMACTOSN_SERIAL_LIST=$top/data/../data/BrenvicMACtoSerial.csv"; do
    rm -rf "$s/guard"
    quiet "$s/guard.log" cmake -S "$top" -B "$s/guard" -G Ninja -DBUILD_TESTING=OFF ${setup#* }
    warned=$(grep -c "CMake Warning" "$s/guard.log") || true
    [ "$warned" = "${setup%% *}" ] && { [ "$warned" = 0 ] || tr -s ' \n' '  ' <"$s/guard.log" |
      grep -q "MACTOSN_PREVIOUS_LIST is empty, .* a row it drops, or a serial it changes, goes unnoticed"; } ||
      { cat "$s/guard.log"; echo "${setup#* }: expected ${setup%% *} warning naming MACTOSN_PREVIOUS_LIST, got $warned"; return 1; }
  done

  # An interpreter that answers FindPython3 as Python 3.5 does.
  printf '#!%s\nimport sys\nsys.version_info = (3, 5, 10, "final", 0)\ncode = sys.argv[2]\nsys.argv = ["-c"] + sys.argv[3:]\nexec(code)\n' \
    "$(python3 -c 'import sys; print(sys.executable)')" >"$s/python3.5"
  chmod +x "$s/python3.5"
  expect_configure_error "$s/old-python" \
    "need Python $python_minimum or newer on the build host; found Python 3.5.10 ($s/python3.5)" \
    -DPython3_EXECUTABLE="$s/python3.5"

  # A Buildroot-style toolchain file: a cross compiler, no emulator. Only
  # the build host's tests are registered, one message says so, and no
  # strict warning is forced on the build.
  printf 'set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR arm)\nset(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)\n' \
    >"$s/vendor-toolchain.cmake"
  quiet "$s/no-emulator.log" cmake -S "$top" -B "$s/no-emulator" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$s/vendor-toolchain.cmake"
  [ "$(grep -c "No CMAKE_CROSSCOMPILING_EMULATOR" "$s/no-emulator.log")" = 1 ] ||
    { cat "$s/no-emulator.log"; echo "expected one message about the missing emulator"; return 1; }
  local tests
  tests=$(ctest --test-dir "$s/no-emulator" -N | sed -n 's/^ *Test *#[0-9]*: //p' | sort | tr '\n' ' ')
  [ "$tests" = "generator glibc_floor standin_list " ] || { echo "registered without an emulator: $tests"; return 1; }
  if grep -q -e -Werror "$s/no-emulator/build.ninja"; then echo "a vendor toolchain build got -Werror"; return 1; fi

  # The division helper is Thumb-2 code: an ARMv6 hard-float SDK (VFPv2, no
  # Thumb-2) must build without it, the device's ARMv7-A flags with it.
  local flags object helper
  object=CMakeFiles/MACtoSN.dir/src/arm_unsigned_divide.S.o
  for flags in "none|-march=armv6 -marm -mfpu=vfp -mfloat-abi=hard" \
      "__aeabi_uidivmod|-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard"; do
    rm -rf "$s/divide"
    quiet "$s/divide.log" cmake -S "$top" -B "$s/divide" -G Ninja -DBUILD_TESTING=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/arm-linux-gnueabihf.cmake" -DMACTOSN_SERIAL_LIST="$s/good.csv" \
      "-DCMAKE_CXX_FLAGS=${flags#*|}" "-DCMAKE_ASM_FLAGS=${flags#*|}"
    quiet "$s/divide.log" cmake --build "$s/divide" --target "$object"
    helper=$(arm-linux-gnueabihf-nm "$s/divide/$object" | grep -ow __aeabi_uidivmod || echo none)
    [ "$helper" = "${flags%%|*}" ] || { echo "${flags#*|}: the division helper defines ${helper}, expected ${flags%%|*}"; return 1; }
  done
  echo "configure checks: passed"
}

# expect_install_refused BUILD_DIR DESTDIR: the install stops on the missing
# rows and copies nothing.
expect_install_refused() {
  if DESTDIR="$2" cmake --install "$1" >"$out/plain-install.log" 2>&1; then
    echo "installed after a refused list"; return 1
  fi
  cat "$out/plain-install.log"
  grep -q "MACtoSN not installed" "$out/plain-install.log" || { echo "expected the refusal 'MACtoSN not installed'"; return 1; }
  if [ -e "$2" ]; then echo "installed after a refused list:"; find "$2"; return 1; fi
}

# `cmake --install` does not build, so after a refused list it must refuse
# too rather than install the previous list's executable.
install_after_refused_list() {
  local b=$out/plain list=$out/plain-list.csv previous=$out/plain-previous.csv root=$out/plain-root
  rm -rf "$b" "$root"
  printf '02:5E:A1:00:00:04,BV180100001\n' >"$list"
  # A plain configure: the device's release build and install tree, no
  # strict warnings; a plain build makes the tool.
  cmake -S "$top" -B "$b" -G Ninja -DBUILD_TESTING=OFF -DMACTOSN_SERIAL_LIST="$list"
  expect_cache "$b" CMAKE_BUILD_TYPE Release
  expect_cache "$b" CMAKE_INSTALL_PREFIX /ZOR/System
  if grep -q -e -Werror "$b/build.ninja"; then echo "a plain build got -Werror"; return 1; fi
  cmake --build "$b" -j "$jobs"
  DESTDIR="$root/good" cmake --install "$b"
  [ -x "$root/good/ZOR/System/bin/MACtoSN" ] || { echo "expected $root/good/ZOR/System/bin/MACtoSN"; return 1; }
  # Against the last release's list, a dropped row stops the build the same way.
  printf '02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV180100002\n' >"$previous"
  cmake -S "$top" -B "$b" -DMACTOSN_PREVIOUS_LIST="$previous"
  if cmake --build "$b" -j "$jobs" >"$out/plain-dropped.log" 2>&1; then echo "a dropped row was not refused"; return 1; fi
  cat "$out/plain-dropped.log"
  grep -qF "plain-previous.csv:2: error: the new list drops the MAC 02:5E:A1:00:00:08" "$out/plain-dropped.log" ||
    { echo "expected the drop of 02:5E:A1:00:00:08 at plain-previous.csv:2"; return 1; }
  expect_install_refused "$b" "$root/dropped"
  cmake -S "$top" -B "$b" -DMACTOSN_PREVIOUS_LIST=
  : >"$list"
  if cmake --build "$b" -j "$jobs"; then echo "an empty list was not refused"; return 1; fi
  expect_install_refused "$b" "$root/refused"
  echo "install after a refused list: refused, nothing installed"
}

# expect_answer TOOL SERIAL: TOOL answers the rows' MAC with SERIAL.
expect_answer() {
  local got
  got=$("$1" 02:5E:A1:00:00:04)
  [ "$got" = "$2" ] || { echo "$1 answers '$got', expected '$2'"; return 1; }
}

# The rows follow the bytes of the list, of the previous list, of the
# allowance and of the list tooling, not their file times: cp -p, unzip,
# tar x and rsync -a keep a file's old time, and a re-pointed symlink keeps
# the link's. The files sit in folders whose names hold what a shell, make
# or ninja would read (each part a case); what CMake or make itself would
# misread is refused in configure_checks. The build is of a copy of the
# tree, whose tooling may change.
rows_follow_list_bytes() {
  local generator=$1 s=$out/list-bytes/${1// /}
  local -a parts=('with space' 'é-ü' '${x}$HOME' "it's" 'say "hi"' '#hash' '(paren)' 'a|b:c'
    $'tab\there' '`tick`&*%=!' '[x]]y]{z}')
  local d b=$s/build root=$s/root src=$s/source mac=02:5E:A1:00:00:08 before after rows
  d=$s/$(IFS=/; echo "${parts[*]}")
  rm -rf "$s"
  mkdir -p "$d" "$src"
  (cd "$top" && tar cf - --exclude='./build*' --exclude=./.git --exclude=__pycache__ .) | tar xf - -C "$src"
  # old_file FILE ROWS...: FILE, dated before any build.
  old_file() { local file=$d/$1; shift; printf '%s\n' "$@" >"$file"; touch -d 2020-01-01 "$file"; }
  old_file a.csv "02:5E:A1:00:00:04,BV1"
  old_file b.csv "02:5E:A1:00:00:04,BV2"
  old_file c.csv "02:5E:A1:00:00:04,BV3"
  old_file d.csv "02:5E:A1:00:00:04,BV4"
  old_file p.csv "02:5E:A1:00:00:04,BV4"
  old_file p-with-08.csv "02:5E:A1:00:00:04,BV4" "$mac,BV5"
  old_file none.txt "# no change is intended"
  old_file allow-08.txt "$mac"
  cp "$d/a.csv" "$d/list.csv"
  ln -s list.csv "$d/link.csv"
  # Debug: the rows are what is tested, and the tool compiles faster so.
  cmake -S "$src" -B "$b" -G "$generator" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF \
    -DMACTOSN_SERIAL_LIST="$d/link.csv" >"$s.log"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  expect_answer "$b/MACtoSN" BV1
  # Replaced by an older file, through the symlink.
  cp -p "$d/b.csv" "$d/list.csv"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  expect_answer "$b/MACtoSN" BV2
  DESTDIR="$root/older" cmake --install "$b" >>"$s.log"
  expect_answer "$root/older/ZOR/System/bin/MACtoSN" BV2
  # The same bytes with a new time, then another old one: nothing is made again.
  made() { find "$b" -name '*.o' -o -name serial_rows.inc -o -name MACtoSN | sort | xargs stat -c '%y %n'; }
  before=$(made)
  touch "$d/list.csv" "$src/data/gen_serial_rows.py"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  cp "$d/b.csv" "$d/same.csv"
  touch -d 2021-06-01 "$d/same.csv"
  cp -p "$d/same.csv" "$d/list.csv"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  after=$(made)
  [ "$before" = "$after" ] || { printf 'made again from the same bytes:\n%s\n%s\n' "$before" "$after"; return 1; }
  # New bytes in a module of the tooling, not just a new time, make the rows again.
  rows=$b/serial_rows_configured/serial_rows.inc
  before=$(stat -c %y "$rows")
  printf '\n# A change to the tooling.\n' >>"$src/data/spreadsheet_damage.py"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  [ "$(stat -c %y "$rows")" != "$before" ] || { echo "a changed tooling module did not make the rows again"; return 1; }
  # The symlink re-pointed at an older file.
  ln -sfn c.csv "$d/link.csv"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  expect_answer "$b/MACtoSN" BV3
  DESTDIR="$root/symlink" cmake --install "$b" >>"$s.log"
  expect_answer "$root/symlink/ZOR/System/bin/MACtoSN" BV3
  # Another list path, older than the rows, given at configure; with a
  # previous list and an allowance, whose bytes count the same way.
  cp -p "$d/p.csv" "$d/previous.csv"
  cp -p "$d/none.txt" "$d/allowed.txt"
  cmake -S "$src" -B "$b" -DMACTOSN_SERIAL_LIST="$d/d.csv" -DMACTOSN_PREVIOUS_LIST="$d/previous.csv" \
    -DMACTOSN_LIST_CHANGES_ALLOWED="$d/allowed.txt" >>"$s.log"
  cmake --build "$b" -j "$jobs" --target MACtoSN
  expect_answer "$b/MACtoSN" BV4
  cp -p "$d/p-with-08.csv" "$d/previous.csv"
  if cmake --build "$b" -j "$jobs" --target MACtoSN >"$s-dropped.log" 2>&1; then
    echo "an older previous list with a row more was not compared"; return 1
  fi
  grep -qF "previous.csv:2: error: the new list drops the MAC $mac" "$s-dropped.log" ||
    { cat "$s-dropped.log"; echo "expected the drop of $mac at previous.csv:2"; return 1; }
  expect_install_refused "$b" "$root/dropped"
  cp -p "$d/allow-08.txt" "$d/allowed.txt"
  cmake --build "$b" -j "$jobs" --target mactosn_rows_configured
  # A list gone at build time stops the build at its path, and install refuses.
  rm "$d/d.csv"
  if cmake --build "$b" -j "$jobs" --target MACtoSN >"$s-missing.log" 2>&1; then
    echo "built with the list gone"; return 1
  fi
  grep -qF "$d/d.csv: error: No such file or directory" "$s-missing.log" ||
    { cat "$s-missing.log"; echo "expected: $d/d.csv: error: No such file or directory"; return 1; }
  expect_install_refused "$b" "$root/missing"
  if [ -d "$src/data/__pycache__" ]; then echo "the build wrote $src/data/__pycache__"; return 1; fi
  echo "rows follow the list's bytes ($generator): passed"
}

# The real BitBake and Buildroot, each building the tool as an integrator's
# build does; a system without its trees is SKIPPED, and the summary says so.
integrations() {
  rm -f "$out/integrations.note"
  local status=0
  MACTOSN_TEST_BUILD_DIR="$out" bash "$top/tests/real_packagers.sh" | tee "$out/real-packagers.log" || status=1
  ! grep -q '^SKIPPED' "$out/real-packagers.log" || echo "real systems SKIPPED, see above" >"$out/integrations.note"
  return "$status"
}

# The Debian package's cross build, which installs what only it needs
# (lintian, debhelper, the armhf C library whose symbols dh_shlibdeps
# reads) first, beside the legs that do not.
debian_package() {
  need=()
  dpkg --print-foreign-architectures | grep -qx armhf || $sudo dpkg --add-architecture armhf
  for package in crossbuild-essential-armhf libc6-dev:armhf libstdc++-12-dev:armhf debhelper lintian; do
    want_package "$package"
  done
  install_missing
  MACTOSN_TEST_BUILD_DIR="$out" bash "$top/tests/debian_package.sh"
}

# The emulator ctest runs a build's ARM programs under, one word a line.
test_emulator() {
  ctest --test-dir "$1" --show-only=json-v1 | python3 -c 'import json, sys
test = next(t for t in json.load(sys.stdin)["tests"] if t["name"] == "mac_format")
print("\n".join(test["command"][:-1]))'
}

# expect_divide BUILD_DIR with|without: whether the CPU that the build's
# emulator presents has the Thumb divide instruction, which the tool's
# helper looks for, so that both sides of its run-time choice are tested.
expect_divide() {
  local probe=$out/divide-probe got
  local -a emulator
  if [ ! -x "$probe" ]; then
    printf '%s\n' '#include <stdio.h>' '#include <sys/auxv.h>' '#include <asm/hwcap.h>' \
      'int main(void) { puts(getauxval(AT_HWCAP) & HWCAP_IDIVT ? "with" : "without"); return 0; }' |
      arm-linux-gnueabihf-gcc -static -x c -o "$probe" -
  fi
  mapfile -t emulator < <(test_emulator "$1")
  got=$("${emulator[@]}" "$probe")
  echo "emulated CPU (${emulator[*]}): $got hardware divide"
  [ "$got" = "$2" ] || { echo "expected a CPU $2 hardware divide"; return 1; }
}

# The device leg's executable when it was built in this run, or else one
# built here for the purpose, against one built from a copy elsewhere.
reproducible() {
  local copy=$out/elsewhere/source here=$out/device/MACtoSN
  rm -rf "$out/elsewhere"
  mkdir -p "$copy"
  if [ ! "$here" -nt "$out/.run-started" ]; then
    cmake --preset device -S "$top" -B "$out/reproducible-here" -G Ninja -DBUILD_TESTING=OFF
    cmake --build "$out/reproducible-here" -j "$jobs"
    here=$out/reproducible-here/MACtoSN
  fi
  (cd "$top" && tar cf - --exclude='./build*' --exclude=./.git .) | tar xf - -C "$copy"
  cmake --preset device -S "$copy" -B "$out/elsewhere/device" -G Ninja -DBUILD_TESTING=OFF
  cmake --build "$out/elsewhere/device" -j "$jobs"
  if cmp "$here" "$out/elsewhere/device/MACtoSN"; then
    echo "reproducible: 1 passed, 0 failed"
  else
    echo "reproducible: 0 passed, 1 failed"
    return 1
  fi
}

device() {
  build_and_test device ${device_python:+"-DPython3_EXECUTABLE=$device_python"}
  expect_divide "$out/device" without
}
device_static() {
  build_and_test device-static
  expect_divide "$out/device-static" with
  # The suite passed with no C library root given to the emulator.
  local emulator
  emulator=$(test_emulator "$out/device-static")
  if grep -qx -- -L <<<"$emulator"; then
    echo "the fully static build's tests were given a C library root (-L)"; return 1
  fi
}

# What device SDKs build with, each on its own: every variant must build,
# answer every row and divide exactly, on a core without the divide
# instruction and on one with it. Flags go in as an SDK passes them, in
# CMAKE_CXX_FLAGS alone, starting from those the device's toolchain file gives.
device_variant() {
  local name=$1 preset=$2 cpu_without=$3; shift 3
  local dir=$out/variants/$name cpu
  rm -rf "$dir"
  mkdir -p "$out/variants"
  quiet "$dir.log" cmake --preset "$preset" -S "$top" -B "$dir" -G Ninja -DMACTOSN_STRICT_WARNINGS=OFF \
    -DMACTOSN_EMULATED_CPU= "$@"
  quiet "$dir.log" cmake --build "$dir" -j "$jobs" --target MACtoSN dump_serial_table check_unsigned_divide
  # With no -cpu in the build's emulator command, qemu-arm takes QEMU_CPU.
  for cpu in "$cpu_without" cortex-a15; do
    QEMU_CPU=$cpu expect_divide "$dir" "$([ "$cpu" = cortex-a15 ] && echo with || echo without)"
    QEMU_CPU=$cpu quiet "$dir-ctest.log" ctest --test-dir "$dir" -R '^(cli_transcript|serial_table_every_row|unsigned_divide)$' \
      --no-tests=error --output-on-failure -j "$jobs"
    echo "$name on $cpu: $(grep -E 'tests passed' "$dir-ctest.log")"
  done
}
device_variants() {
  local a9=cortex-a9,neon=off device_cxx_flags
  quiet "$out/variants-flags.log" cmake --preset device -S "$top" -B "$out/variants-flags" -G Ninja -DBUILD_TESTING=OFF
  device_cxx_flags=$(cache_value "$out/variants-flags" CMAKE_CXX_FLAGS)
  # Without the toolchain's flags every variant would build for the compiler's defaults.
  [[ $device_cxx_flags == *-mfpu=vfpv3-d16* ]] || { echo "no device flags in the toolchain file"; return 1; }
  device_variant lto device "$a9" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
  device_variant lto-static device-static "$a9" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
  device_variant no-exceptions device "$a9" "-DCMAKE_CXX_FLAGS=$device_cxx_flags -fno-exceptions"
  device_variant arm-state device "$a9" "-DCMAKE_CXX_FLAGS=$device_cxx_flags -marm"
  device_variant old-string-abi device "$a9" "-DCMAKE_CXX_FLAGS=$device_cxx_flags -D_GLIBCXX_USE_CXX11_ABI=0"
  device_variant neon device cortex-a9 "-DCMAKE_CXX_FLAGS=${device_cxx_flags/vfpv3-d16/neon}"
}

beside integrations "integrations: the real BitBake and Buildroot build the tool" integrations
beside debian "Debian package for armhf, lintian" debian_package
step configure "configure checks" configure_checks
# A minute on one core: while the legs beside it have work for the other.
step fuzz "fuzz build and tests" build_and_test fuzz -DMACTOSN_FUZZ_SECONDS="${MACTOSN_FUZZ_SECONDS:-60}"
step dev "host build and tests (dev)" build_and_test dev
step install-refused "install after refused list" install_after_refused_list
step list-bytes-ninja "rows follow the bytes of the lists and tooling (Ninja)" rows_follow_list_bytes Ninja
step list-bytes-make "rows follow the bytes of the lists and tooling (Makefiles)" rows_follow_list_bytes "Unix Makefiles"
step device "device build and tests$device_python_label" device
step device-static "device-static build and tests" device_static
step sdk-variants "device SDK variants" device_variants
step sanitize "sanitize build and tests" build_and_test sanitize
step ubsan "ubsan build and tests" build_and_test ubsan
step reproducible "device build reproducible${device_python:+ (other folder, default Python)}" reproducible
gather

echo "== summary"
printf '%s\n' "${summary[@]}"
echo "total: $SECONDS s"
exit "$failed"
