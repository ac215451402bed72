# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Shared by scan.sh and boot_run.sh (sourced, never run).
#
# Each case runs in its own private mount namespace: the calling script is
# run again there as `SCRIPT --in CASE ARGS...`, covers /sys/class/block and
# /dev with empty tmpfs mounts, and calls its function CASE. So kelmo-map's
# fixed paths are the real ones and the host's are never touched. The
# exFAT images are attached to loop devices beforehand, on the host.
#
# Checks print `ok - ...` / `not ok - ...` and are also appended to
# $T/results, which the outer script counts at the end.

SELF=$(readlink -f "$0")
HOST_TESTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../lib/results.sh
. "$HOST_TESTS/../lib/results.sh"
# shellcheck source=../lib/images.sh
. "$HOST_TESTS/../lib/images.sh"
# shellcheck source=../lib/messages.sh
. "$HOST_TESTS/../lib/messages.sh"

# --- checks (usable inside and outside the namespace) ----------------------
# ok, not_ok, check and summary are results.sh's; KELMO_RESULTS ($T/results) takes
# the checks made inside the namespaces too.

# check_eq DESC GOT WANT
check_eq() {
  if [[ $2 == "$3" ]]; then
    ok "$1"
  else
    not_ok "$1"
    printf '#   got:  %q\n#   want: %q\n' "$2" "$3"
  fi
}

# check_between DESC VALUE LOW HIGH (integers, inclusive)
check_between() {
  if (($2 >= $3 && $2 <= $4)); then
    ok "$1"
  else
    not_ok "$1"
    printf '#   got %s, want %s..%s\n' "$2" "$3" "$4"
  fi
}

# check_file_is DESC FILE EXPECTED-CONTENT: byte for byte.
check_file_is() {
  local want="$T/want.$$"
  printf '%s' "$3" >"$want"
  if cmp -s "$2" "$want"; then
    ok "$1"
  else
    not_ok "$1"
    local got
    got=$(cat "$2" && echo .)
    printf '#   got:  %q\n#   want: %q\n' "${got%.}" "$3"
  fi
}

# lacks REGEX FILE: no line of FILE matches.
lacks() { ! grep -qE "$1" "$2"; }

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }

# --- inside the namespace ---------------------------------------------------

# Called first by every script: when re-run as `--in CASE ARGS...`, sets up
# the covered paths and runs the case, then exits.
enter_if_inside() {
  [[ ${1-} == --in ]] || return 0
  mount -t tmpfs kelmo-sysfs /sys/class/block
  mount -t tmpfs kelmo-dev /dev
  # The program creates its nodes with explicit modes and no umask of its
  # own; a usual umask shows whether anything else changes them.
  umask 022
  "${@:2}"
  exit 0
}

# entry NAME CONTENT: a fake sysfs entry whose `dev` file holds CONTENT.
entry() {
  mkdir -p "/sys/class/block/$1"
  printf '%s\n' "$2" >"/sys/class/block/$1/dev"
}

# readdir_order: the entries in the order the directory yields them, which
# `ls -f` keeps.
# shellcheck disable=SC2010
readdir_order() { ls -f /sys/class/block | grep -vx -e . -e ..; }

# arrange NAME...: creates the entry directories so that readdir yields them
# in this order. tmpfs yields newest first on some kernels and oldest first
# on others, so try one creation order, then the other.
arrange() {
  local names=("$@") name got i
  for name in "${names[@]}"; do mkdir "/sys/class/block/$name"; done
  got=$(readdir_order | paste -sd ' ')
  if [[ $got != "${names[*]}" ]]; then
    for name in "${names[@]}"; do rmdir "/sys/class/block/$name"; done
    for ((i = ${#names[@]} - 1; i >= 0; i--)); do mkdir "/sys/class/block/${names[i]}"; done
    got=$(readdir_order | paste -sd ' ')
  fi
  check_eq "readdir yields ${names[*]}" "$got" "${names[*]}"
}

# node_is DESC NODE TYPE MODE MAJOR:MINOR: what stat says of NODE; the
# device number in decimal, as in a `dev` file.
node_is() {
  local desc=$1 node=$2 type=$3 mode=$4 num=$5 got
  got=$(stat -c '%F %a %t:%T' "$node" 2>&1) || true
  check_eq "$desc" "$got" "$type $mode $(printf '%x:%x' "${num%:*}" "${num#*:}")"
}

# --- outside: work dir, images, cleanup, running cases ---------------------

BG_PIDS=()
BG_NAMES=()

# Background cases end with everything they started, before images.sh
# unmounts, detaches and removes the rest.
stop_bg() {
  local pid
  for pid in "${BG_PIDS[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}

# start_outside: checks the tools, makes the work dir $T and sets cleanup.
start_outside() {
  local tool
  for tool in unshare losetup blockdev mkfs.exfat tune.exfat mount.exfat-fuse strace setsid; do
    command -v "$tool" >/dev/null || {
      echo "not ok - $tool is missing (apt-get install util-linux exfatprogs exfat-fuse strace)"
      exit 1
    }
  done
  ((EUID == 0)) || {
    echo "not ok - needs root for loop devices and mount namespaces"
    exit 1
  }
  T=$(mktemp -d)
  TMP_PATHS+=("$T")
  EXIT_HOOKS+=(stop_bg)
  export T KELMO_RESULTS=$T/results
  : >"$KELMO_RESULTS"
}

# error_texts_once SCRIPT ARGS...: in the outer run, the error texts of the
# binary's C library (tests/errors.sh), exported: the runs inside the
# namespaces inherit them.
error_texts_once() {
  [[ ${2-} == --in ]] && return 0
  # shellcheck source=../errors.sh
  source "$HOST_TESTS/../errors.sh"
  error_texts "${2:?usage: $1 KELMO_MAP}"
  export ERR_ENOTTY
}

# start_program SCRIPT ARGS...: the outer run of a script whose one argument
# is the kelmo-map binary: KELMO, exported, then start_outside.
start_program() {
  [[ $# == 2 ]] || {
    echo "usage: $1 KELMO_MAP" >&2
    exit 2
  }
  KELMO=$(readlink -f "$2")
  export KELMO
  start_outside
}

# new_image FILE SERIAL: a 4 MiB exFAT volume with the serial 0xSERIAL.
new_image() {
  truncate -s 4M "$1"
  mkfs.exfat "$1" >>"$T/log"
  tune.exfat -I "0x$2" "$1" >>"$T/log"
}

# attach VAR FILE: attaches FILE to a free loop device; VAR gets the
# device's MAJOR:MINOR and VAR_DEV its node.
attach() {
  loop_attach "$1_DEV" "$2"
  local -n _dev=$1_DEV
  printf -v "$1" '%s' "$(cat "/sys/class/block/${_dev#/dev/}/dev")"
  export "${1?}" "$1_DEV"
}

# geometry IMAGE: FAT_OFFSET, HEAP_OFFSET (in sectors) and CLUSTER_SHIFT of
# the exFAT volume IMAGE, from its boot sector.
geometry() {
  read -r FAT_OFFSET HEAP_OFFSET < <(od -An -tu4 -j80 -N12 "$1" | awk '{print $1, $3}')
  CLUSTER_SHIFT=$(od -An -tu1 -j109 -N1 "$1")
}

# first_cluster IMAGE PATH: PATH's first cluster, from kelmo-map --test.
first_cluster() {
  local sector
  geometry "$1"
  sector=$("$KELMO" --test "$1" "$2" | awk '/^  setor/ {print $2; exit}')
  echo $(((sector - HEAP_OFFSET) / (1 << CLUSTER_SHIFT) + 2))
}

# break_chain IMAGE PATH: the FAT entry of PATH's first cluster zeroed, so
# its chain ends there.
break_chain() {
  local cluster
  cluster=$(first_cluster "$1" "$2")
  geometry "$1"
  printf '\0\0\0\0' | dd of="$1" bs=1 seek=$((FAT_OFFSET * 512 + 4 * cluster)) conv=notrunc status=none
}

# fuse_mount DEV / fuse_umount: fills a volume through exfat-fuse at $T/mnt.
fuse_mount() {
  mkdir -p "$T/mnt"
  mount_track "$T/mnt"
  FUSE_DEV=$1
  mount.exfat-fuse "$1" "$T/mnt" 2>>"$T/log"
}
# Flushed so that the image file, read directly afterwards, holds what the
# daemon wrote through the loop device (once, under load, it did not).
fuse_umount() {
  umount "$T/mnt"
  blockdev --flushbufs "$FUSE_DEV"
}

# in_ns CASE ARGS...: runs a case now, in a new namespace.
in_ns() {
  local status=0
  unshare -m --propagation private bash "$SELF" --in "$@" || status=$?
  ((status == 0)) || not_ok "$1 ended early (status $status)"
}

# in_ns_bg NAME CASE ARGS...: the same in the background, in its own session
# so that cleanup can end it with everything it started; see wait_bg.
in_ns_bg() {
  local name=$1
  shift
  setsid unshare -m --propagation private bash "$SELF" --in "$@" >"$T/bg.$name" 2>&1 &
  BG_PIDS+=($!)
  BG_NAMES+=("$name")
}

wait_bg() {
  local i status
  for i in "${!BG_PIDS[@]}"; do
    status=0
    wait "${BG_PIDS[i]}" || status=$?
    cat "$T/bg.${BG_NAMES[i]}"
    ((status == 0)) || not_ok "${BG_NAMES[i]} ended early (status $status)"
  done
  BG_PIDS=()
}
