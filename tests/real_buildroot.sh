#!/usr/bin/env bash
# The real Buildroot, offline: the package built as an integrator's `make` does, and the checkout built with
# Buildroot's own toolchain file as a team's SDK build does. tests/README.md says what stands in
# and what is checked. Without the host tools' sources in $MACTOSN_PACKAGERS the builds are SKIPPED.
set -euo pipefail
[ $# = 2 ] || { echo "usage: $0 BUILDROOT-TREE WORK-FOLDER" >&2; exit 2; }
buildroot=$(realpath "$1") work=$2
top=$(cd "$(dirname "$0")/.." && pwd -P)
shelf=${MACTOSN_PACKAGERS:-$top/../shared/packagers}
# shellcheck source=checks.sh
. "$top/tests/checks.sh"
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd -P)
source=$work/checkout output=$work/output lists="$work/Maker Lists" tc=$work/toolchain sdk=$work/sdk
tool=$output/target/ZOR/System/bin/MACtoSN built=$output/build/mactosn-1.0.0
echo "== Buildroot: real $(sed -n 's/^export BR2_VERSION := //p' "$buildroot/Makefile")"
# The checkout's files that git does not ignore, then what a developer's folder also holds and git ignores.
mkdir -p "$source"
git -C "$top" ls-files -z --cached --others --exclude-standard |
  (cd "$top" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _) |
  tar -C "$top" --null -T - -cf - | tar -C "$source" -xf -
(cd "$source" && find . -type f | sed 's|^\./||' | sort) >"$work/expected"
for junk in build/MACtoSN build-test/x/y tests/build/CMakeCache.txt data/__pycache__/serial_list.cpython-311.pyc \
    out/rows.inc; do mkdir -p "$source/${junk%/*}" && echo junk >"$source/$junk"; done
maker_lists "$lists"
checked_clean() {
  local -a files
  mapfile -t files < <(find "$source/packaging/br2-external" -type f | sort)
  (cd "$buildroot" && /usr/bin/python3 utils/check-package -b "${files[@]}") >"$work/check-package.log" 2>&1 &&
    grep -q '^0 warnings generated' "$work/check-package.log" || { cat "$work/check-package.log"; return 1; }
}
expect "utils/check-package -b: no warning on the external tree" checked_clean
sources=(pkgconf_1.8.1.orig.tar.xz tar_1.34+dfsg.orig.tar.xz patchelf_0.14.3.orig.tar.gz)
for tarball in "${sources[@]}"; do
  [ -f "$shelf/$tarball" ] || { echo "SKIPPED, real system not checked: Buildroot's build (put ${sources[*]} in $shelf)"
    echo "Buildroot: $failures failed"; exit "$((failures > 0))"; }
done
# Buildroot refuses Debian's cross compiler as a distribution toolchain
# (--with-sysroot=/), but takes a copy with a sysroot-shaped target folder.
mkdir -p "$tc/bin" "$tc/lib" "$work/src" "$output"
cp -a /usr/bin/arm-linux-gnueabihf-* "$tc/bin/" && cp -a /usr/lib/gcc-cross "$tc/lib/" && cp -a /usr/arm-linux-gnueabihf "$tc/"
sysroot=$tc/arm-linux-gnueabihf
mkdir -p "$sysroot/usr" && ln -s ../include ../lib "$sysroot/usr/"
# "=" finds them in whatever sysroot is in force: Buildroot's staging.
sed -i 's| /usr/arm-linux-gnueabihf/lib/| =/lib/|g' "$sysroot/lib/libc.so"
for driver in gcc g++ cpp; do
  rm "$tc/bin/arm-linux-gnueabihf-$driver"
  cat >"$tc/bin/arm-linux-gnueabihf-$driver" <<EOF
#!/bin/sh
[ "\$*" = -v ] && { "\$0-12" -v 2>&1 | sed 's| --with-sysroot=/ | --with-sysroot=$sysroot |'; exit; }
exec "\$0-12" --sysroot="$sysroot" "\$@"
EOF
  chmod +x "$tc/bin/arm-linux-gnueabihf-$driver"
done
for tarball in "${sources[@]}"; do tar -xf "$shelf/$tarball" -C "$work/src"; done
# Buildroot patches no OVERRIDE_SRCDIR package; without its patch (for 0.13, three hunks carried over by hand
# here) patchelf lacks --make-rpath-relative, and fix-rpath silently keeps every run path.
port_patchelf_patch() {
  { patch -p1 -f -s -r - <"$1" || true; } && python3 - "$1" src/patchelf.cc <<'EOF' && ./bootstrap.sh
import sys
patch, source = sys.argv[1:]
lines = open(patch).read().split('\n')
start = lines.index('+    /* Make the the RPATH relative to the specified path */')
block = '\n'.join(line[1:] for line in lines[start + 2:lines.index('+    }', start)])
text = open(source).read()
for old, new in [
        ('rpShrink, rpSet', 'rpShrink, rpMakeRelative, rpSet'),
        ('void modifyRPath(RPathOp op, const', 'bool libFoundInRPath(const std::string &, const std::vector<std::string>,'
         ' std::vector<bool> &);\n    void modifyRPath(RPathOp op, std::string rootDir, const'),
        ('std::string newRPath);', 'std::string newRPath, const std::string & fileName);'),
        ('        case rpAdd: {', '        case rpMakeRelative: {\n            if (!rpath) return;\n'
         + block.replace('concatToRPath', 'appendRPath') + '\n            break;\n        }\n        case rpAdd: {')]:
    assert text.count(old) == 1, old
    text = text.replace(old, new)
open(source, 'w').write(text)
EOF
}
(cd "$work/src/patchelf-0.14.3" && quiet "$work/patchelf.log" port_patchelf_patch "$buildroot"/package/patchelf/0001-*.patch)
br() { FORCE_UNSAFE_CONFIGURE=1 make -C "$buildroot" O="$output" "$@"; }  # tar's configure refuses root otherwise
set_option() {  # NAME VALUE: in .config, or "" to unset
  sed -i "/^$1=/d; /^# $1 is not set/d" "$output/.config"
  [ -z "$2" ] || printf '%s=%s\n' "$1" "$2" >>"$output/.config"
}
printf '%s\n' BR2_arm=y BR2_cortex_a9=y BR2_ARM_ENABLE_VFP=y BR2_ARM_EABIHF=y BR2_ARM_FPU_VFPV3D16=y \
  "BR2_DL_DIR=\"$work/dl\"" BR2_TOOLCHAIN_EXTERNAL=y BR2_TOOLCHAIN_EXTERNAL_CUSTOM=y \
  BR2_TOOLCHAIN_EXTERNAL_PREINSTALLED=y "BR2_TOOLCHAIN_EXTERNAL_PATH=\"$tc\"" \
  'BR2_TOOLCHAIN_EXTERNAL_CUSTOM_PREFIX="arm-linux-gnueabihf"' BR2_TOOLCHAIN_EXTERNAL_GCC_12=y \
  BR2_TOOLCHAIN_EXTERNAL_HEADERS_6_1=y BR2_TOOLCHAIN_EXTERNAL_CUSTOM_GLIBC=y BR2_TOOLCHAIN_EXTERNAL_CXX=y \
  '# BR2_TOOLCHAIN_EXTERNAL_INET_RPC is not set' BR2_TOOLCHAIN_EXTERNAL_OPENMP=y BR2_INIT_NONE=y \
  BR2_SYSTEM_BIN_SH_NONE=y '# BR2_PACKAGE_BUSYBOX is not set' '# BR2_TARGET_ROOTFS_TAR is not set' \
  BR2_PACKAGE_MACTOSN=y BR2_PACKAGE_MACTOSN_STANDIN_LIST=y BR2_REPRODUCIBLE=y BR2_ENABLE_DEBUG=y \
  BR2_ENABLE_RUNTIME_DEBUG=y >"$output/.config"
printf '%s_OVERRIDE_SRCDIR = %s\n' PKGCONF "$work/src/pkgconf-1.8.1" TAR "$work/src/tar-1.34+dfsg" \
  PATCHELF "$work/src/patchelf-0.14.3" >"$output/local.mk"
quiet "$work/olddefconfig.log" br BR2_EXTERNAL="$source/packaging/br2-external" olddefconfig
# First with BR2_REPRODUCIBLE, debug info, and runtime debug: the toolchain file's build type is then Debug,
# which the project's default (Release) must not override.
expect "with BR2_REPRODUCIBLE, debug info, runtime debug and the stand-in list, make builds to a target tree" \
  quiet "$work/standin.log" br
reproducible() { no_build_folder_in "$built/buildroot-build/MACtoSN" "$output" "$source" &&
  debug_info_names "$built/buildroot-build/MACtoSN" buildroot/build/mactosn-1.0.0/src/MACtoSN.cpp; }
expect "the unstripped tool names no build folder, and its debug info Buildroot's map" reproducible
toolchain_file=$output/host/share/buildroot/toolchainfile.cmake
sdk_build() {
  cmake -S "$source" -B "$sdk" -DCMAKE_TOOLCHAIN_FILE="$toolchain_file" -DMACTOSN_SERIAL_LIST="$lists/Maker List.csv" &&
    cmake --build "$sdk" --target MACtoSN
}
expect "an SDK build with Buildroot's toolchain file builds the tool" quiet "$work/sdk.log" sdk_build
file_wins() {
  local name want got
  grep -q '^ *set(CMAKE_BUILD_TYPE Debug CACHE' "$toolchain_file" || { echo "    the file's build type is not Debug"; return 1; }
  for name in CMAKE_BUILD_TYPE CMAKE_CXX_FLAGS; do
    want=$(sed -n "s/^ *set($name \"\{0,1\}\([^\"]*\)\"\{0,1\} CACHE .*/\1/p" "$toolchain_file")
    got=$(sed -n "s/^$name:[A-Z]*=//p" "$sdk/CMakeCache.txt")
    [ "$got" = "$want" ] || { echo "    $name: '$got'; the toolchain file's: '$want'"; return 1; }
  done
}
expect "... with the file's build type (Debug) and flags" file_wins
host_python() {  # BUILD-FOLDER
  local python; python=$(sed -n 's/^_Python3_EXECUTABLE:INTERNAL=//p' "$1/CMakeCache.txt")
  if compgen -G "$output/build/host-python3*" >/dev/null; then echo "    host-python3 was built"; return 1; fi
  [ "$python" = "$(command -v python3)" ] || { echo "    the generator ran with '$python', not the host's $(command -v python3)"; return 1; }
}
expect "... and the host's Python" host_python "$sdk"
sdk_tool() { answers_under_qemu "$sdk/MACtoSN" "$output/target" && no_build_folder_in "$sdk/MACtoSN" "$source" "$sdk" &&
  { ! grep -rqe -Werror --include=flags.make "$sdk" || { echo "    built with -Werror"; return 1; }; }; }
expect "... the tool answers under qemu-arm, naming neither its source nor its build folder; no -Werror" sdk_tool

# Then as most integrators build, with the toolchain wrapper and file made again without those options.
for option in BR2_REPRODUCIBLE BR2_ENABLE_DEBUG BR2_ENABLE_RUNTIME_DEBUG; do set_option $option ""; done
quiet "$work/options.log" br olddefconfig
set_option BR2_PACKAGE_MACTOSN_STANDIN_LIST ""
set_option BR2_PACKAGE_MACTOSN_SERIAL_LIST "\"$lists/Maker List.csv\""
set_option BR2_PACKAGE_MACTOSN_PREVIOUS_LIST "\"$lists/previous.csv\""
expect "against the previous list, make mactosn-reconfigure stops at the dropped and the changed row" \
  refused_build "$work/refused.log" br toolchain-external-custom-dirclean toolchain-dirclean mactosn-reconfigure
set_option BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED "\"$lists/allowed.txt\""
expect "with the allowance, make mactosn-reconfigure and make finish the target tree" \
  quiet "$work/allowed.log" br mactosn-reconfigure all

expect "the tool in the target answers under qemu-arm, from the target's own libraries" \
  answers_under_qemu "$tool" "$output/target"
runpath_kept() {
  "$output/host/bin/patchelf" --help 2>&1 | grep -q -- --make-rpath-relative ||
    { echo "    host-patchelf lacks --make-rpath-relative: fix-rpath changed nothing"; return 1; }
  runpath_is "$tool" /ZOR/System/Libs
}
expect "its RUNPATH /ZOR/System/Libs survives fix-rpath" runpath_kept
package_files() {  # Buildroot's own record, then the package's folder in the target
  local listed; listed=$(sed -n 's/^mactosn,//p' "$built/.files-list.txt")
  [ "$listed" = ./ZOR/System/bin/MACtoSN ] || { echo "    the package installed:" $listed; return 1; }
  installed_exactly "$output/target/ZOR" /System/bin/MACtoSN /System/Libs
}
expect "the package installed the tool alone, and created /ZOR/System/Libs" package_files
copied() {
  local got
  got=$(cd "$built" && find . -path ./buildroot-build -prune -o -type f \
    ! -name '.stamp_*' ! -name '.files-list*' -print | sed 's|^\./||' | sort)
  [ "$got" = "$(cat "$work/expected")" ] ||
    { echo "    copied, against what git does not ignore:"; diff "$work/expected" - <<<"$got" | sed 's/^/      /'; return 1; }
}
expect "it was built from what git does not ignore, and nothing else" copied
expect "no host-python3: the generator ran with the host's Python" host_python "$built/buildroot-build"

set_option BR2_PACKAGE_MACTOSN_SERIAL_LIST '""'
stops_unnamed() {
  if br >"$work/unnamed.log" 2>&1; then echo "    built with no list named"; return 1; fi
  grep -q 'mactosn.mk:[0-9]*: \*\*\* BR2_PACKAGE_MACTOSN_SERIAL_LIST is empty' "$work/unnamed.log" ||
    { tail -n 5 "$work/unnamed.log"; return 1; }
}
expect "with no list named, make stops at BR2_PACKAGE_MACTOSN_SERIAL_LIST" stops_unnamed
# `make legal-info` stops at the stand-in host-tar's license (its hash is tar 1.35's): the package's own
# legal-info goes into the folder it prepares.
mkdir -p "$output/legal-info"
expect "... while savedefconfig and mactosn-legal-info run" quiet "$work/unnamed-config.log" br savedefconfig mactosn-legal-info
no_source_saved() {
  grep -q '^"mactosn",' "$output/legal-info/manifest.csv" || { echo "    mactosn is not in the manifest"; return 1; }
  [ -z "$(find "$output/legal-info" -name 'mactosn*')" ] || { echo "    saved:" $(find "$output/legal-info" -name 'mactosn*'); return 1; }
}
expect "legal-info saves none of the tool's source" no_source_saved
echo "Buildroot: $failures failed"
[ "$failures" = 0 ]
