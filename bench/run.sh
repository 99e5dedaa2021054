#!/usr/bin/env bash
# The benchmark: installs what it needs when missing (provision/install.sh: the
# peers, valgrind, the ARM cross compiler and qemu-user, and armhf package
# lists so that the ARM peers can be downloaded), then measures MACtoSN beside
# the peers on x86-64 and under qemu-arm and writes bench/results.md.
# Arguments go to benchmark.py (--rounds N, --baseline REV, --output FILE).
set -euo pipefail

"$(dirname "$0")/../provision/install.sh"
exec python3 "$(dirname "$0")/benchmark.py" "$@"
