#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The add-on's /kelmo/check-run on kernel command lines as GRUB writes them
# (a backslash before ' and \, a parameter with a space quoted whole), run
# unchanged by busybox's sh and by dash, as an initrd runs it: in a chroot
# whose /proc/cmdline is a plain file, with a kelmo-iso in /sys/block and a
# stand-in /kelmo/kelmo-map that notes the path it is asked about. Nothing in
# the chroot reaches the host's /proc (its sysrq-trigger is a plain file).
#   check_run.sh PATH_TO_CHECK_RUN
# Needs root (chroot); exits 77 (skip) without it or a tool, or 1 when
# KELMO_NO_SKIP is set.
set -euo pipefail
export LC_ALL=C
SCRIPT=$(realpath "$1")
HOST_TOOLS="busybox dash chroot ldd"
# shellcheck source=prelude.sh
source "$(dirname "$0")/prelude.sh"
# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"

# root DIR SHELL: a chroot with busybox's applets and SHELL (busybox or dash)
# as /bin/sh, the add-on's check-run, a stand-in kelmo-map answering one run
# of 2 sectors at 2048, and a sleep that does not wait; /dev/null a file.
root() {
  local dir=$1 lib
  busybox_root "$dir"
  if [ "$2" = dash ]; then
    rm "$dir/bin/sh"
    cp "$(command -v dash)" "$dir/bin/sh"
    for lib in $(ldd "$(command -v dash)" | grep -o '/[^ ]*'); do
      mkdir -p "$dir$(dirname "$lib")"
      cp -L "$lib" "$dir$lib"
    done
  fi
  rm "$dir/bin/sleep"
  printf '#!/bin/sh\n' >"$dir/bin/sleep"
  mkdir -p "$dir/proc" "$dir/dev" "$dir/kelmo" "$dir/sys/block/dm-0/dm" "$dir/sys/block/dm-0/slaves/sdb1"
  : >"$dir/dev/null"
  echo kelmo-iso >"$dir/sys/block/dm-0/dm/name"
  cp "$SCRIPT" "$dir/kelmo/check-run"
  # kelmo-map --test /dev/PARTITION PATH
  printf '%s\n' '#!/bin/sh' 'printf "%s|%s" "$2" "$3" >/asked' \
    'printf "tamanho=1000 nofat=0 trechos=1\n  setor 2048  +1\n"' >"$dir/kelmo/kelmo-map"
  chmod 0755 "$dir/bin/sleep" "$dir/kelmo/kelmo-map"
}

# run DIR LINE: check-run in DIR with LINE as /proc/cmdline; its status, and
# what it said and asked in DIR/said, DIR/asked and DIR/proc/sysrq-trigger.
run() {
  rm -f "$1/asked" "$1/said"
  : >"$1/proc/sysrq-trigger"
  printf '%s\n' "$2" >"$1/proc/cmdline"
  status=0
  env -i PATH=/bin "$CHROOT" "$1" /bin/sh /kelmo/check-run 2>"$1/said" || status=$?
}
CHROOT=$(command -v chroot)
explain_failure() { echo "#   status $status, said: $(cat "$r/said")"; }

# name|the command line's kelmo.iso= as GRUB wrote it|the path meant
CASES=(
  "apostrophe, quoted whole|\"kelmo.iso=/Kelmo ISOs/Debian ção/Tom\\'s debian live.iso\"|/Kelmo ISOs/Debian ção/Tom's debian live.iso"
  "apostrophe, no space|kelmo.iso=/isos/Tom\\'s.iso|/isos/Tom's.iso"
  "escaped backslash then apostrophe|\"kelmo.iso=/a b/x\\\\\\'y.iso\"|/a b/x\\'y.iso"
  "apostrophe last|kelmo.iso=/isos/a\\'|/isos/a'"
  "lone backslash kept|kelmo.iso=/a\\b.iso|/a\\b.iso"
  "lone backslash last kept|kelmo.iso=/a\\ x|/a\\"
  "value quoted alone|kelmo.iso=\"/Meus ISOs/a b.iso\"|/Meus ISOs/a b.iso"
  "no escape|kelmo.iso=/isos/debian.iso|/isos/debian.iso"
)
for shell in busybox dash; do
  r=$T/$shell
  root "$r" "$shell"
  for c in "${CASES[@]}"; do
    IFS='|' read -r name param want <<<"$c"
    run "$r" "BOOT_IMAGE=/live/vmlinuz boot=live $param kelmo.trecho=2048+2 console=ttyS0"
    check_eq "$shell: $name: kelmo-map asked about the path meant" "$(cat "$r/asked" 2>/dev/null)" "/dev/sdb1|$want"
    check "$shell: $name: the run matches: nothing said, no reboot, status 0" \
      eval '[ "$status" = 0 ] && [ ! -s "$r/said" ] && [ ! -s "$r/proc/sysrq-trigger" ]'
  done
  # The run moved: the message names the path meant, then the reboot.
  run "$r" "\"kelmo.iso=/isos/Tom\\'s live.iso\" kelmo.trecho=4096+2"
  check_eq "$shell: a moved run: the message names the path meant" "$(cat "$r/said")" \
    "kelmo-map: /isos/Tom's live.iso mudou depois do último kelmo-stick update: esta entrada não inicia nada. Rode kelmo-stick update."
  check_eq "$shell: a moved run: the reboot is asked for" "$(cat "$r/proc/sysrq-trigger")" b
  # Not an entry of the Secure Boot menu: nothing asked.
  run "$r" "\"kelmo.iso=/isos/Tom\\'s live.iso\" quiet"
  check "$shell: without kelmo.trecho= nothing is asked, status 0" \
    eval '[ ! -e "$r/asked" ] && [ "$status" = 0 ] && [ ! -s "$r/proc/sysrq-trigger" ]'
done
summary
