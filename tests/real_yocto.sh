#!/usr/bin/env bash
# Runs one Yocto release's real BitBake and openembedded-core on the recipe,
# used as packaging/README.md tells an integrator to: its layer.conf and
# bbappend, a plain git URI to a clone of this checkout (with its
# uncommitted changes). BitBake runs do_configure, do_compile and do_install
# offline, with its own toolchain file, flags and command lines; only what
# other recipes would build stands in: Yocto's compiler and C library
# (Debian's), its native cmake, ninja and python3 (the host's), fakeroot.
# It checks the warning for a list with no previous list, once in a run
# that configures, never in one that does not; the guard, on lists at a
# path with a space; what do_install put in ${D}; that no list is an error
# naming MACTOSN_SERIAL_LIST; that PKGV follows SRCREV; and that the
# signatures follow every list's bytes, also under externalsrc.
# openembedded-core's own recipes are masked and mactosn's build
# dependencies assumed provided, since none of them is built.
#
# Usage: real_yocto.sh RELEASE BITBAKE-TREE OECORE-TREE WORK-FOLDER
# As root, BitBake runs as the user $MACTOSN_BITBAKE_USER (made if missing).
set -euo pipefail

[ $# = 4 ] || { echo "usage: $0 RELEASE BITBAKE-TREE OECORE-TREE WORK-FOLDER" >&2; exit 2; }
release=$1 bitbake_tree=$(realpath "$2") oecore_tree=$(realpath "$3") work=$4
top=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=checks.sh
. "$top/tests/checks.sh"
user=${MACTOSN_BITBAKE_USER:-mactosn-bitbake}

if ! locale -a 2>/dev/null | grep -qix 'en_US.utf-*8'; then
  echo "BitBake needs the locale en_US.UTF-8, which this machine lacks (tests/run-all.sh generates it as root)"
  exit 1
fi
rm -rf "$work"
mkdir -p "$work/home"
work=$(cd "$work" && pwd -P)
layer=$work/meta-yours
recipe_dir=$layer/recipes-support/mactosn
build=$work/build
lists="$work/Maker Lists"

# The sources: this checkout's commit, or a commit of its work tree.
commit=$(git -C "$top" stash create 2>/dev/null) || true
commit=${commit:-$(git -C "$top" rev-parse HEAD)}
git init -q --bare "$work/mactosn.git"
git -C "$top" push -q "$work/mactosn.git" "$commit:refs/heads/main"
git clone -q -b main "$work/mactosn.git" "$work/checkout"

# The fenced block that packaging/README.md shows after the line naming FILE.
readme_block() {
  awk -v name="\`$1\`" 'index($0, name) == 1 { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$top/packaging/README.md"
}
mkdir -p "$layer/conf" "$recipe_dir/files" "$lists" "$build/conf"
readme_block meta-yours/conf/layer.conf >"$layer/conf/layer.conf"
readme_block meta-yours/recipes-support/mactosn/mactosn_%.bbappend >"$work/readme.bbappend"
for file in "$layer/conf/layer.conf" "$work/readme.bbappend"; do
  [ -s "$file" ] || { echo "packaging/README.md shows no ${file##*/}"; exit 1; }
done
grep -q "^LAYERSERIES_COMPAT_.*\b$release\b" "$layer/conf/layer.conf" ||
  { echo "the README's layer.conf does not name $release in LAYERSERIES_COMPAT"; exit 1; }
cp "$top/packaging/yocto/mactosn_1.0.0.bb" "$recipe_dir/"

# bbappend CHANGE...: the README's bbappend, with each NAME=VALUE of CHANGE
# set in place of its own NAME line, and each -NAME dropped.
bbappend() {
  python3 - "$work/readme.bbappend" "$recipe_dir/mactosn_%.bbappend" "$@" <<'EOF'
import sys
source, target, changes = sys.argv[1], sys.argv[2], sys.argv[3:]
with open(source) as f:
    lines = f.read().splitlines()
for change in changes:
    name, _, value = change.lstrip("-").partition("=")
    at = [i for i, line in enumerate(lines) if line.startswith(name + " ")]
    if not at:
        sys.exit("the README's bbappend sets no " + name)
    if not change.startswith("-"):
        lines[at.pop(0)] = '%s = "%s"' % (name, value)
    lines = [line for i, line in enumerate(lines) if i not in at]
with open(target, "w") as f:
    f.write("\n".join(lines) + "\n")
EOF
}

printf 'BBPATH = "${TOPDIR}"\nBBFILES ?= ""\nBBLAYERS = "%s/meta %s"\n' "$oecore_tree" "$layer" >"$build/conf/bblayers.conf"
core_recipes=$(python3 -c 'import re, sys; print(re.escape(sys.argv[1] + "/meta/recipes-"))' "$oecore_tree")
# What mactosn's tasks name as dependencies, on both releases; a release
# that names more gets them added below.
assumed="cmake-native ninja-native python3-native quilt-native patch-replacement-native virtual/fakeroot-native
  rpm-native dwarfsrcfiles-native opkg-utils-native zstd-native virtual/libc virtual/compilerlibs gcc-cross-arm
  binutils-cross-arm virtual/arm-oe-linux-gnueabi-gcc virtual/arm-oe-linux-gnueabi-binutils
  virtual/arm-oe-linux-gnueabi-compilerlibs"
# The distribution's hardening flags, which poky brings in, and newer
# openembedded-core's default setup too.
security=$(grep -q security_flags.inc "$oecore_tree/meta/conf/distro/defaultsetup.conf" ||
  echo 'require conf/distro/include/security_flags.inc')
# pseudo (fakeroot-native) is not built: -S, which stops its server, does
# nothing, and do_install runs as the builder.
printf '#!/bin/sh\n[ "$1" = -S ] && exit 0\nexec "$@"\n' >"$work/fakeroot"
chmod +x "$work/fakeroot"
local_conf() {  # EXTRA-LINES
  cat >"$build/conf/local.conf" <<EOF
MACHINE = "qemuarm"
BB_NO_NETWORK = "1"
CONNECTIVITY_CHECK_URIS = ""
INHERIT:remove = "uninative"
BBMASK = "^$core_recipes"
BBFILE_PATTERN_IGNORE_EMPTY_core = "1"
ASSUME_PROVIDED += "$(echo $assumed)"
FAKEROOTCMD = "$work/fakeroot"
BB_SERVER_TIMEOUT = "60"
$security
$1
EOF
}

if [ "$(id -u)" = 0 ]; then
  id -u "$user" >/dev/null 2>&1 || useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$user" ||
    id -u "$user" >/dev/null  # made meanwhile by a run beside this one
  as_builder() { runuser -u "$user" -- "$@"; }
else
  as_builder() { "$@"; }
fi
# bitbake_out COMMAND...: COMMAND in the build folder, with BitBake's own
# environment only; its output on standard output.
bitbake_out() {
  [ "$(id -u)" != 0 ] || chown -R "$user:" "$work"
  as_builder env -i HOME="$work/home" PATH="$bitbake_tree/bin:/usr/bin:/bin" LANG=en_US.UTF-8 \
    sh -c 'cd "$0" && exec "$@"' "$build" "$@" 2>&1
}
bitbake_in() { local log=$1; shift; bitbake_out "$@" >"$log"; }  # LOG COMMAND...
# BitBake's warnings and errors in LOG, one a line (a progress line may
# come before one on its line).
said() { grep -oE '(WARNING|ERROR): .*' "$1" || true; }
# warned LOG [PATTERN]: one warning, matching PATTERN; without one, none.
warned() {
  local lines want="no warning"; lines=$(said "$1")
  if [ -z "${2-}" ]; then [ -z "$lines" ] && return 0
  else
    [ "$(grep -c . <<<"$lines")" = 1 ] && grep -qE -- "$2" <<<"$lines" && return 0
    want="one warning, matching '$2'"
  fi
  echo "    expected $want; got:"; sed 's/^/      /' <<<"${lines:-(nothing)}"; return 1
}
# runs LOG COMMAND...: the BitBake command passes; anything it names as not
# provided is assumed provided, and it runs again.
runs() {
  local log=$1 missing tries; shift
  for tries in 1 2 3 4 5 6 7 8; do
    bitbake_in "$log" "$@" && return 0
    missing=$(grep -o "Nothing PROVIDES '[^']*'" "$log" | cut -d "'" -f 2 | sort -u | tr '\n' ' ')
    [ -n "$missing" ] || { tail -n 30 "$log"; echo "    $* failed"; return 1; }
    echo "    assumed provided too: $missing"
    assumed+=" $missing"
    local_conf "$extra_conf"
  done
  echo "    $* still misses providers after $tries tries"; return 1
}

# recipe_vars NAME=EXPRESSION...: sets each NAME to BitBake's expansion of
# EXPRESSION for mactosn, after package_setup_pkgv (of do_package, which
# does not run here) has set PKGV.
recipe_vars() {
  bitbake_in "$work/vars.log" python3 -c '
import os, shlex, shutil, sys
sys.path.insert(0, os.path.join(os.path.dirname(shutil.which("bitbake")), "..", "lib"))
import bb.tinfoil
with bb.tinfoil.Tinfoil() as tinfoil:
    tinfoil.prepare(quiet=2)
    d = tinfoil.parse_recipe("mactosn")
    bb.build.exec_func("package_setup_pkgv", d)
    for pair in sys.argv[1:]:
        name, expression = pair.split("=", 1)
        print("%s=%s" % (name, shlex.quote(d.expand(expression))))' "$@" &&
    eval "$(grep -E '^[A-Za-z_]+=' "$work/vars.log")" || { tail -n 20 "$work/vars.log"; return 1; }
}
host_tool() { PATH=/usr/bin:/bin command -v "$1"; }
# Yocto's own tools would come from recipes this run does not build. Debian's
# cross compiler stands in for Yocto's together with the C library and C++
# runtime Yocto would put in the recipe sysroot: it finds its own, relative
# to where it is installed and ahead of any --sysroot, so the recipe sysroot
# stays as BitBake leaves it (empty), and a copy of Debian's files there
# would not be read. GCC 12 lacks -fcanon-prefix-map.
standins() {
  local tool
  mkdir -p "$STAGING_BINDIR_TOOLCHAIN" "${PYTHON%/*}" &&
    ln -sf "$(host_tool cmake)" "$(host_tool ninja)" "$STAGING_BINDIR_NATIVE/" &&
    ln -sf "$(host_tool python3)" "$PYTHON" || return 1
  for tool in gcc g++ cpp ar nm ranlib gcc-ar gcc-nm gcc-ranlib objcopy objdump strip readelf; do
    printf '#!/bin/sh\nfor arg; do shift; [ "$arg" = -fcanon-prefix-map ] || set -- "$@" "$arg"; done\nexec %s "$@"\n' \
      "$(host_tool "arm-linux-gnueabihf-$tool")" >"$STAGING_BINDIR_TOOLCHAIN/$TARGET_PREFIX$tool"
    chmod +x "$STAGING_BINDIR_TOOLCHAIN/$TARGET_PREFIX$tool"
  done
}
# The recipe sysroots, with the stand-ins. Preparing them again, as a new
# SRC_URI or list of the layer has BitBake do, would empty them: every case
# below keeps the layer's SRC_URI, and changes only the lists it builds from.
prepared() { runs "$work/sysroot.log" bitbake mactosn -c prepare_recipe_sysroot && standins; }
builds() { bitbake_out bitbake mactosn -c "$1"; }  # TASK: BitBake's output on standard output
builds_into() {  # LOG TASK
  builds "$2" >"$1" || { tail -n 30 "$1"; echo "    bitbake mactosn -c $2 failed"; return 1; }
}

# The signature data of TASK's last run: what decides whether it runs again.
sigdata() { ls -t "$build"/tmp*/stamps/*/mactosn/*."$1".sigdata.* 2>/dev/null | head -n 1 | grep . ||
  echo "    no signature of $1 was written" >&2; }
# tracked_by TASK FILE...: the last signature of mactosn's TASK holds the
# checksum of each FILE's bytes, so a change to any of them makes the task,
# and do_configure after it, run again.
tracked_by() {
  local task=$1 file dump sum; shift
  file=$(sigdata "$task") && bitbake_in "$work/dumpsig.log" bitbake-dumpsig "$file" || { cat "$work/dumpsig.log"; return 1; }
  dump=$(grep 'depends on the checksums of files' "$work/dumpsig.log") || true
  for file; do
    sum=$(md5sum <"$file" | cut -d ' ' -f 1)
    grep -qF "['${file##*/}', '$sum']" <<<"$dump" ||
      { echo "    $task's signature holds no checksum of $file ($sum): ${dump:-none}"; return 1; }
  done
}
# BitBake keeps its server, and its parse, between commands; these check a
# fresh parse.
stop_server() { bitbake_in "$work/stop.log" bitbake -m; }
trap stop_server EXIT
forget_parse() { stop_server; rm -f "$build"/tmp*/cache/bb_cache*; }
signed_tracking() {  # TASK FILE...: `bitbake -S none`, parsed afresh, up to do_configure
  forget_parse
  runs "$work/signature.log" bitbake -S none mactosn -c configure && warned "$work/signature.log" && tracked_by "$@"
}

maker_lists "$lists"
files=$recipe_dir/files
cp "$lists/Maker List.csv" "$files/BrenvicMACtoSerial.csv"
cp "$lists/previous.csv" "$files/BrenvicMACtoSerial.previous.csv"
cp "$lists/allowed.txt" "$files/list-changes-allowed.txt"
layer_lists=("$files/BrenvicMACtoSerial.csv" "$files/BrenvicMACtoSerial.previous.csv" "$files/list-changes-allowed.txt")
uri="git://$work/mactosn.git;protocol=file;branch=main"
abs_lists=("MACTOSN_SERIAL_LIST=$lists/Maker List.csv" "MACTOSN_PREVIOUS_LIST=$lists/previous.csv"
  "MACTOSN_LIST_CHANGES_ALLOWED=$lists/allowed.txt")

echo "== Yocto $release: real BitBake ($(sed -n 's/^__version__ = "\(.*\)"/\1/p' "$bitbake_tree/lib/bb/__init__.py")) and openembedded-core"
echo "  (openembedded-core's own recipes masked and mactosn's build dependencies assumed provided; standing in:"
echo "   Debian's cross compiler and C library for Yocto's, the host's cmake, ninja and python3, no fakeroot)"
extra_conf=""
local_conf ""
bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" -MACTOSN_PREVIOUS_LIST -MACTOSN_LIST_CHANGES_ALLOWED
recipe_vars 'D=${D}' 'files=${FILES:${PN}}' 'debug_source=${TARGET_DBGSRC_DIR}' 'PV=${PV}' 'PKGV=${PKGV}' \
  'STAGING_BINDIR_NATIVE=${STAGING_BINDIR_NATIVE}' 'PYTHON=${PYTHON}' \
  'STAGING_BINDIR_TOOLCHAIN=${STAGING_BINDIR_TOOLCHAIN}' 'TARGET_PREFIX=${TARGET_PREFIX}' && prepared ||
  { echo "Yocto $release: FAILED before building"; exit 1; }
revision_in_pkgv() {
  [[ $PV == *+git* && $PKGV == "$PV"*"${commit:0:10}"* ]] || { echo "    PV $PV, PKGV $PKGV"; return 1; }
}
expect "PV $PV carries +git, so package_setup_pkgv makes PKGV $PKGV" revision_in_pkgv

unguarded_warned_once() { builds_into "$work/unguarded.log" configure && warned "$work/unguarded.log" \
  'WARNING: .*MACTOSN_PREVIOUS_LIST is not set.*a row it drops, or a serial it changes, goes unnoticed'; }
expect "the maker's list in the layer, no MACTOSN_PREVIOUS_LIST: configuring warns once that a dropped or changed row goes unnoticed" \
  unguarded_warned_once
# Parsed afresh after do_unpack: a signature that changed with the unpacked
# files would configure the tool again on every run.
nothing_runs_quietly() {
  forget_parse
  bitbake_in "$work/again.log" bitbake mactosn -c configure && warned "$work/again.log" || return 1
  if grep -q 'task do_configure: Started' "$work/again.log"; then echo "    do_configure ran again"; return 1; fi
}
expect "... do_fetch's signature holds the layer's three lists" tracked_by do_fetch "${layer_lists[@]}"
expect "... parsed afresh, do_configure does not run again, and nothing warns" nothing_runs_quietly

bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" "${abs_lists[@]:0:2}" -MACTOSN_LIST_CHANGES_ALLOWED
expect "the maker's list and the previous one, at paths with a space: the dropped and the changed row stop the build" \
  refused_build "$work/refused.log" builds install
bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" "${abs_lists[@]}"
builds_quietly() { rm -rf "$D"; builds_into "$work/build.log" install && warned "$work/build.log"; }
expect "... with the allowance naming both, BitBake builds through do_install and warns of nothing" builds_quietly
tool=$D${files%% *}
if [ -f "$tool" ]; then
  expect "\${D} holds exactly FILES:\${PN}: $files" installed_exactly "$D" "$files" ""
  expect "it answers a found, a lower-case, a missing and a malformed MAC under qemu-arm (Debian's C library for Yocto's)" \
    answers_under_qemu "$tool" /usr/arm-linux-gnueabihf
  expect "RUNPATH /ZOR/System/Libs" runpath_is "$tool" /ZOR/System/Libs
  expect "debug info names $debug_source/src/MACtoSN.cpp" debug_info_names "$tool" "$debug_source/src/MACtoSN.cpp"
  expect "no build or work folder in the executable" no_build_folder_in "$tool" "$work" "$top"
  expect "ELF32 ARM, GNU_HASH, no TEXTREL, full RELRO" elf_qa "$tool"
  expect "not stripped by the build" not_stripped "$tool"
else
  expect "do_install put $tool" false
fi
expect "do_configure's signature holds the three lists" tracked_by do_configure "${abs_lists[@]#*=}"

bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" 'MACTOSN_SERIAL_LIST=${MACTOSN_STANDIN_LIST}' \
  -MACTOSN_PREVIOUS_LIST -MACTOSN_LIST_CHANGES_ALLOWED
standin_quiet() { builds_into "$work/standin.log" configure && warned "$work/standin.log"; }
expect "MACTOSN_SERIAL_LIST = \"\${MACTOSN_STANDIN_LIST}\": configuring warns of nothing" standin_quiet
bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" -MACTOSN_SERIAL_LIST -MACTOSN_PREVIOUS_LIST \
  -MACTOSN_LIST_CHANGES_ALLOWED
unlisted_refused() {
  local log=$work/unlisted.log reason="mactosn was skipped: MACTOSN_SERIAL_LIST is not set: .*MACTOSN_STANDIN_LIST"
  if bitbake_in "$log" bitbake mactosn -c configure; then echo "    configured; expected an error"; return 1; fi
  grep -q '^ERROR: ' "$log" && grep -q "$reason" "$log" || { tail -n 20 "$log"; return 1; }
}
expect "no MACTOSN_SERIAL_LIST: an error names it, and how to ask for the stand-in" unlisted_refused

extra_conf="INHERIT += \"externalsrc\"
EXTERNALSRC:pn-mactosn = \"$work/checkout\""
local_conf "$extra_conf"
bbappend -MACTOSN_GIT_URI -SRCREV -SRC_URI "${abs_lists[@]}"
expect "under externalsrc, do_configure's signature holds the three lists, and nothing warns" \
  signed_tracking do_configure "${abs_lists[@]#*=}"
echo "Yocto $release: $failures failed"
[ "$failures" = 0 ]
