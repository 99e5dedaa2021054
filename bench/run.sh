#!/usr/bin/env bash
# The benchmark: installs the peers when missing, then measures MACtoSN beside
# them and writes bench/results.md. Arguments go to benchmark.py.
set -euo pipefail

need=()
want() { command -v "$1" >/dev/null 2>&1 || need+=("$2"); }
want cmake cmake
want ninja ninja-build
want g++ g++
want python3 python3
want valgrind valgrind
want sqlite3 sqlite3
want cdb tinycdb
want look bsdextrautils
want /usr/bin/time time
if ((${#need[@]})); then
  echo "== installing: ${need[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq </dev/null
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

exec python3 "$(dirname "$0")/benchmark.py" "$@"
