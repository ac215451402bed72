# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# The pass/fail bookkeeping of every shell test (sourced, never run): each
# check prints "ok - ..." or "not ok - ...", and the script's last line is
# "N passed, M failed", which tools/check.sh and tests/packaging/run.sh read.
#
# Checks made in other processes (the host tests' mount namespaces) are
# counted too when KELMO_RESULTS names a file they can all append to.

[ -z "${_KELMO_LIB_RESULTS-}" ] || return 0
_KELMO_LIB_RESULTS=1

passed=0
failed=0
finished=0

_result() {
  printf '%s\n' "$1"
  if [[ -n ${KELMO_RESULTS-} ]]; then printf '%s\n' "$1" >>"$KELMO_RESULTS"; fi
}
ok() { _result "ok - $*"; passed=$((passed + 1)); }
not_ok() { _result "not ok - $*"; failed=$((failed + 1)); }

# check DESCRIPTION COMMAND...: ok when COMMAND succeeds. Returns 0 either way
# (for set -e); $ok tells how it went. On a failure, a function
# explain_failure, where the script has one, prints why.
check() {
  local what=$1
  shift
  ok=0
  if "$@"; then ok=1; fi
  if ((ok)); then
    ok "$what"
  else
    not_ok "$what"
    if declare -F explain_failure >/dev/null; then explain_failure; fi
  fi
  return 0
}

# summary: the closing line; fails when a check failed or none ran.
summary() {
  finished=1
  if [[ -n ${KELMO_RESULTS-} ]]; then
    passed=$(grep -c '^ok ' "$KELMO_RESULTS" || true)
    failed=$(grep -c '^not ok ' "$KELMO_RESULTS" || true)
  fi
  echo "$passed passed, $failed failed"
  ((failed == 0 && passed > 0))
}

# stopped_early: for an exit trap; a run that ends before its summary (a setup
# step failed under set -e) ends failed, with a line that says so.
stopped_early() {
  if ((finished == 0)); then
    echo "not ok - stopped early"
    exit 1
  fi
}

# keep_logs NAME FILE...: after a failure, the FILEs are copied to a new
# directory /tmp/NAME.XXXXXX that outlives the run's own work directory.
keep_logs() {
  local keep
  ((failed)) || return 0
  keep=$(mktemp -d "/tmp/$1.XXXXXX")
  shift
  cp "$@" "$keep/" 2>/dev/null || true
  printf '# logs kept in %s\n' "$keep" >&2
}
