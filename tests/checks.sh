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
