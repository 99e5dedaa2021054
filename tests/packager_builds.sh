#!/usr/bin/env bash
# Builds MACtoSN as Yocto's cmake.bbclass and Buildroot's cmake-package
# build it, with Debian's cross compiler standing in for theirs, and checks
# what each puts in the image. Each system's toolchain file and command line
# are written here from what its classes do; the recipe's EXTRA_OECMAKE and
# PACKAGECONFIG and the package's MACTOSN_CONF_OPTS and hooks are read from
# packaging/, so the two cannot drift. The lists sit in a folder whose name
# holds a space. Against a previous release's list, a row the list drops
# and one it changes must stop each build, until the allowance names both.
# After a DESTDIR install (and, for Buildroot, its fix-rpath rule on the
# target tree), for each build:
#   - the tool is exactly where the recipe's FILES (the package's prefix)
#     says, and nothing else is installed;
#   - it answers a found, a missing and a malformed MAC byte for byte under
#     qemu-arm;
#   - its RUNPATH is /ZOR/System/Libs (none when fully static);
#   - the debug info names the packager's source path, and no build folder
#     appears in the executable;
#   - what Yocto's QA checks: GNU_HASH, no text relocations, 32-bit ARM, not
#     stripped by the build; and the packager's RELRO and BIND_NOW reached it.
# It also configures with a Yocto-SDK-style toolchain file that searches
# programs only in the target's root (the build host's Python must still be
# found) and with Buildroot's toolchain file outside Buildroot (its build
# type must stay). Builds go under $MACTOSN_TEST_BUILD_DIR/integrations
# (default ./build-test/integrations). tests/run-all.sh installs what it needs.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd -P)
out=$(realpath -m "${MACTOSN_TEST_BUILD_DIR:-$top/build-test}/integrations")
jobs=$(nproc 2>/dev/null || echo 2)
target_root=/usr/arm-linux-gnueabihf
recipe=$top/packaging/yocto/mactosn_1.0.0.bb
br_external=$top/packaging/br2-external

for tool in cmake ninja make python3 arm-linux-gnueabihf-g++ arm-linux-gnueabihf-readelf qemu-arm patchelf; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (tests/run-all.sh installs it)"; exit 1; }
done

rm -rf "$out"
mkdir -p "$out"
# The device's flags, as its toolchain file gives them to a configured build.
cmake --preset device -S "$top" -B "$out/device-flags" -G Ninja -DBUILD_TESTING=OFF >"$out/device-flags.log" 2>&1 ||
  { cat "$out/device-flags.log"; exit 1; }
device_flags=$(sed -n 's/^CMAKE_CXX_FLAGS:[A-Z]*=//p' "$out/device-flags/CMakeCache.txt")
[[ $device_flags == *-march=armv7-a* ]] || { echo "no device flags in the device preset's build: '$device_flags'"; exit 1; }
# The lists sit where a space in a path would split an unquoted word.
lists="$out/Maker Lists"
list="$lists/Maker List.csv"
mkdir -p "$lists"
printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV2007-00123\n' >"$list"
# A previous release's list with a row the list drops, and one it changes.
printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV2007-00122\n02:5E:A1:00:00:0C,BV3\n' \
  >"$lists/previous.csv"
printf '02:5E:A1:00:00:08  # re-labelled\n02:5E:A1:00:00:0C  # scrapped\n' >"$lists/allowed.txt"
not_found() { printf 'Fail:Mac=%s Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv' "$1"; }
# MAC|what the tool prints (always status 0).
answers=(
  "02:5E:A1:00:00:04|BV180100001"
  "02:5E:A1:00:00:08|BV2007-00123"
  "02:5E:A1:00:00:05|$(not_found 02:5E:A1:00:00:05)"
  "02:5E:A1:00:00:0G|$(not_found 02:5E:A1:00:00:0G)"
)

# shellcheck source=checks.sh
. "$top/tests/checks.sh"

# The sources as the fetcher leaves them: the tree without builds or history.
copy_source() {
  mkdir -p "$1"
  (cd "$top" && tar cf - --exclude='./build*' --exclude=./.git --exclude=./out .) | tar xf - -C "$1"
}

installed_exactly() {  # ROOT FILES DIRS: files, and directories beyond their parents, one a line
  local root=$1 want_files=$2 want_dirs=$3 got_files got_dirs allowed
  got_files=$(cd "$root" && find . -mindepth 1 ! -type d | sed 's/^\.//' | sort)
  got_dirs=$(cd "$root" && find . -mindepth 1 -type d | sed 's/^\.//' | sort)
  for path in $want_files $want_dirs; do
    [[ $path == /* ]] || { echo "    '$path' is no absolute path: expected one for each file and folder"; return 1; }
  done
  allowed=$(printf '%s\n' $want_files $want_dirs | while read -r path; do
    [ -z "$path" ] && continue
    [ -d "$root$path" ] && echo "$path"
    while path=$(dirname "$path"); [ "$path" != / ]; do echo "$path"; done
  done | sort -u)
  if [ "$got_files" != "$(printf '%s\n' $want_files | sort)" ]; then
    echo "    installed files:" $got_files "; expected:" $want_files; return 1
  fi
  for dir in $want_dirs; do [ -d "$root$dir" ] || { echo "    missing folder $dir"; return 1; }; done
  if [ "$got_dirs" != "$allowed" ]; then echo "    installed folders:" $got_dirs "; expected:" $allowed; return 1; fi
}

answers_under_qemu() {  # TOOL
  local case mac want got status
  for case in "${answers[@]}"; do
    mac=${case%%|*} want=${case#*|}
    status=0
    got=$(qemu-arm -L "$target_root" "$1" "$mac"; echo x) || status=$?
    got=${got%x}
    [ "$status" = 0 ] && [ "$got" = "$want" ] ||
      { printf '    %s: %q, status %s; expected %q, status 0\n' "$mac" "$got" "$status" "$want"; return 1; }
  done
}

runpath_is() {  # TOOL RUNPATH (empty: none)
  local dynamic got
  dynamic=$(arm-linux-gnueabihf-readelf -d "$1")
  got=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
  if grep -q '(RPATH)' <<<"$dynamic"; then echo "    has an RPATH"; return 1; fi
  [ "$got" = "$2" ] || { echo "    RUNPATH: '$got', expected '$2'"; return 1; }
}

debug_info_names() {  # TOOL SOURCE-PATH
  arm-linux-gnueabihf-readelf --debug-dump=info "$1" 2>/dev/null |
    awk -v path="$2" '/DW_AT_name/ && $NF == path { found = 1 } END { exit !found }' ||
    { echo "    compile units: $(arm-linux-gnueabihf-readelf --debug-dump=info "$1" 2>/dev/null |
        awk '/DW_TAG_compile_unit/ { cu = 1; next } cu && /DW_AT_name/ { print $NF; cu = 0 }' | sort -u | tr '\n' ' ')"; return 1; }
}

no_build_folder_in() {  # TOOL FOLDER...
  local tool=$1 dir; shift
  for dir; do
    if grep -qF -- "$dir" "$tool"; then echo "    names $dir"; return 1; fi
  done
}

yocto_qa() {  # TOOL dynamic|static
  local header sections dynamic segments
  header=$(arm-linux-gnueabihf-readelf -h "$1")
  grep -q 'Class: *ELF32' <<<"$header" && grep -q 'Machine: *ARM$' <<<"$header" || { echo "    not a 32-bit ARM executable"; return 1; }
  sections=$(arm-linux-gnueabihf-readelf -S -W "$1")
  grep -q ' \.symtab ' <<<"$sections" && grep -q ' \.debug_info ' <<<"$sections" || { echo "    stripped by the build"; return 1; }
  [ "$2" = static ] && return 0
  dynamic=$(arm-linux-gnueabihf-readelf -d "$1")
  segments=$(arm-linux-gnueabihf-readelf -l -W "$1")
  grep -q '(GNU_HASH)' <<<"$dynamic" || { echo "    no GNU_HASH: the packager's LDFLAGS were dropped"; return 1; }
  if grep -q 'TEXTREL' <<<"$dynamic"; then echo "    text relocations"; return 1; fi
  grep -q GNU_RELRO <<<"$segments" && grep -qE '\(FLAGS(_1)?\).*\b(BIND_NOW|NOW)\b' <<<"$dynamic" ||
    { echo "    no full RELRO: the packager's -z relro -z now did not reach the link"; return 1; }
}

# check_image SYSTEM ROOT FILES DIRS RUNPATH DEBUG-SOURCE dynamic|static FOLDER...
check_image() {
  local system=$1 root=$2 files=$3 dirs=$4 runpath=$5 source=$6 linkage=$7; shift 7
  local tool=$root${files%%$'\n'*}
  echo "== $system: checks"
  expect "installed: exactly $(echo $files $dirs)" installed_exactly "$root" "$files" "$dirs"
  [ -x "$tool" ] || { echo "  FAILED: no $tool"; failures=$((failures + 1)); return; }
  expect "answers a found, a missing and a malformed MAC under qemu-arm" answers_under_qemu "$tool"
  expect "RUNPATH ${runpath:-none}" runpath_is "$tool" "$runpath"
  expect "debug info names $source" debug_info_names "$tool" "$source"
  expect "no build folder in the executable" no_build_folder_in "$tool" "$@"
  expect "Yocto QA: ELF32 ARM, not stripped$([ "$linkage" = dynamic ] && echo ', GNU_HASH, no TEXTREL, full RELRO')" \
    yocto_qa "$tool" "$linkage"
}

# --- Yocto ---------------------------------------------------------------
# A recipe's work folder, the native sysroot holding the cross tools, ninja
# and python3native's interpreter, and the toolchain file cmake.bbclass
# writes: its find-root modes, program path and flags (security_flags.inc,
# the debug prefix map to /usr/src/debug).
yocto_toolchain_file() {  # FILE CFLAGS LDFLAGS ROOTS...
  local file=$1 cflags=$2 ldflags=$3; shift 3
  cat >"$file" <<EOF
set( CMAKE_SYSTEM_NAME Linux )
set( CMAKE_SYSTEM_PROCESSOR arm )
set( CMAKE_C_COMPILER arm-linux-gnueabihf-gcc )
set( CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++ )
set( CMAKE_C_COMPILER_LAUNCHER  )
set( CMAKE_CXX_COMPILER_LAUNCHER  )
set( CMAKE_ASM_COMPILER arm-linux-gnueabihf-gcc )
find_program( CMAKE_AR arm-linux-gnueabihf-ar DOC "Archiver" REQUIRED )
set( CMAKE_C_FLAGS "$device_flags $cflags" CACHE STRING "CFLAGS" )
set( CMAKE_CXX_FLAGS "$device_flags $cflags" CACHE STRING "CXXFLAGS" )
set( CMAKE_ASM_FLAGS "$device_flags $cflags" CACHE STRING "ASM FLAGS" )
set( CMAKE_C_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional CFLAGS for release" )
set( CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional CXXFLAGS for release" )
set( CMAKE_ASM_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "Additional ASM FLAGS for release" )
set( CMAKE_C_LINK_FLAGS "$device_flags $ldflags" CACHE STRING "LDFLAGS" )
set( CMAKE_CXX_LINK_FLAGS "$device_flags $cflags $ldflags" CACHE STRING "LDFLAGS" )
set( CMAKE_FIND_ROOT_PATH $* )
set( CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_PROGRAM ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY )
set( CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY )
set( CMAKE_PROGRAM_PATH "/" )
set( CMAKE_INSTALL_RPATH  )
set( CMAKE_BUILD_RPATH_USE_ORIGIN ON )
set( CMAKE_LIBRARY_PATH /usr/lib /lib )
EOF
}

yocto() {
  local w=$out/yocto/work/mactosn/1.0.0 dbg=/usr/src/debug/mactosn/1.0.0
  local S=$w/git B=$w/build D=$w/image native=$w/recipe-sysroot-native
  local python=$native/usr/bin/python3-native/python3 tool
  local -a files
  echo "== Yocto: building as cmake.bbclass does"
  copy_source "$S"
  mkdir -p "$native/usr/bin/python3-native"
  for tool in /usr/bin/arm-linux-gnueabihf-*; do ln -s "$tool" "$native/usr/bin/"; done
  ln -s "$(command -v ninja)" "$native/usr/bin/ninja"
  ln -s "$(command -v python3)" "$python"
  local cflags="-O2 -pipe -g -feliminate-unused-debug-types -ffile-prefix-map=$S=$dbg -ffile-prefix-map=$B=$dbg"
  cflags+=" -fdebug-prefix-map=$target_root= -fdebug-prefix-map=$native="
  cflags+=" -fstack-protector-strong -O2 -D_FORTIFY_SOURCE=2 -Wformat -Wformat-security -Werror=format-security"
  local ldflags="-Wl,-O1 -Wl,--hash-style=gnu -Wl,--as-needed -fstack-protector-strong -Wl,-z,relro,-z,now"
  yocto_toolchain_file "$w/toolchain.cmake" "$cflags" "$ldflags" "$target_root" "$native"
  local -a settings=(--set "WORKDIR=$w" --set "MACTOSN_SERIAL_LIST=$list" --set "DISTRO_FEATURES=ipv6 lto systemd"
    --set "MACTOSN_PREVIOUS_LIST=$lists/previous.csv")
  read -ra files <<<"$(python3 -B "$top/tests/read_recipe.py" "$recipe" "${settings[@]}" 'FILES:${PN}')"
  # The guard: against the previous list, a dropped and a changed row stop
  # the build; the allowance that names both lets it through.
  echo "-- without MACTOSN_LIST_CHANGES_ALLOWED"
  expect "a MAC the list drops and one it changes stop the build" refused_build "$w/guard.log" \
    yocto_build "${settings[@]}"
  echo "-- MACTOSN_LIST_CHANGES_ALLOWED names both"
  yocto_build "${settings[@]}" --set "MACTOSN_LIST_CHANGES_ALLOWED=$lists/allowed.txt" || return 1
  check_image Yocto "$D" "$(printf '%s\n' "${files[@]}")" "" /ZOR/System/Libs "$dbg/src/MACtoSN.cpp" dynamic \
    "$top" "$out"
}
# yocto_build SETTINGS...: do_configure (into an emptied B, as its
# cleandirs does), do_compile and do_install, with the recipe's
# EXTRA_OECMAKE and PACKAGECONFIG read with SETTINGS. These are shell text
# in cmake.bbclass's configure command, so the shell splits them here too.
yocto_build() {
  local extra confargs
  extra=$(python3 -B "$top/tests/read_recipe.py" "$recipe" "$@" EXTRA_OECMAKE)
  confargs=$(python3 -B "$top/tests/read_recipe.py" "$recipe" "$@" PACKAGECONFIG_CONFARGS)
  echo "EXTRA_OECMAKE: $extra $confargs"
  rm -rf "$B" "$D"
  mkdir -p "$B"
  local -a configure=(cmake -G Ninja -DCMAKE_MAKE_PROGRAM=ninja "$S"
    -DCMAKE_INSTALL_PREFIX:PATH=/usr -DCMAKE_INSTALL_BINDIR:PATH=bin -DCMAKE_INSTALL_SBINDIR:PATH=sbin
    -DCMAKE_INSTALL_LIBEXECDIR:PATH=libexec -DCMAKE_INSTALL_SYSCONFDIR:PATH=/etc
    -DCMAKE_INSTALL_SHAREDSTATEDIR:PATH=../com -DCMAKE_INSTALL_LOCALSTATEDIR:PATH=/var
    -DCMAKE_INSTALL_LIBDIR:PATH=lib -DCMAKE_INSTALL_INCLUDEDIR:PATH=include -DCMAKE_INSTALL_DATAROOTDIR:PATH=share
    -DPYTHON_EXECUTABLE:PATH="$python" -DPython_EXECUTABLE:PATH="$python" -DPython3_EXECUTABLE:PATH="$python"
    -DLIB_SUFFIX= -DCMAKE_INSTALL_SO_NO_EXE=0 -DCMAKE_TOOLCHAIN_FILE="$w/toolchain.cmake"
    -DCMAKE_NO_SYSTEM_FROM_IMPORTED=1 -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON -DFETCHCONTENT_FULLY_DISCONNECTED=ON)
  eval "configure+=($extra $confargs -Wno-dev)"
  (
    cd "$B"
    export PATH=$native/usr/bin:$PATH CMAKE_BUILD_PARALLEL_LEVEL=$jobs
    quiet "$w/configure.log" "${configure[@]}"
    quiet "$w/compile.log" cmake --build "$B" --target all
    DESTDIR=$D quiet "$w/install.log" cmake --build "$B" --target install
  )
}
# refused_build LOG COMMAND...: COMMAND fails, naming the dropped and the
# changed MAC at their lines, and installs nothing.
refused_build() {
  local log=$1; shift
  if "$@" >"$log" 2>&1; then echo "    built and installed; expected the previous list to stop the build"; return 1; fi
  local want
  for want in "previous.csv:4: error: the new list drops the MAC 02:5E:A1:00:00:0C" \
      "Maker List.csv:3: error: the MAC 02:5E:A1:00:00:08 now answers \"BV2007-00123\" instead of \"BV2007-00122\""; do
    grep -qF -- "$want" "$log" || { tail -n 20 "$log"; echo "    expected: $want"; return 1; }
  done
}

# --- Buildroot -----------------------------------------------------------
# Its output folder: the toolchain wrapper (the arch, SSP, PIE, RELRO and,
# with BR2_REPRODUCIBLE, the prefix map it puts ahead of every argument),
# host-python3's interpreter, the toolchain file toolchainfile.cmake.in
# makes, and the package infrastructure's configure, build and target
# install, around mactosn.mk itself.
buildroot_output() {  # BASE_DIR
  local base=$1 host=$1/host compiler
  mkdir -p "$host/bin" "$host/share/buildroot/Platform" "$base/build" "$base/target"
  ln -s "$(command -v python3)" "$host/bin/python3"
  for compiler in gcc g++; do
    cat >"$host/bin/arm-buildroot-linux-gnueabihf-$compiler" <<EOF
#!/bin/sh
pie="-fPIE -pie"
for arg; do case \$arg in -static|-fno-pie|-no-pie|-shared) pie=;; esac; done
exec arm-linux-gnueabihf-$compiler -ffile-prefix-map=$base=buildroot -Wl,--build-id=none \\
  $device_flags -fstack-protector-strong \$pie -Wl,-z,now -Wl,-z,relro "\$@"
EOF
    chmod +x "$host/bin/arm-buildroot-linux-gnueabihf-$compiler"
  done
  echo 'include(Platform/Linux)' >"$host/share/buildroot/Platform/Buildroot.cmake"
  local flags="-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -O2 -g2 -D_FORTIFY_SOURCE=1"
  cat >"$host/share/buildroot/toolchainfile.cmake" <<EOF
string(REPLACE "/share/buildroot" "" RELOCATED_HOST_DIR \${CMAKE_CURRENT_LIST_DIR})
list(APPEND CMAKE_MODULE_PATH \${CMAKE_CURRENT_LIST_DIR})
if(NOT DEFINED CMAKE_SYSTEM_NAME)
  set(CMAKE_SYSTEM_NAME Buildroot)
endif()
if(NOT DEFINED CMAKE_SYSTEM_VERSION)
  set(CMAKE_SYSTEM_VERSION 1)
endif()
if(NOT DEFINED CMAKE_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
endif()
foreach(lang C CXX)
  if(NOT DEFINED CMAKE_\${lang}_FLAGS_DEBUG)
    set(CMAKE_\${lang}_FLAGS_DEBUG "" CACHE STRING "Debug \${lang}FLAGS")
  endif()
  if(NOT DEFINED CMAKE_\${lang}_FLAGS_RELEASE)
    set(CMAKE_\${lang}_FLAGS_RELEASE " -DNDEBUG" CACHE STRING "Release \${lang}FLAGS")
  endif()
  if(NOT DEFINED CMAKE_\${lang}_FLAGS)
    set(CMAKE_\${lang}_FLAGS "$flags" CACHE STRING "Buildroot \${lang}FLAGS")
  endif()
endforeach()
if(NOT DEFINED CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Buildroot build configuration")
endif()
foreach(kind EXE SHARED MODULE)
  if(NOT DEFINED CMAKE_\${kind}_LINKER_FLAGS)
    set(CMAKE_\${kind}_LINKER_FLAGS "" CACHE STRING "Buildroot LDFLAGS")
  endif()
endforeach()
if(NOT DEFINED CMAKE_INSTALL_SO_NO_EXE)
  set(CMAKE_INSTALL_SO_NO_EXE 0)
endif()
if(NOT DEFINED CMAKE_PROGRAM_PATH)
  set(CMAKE_PROGRAM_PATH "\${RELOCATED_HOST_DIR}/bin")
endif()
# Debian's cross compiler has its target root built in, not in a sysroot.
if(NOT DEFINED CMAKE_FIND_ROOT_PATH)
  set(CMAKE_FIND_ROOT_PATH "$target_root")
endif()
if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_PROGRAM)
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
endif()
foreach(kind PACKAGE LIBRARY INCLUDE)
  if(NOT DEFINED CMAKE_FIND_ROOT_PATH_MODE_\${kind})
    set(CMAKE_FIND_ROOT_PATH_MODE_\${kind} ONLY)
  endif()
endforeach()
if(NOT DEFINED CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER "\${RELOCATED_HOST_DIR}/bin/arm-buildroot-linux-gnueabihf-gcc")
endif()
if(NOT DEFINED CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER "\${RELOCATED_HOST_DIR}/bin/arm-buildroot-linux-gnueabihf-g++")
endif()
EOF
  cat >"$base/package.mk" <<'EOF'
include $(BR2_CONFIG)
qstrip = $(strip $(subst ",,$(1)))
define sep


endef
HOST_DIR := $(BASE_DIR)/host
TARGET_DIR := $(BASE_DIR)/target
BUILD_DIR := $(BASE_DIR)/build
TARGET_CXXFLAGS := -D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -O2 -g2 -D_FORTIFY_SOURCE=1
cmake-package =
include $(BR2_EXTERNAL_MACTOSN_PATH)/external.mk
SRCDIR := $(BUILD_DIR)/mactosn-$(MACTOSN_VERSION)
BUILDDIR := $(if $(filter NO,$(MACTOSN_SUPPORTS_IN_SOURCE_BUILD)),$(SRCDIR)/buildroot-build,$(SRCDIR))

.PHONY: configure build install-target
print-%:
	@:$(info $($*))
configure:
	mkdir -p $(BUILDDIR) && cd $(BUILDDIR) && rm -f CMakeCache.txt && cmake $(SRCDIR) \
		-DCMAKE_TOOLCHAIN_FILE="$(HOST_DIR)/share/buildroot/toolchainfile.cmake" \
		-DCMAKE_BUILD_TYPE=$(if $(BR2_ENABLE_DEBUG),RelWithDebInfo,Release) \
		-DCMAKE_INSTALL_PREFIX="/usr" -DCMAKE_COLOR_MAKEFILE=OFF \
		-DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF \
		-DBUILD_TEST=OFF -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF \
		-DBUILD_SHARED_LIBS=$(if $(BR2_STATIC_LIBS),OFF,ON) \
		$(MACTOSN_CONF_OPTS)
build:
	$(MAKE) -C $(BUILDDIR)
install-target:
	$(MAKE) -C $(BUILDDIR) DESTDIR=$(TARGET_DIR) install/fast
	$(foreach hook,$(MACTOSN_POST_INSTALL_TARGET_HOOKS),$(call $(hook))$(sep))
EOF
}

# support/scripts/fix-rpath on the target tree, with its patched patchelf's
# --make-rpath-relative ROOT --no-standard-lib-dirs rule: an entry is kept
# only if it names a folder of the tree ($ORIGIN-relative, under ROOT, or
# absolute within it), and never /lib or /usr/lib.
buildroot_fix_rpath() {  # TARGET_DIR
  local root=$1 file rpath entry path canonical new
  local -a entries kept
  while IFS= read -r -d '' file; do
    rpath=$(patchelf --print-rpath "$file" 2>/dev/null) || continue
    kept=()
    IFS=: read -ra entries <<<"$rpath"
    for entry in "${entries[@]}"; do
      case $entry in
        '$ORIGIN'*) path=$(dirname "$file")${entry#'$ORIGIN'} ;;
        "$root"*) path=$entry ;;
        *) path=$root$entry ;;
      esac
      canonical=$(realpath -e -- "$path" 2>/dev/null) || continue
      case $canonical in "$root/lib" | "$root/usr/lib") continue ;; esac
      kept+=("${canonical#"$root"}")
    done
    new=$(IFS=:; echo "${kept[*]}")
    [ "$new" = "$rpath" ] || patchelf --set-rpath "$new" "$file"
  done < <(find "$root" -path "$root/lib/firmware" -prune -o -type f -print0)
}

buildroot() {  # NAME STATIC(y or empty)
  local name=$1 static=$2 base=$out/$1/output linkage=dynamic libs=/ZOR/System/Libs
  local -a make_args
  echo "== $name: building as Buildroot's cmake-package does${static:+ (BR2_STATIC_LIBS)}"
  buildroot_output "$base"
  make_args=(-f "$base/package.mk" -j "$jobs" BR2_CONFIG="$base/.config" BASE_DIR="$base"
    BR2_EXTERNAL_MACTOSN_PATH="$br_external")
  buildroot_config "$base" "$static" ""
  local site depends prefix
  site=$(realpath -m "$(make -s "${make_args[@]}" print-MACTOSN_SITE)")
  depends=$(make -s "${make_args[@]}" print-MACTOSN_DEPENDENCIES)
  prefix=$(make -s "${make_args[@]}" print-MACTOSN_CONF_OPTS | grep -o -- '-DCMAKE_INSTALL_PREFIX=[^ ]*' | cut -d = -f 2) ||
    { echo "MACTOSN_CONF_OPTS sets no -DCMAKE_INSTALL_PREFIX=; expected /ZOR/System"; return 1; }
  [ "$site" = "$top" ] || { echo "MACTOSN_SITE is $site, expected this checkout, $top"; return 1; }
  [[ " $depends " == *" host-python3 "* ]] || { echo "MACTOSN_DEPENDENCIES lacks host-python3: $depends"; return 1; }
  copy_source "$base/build/mactosn-1.0.0"
  echo "-- without BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED"
  configure_and_build() { make "${make_args[@]}" configure && make "${make_args[@]}" build; }
  expect "a MAC the list drops and one it changes stop the build" refused_build "$base/guard.log" configure_and_build
  echo "-- BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED names both"
  buildroot_config "$base" "$static" "$lists/allowed.txt"
  quiet "$base/configure.log" make "${make_args[@]}" configure
  quiet "$base/build.log" make "${make_args[@]}" build
  quiet "$base/install.log" make "${make_args[@]}" install-target
  buildroot_fix_rpath "$base/target"
  if [ -n "$static" ]; then linkage=static libs=""; fi
  check_image "$name" "$base/target" "$prefix/bin/MACtoSN" "$libs" "$libs" \
    buildroot/build/mactosn-1.0.0/src/MACtoSN.cpp "$linkage" "$top" "$out"
}
buildroot_config() {  # BASE_DIR STATIC ALLOWED: the .config, the lists named as menuconfig writes them
  printf '%s\n' BR2_PACKAGE_MACTOSN=y "BR2_PACKAGE_MACTOSN_SERIAL_LIST=\"$list\"" \
    "BR2_PACKAGE_MACTOSN_PREVIOUS_LIST=\"$lists/previous.csv\"" "BR2_PACKAGE_MACTOSN_LIST_CHANGES_ALLOWED=\"$3\"" \
    BR2_ENABLE_DEBUG=y BR2_REPRODUCIBLE=y ${2:+BR2_STATIC_LIBS=y} >"$1/.config"
}

# --- Toolchain files used on their own -------------------------------------
toolchain_files_alone() {
  local dir=$out/alone
  mkdir -p "$dir"
  echo "== toolchain files on their own"
  # An SDK's copy of Yocto's file: programs only in the target's root, no
  # interpreter named. The generator's Python is the build host's.
  yocto_toolchain_file "$dir/sdk-toolchain.cmake" "-O2" "" "$target_root"
  sed -i "s|COMPILER arm-linux-gnueabihf-|COMPILER /usr/bin/arm-linux-gnueabihf-|" "$dir/sdk-toolchain.cmake"
  expect "an SDK toolchain file searching programs only in the target's root finds the build host's Python" \
    quiet "$dir/sdk.log" cmake -S "$top" -B "$dir/sdk" -G Ninja -DBUILD_TESTING=OFF -DMACTOSN_SERIAL_LIST="$list" \
    -DCMAKE_TOOLCHAIN_FILE="$dir/sdk-toolchain.cmake" -DCMAKE_MAKE_PROGRAM="$(command -v ninja)"
  # Buildroot's file outside Buildroot: it sets the build type where none is given.
  buildroot_output "$dir/buildroot"
  expect "Buildroot's toolchain file keeps its build type (RelWithDebInfo)" build_type_kept "$dir"
}
build_type_kept() {
  quiet "$1/buildroot.log" cmake -S "$top" -B "$1/buildroot-sdk" -G Ninja -DBUILD_TESTING=OFF \
    -DMACTOSN_SERIAL_LIST="$list" -DCMAKE_TOOLCHAIN_FILE="$1/buildroot/host/share/buildroot/toolchainfile.cmake"
  local got; got=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$1/buildroot-sdk/CMakeCache.txt")
  [ "$got" = RelWithDebInfo ] || { echo "    CMAKE_BUILD_TYPE is '$got', expected RelWithDebInfo"; return 1; }
}

timed() { local start=$SECONDS; "$@"; echo "($(( SECONDS - start )) s)"; }
timed toolchain_files_alone
timed yocto
timed buildroot buildroot ""
timed buildroot buildroot-static y
echo "integrations: $failures failed, $SECONDS s"
[ "$failures" = 0 ]
