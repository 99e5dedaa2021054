#!/usr/bin/env bash
# Usage: list_rebuilds.sh GENERATOR WORK-FOLDER. The rows follow the bytes of the lists and tooling, not file
# times, in folders named with what a shell, make or ninja would read; install refuses after a failed build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
s=$2 mac=02:5E:A1:00:00:08
parts=('with space' 'é-ü' '${x}$HOME' "it's" 'say "hi"' '#hash' '(paren)' 'a|b:c' $'tab\there' '`tick`&*%=!'
  '[x]]y]{z}')
d=$s/$(IFS=/; echo "${parts[*]}") b=$s/build src=$s/source
fail() { echo "$*"; exit 1; }
rm -rf "$s" && mkdir -p "$d" "$src"
(cd "$top" && tar cf - --exclude='./build*' --exclude=./.git --exclude=__pycache__ .) | tar xf - -C "$src"
old_file() { local file=$d/$1; shift; printf '%s\n' "$@" >"$file"; touch -d 2020-01-01 "$file"; }  # NAME ROWS...
for n in 1 2 3 4; do old_file $n.csv "02:5E:A1:00:00:04,BV$n"; done
cp -p "$d/4.csv" "$d/p.csv"
old_file p-with-08.csv "02:5E:A1:00:00:04,BV4" "$mac,BV5"
old_file none.txt "# no change is intended"
old_file allow-08.txt "$mac"
answers() { local got; got=$("$1" 02:5E:A1:00:00:04) && [ "$got" = "$2" ] || fail "$1 answers '$got', expected '$2'"; }
build() { cmake --build "$b" -j 2 --target "${1:-MACtoSN}"; }
installs() { DESTDIR="$s/$1" cmake --install "$b" >/dev/null && answers "$s/$1/ZOR/System/bin/MACtoSN" "$2"; }
refuses() {  # LOG TEXT: the build stops saying TEXT, and install copies nothing
  if build >"$s/$1" 2>&1; then fail "built; expected: $2"; fi
  grep -qF -- "$2" "$s/$1" || { cat "$s/$1"; fail "expected: $2"; }
  if DESTDIR="$s/$1.root" cmake --install "$b" >"$s/$1.install" 2>&1; then fail "installed after: $2"; fi
  grep -q "MACtoSN not installed" "$s/$1.install" && [ ! -e "$s/$1.root" ] || fail "$(cat "$s/$1.install")"
}

cp "$d/1.csv" "$d/list.csv"
ln -s list.csv "$d/link.csv"
# Debug: the rows are what is tested, and the tool compiles faster so.
cmake -S "$src" -B "$b" -G "$1" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF -DMACTOSN_SERIAL_LIST="$d/link.csv"
if grep -rqe -Werror --include=build.ninja --include=flags.make "$b"; then fail "a plain build got -Werror"; fi
build && answers "$b/MACtoSN" BV1
cp -p "$d/2.csv" "$d/list.csv"   # an older file, through the symlink
build && answers "$b/MACtoSN" BV2 && installs older BV2
# The same bytes with a new time, then with another old one: nothing is made again.
made() { find "$b" -name '*.o' -o -name serial_rows.inc -o -name MACtoSN | sort | xargs stat -c '%y %n'; }
before=$(made)
touch "$d/list.csv" "$src/data/gen_serial_rows.py"
build
cp "$d/2.csv" "$d/same.csv" && touch -d 2021-06-01 "$d/same.csv" && cp -p "$d/same.csv" "$d/list.csv"
build
[ "$before" = "$(made)" ] || fail "made again from the same bytes: $before // $(made)"
# A change to the tooling that changes the rows makes them again.
sed -i 's/Do not edit:/Do not edit, ever:/' "$src/data/gen_serial_rows.py"
build
grep -q "Do not edit, ever:" "$b/serial_rows_configured/serial_rows.inc" || fail "the changed tooling did not make the rows"
ln -sfn 3.csv "$d/link.csv"   # the symlink re-pointed at an older file
build && answers "$b/MACtoSN" BV3 && installs symlink BV3
# Another list given at configure, with a previous list and an allowance whose bytes count the same way.
cp -p "$d/p.csv" "$d/previous.csv"
cp -p "$d/none.txt" "$d/allowed.txt"
cmake -S "$src" -B "$b" -DMACTOSN_SERIAL_LIST="$d/4.csv" -DMACTOSN_PREVIOUS_LIST="$d/previous.csv" \
  -DMACTOSN_LIST_CHANGES_ALLOWED="$d/allowed.txt"
build && answers "$b/MACtoSN" BV4
cp -p "$d/p-with-08.csv" "$d/previous.csv"
refuses dropped.log "previous.csv:2: error: the new list drops the MAC $mac"
cp -p "$d/allow-08.txt" "$d/allowed.txt"
build mactosn_rows_configured
rm "$d/4.csv"
refuses missing.log "$d/4.csv: error: No such file or directory"
[ ! -d "$src/data/__pycache__" ] || fail "the build wrote $src/data/__pycache__"
echo "rows follow the list's bytes ($1): passed"
