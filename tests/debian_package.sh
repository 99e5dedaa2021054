#!/usr/bin/env bash
# The Debian package built for armhf as a site builds it, lists in debian/site/, from a copy of the tree less
# what git ignores (under $MACTOSN_TEST_BUILD_DIR/debian); lintian on it, and its tool under qemu-arm.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd -P)
out=$(realpath -m "${MACTOSN_TEST_BUILD_DIR:-$top/build-test}/debian")
src=$out/src/mactosn site=$out/src/mactosn/debian/site deb=$out/src/mactosn_1.0.0_armhf.deb
. "$top/tests/checks.sh"
rm -rf "$out" && mkdir -p "$src"
rsync -a --exclude=.git --filter=':- .gitignore' "$top/" "$src/" && rm -rf "$site"
build() {  # LOG [PROFILE]: the cross build, without tests
  rm -f "$out"/src/mactosn*_1.0.0_armhf.*
  (cd "$src" && dpkg-buildpackage -a armhf "-Pcross,nocheck${2:+,$2}" -us -uc -b) >"$out/$1.log" 2>&1 ||
    { grep -i error "$out/$1.log" | tail -n 15; return 1; }
}
refused() {  # LOG TEXT [PROFILE]: the build stops, saying TEXT
  if build "$1" "${3-}" >/dev/null; then echo "    built; expected: $2"; return 1; fi
  grep -qF -- "$2" "$out/$1.log" || { grep -i error "$out/$1.log" | tail -n 15; echo "    expected: $2"; return 1; }
}
unpacked_answers() {  # ROOT: the package just built, unpacked there, answers
  dpkg-deb -x "$deb" "$1" && answers_under_qemu "$1/ZOR/System/bin/MACtoSN" /usr/arm-linux-gnueabihf
}
standin_answers() {
  local answers=("02:5E:A1:00:00:04|BV180100001" "02:5E:A1:00:00:08|BV180100002")
  build standin pkg.mactosn.standin && unpacked_answers "$out/standin"
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
  expect "lintian: no error, no warning on the .deb and .changes" \
    quiet "$out/lintian.log" lintian --fail-on error,warning "$deb" "${deb%.deb}.changes"
  expect "answers a found, a missing and a malformed MAC under qemu-arm" unpacked_answers "$out/root"
  expect "installed: the tool, and /usr/share only" installed_exactly "$out/root" "/ZOR/System/bin/MACtoSN
/usr/share/doc/mactosn/changelog.gz /usr/share/doc/mactosn/copyright /usr/share/lintian/overrides/mactosn" ""
  expect "RUNPATH /ZOR/System/Libs" runpath_is "$out/root/ZOR/System/bin/MACtoSN" /ZOR/System/Libs
  expect "32-bit ARM, GNU_HASH, full RELRO, no text relocations" elf_qa "$out/root/ZOR/System/bin/MACtoSN"
  expect "Depends from dh_shlibdeps: the C library alone" grep -qxE 'libc6 \(>= [0-9.]+\)' <(dpkg-deb -f "$deb" Depends)
fi
echo "Debian package: $failures failed, $SECONDS s"
[ "$failures" = 0 ]
