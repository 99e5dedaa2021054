#!/usr/bin/env bash
# Builds the Debian package for armhf as a site does, from a copy of the tree
# less what git ignores, with the lists put in debian/site/: none (stopped,
# naming the maker's list's place), the stand-in's profile, a previous list
# whose row the list drops (stopped at that row), then the maker's list
# with its previous list and allowance. That package passes lintian clean,
# holds the tool and /usr/share only, and its tool answers under qemu-arm,
# RUNPATH and all. Builds go under $MACTOSN_TEST_BUILD_DIR/debian.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd -P)
out=$(realpath -m "${MACTOSN_TEST_BUILD_DIR:-$top/build-test}/debian")
src=$out/src/mactosn
site=$src/debian/site
deb=$out/src/mactosn_1.0.0_armhf.deb
# shellcheck source=checks.sh
. "$top/tests/checks.sh"

rm -rf "$out"
mkdir -p "$src"
rsync -a --exclude=.git --filter=':- .gitignore' "$top/" "$src/"
rm -rf "$site"

build() {  # LOG [PROFILE]: the cross build, no tests; what it leaves replaces the last one's
  rm -f "$out"/src/mactosn*_1.0.0_armhf.*
  (cd "$src" && dpkg-buildpackage -a armhf "-Pcross,nocheck${2:+,$2}" -us -uc -b) >"$out/$1.log" 2>&1 ||
    { grep -i error "$out/$1.log" | tail -n 15; return 1; }
}
refused() {  # LOG TEXT [PROFILE]
  if build "$1" "${3-}" >/dev/null; then echo "    built; expected: $2"; return 1; fi
  grep -qF -- "$2" "$out/$1.log" || { grep -i error "$out/$1.log" | tail -n 15; echo "    expected: $2"; return 1; }
}
unpacked_answers() {  # ROOT: the package just built, unpacked, answers
  dpkg-deb -x "$deb" "$1" && answers_under_qemu "$1/ZOR/System/bin/MACtoSN" /usr/arm-linux-gnueabihf
}
standin_answers() {
  local answers=("02:5E:A1:00:00:04|BV180100001" "02:5E:A1:00:00:08|BV180100002")
  build standin pkg.mactosn.standin && unpacked_answers "$out/standin"
}
lintian_clean() {
  (cd "$out/src" && quiet "$out/lintian.log" lintian --fail-on error,warning mactosn_1.0.0_armhf.deb \
    mactosn_1.0.0_armhf.changes)
}
depends_on_libc() {
  local depends; depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || { echo "    Depends: $depends"; return 1; }
}

echo "== Debian package: checks"
expect "no maker's list: the build stops, naming it" \
  refused no-list "debian/site/BrenvicMACtoSerial.csv: error: no maker's list here"
expect "the profile pkg.mactosn.standin builds the stand-in list" standin_answers
maker_lists "$out/lists"
mkdir -p "$site"
cp "$out/lists/Maker List.csv" "$site/BrenvicMACtoSerial.csv"
expect "the profile and a maker's list: the build stops" \
  refused standin-and-list "the maker's list is here: remove one of the two" pkg.mactosn.standin
cp "$out/lists/previous.csv" "$site/BrenvicMACtoSerial.previous.csv"
expect "a row the previous list has and the list drops stops the build at its line" refused dropped \
  "$site/BrenvicMACtoSerial.previous.csv:4: error: the new list drops the MAC 02:5E:A1:00:00:0C"
cp "$out/lists/allowed.txt" "$site/list-changes-allowed.txt"
expect "the maker's list, its previous list and allowance build" build maker-list
if [ -f "$deb" ]; then
  expect "lintian: no error, no warning on the .deb and .changes" lintian_clean
  tool=$out/root/ZOR/System/bin/MACtoSN
  expect "answers a found, a missing and a malformed MAC under qemu-arm" unpacked_answers "$out/root"
  expect "installed: the tool, and /usr/share only" installed_exactly "$out/root" "/ZOR/System/bin/MACtoSN
/usr/share/doc/mactosn/changelog.gz /usr/share/doc/mactosn/copyright /usr/share/lintian/overrides/mactosn" ""
  expect "RUNPATH /ZOR/System/Libs" runpath_is "$tool" /ZOR/System/Libs
  expect "Depends from dh_shlibdeps: the C library" depends_on_libc
  expect "32-bit ARM, GNU_HASH, full RELRO, no text relocations" elf_qa "$tool"
fi
echo "Debian package: $failures failed, $SECONDS s"
[ "$failures" = 0 ]
