# Sourced by the packaging checks: each check is counted, and a failed one does not stop the rest.
failures=0
# expect WHAT COMMAND...: one check; a failed one says what it expected.
expect() {
  local what=$1; shift
  if "$@"; then echo "  ok: $what"; else echo "  FAILED: $what"; failures=$((failures + 1)); fi
}
# quiet LOG COMMAND...: runs COMMAND into LOG, shown only if COMMAND fails.
quiet() {
  local log=$1; shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log"; return 1; }
}

# maker_lists DIR: the maker's list, "DIR/Maker List.csv"; the previous release's list, DIR/previous.csv,
# with a row the list drops and one it changes; and DIR/allowed.txt, which names both.
maker_lists() {
  mkdir -p "$1"
  printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV2007-00123\n' >"$1/Maker List.csv"
  printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV2007-00122\n02:5E:A1:00:00:0C,BV3\n' \
    >"$1/previous.csv"
  printf '02:5E:A1:00:00:08  # re-labelled\n02:5E:A1:00:00:0C  # scrapped\n' >"$1/allowed.txt"
}
# refused_build LOG COMMAND...: COMMAND fails, naming the dropped and the changed MAC of maker_lists.
refused_build() {
  local log=$1 want; shift
  if "$@" >"$log" 2>&1; then echo "    built; expected the previous list to stop the build"; return 1; fi
  for want in "previous.csv:4: error: the new list drops the MAC 02:5E:A1:00:00:0C" \
      "Maker List.csv:3: error: the MAC 02:5E:A1:00:00:08 now answers \"BV2007-00123\" instead of \"BV2007-00122\""; do
    grep -qF -- "$want" "$log" || { tail -n 20 "$log"; echo "    expected: $want"; return 1; }
  done
}
not_found() { printf 'Fail:Mac=%s Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv' "$1"; }
# MAC|what the tool built from maker_lists prints (always status 0).
answers=(
  "02:5E:A1:00:00:04|BV180100001"
  "02:5E:A1:00:00:08|BV2007-00123"
  "02:5e:a1:00:00:04|$(not_found 02:5e:a1:00:00:04)"
  "02:5E:A1:00:00:05|$(not_found 02:5E:A1:00:00:05)"
  "02:5E:A1:00:00:0G|$(not_found 02:5E:A1:00:00:0G)"
)

# installed_exactly ROOT PATH...: ROOT holds these files and folders (a word may name several), their
# parent folders, and nothing else.
installed_exactly() {
  local root=$1 got want path; shift
  got=$(cd "$root" && find . -mindepth 1 | sed 's/^\.//' | sort)
  want=$(for path in $*; do
    while [ "$path" != / ] && [ "$path" != . ]; do echo "$path"; path=$(dirname "$path"); done
  done | sort -u)
  [ "$got" = "$want" ] || { echo "    installed:" $got "; expected:" $want; return 1; }
}

# answers_under_qemu TOOL LIBRARY-ROOT: the answers, with the C library from LIBRARY-ROOT only, not from the
# host's loader cache (see cmake/arm-linux-gnueabihf.cmake).
answers_under_qemu() {
  local case mac want got status
  for case in "${answers[@]}"; do
    mac=${case%%|*} want=${case#*|}
    got=$(qemu-arm -L "$2" -E LD_LIBRARY_PATH=/lib:/usr/lib "$1" "$mac"; echo "x$?")
    status=${got##*x} got=${got%x*}
    [ "$status" = 0 ] && [ "$got" = "$want" ] ||
      { printf '    %s: %q, status %s; expected %q, status 0\n' "$mac" "$got" "$status" "$want"; return 1; }
  done
}
runpath_is() {  # TOOL RUNPATH (empty: none), and no RPATH
  local got; got=$(arm-linux-gnueabihf-readelf -d "$1" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
  [ "$got" = "$2" ] && ! arm-linux-gnueabihf-readelf -d "$1" | grep '(RPATH)' >/dev/null || { echo "    run path '$got', expected RUNPATH '$2'"; return 1; }
}
debug_info_names() {  # TOOL SOURCE-PATH
  arm-linux-gnueabihf-readelf --debug-dump=info "$1" 2>/dev/null |
    awk -v path="$2" '/DW_AT_name/ && $NF == path { found = 1 } END { exit !found }' ||
    { echo "    compile units: $(arm-linux-gnueabihf-readelf --debug-dump=info "$1" 2>/dev/null |
        awk '/DW_TAG_compile_unit/ { cu = 1; next } cu && /DW_AT_name/ { print $NF; cu = 0 }' | sort -u | tr '\n' ' ')"; return 1; }
}
no_build_folder_in() {  # TOOL FOLDER...
  local tool=$1 dir; shift
  for dir; do ! grep -qF -- "$dir" "$tool" || { echo "    names $dir"; return 1; }; done
}

# What Yocto's QA asks of an executable, and what a packager's hardening flags leave in it.
elf_qa() {  # TOOL
  local header dynamic segments
  header=$(arm-linux-gnueabihf-readelf -h "$1")
  grep -q 'Class: *ELF32' <<<"$header" && grep -q 'Machine: *ARM$' <<<"$header" || { echo "    not a 32-bit ARM executable"; return 1; }
  dynamic=$(arm-linux-gnueabihf-readelf -d "$1")
  segments=$(arm-linux-gnueabihf-readelf -l -W "$1")
  grep -q '(GNU_HASH)' <<<"$dynamic" || { echo "    no GNU_HASH: the packager's LDFLAGS were dropped"; return 1; }
  if grep -q 'TEXTREL' <<<"$dynamic"; then echo "    text relocations"; return 1; fi
  grep -q GNU_RELRO <<<"$segments" && grep -qE '\(FLAGS(_1)?\).*\b(BIND_NOW|NOW)\b' <<<"$dynamic" ||
    { echo "    no full RELRO: the packager's -z relro -z now did not reach the link"; return 1; }
}
not_stripped() {  # TOOL: the build leaves stripping to the packager
  local sections; sections=$(arm-linux-gnueabihf-readelf -S -W "$1")
  grep -q ' \.symtab ' <<<"$sections" && grep -q ' \.debug_info ' <<<"$sections" || { echo "    stripped by the build"; return 1; }
}
