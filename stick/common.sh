# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: what every command shares: its lines, the steps a
# test may stop it after, and what is undone on the way out.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

say() { printf 'kelmo-stick: %s\n' "$*" >&2; }

die() { say "$*"; exit 1; }

# step_done NAME: for the tests, a stop right after the step NAME when
# KELMO_STICK_STOP_AFTER names it: a power cut (SIGKILL), or the signal
# KELMO_STICK_STOP_SIGNAL names (TERM: as a shutdown or Ctrl-C stops it).
step_done() {
  if [[ ${KELMO_STICK_STOP_AFTER-} == "$1" ]]; then kill -"${KELMO_STICK_STOP_SIGNAL:-KILL}" $$; fi
}

# What is undone on the way out, last first: names of functions, each
# working on variables of its own. No text is ever evaluated: a file name
# is only ever an argument.
cleanups=()

cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do "${cleanups[i]}" >/dev/null 2>&1; done
  cleanups=()
}

# release_loop DEV: detaches DEV and waits (5 s at most) until the kernel
# has let it go: a FUSE daemon still closing after its umount keeps it.
release_loop() {
  local i
  losetup -d "$1" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    [[ -e /sys/block/${1#/dev/}/loop/backing_file ]] || return 0
    sleep 0.1
  done
  return 1
}

trap cleanup EXIT
trap 'exit 130' INT TERM HUP
tmp=

scratch_dir() {
  if [[ -z $tmp ]]; then
    tmp=$(mktemp -d -t kelmo-stick.XXXXXX) || die "não consegui criar um diretório temporário"
    cleanups=(remove_scratch "${cleanups[@]}")
  fi
}

remove_scratch() { rm -rf -- "$tmp"; }
