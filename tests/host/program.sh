# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# `kelmo-map --test` and what it printed, for test_run.sh and names.sh
# (sourced, after tests/lib/results.sh): BIN is the program, $T the work dir.

# shellcheck source=../lib/messages.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/messages.sh"

rc=""

# Runs the program: stdout in $T/out, stderr in $T/err, status in $rc.
kel() {  # kel DEVICE PATH
  rc=0
  "$BIN" --test "$1" "$2" >"$T/out" 2>"$T/err" || rc=$?
}

# What the last run of the program said, to tell why a check failed.
explain_failure() {
  echo "#   status $rc"
  cat "$T/out" "$T/err" 2>/dev/null | head -n 6 | sed 's/^/#   /'
}

field() { sed -n "1s/.*$1=\([0-9]*\).*/\1/p" "$T/out"; }

failed_with() {  # exact one-line message, status 1, nothing on stdout
  [[ $rc -eq 1 && ! -s $T/out ]] && msg_line "$1" | cmp -s - "$T/err"
}

succeeded_as() { [[ $rc -eq 0 ]] && cmp -s "$T/out" "$1"; }

is_fragmented() { [[ $rc -eq 0 && $(field nofat) == 0 && $(field trechos) -gt 1 ]]; }

# The bytes the last output's runs give, read from SOURCE with the volume at
# byte BASE, cut to the printed length; only after a clean run.
assemble() {  # assemble SOURCE BASE DEST
  local start count length
  length=$(field tamanho)
  [[ $rc -eq 0 && ! -s $T/err && -n $length ]] || return 1
  : >"$3"
  while read -r _ start count; do
    dd if="$1" iflag=skip_bytes,count_bytes skip=$(($2 + start * 512)) count=$((${count#+} * 512)) \
      bs=1M status=none >>"$3"
  done < <(tail -n +2 "$T/out")
  truncate -s "$length" "$3"
}
