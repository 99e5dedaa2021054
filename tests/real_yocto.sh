#!/usr/bin/env bash
# One Yocto release's real BitBake and openembedded-core build packaging/meta-mactosn's recipe through
# do_install, with packaging/meta-mactosn-example as the site's layer, then a plain CMake build with the
# toolchain file BitBake wrote. Usage: real_yocto.sh RELEASE BITBAKE-TREE OECORE-TREE WORK-FOLDER
set -euo pipefail

[ $# = 4 ] || { echo "usage: $0 RELEASE BITBAKE-TREE OECORE-TREE WORK-FOLDER" >&2; exit 2; }
release=$1 bitbake_tree=$(realpath "$2") oecore_tree=$(realpath "$3") work=$4
top=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=checks.sh
. "$top/tests/checks.sh"
user=${MACTOSN_BITBAKE_USER:-mactosn-bitbake}
locale -a 2>/dev/null | grep -qix 'en_US.utf-*8' ||
  { echo "BitBake needs the locale en_US.UTF-8, which this machine lacks: run provision/install.sh"; exit 1; }
[ "$(id -u)" != 0 ] || id -u "$user" >/dev/null 2>&1 ||
  { echo "BitBake will not run as root, and $user, the user it runs as, is missing: run provision/install.sh"; exit 1; }
as_builder() { if [ "$(id -u)" = 0 ]; then chown -R "$user:" "$work" && runuser -u "$user" -- "$@"; else "$@"; fi; }
rm -rf "$work"
mkdir -p "$work/home" "$work/build"
work=$(cd "$work" && pwd -P)
build=$work/build lists="$work/Maker Lists"
# The sources: this checkout's commit, or a commit of its work tree. The
# layers as they are, copied where the builder can read them.
commit=$(git -C "$top" stash create 2>/dev/null) || true
commit=${commit:-$(git -C "$top" rev-parse HEAD)}
git init -q --bare "$work/mactosn.git"
git -C "$top" push -q "$work/mactosn.git" "$commit:refs/heads/main"
git clone -q -b main "$work/mactosn.git" "$work/checkout"
cp -R "$top/packaging/meta-mactosn" "$top/packaging/meta-mactosn-example" "$work/"

# bitbake_out COMMAND...: COMMAND in the build folder, BitBake's environment only; its output on standard output.
bitbake_out() {
  as_builder env -i HOME="$work/home" PATH="$bitbake_tree/bin:/usr/bin:/bin" LANG=en_US.UTF-8 \
    sh -c 'cd "$0" && exec "$@"' "$build" "$@" 2>&1
}
bitbake_in() { local log=$1; shift; bitbake_out "$@" >"$log"; }  # LOG COMMAND...
runs() { bitbake_in "$@" || { tail -n 30 "$1"; echo "    ${*:2} failed"; return 1; }; }  # LOG COMMAND...
# Only mactosn is built: openembedded-core's recipes are masked, and what
# mactosn's tasks name of them, on both releases, is assumed provided.
core_recipes=$(python3 -c 'import re, sys; print(re.escape(sys.argv[1] + "/meta/recipes-"))' "$oecore_tree")
assumed="cmake-native ninja-native python3-native quilt-native patch-replacement-native virtual/fakeroot-native
  rpm-native dwarfsrcfiles-native opkg-utils-native zstd-native virtual/libc virtual/compilerlibs gcc-cross-arm
  binutils-cross-arm virtual/arm-oe-linux-gnueabi-gcc virtual/arm-oe-linux-gnueabi-binutils
  virtual/arm-oe-linux-gnueabi-compilerlibs"
# No pseudo (fakeroot-native): -S, which stops its server, does nothing; do_install runs as the builder.
printf '#!/bin/sh\n[ "$1" = -S ] && exit 0\nexec "$@"\n' >"$work/fakeroot"
chmod +x "$work/fakeroot"
# What local.conf adds to oe-init-build-env's: the above, the distribution's hardening
# flags (poky's, and newer openembedded-core's by default), and the site's repository.
setup="MACHINE = \"qemuarm\"
BB_NO_NETWORK = \"1\"
CONNECTIVITY_CHECK_URIS = \"\"
INHERIT:remove = \"uninative\"
BBMASK = \"^$core_recipes\"
BBFILE_PATTERN_IGNORE_EMPTY_core = \"1\"
ASSUME_PROVIDED += \"$(echo $assumed)\"
FAKEROOTCMD = \"$work/fakeroot\"
BB_SERVER_TIMEOUT = \"60\"
$(grep -q security_flags.inc "$oecore_tree/meta/conf/distro/defaultsetup.conf" ||
  echo 'require conf/distro/include/security_flags.inc')
MACTOSN_GIT_URI:pn-mactosn = \"git://$work/mactosn.git;protocol=file;branch=main\"
SRCREV:pn-mactosn = \"$commit\""
# site NAME=VALUE...: local.conf sets each NAME for mactosn, over the bbappend.
site() {
  local pair
  { cat "$work/local.conf.sample"; echo "$setup"
    for pair; do printf '%s:pn-mactosn = "%s"\n' "${pair%%=*}" "${pair#*=}"; done; } >"$build/conf/local.conf"
}
# warned LOG [PATTERN]: BitBake's warnings and errors in LOG (a progress
# line may come before one on its line) are one, matching PATTERN; without one, none.
warned() {
  local lines; lines=$(grep -oE '(WARNING|ERROR): .*' "$1") || true
  if [ -z "${2-}" ]; then [ -z "$lines" ] && return 0
  else [ "$(grep -c . <<<"$lines")" = 1 ] && grep -qE -- "$2" <<<"$lines" && return 0; fi
  echo "    expected ${2+one warning, matching }${2-no warning}; got:"; sed 's/^/      /' <<<"${lines:-(nothing)}"; return 1
}
# recipe_vars NAME=EXPRESSION...: sets each NAME to BitBake's expansion of EXPRESSION
# for mactosn, after package_setup_pkgv (of do_package, which does not run here).
recipe_vars() {
  runs "$work/vars.log" python3 -c 'import os, shlex, shutil, sys
sys.path.insert(0, os.path.join(os.path.dirname(shutil.which("bitbake")), "..", "lib")); import bb.tinfoil
with bb.tinfoil.Tinfoil() as tinfoil:
    tinfoil.prepare(quiet=2); d = tinfoil.parse_recipe("mactosn"); bb.build.exec_func("package_setup_pkgv", d)
    print("\n".join("%s=%s" % (n, shlex.quote(d.expand(e))) for n, e in (p.split("=", 1) for p in sys.argv[1:])))' "$@" &&
    eval "$(grep -E '^[A-Za-z_]+=' "$work/vars.log")"
}
host_tool() { PATH=/usr/bin:/bin command -v "$1"; }
# Stand-ins for Yocto's tools. Debian's cross compiler finds its own C library and C++
# runtime, so the recipe sysroot stays empty; GCC 12 lacks -fcanon-prefix-map. A new
# SRC_URI would prepare the sysroots again, empty: the cases below change only lists.
prepared() {
  local tool
  runs "$work/sysroot.log" bitbake mactosn -c prepare_recipe_sysroot &&
    mkdir -p "$STAGING_BINDIR_TOOLCHAIN" "${PYTHON%/*}" &&
    ln -sf "$(host_tool cmake)" "$(host_tool ninja)" "$STAGING_BINDIR_NATIVE/" &&
    ln -sf "$(host_tool python3)" "$PYTHON" || return 1
  for tool in gcc g++ cpp ar nm ranlib gcc-ar gcc-nm gcc-ranlib objcopy objdump strip readelf; do
    printf '#!/bin/sh\nfor arg; do shift; [ "$arg" = -fcanon-prefix-map ] || set -- "$@" "$arg"; done\nexec %s "$@"\n' \
      "$(host_tool "arm-linux-gnueabihf-$tool")" >"$STAGING_BINDIR_TOOLCHAIN/$TARGET_PREFIX$tool"
    chmod +x "$STAGING_BINDIR_TOOLCHAIN/$TARGET_PREFIX$tool"
  done
}
builds_into() { runs "$1" bitbake mactosn -c "$2"; }  # LOG TASK
configures_quietly() { builds_into "$work/$1.log" configure && warned "$work/$1.log"; }  # NAME
# tracked_by TASK FILE...: the last signature of mactosn's TASK holds the checksum of
# each FILE's bytes, so a change to any of them makes the task, and those after it, run again.
tracked_by() {
  local task=$1 file dump sum; shift
  file=$(ls -t "$build"/tmp*/stamps/*/mactosn/*."$task".sigdata.* 2>/dev/null | head -n 1) &&
    [ -n "$file" ] || { echo "    no signature of $task was written"; return 1; }
  runs "$work/dumpsig.log" bitbake-dumpsig "$file" || return 1
  dump=$(grep 'depends on the checksums of files' "$work/dumpsig.log") || true
  for file; do
    sum=$(md5sum <"$file" | cut -d ' ' -f 1)
    grep -qF "['${file##*/}', '$sum']" <<<"$dump" ||
      { echo "    $task's signature holds no checksum of $file ($sum): ${dump:-none}"; return 1; }
  done
}
# BitBake keeps its server, and its parse, between commands; forget_parse makes a fresh one.
stop_server() { bitbake_in "$work/stop.log" bitbake -m; }
trap stop_server EXIT
forget_parse() { stop_server; rm -f "$build"/tmp*/cache/bb_cache*; }

maker_lists "$lists"
example=$work/meta-mactosn-example/recipes-support/mactosn/files
abs=("MACTOSN_SERIAL_LIST=$lists/Maker List.csv" "MACTOSN_PREVIOUS_LIST=$lists/previous.csv"
  "MACTOSN_LIST_CHANGES_ALLOWED=$lists/allowed.txt")
echo "== Yocto $release: real BitBake ($(sed -n 's/^__version__ = "\(.*\)"/\1/p' "$bitbake_tree/lib/bb/__init__.py")) and openembedded-core"
echo "  (oe-core's recipes masked, mactosn's build dependencies assumed provided; standing in: Debian's cross compiler and C library, the host's cmake, ninja, python3; no fakeroot)"
runs "$work/init.log" bash -c '. "$0/oe-init-build-env" "$1" "$2"' "$oecore_tree" "$build" "$bitbake_tree" &&
  cp "$build/conf/local.conf" "$work/local.conf.sample" && site &&
  runs "$work/add-layer.log" bitbake-layers add-layer "$work/meta-mactosn" "$work/meta-mactosn-example" &&
  recipe_vars 'D=${D}' 'files=${FILES:${PN}}' 'debug_source=${TARGET_DBGSRC_DIR}' 'PV=${PV}' 'PKGV=${PKGV}' \
    'S=${S}' 'WORKDIR=${WORKDIR}' 'STAGING_BINDIR_NATIVE=${STAGING_BINDIR_NATIVE}' 'PYTHON=${PYTHON}' \
    'STAGING_BINDIR_TOOLCHAIN=${STAGING_BINDIR_TOOLCHAIN}' 'TARGET_PREFIX=${TARGET_PREFIX}' && prepared ||
  { echo "Yocto $release: FAILED before building"; exit 1; }
revision_in_pkgv() { [[ $PV == *+git* && $PKGV == "$PV"*"${commit:0:10}"* ]] || { echo "    PV $PV, PKGV $PKGV"; return 1; }; }
expect "PV $PV carries +git, so package_setup_pkgv makes PKGV $PKGV" revision_in_pkgv
expect "meta-mactosn-example as it is: its lists and its previous list configure the tool, and nothing warns" \
  configures_quietly example
site MACTOSN_PREVIOUS_LIST= MACTOSN_LIST_CHANGES_ALLOWED=
unguarded_warned_once() { builds_into "$work/unguarded.log" configure && warned "$work/unguarded.log" \
  'WARNING: .*MACTOSN_PREVIOUS_LIST is not set.*a row it drops, or a serial it changes, goes unnoticed'; }
expect "... no MACTOSN_PREVIOUS_LIST: configuring warns once that a dropped or changed row goes unnoticed" unguarded_warned_once
expect "... do_fetch's signature holds the example layer's three lists" tracked_by do_fetch "$example"/*
# Parsed afresh after do_unpack: a signature that changed with the unpacked
# files would configure the tool again on every run.
nothing_runs_quietly() { forget_parse; configures_quietly again || return 1
  ! grep -q 'task do_configure: Started' "$work/again.log" || { echo "    do_configure ran again"; return 1; }; }
expect "... parsed afresh, do_configure does not run again, and nothing warns" nothing_runs_quietly
site "${abs[@]:0:2}" MACTOSN_LIST_CHANGES_ALLOWED=
expect "the maker's list and the previous one, at paths with a space: the dropped and the changed row stop the build" \
  refused_build "$work/refused.log" bitbake_out bitbake mactosn -c install
site "${abs[@]}"
builds_quietly() { rm -rf "$D"; builds_into "$work/build.log" install && warned "$work/build.log"; }
expect "... with the allowance naming both, BitBake builds through do_install and warns of nothing" builds_quietly
tool=$D${files%% *}
expect "\${D} holds exactly FILES:\${PN}: $files" installed_exactly "$D" "$files" ""
expect "it answers a found, a lower-case, a missing and a malformed MAC under qemu-arm (Debian's C library for Yocto's)" \
  answers_under_qemu "$tool" /usr/arm-linux-gnueabihf
expect "RUNPATH /ZOR/System/Libs" runpath_is "$tool" /ZOR/System/Libs
expect "debug info names $debug_source/src/MACtoSN.cpp" debug_info_names "$tool" "$debug_source/src/MACtoSN.cpp"
expect "no build or work folder in the executable" no_build_folder_in "$tool" "$work" "$top"
expect "ELF32 ARM, GNU_HASH, no TEXTREL, full RELRO" elf_qa "$tool"
expect "not stripped by the build" not_stripped "$tool"
expect "do_configure's signature holds the three lists" tracked_by do_configure "${abs[@]#*=}"

# A team's SDK build: plain CMake on BitBake's sources with the toolchain
# file BitBake wrote, which searches programs only in its roots.
sdk=$work/sdk toolchain=$WORKDIR/toolchain.cmake
sdk_builds() { PATH="$STAGING_BINDIR_TOOLCHAIN:/usr/bin:/bin" quiet "$work/sdk.log" sh -c 'cmake -S "$1" -B "$2" \
  -DCMAKE_TOOLCHAIN_FILE="$3" -DMACTOSN_SERIAL_LIST="$4" && cmake --build "$2"' - "$S" "$sdk" "$toolchain" "${abs[0]#*=}"; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$sdk/CMakeCache.txt"; }  # NAME
roots=$(sed -n 's/^set( CMAKE_FIND_ROOT_PATH \(.*\))$/\1/p' "$toolchain" 2>/dev/null) || true
host_python() {  # FindPython3's choice is the host's python3, and in none of the roots (its hosttools holds one)
  local python root; python=$(cached _Python3_EXECUTABLE)
  [ -n "$roots" ] && [ "$(realpath "$python")" = "$(realpath "$(host_tool python3)")" ] || { echo "    Python '$python'"; return 1; }
  for root in $roots; do [[ $python != "$root"/* ]] || { echo "    Python $python is in the root $root"; return 1; }; done
}
flags_kept() {
  local want; want=$(sed -n 's/^set( CMAKE_CXX_FLAGS "\(.*\)" CACHE STRING "CXXFLAGS" )$/\1/p' "$toolchain")
  [ -n "$want" ] && [ "$(cached CMAKE_CXX_FLAGS)" = "$want" ] || { echo "    cached '$(cached CMAKE_CXX_FLAGS)'; the file's '$want'"; return 1; }
}
expect "SDK: cmake with BitBake's toolchain.cmake configures and builds from the maker's list" sdk_builds
expect "... finds the build host's Python, in none of the file's roots" host_python
expect "... the cached CMAKE_CXX_FLAGS is the file's" flags_kept
expect "... debug info names $debug_source/src/MACtoSN.cpp, the file's prefix map" \
  debug_info_names "$sdk/MACtoSN" "$debug_source/src/MACtoSN.cpp"
expect "... it answers under qemu-arm" answers_under_qemu "$sdk/MACtoSN" /usr/arm-linux-gnueabihf
site 'MACTOSN_SERIAL_LIST=${MACTOSN_STANDIN_LIST}' MACTOSN_PREVIOUS_LIST= MACTOSN_LIST_CHANGES_ALLOWED=
expect "MACTOSN_SERIAL_LIST = \"\${MACTOSN_STANDIN_LIST}\": configuring warns of nothing" configures_quietly standin
site MACTOSN_SERIAL_LIST=
unlisted_refused() {
  local log=$work/unlisted.log reason="mactosn was skipped: MACTOSN_SERIAL_LIST is not set: .*MACTOSN_STANDIN_LIST"
  if bitbake_in "$log" bitbake mactosn -c configure; then echo "    configured; expected an error"; return 1; fi
  grep -q '^ERROR: ' "$log" && grep -q "$reason" "$log" || { tail -n 20 "$log"; return 1; }
}
expect "no MACTOSN_SERIAL_LIST: an error names it, and how to ask for the stand-in" unlisted_refused
setup+=$'\nINHERIT += "externalsrc"'
site "EXTERNALSRC=$work/checkout" "${abs[@]}"
signed_tracking() { forget_parse; runs "$work/signature.log" bitbake -S none mactosn -c configure &&
  warned "$work/signature.log" && tracked_by do_configure "${abs[@]#*=}"; }
expect "under externalsrc, do_configure's signature holds the three lists, and nothing warns" signed_tracking
echo "Yocto $release: $failures failed"
[ "$failures" = 0 ]
