#!/usr/bin/env bash
# Runs the real Buildroot on the BR2_EXTERNAL tree of a copy of this
# checkout, into which ignored files (builds, caches) are planted. Offline
# nothing past the extract step runs (host tools come from downloads), so
# it checks what Buildroot decides up to there:
#   - utils/check-package -b finds nothing in the external tree;
#   - with the lists named in .config (paths with spaces), `make printvars`
#     gives the package's site, dependencies and prefix, and passes each
#     list path as one word of MACTOSN_CONF_OPTS;
#   - `make mactosn-extract` copies what git does not ignore, and nothing
#     else.
#
# Usage: real_buildroot.sh BUILDROOT-TREE WORK-FOLDER
set -euo pipefail

[ $# = 2 ] || { echo "usage: $0 BUILDROOT-TREE WORK-FOLDER" >&2; exit 2; }
buildroot=$(realpath "$1") work=$2
top=$(cd "$(dirname "$0")/.." && pwd -P)
# shellcheck source=checks.sh
. "$top/tests/checks.sh"

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
source=$work/checkout output=$work/output lists="$work/Maker Lists"

# The checkout's files that git does not ignore, tracked or new, then what
# a developer's folder also holds and git ignores.
mkdir -p "$source" "$lists"
git -C "$top" ls-files -z --cached --others --exclude-standard |
  (cd "$top" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _) |
  tar -C "$top" --null -T - -cf - | tar -C "$source" -xf -
(cd "$source" && find . -type f | sed 's|^\./||' | sort) >"$work/expected"
for junk in build/MACtoSN build-test/x/y tests/build/CMakeCache.txt data/__pycache__/serial_list.cpython-311.pyc \
    out/rows.inc; do
  mkdir -p "$source/${junk%/*}"
  echo junk >"$source/$junk"
done
printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n' >"$lists/Maker List.csv"
printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n' >"$lists/Maker List.previous.csv"
printf '# none\n' >"$lists/changes allowed.txt"

make_in() {  # LOG TARGET...: Buildroot's make on the output folder
  local log=$1; shift
  make -C "$buildroot" O="$output" BR2_EXTERNAL="$source/packaging/br2-external" "$@" >"$log" 2>&1 ||
    { tail -n 30 "$log"; echo "    make $* failed"; return 1; }
}

echo "== Buildroot: real $(sed -n 's/^export BR2_VERSION := //p' "$buildroot/Makefile")"
checked_clean() {
  local -a files
  mapfile -t files < <(find "$source/packaging/br2-external" -type f | sort)
  (cd "$buildroot" && /usr/bin/python3 utils/check-package -b "${files[@]}") >"$work/check-package.log" 2>&1 ||
    { cat "$work/check-package.log"; echo "    expected no warning"; return 1; }
  grep -q '^0 warnings generated' "$work/check-package.log" || { cat "$work/check-package.log"; return 1; }
}
expect "utils/check-package -b: no warning on the external tree" checked_clean

configured() {
  make_in "$work/defconfig.log" qemu_arm_vexpress_defconfig || return 1
  printf '%s\n' BR2_TOOLCHAIN_BUILDROOT_CXX=y BR2_PACKAGE_MACTOSN=y \
    "BR2_PACKAGE_MACTOSN_SERIAL_LIST=\"$lists/Maker List.csv\"" \
    "BR2_PACKAGE_MACTOSN_PREVIOUS_LIST=\"$lists/Maker List.previous.csv\"" \
    "BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED=\"$lists/changes allowed.txt\"" >>"$output/.config"
  make_in "$work/olddefconfig.log" olddefconfig || return 1
  local line
  for line in BR2_PACKAGE_MACTOSN=y "BR2_PACKAGE_MACTOSN_SERIAL_LIST=\"$lists/Maker List.csv\"" \
      "BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED=\"$lists/changes allowed.txt\""; do
    grep -qxF "$line" "$output/.config" || { echo "    olddefconfig dropped $line"; return 1; }
  done
}
expect "a configured output with mactosn and its three lists" configured

printvars() {
  make_in "$work/printvars.log" -s printvars VARS='MACTOSN_SITE MACTOSN_DEPENDENCIES MACTOSN_CONF_OPTS' QUOTED_VARS=YES
}
conf_opts() {
  printvars || return 1
  local words option want site
  site=$(sed -n "s/^MACTOSN_SITE='\(.*\)'$/\1/p" "$work/printvars.log")
  [ "$(realpath -m "$site")" = "$source" ] || { echo "    MACTOSN_SITE is '$site', not the checkout"; return 1; }
  grep -q "^MACTOSN_DEPENDENCIES='.*host-python3" "$work/printvars.log" ||
    { grep MACTOSN_DEPENDENCIES "$work/printvars.log"; echo "    expected host-python3 among the dependencies"; return 1; }
  # The value as the configure's shell reads it: quoted by printvars, then split.
  words=$(sed -n "s/^MACTOSN_CONF_OPTS=//p" "$work/printvars.log" |
    python3 -c 'import shlex, sys; print("\n".join(shlex.split(shlex.split(sys.stdin.read())[0])))')
  for want in -DCMAKE_INSTALL_PREFIX=/ZOR/System "-DMACTOSN_SERIAL_LIST=$lists/Maker List.csv" \
      "-DMACTOSN_PREVIOUS_LIST=$lists/Maker List.previous.csv" "-DMACTOSN_LIST_CHANGES_ALLOWED=$lists/changes allowed.txt"; do
    grep -qxF -- "$want" <<<"$words" || { echo "    MACTOSN_CONF_OPTS lacks the word '$want':"; sed 's/^/      /' <<<"$words"; return 1; }
  done
}
expect "make printvars: the site is the checkout, host-python3 a dependency, each list one word of MACTOSN_CONF_OPTS" conf_opts

extracted() {
  make_in "$work/extract.log" mactosn-extract || return 1
  local got
  got=$(cd "$output/build/mactosn-1.0.0" && find . -type f ! -name '.stamp_*' ! -name '.files-list*' | sed 's|^\./||' | sort)
  [ "$got" = "$(cat "$work/expected")" ] ||
    { echo "    copied, against what git does not ignore:"; diff "$work/expected" - <<<"$got" | sed 's/^/      /'; return 1; }
}
expect "make mactosn-extract copies what git does not ignore, and nothing else" extracted
echo "Buildroot: $failures failed"
[ "$failures" = 0 ]
