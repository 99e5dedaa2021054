# Sourced by the packaging checks: each check is counted, and a failed one
# does not stop the rest.
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

# --- A maker's list and its release guard ----------------------------------
# maker_lists DIR: the maker's list, "DIR/Maker List.csv"; the previous
# release's list, DIR/previous.csv, with a row the list drops and one it
# changes; and DIR/allowed.txt, which names both.
maker_lists() {
  mkdir -p "$1"
  printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV2007-00123\n' >"$1/Maker List.csv"
  printf 'MAC,Serial\n02:5E:A1:00:00:04,BV180100001\n02:5E:A1:00:00:08,BV2007-00122\n02:5E:A1:00:00:0C,BV3\n' \
    >"$1/previous.csv"
  printf '02:5E:A1:00:00:08  # re-labelled\n02:5E:A1:00:00:0C  # scrapped\n' >"$1/allowed.txt"
}
# refused_build LOG COMMAND...: COMMAND fails, naming the dropped and the
# changed MAC of maker_lists at their lines.
refused_build() {
  local log=$1 want; shift
  if "$@" >"$log" 2>&1; then echo "    built; expected the previous list to stop the build"; return 1; fi
  for want in "previous.csv:4: error: the new list drops the MAC 02:5E:A1:00:00:0C" \
      "Maker List.csv:3: error: the MAC 02:5E:A1:00:00:08 now answers \"BV2007-00123\" instead of \"BV2007-00122\""; do
    grep -qF -- "$want" "$log" || { tail -n 20 "$log"; echo "    expected: $want"; return 1; }
  done
}

# --- What an image holds ---------------------------------------------------
not_found() { printf 'Fail:Mac=%s Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv' "$1"; }
# MAC|what the tool built from maker_lists prints (always status 0).
answers=(
  "02:5E:A1:00:00:04|BV180100001"
  "02:5E:A1:00:00:08|BV2007-00123"
  "02:5e:a1:00:00:04|$(not_found 02:5e:a1:00:00:04)"
  "02:5E:A1:00:00:05|$(not_found 02:5E:A1:00:00:05)"
  "02:5E:A1:00:00:0G|$(not_found 02:5E:A1:00:00:0G)"
)

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

answers_under_qemu() {  # TOOL LIBRARY-ROOT: the answers, with the C library from LIBRARY-ROOT
  local case mac want got status
  for case in "${answers[@]}"; do
    mac=${case%%|*} want=${case#*|}
    status=0
    got=$(qemu-arm -L "$2" "$1" "$mac"; code=$?; echo x; exit "$code") || status=$?
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

# What Yocto's QA asks of an executable, and what a packager's hardening
# flags leave in it: 32-bit ARM, GNU_HASH, no text relocations, full RELRO.
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
