#!/usr/bin/env bash
# Makes a Debian 12 machine ready for every build, test and the benchmark:
# the packages of packages.txt, the locale and the user BitBake runs in, and
# the oldest Python the device leg builds with. Safe to run again: each step
# checks first. As root, or through sudo.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo

# The Debian package's cross build and the benchmark's ARM peers need armhf.
update=""
dpkg --print-foreign-architectures | grep -qx armhf || { $sudo dpkg --add-architecture armhf; update=yes; }
mapfile -t wanted < <(sed 's/#.*//; /^[[:space:]]*$/d' "$here/packages.txt")
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if ((${#missing[@]})) || [ -n "$update" ]; then
  echo "== installing: ${missing[*]:-(armhf package lists only)}"
  # Other builds on this machine may hold apt's lock for a while.
  apt=(apt-get -o DPkg::Lock::Timeout=600)
  $sudo "${apt[@]}" update -qq </dev/null
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive $sudo "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  fi
fi

# BitBake runs only in this locale, and never as root: as root, the tests
# run it as this user.
if ! locale -a 2>/dev/null | grep -qix 'en_US.utf-*8'; then
  echo "== generating the locale en_US.UTF-8"
  $sudo localedef -i en_US -f UTF-8 en_US.UTF-8
fi
user=mactosn-bitbake
id -u "$user" >/dev/null 2>&1 ||
  $sudo useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$user"

# The oldest Python pyenv has that the build supports (3.6): the device leg
# builds with it, so that the generator and the tests still run where build
# hosts are oldest. Without pyenv, the leg takes the default python3.
oldest=$(for python in "$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"/versions/*/bin/python3; do
  "$python" -c 'import sys; assert sys.version_info >= (3, 6); print("%d.%d.%d" % sys.version_info[:3], sys.argv[1])' \
    "$python" 2>/dev/null
done | sort -V | head -n 1)
[ -z "$oldest" ] || $sudo ln -sfn "${oldest#* }" /usr/local/bin/mactosn-oldest-python3
