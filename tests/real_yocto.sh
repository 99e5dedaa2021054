#!/usr/bin/env bash
# Runs one Yocto release's real BitBake and openembedded-core on the recipe,
# used as packaging/README.md tells an integrator to: its layer.conf and
# bbappend, the lists as files of the layer, a plain git URI to a clone of
# this checkout (with its uncommitted changes). Offline nothing past
# do_unpack runs (the native tools and the cross compiler come from
# downloads), so it checks what BitBake decides up to there:
#   - parsing and do_unpack print no warning; S holds the sources, and each
#     list is unpacked where EXTRA_OECMAKE names it, as one word;
#   - do_configure's signature follows the bytes of every list: files of the
#     layer, absolute paths with spaces outside the work folder, and the
#     same under externalsrc;
#   - without MACTOSN_SERIAL_LIST, the stand-in warning prints once a run.
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
local_conf() {  # EXTRA-LINES
  cat >"$build/conf/local.conf" <<EOF
MACHINE = "qemuarm"
BB_NO_NETWORK = "1"
CONNECTIVITY_CHECK_URIS = ""
INHERIT:remove = "uninative"
BBMASK = "^$core_recipes"
BBFILE_PATTERN_IGNORE_EMPTY_core = "1"
ASSUME_PROVIDED += "$(echo $assumed)"
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
# bitbake_in LOG COMMAND...: COMMAND in the build folder, with BitBake's
# own environment only; its output goes to LOG.
bitbake_in() {
  local log=$1; shift
  [ "$(id -u)" != 0 ] || chown -R "$user:" "$work"
  as_builder env -i HOME="$work/home" PATH="$bitbake_tree/bin:/usr/bin:/bin" LANG=en_US.UTF-8 \
    sh -c 'cd "$0" && exec "$@"' "$build" "$@" >"$log" 2>&1
}
# BitBake's warnings and errors in LOG, one a line (a progress line may
# come before one on its line).
said() { grep -oE '(WARNING|ERROR): .*' "$1" || true; }
no_warning() {  # LOG
  local lines; lines=$(said "$1")
  [ -z "$lines" ] || { echo "    expected no warning, got:"; sed 's/^/      /' <<<"$lines"; return 1; }
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
getvar() { bitbake_in "$work/getvar.log" bitbake-getvar -r mactosn --value "$1" && cat "$work/getvar.log"; }

# EXTRA_OECMAKE's words, one a line, as cmake.bbclass's shell splits them.
oecmake_words() {
  getvar EXTRA_OECMAKE >"$work/words" || { cat "$work/getvar.log"; return 1; }
  python3 -c 'import shlex, sys; print("\n".join(shlex.split(sys.stdin.read())))' <"$work/words"
}
# Each -DMACTOSN_…=PATH of EXTRA_OECMAKE is one shell word, naming FILE.
passes_lists() {  # OPTION=FILE...
  local words pair option file got
  words=$(oecmake_words) || return 1
  for pair; do
    option=${pair%%=*} file=${pair#*=}
    got=$(grep "^-D$option=" <<<"$words") || { echo "    EXTRA_OECMAKE has no $option: $words"; return 1; }
    [ "$got" = "-D$option=$file" ] || { echo "    EXTRA_OECMAKE passes '$got', expected '-D$option=$file' as one word"; return 1; }
  done
}
unpacked_as() {  # OPTION=LAYER-FILE...: each list unpacked where EXTRA_OECMAKE names it
  local words pair path
  words=$(oecmake_words) || return 1
  for pair; do
    path=$(sed -n "s|^-D${pair%%=*}=||p" <<<"$words")
    cmp "${pair#*=}" "$path" || { echo "    ${pair%%=*} names '$path', which does not hold ${pair#*=}"; return 1; }
  done
}
holds_sources() {
  local s
  s=$(getvar S) || { cat "$work/getvar.log"; return 1; }
  diff <(git -C "$top" ls-tree -r --name-only "$commit" | sort) <(cd "$s" && find . -path ./.git -prune -o ! -type d -print | sed 's|^\./||' | sort) ||
    { echo "    S ($s) does not hold the tracked files of $commit"; return 1; }
}
# sign: `bitbake -S none` up to do_configure, which writes the signatures
# that decide what runs again; it prints no warning.
sign() {
  local log=$work/signature.log
  # -S takes the recipe's signature data from the parse cache, which a
  # bitbake-getvar since the last change leaves stale: parse afresh.
  rm -f "$build"/tmp*/cache/bb_cache* "$build"/tmp*/stamps/*/mactosn/*.sigdata.*
  runs "$log" bitbake -S none mactosn -c configure && no_warning "$log"
}
sigdata() { ls "$build"/tmp*/stamps/*/mactosn/*."$1".sigdata.* 2>/dev/null || echo "    no signature of $1 was written" >&2; }
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
signed_tracking() { sign && tracked_by "$@"; }
configure_signature_kept() {  # SIGNATURE: do_configure's, now as then
  local now
  sign && now=$(sigdata do_configure) || return 1
  [ "${now##*.}" = "$1" ] || { echo "    do_configure's signature was $1, now ${now##*.}"; return 1; }
}

previous=$'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n'
new_list() { printf '%s02:5E:A1:00:00:08,BV180100002\n' "$previous" >"$1"; }
files=$recipe_dir/files
new_list "$files/BrenvicMACtoSerial.csv"
printf '%s' "$previous" >"$files/BrenvicMACtoSerial.previous.csv"
printf '# MACs whose drop or change this update intends\n' >"$files/list-changes-allowed.txt"
new_list "$lists/Maker List.csv"
printf '%s' "$previous" >"$lists/Maker List.previous.csv"
printf '# none\n' >"$lists/changes allowed.txt"
uri="git://$work/mactosn.git;protocol=file;branch=main"
abs_lists=("MACTOSN_SERIAL_LIST=$lists/Maker List.csv" "MACTOSN_PREVIOUS_LIST=$lists/Maker List.previous.csv"
  "MACTOSN_LIST_CHANGES_ALLOWED=$lists/changes allowed.txt")

echo "== Yocto $release: real BitBake ($(sed -n 's/^__version__ = "\(.*\)"/\1/p' "$bitbake_tree/lib/bb/__init__.py")) and openembedded-core"
echo "  (openembedded-core's own recipes masked; what mactosn's tasks depend on is assumed provided, as nothing is built)"
extra_conf=""
local_conf ""
bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit"
expect "on a clean tree, do_fetch's signature holds the layer's three lists, and no warning" signed_tracking do_fetch \
  "$files/BrenvicMACtoSerial.csv" "$files/BrenvicMACtoSerial.previous.csv" "$files/list-changes-allowed.txt"
clean_tree_signature=$(sigdata do_configure) || true
unpacks_quietly() { runs "$work/unpack.log" bitbake mactosn -c unpack && no_warning "$work/unpack.log"; }
expect "the README's layer and bbappend: parse and do_unpack print no warning" unpacks_quietly
expect "S holds the sources of the plain git URI" holds_sources
expect "each list is unpacked where EXTRA_OECMAKE names it" unpacked_as \
  "MACTOSN_SERIAL_LIST=$files/BrenvicMACtoSerial.csv" "MACTOSN_PREVIOUS_LIST=$files/BrenvicMACtoSerial.previous.csv" \
  "MACTOSN_LIST_CHANGES_ALLOWED=$files/list-changes-allowed.txt"
expect "do_configure's signature is the same after do_unpack" configure_signature_kept "${clean_tree_signature##*.}"

bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" -SRC_URI "${abs_lists[@]}"
expect "lists at absolute paths with spaces: EXTRA_OECMAKE passes each as one word" passes_lists "${abs_lists[@]}"
expect "... and do_configure's signature holds all three" signed_tracking do_configure "${abs_lists[@]#*=}"

extra_conf="INHERIT += \"externalsrc\"
EXTERNALSRC:pn-mactosn = \"$work/checkout\""
local_conf "$extra_conf"
bbappend -MACTOSN_GIT_URI -SRCREV -SRC_URI "${abs_lists[@]}"
expect "under externalsrc: EXTRA_OECMAKE passes each list as one word" passes_lists "${abs_lists[@]}"
expect "... and do_configure's signature holds all three" signed_tracking do_configure "${abs_lists[@]#*=}"

extra_conf=""
local_conf ""
bbappend "MACTOSN_GIT_URI=$uri" "SRCREV=$commit" -SRC_URI -MACTOSN_SERIAL_LIST -MACTOSN_PREVIOUS_LIST -MACTOSN_LIST_CHANGES_ALLOWED
stand_in_warned_once() {
  runs "$work/standin.log" bitbake mactosn -c unpack || return 1
  local lines; lines=$(said "$work/standin.log")
  [ "$(grep -c . <<<"$lines")" = 1 ] && grep -q "built with the bundled stand-in list" <<<"$lines" ||
    { echo "    expected one warning, of the stand-in list; got:"; sed 's/^/      /' <<<"$lines"; return 1; }
}
expect "without MACTOSN_SERIAL_LIST, parse and do_unpack warn once, of the stand-in list" stand_in_warned_once
echo "Yocto $release: $failures failed"
[ "$failures" = 0 ]
