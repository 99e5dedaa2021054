#!/usr/bin/env bash
# The benchmark: installs what it needs when missing (the peers, valgrind, the
# ARM cross compiler and qemu-user, and armhf package lists so that the ARM
# peers can be downloaded), then measures MACtoSN beside the peers on x86-64
# and under qemu-arm and writes bench/results.md. Arguments go to
# benchmark.py (--rounds N, --baseline REV, --output FILE). Safe to run again:
# every step checks first.
set -euo pipefail

sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
# Other builds on this machine may hold the apt lock for a while.
apt=(apt-get -o DPkg::Lock::Timeout=600)

need=()
want() { command -v "$1" >/dev/null 2>&1 || need+=("$2"); }
want cmake cmake
want ninja ninja-build
want g++ g++
want gcc gcc
want git git
want python3 python3
want valgrind valgrind
want sqlite3 sqlite3
want cdb tinycdb
want look bsdextrautils
want /usr/bin/time time
want arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf
want qemu-arm qemu-user
if ((${#need[@]})); then
  echo "== installing: ${need[*]}"
  $sudo "${apt[@]}" update -qq </dev/null
  DEBIAN_FRONTEND=noninteractive $sudo "${apt[@]}" install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

# The ARM peers come as Debian armhf packages, downloaded and unpacked by
# benchmark.py, never installed: apt only needs to know the armhf lists.
case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
  *" armhf "*) ;;
  *) echo "== adding armhf to apt's package lists (download only)"
     $sudo dpkg --add-architecture armhf ;;
esac
if ! apt-cache show grep:armhf >/dev/null 2>&1; then
  echo "== fetching armhf package lists"
  $sudo "${apt[@]}" update -qq </dev/null
fi

exec python3 "$(dirname "$0")/benchmark.py" "$@"
