#!/usr/bin/env bash
# The real image build systems on the recipe and the package, side by side:
# BitBake with openembedded-core for each supported Yocto release
# (real_yocto.sh) and Buildroot (real_buildroot.sh). Each tree is a folder
# or a release tarball holding one folder: named by its variable below, or
# else found as NAME.tar.xz in $MACTOSN_PACKAGERS (default: ../shared/packagers
# beside the checkout). A system without its trees is skipped, and said so.
# Work goes under $MACTOSN_TEST_BUILD_DIR/real-packagers (default
# ./build-test/real-packagers).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd -P)
out=$(realpath -m "${MACTOSN_TEST_BUILD_DIR:-$top/build-test}/real-packagers")
shelf=${MACTOSN_PACKAGERS:-$top/../shared/packagers}
export MACTOSN_BITBAKE_USER=${MACTOSN_BITBAKE_USER:-mactosn-bitbake}

rm -rf "$out"
mkdir -p "$out"
skipped=()
# BitBake will not run as root: as root, it runs as an ordinary user (made by
# provision/install.sh), who must reach its trees and folders.
work=$out
if [ "$(id -u)" = 0 ]; then
  chmod 755 "$out"
  if ! runuser -u "$MACTOSN_BITBAKE_USER" -- test -r "$out" -a -x "$out"; then
    work=$(mktemp -d "${TMPDIR:-/tmp}/mactosn-real.XXXXXX")
    chmod 755 "$work"
    trap 'rm -rf "$work"' EXIT
    echo "($MACTOSN_BITBAKE_USER cannot reach $out: BitBake and its trees go in $work)"
  fi
fi
# tree VARIABLE NAME: sets REPLY to the folder of the tree VARIABLE names, or
# of NAME.tar.xz on the shelf, unpacked; fails when there is none.
tree() {
  local path=${!1:-$shelf/$2.tar.xz}
  if [ -d "$path" ]; then REPLY=$(realpath "$path"); return; fi
  [ -f "$path" ] || { skipped+=("$2 (set $1, or put $2.tar.xz in $shelf)"); return 1; }
  REPLY=$work/trees/$2
  mkdir -p "$REPLY"
  tar -xf "$path" -C "$REPLY" --strip-components=1
}

jobs=()
# start NAME COMMAND...: one system's checks, in the background.
start() {
  local name=$1; shift
  ( set +e; "$@" >"$out/$name.log" 2>&1; echo $? >"$out/$name.status" ) &
  jobs+=("$name")
}
if tree MACTOSN_BITBAKE_SCARTHGAP bitbake-2.8 && bitbake=$REPLY &&
   tree MACTOSN_OECORE_SCARTHGAP openembedded-core-scarthgap && oecore=$REPLY; then
  start yocto-scarthgap "$top/tests/real_yocto.sh" scarthgap "$bitbake" "$oecore" "$work/yocto-scarthgap"
fi
if tree MACTOSN_BITBAKE_WRYNOSE bitbake-2.18 && bitbake=$REPLY &&
   tree MACTOSN_OECORE_WRYNOSE openembedded-core-wrynose && oecore=$REPLY; then
  start yocto-wrynose "$top/tests/real_yocto.sh" wrynose "$bitbake" "$oecore" "$work/yocto-wrynose"
fi
if tree MACTOSN_BUILDROOT buildroot-2026.02.3; then
  start buildroot "$top/tests/real_buildroot.sh" "$REPLY" "$out/buildroot"
fi
wait

failed=0
for name in "${jobs[@]}"; do
  cat "$out/$name.log"
  [ "$(cat "$out/$name.status")" = 0 ] || failed=1
done
for name in "${skipped[@]}"; do echo "SKIPPED, real system not checked: $name"; done
echo "real systems: ${#jobs[@]} checked ($([ "$failed" = 0 ] && echo passed || echo FAILED))$( ((${#skipped[@]})) && echo ", ${#skipped[@]} SKIPPED")"
[ "$failed" = 0 ]
