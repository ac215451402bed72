# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# skip WHY: a host test that cannot run here exits 77 (ctest's skip), or
# fails when KELMO_NO_SKIP is set (tools/check.sh sets it: there a skip is
# a failure).
skip() {
  if [[ -n ${KELMO_NO_SKIP-} ]]; then
    echo "not ok - $1 (KELMO_NO_SKIP is set: no skipping)"
    exit 1
  fi
  echo "skip - $1"
  exit 77
}
