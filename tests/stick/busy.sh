#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kelmo-stick never writes a stick in use, as root on loop devices: a file
# system mounted on a loop device over the target, mounts in other mount
# namespaces (of a partition, of a loop device over one, kelmo-stick's own
# FUSE mount left by a killed command), a device held open exclusively, an
# image file with loop devices over it, and two kelmo-sticks at once. Each
# refusal: status 1, its line, the target's bytes unchanged; once the holder
# is gone, prepare goes ahead (a loop device left attached included).
#
#   tests/stick/busy.sh BUILD_DIR      (configured and built if needed)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
# shellcheck source=../lib/results.sh
. "$top/tests/lib/results.sh"
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1
[ "$(id -u)" = 0 ] || { echo "not ok - run as root: loop devices, FUSE and mount namespaces"; exit 1; }
# In a mount namespace of its own: a namespace another program makes
# meanwhile never gets a copy of the mounts made here.
if [ -z "${KELMO_BUSY_PRIVATE-}" ]; then
  export KELMO_BUSY_PRIVATE=1
  exec unshare --mount --propagation private -- bash "$0" "$@"
fi

work=$(mktemp -d /tmp/kelmo-stick-busy.XXXXXX)
pids=() groups=() mounts=()

# The loop devices over our images, and over those, and so on (deepest
# last), as /dev/loopN lines.
our_loops() {
  local -A ours=()
  local name back grew=1 p
  while ((grew)); do
    grew=0
    while read -r name back; do
      [[ -n $name && -z ${ours[$name]-} ]] || continue
      # Over a loop device or a partition of one (named /loopN when it was
      # set up in a mount namespace now gone).
      p=
      [[ $back =~ ^(/dev)?/(loop[0-9]+)(p[0-9]+)?$ ]] && p=/dev/${BASH_REMATCH[2]}
      if [[ $back == "$work"/* || -n ${ours[${p:-none}]-} ]]; then
        ours[$name]=1
        printf '%s\n' "$name"
        grew=1
      fi
    done < <(losetup -l -n -O NAME,BACK-FILE 2>/dev/null)
  done
}
# openers DEVICE...: the processes that have one of the DEVICEs (or their
# partitions) open, one pid a line.
openers() {
  local -A want=()
  local d p f
  for d; do
    for p in "$d" "$d"p[0-9]*; do [ -b "$p" ] && want[$(stat -L -c '%Hr:%Lr' "$p")]=1; done
  done
  for f in /proc/[0-9]*/fd/*; do
    [[ $(readlink "$f" 2>/dev/null) == /dev/* && -b $f ]] || continue
    [ -n "${want[$(stat -L -c '%Hr:%Lr' "$f" 2>/dev/null)]-}" ] || continue
    f=${f#/proc/}
    printf '%s\n' "${f%%/*}"
  done | sort -u
}
# umount_ours DEVICE...: every mount of the DEVICEs (or their partitions),
# in every mount namespace, undone from inside it. A FUSE daemon then ends by
# itself: it must not be killed with SIGKILL, which, when it is the last
# process of its namespace, leaves it hanging for good in its own unmount
# (and every sync on the machine behind it).
umount_ours() {
  local -A want=() seen=()
  local d p f ns pid line mm point src
  for d; do
    for p in "$d" "$d"p[0-9]*; do [ -b "$p" ] && want[$(stat -L -c '%Hr:%Lr' "$p")]=1; done
  done
  for f in /proc/[0-9]*/ns/mnt; do
    ns=$(readlink "$f" 2>/dev/null) || continue
    [ -z "${seen[$ns]-}" ] || continue
    seen[$ns]=1
    pid=${f#/proc/}
    pid=${pid%%/*}
    while read -r line; do
      read -r _ _ mm _ point _ <<<"$line"
      src=${line#* - }
      src=${src#* }
      src=${src%% *}
      if [ -n "${want[$mm]-}" ] || { [[ $src == /dev/* && -b $src ]] && [ -n "${want[$(stat -L -c '%Hr:%Lr' "$src")]-}" ]; }; then
        nsenter -t "$pid" -m umount "$(printf '%b' "$point")" 2>/dev/null
      fi
    done < <(tac "/proc/$pid/mountinfo" 2>/dev/null)
  done
}
finish() {
  local i p
  set +e
  for p in "${groups[@]}"; do kill -TERM -- "-$p" 2>/dev/null; kill -CONT -- "-$p" 2>/dev/null; done
  for p in "${groups[@]}"; do
    for ((i = 0; i < 100; i++)); do kill -0 -- "-$p" 2>/dev/null || break; sleep 0.1; done
  done
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" 2>/dev/null; done
  # What a killed kelmo-stick left: its FUSE mount, then the loop devices.
  mapfile -t loops < <(our_loops)
  umount_ours "${loops[@]}"
  sleep 0.5
  for ((i = ${#loops[@]} - 1; i >= 0; i--)); do losetup -d "${loops[i]}" 2>/dev/null; done
  rm -rf "$work" "${scratch[@]}"
  stopped_early
}
scratch=()
trap finish EXIT
trap 'echo "# line $LINENO failed: $BASH_COMMAND" >&2' ERR

if [ ! -f "$build/CMakeCache.txt" ]; then cmake -S "$top" -B "$build" -DKELMO_TESTS=OFF >/dev/null; fi
cmake --build "$build" -j"$(nproc)" >/dev/null
ks=$build/stick/kelmo-stick
[ -x "$ks" ] || { echo "not ok - $ks was not built"; exit 1; }

# run ARGS...: kelmo-stick with stdin closed (two minutes at most); $status
# and $err.
run() {
  status=0
  timeout -k 5 120 "$ks" "$@" </dev/null >"$work/out" 2>"$work/err" || status=$?
  err=$(cat "$work/err")
}
explain_failure() { printf '#   status %s\n#   stderr: %s\n' "$status" "$(tail -n 3 <<<"$err")"; }
sums() { sha256sum <"$1" | cut -d' ' -f1; }
# refused WHAT PATTERN TARGET ARGS...: kelmo-stick ARGS ends with status 1
# and the one line PATTERN (a bash pattern), TARGET's bytes unchanged.
refused() {
  local what=$1 want=$2 t=$3 before
  shift 3
  before=$(sums "$t")
  run "$@"
  # shellcheck disable=SC2053 # want is a pattern
  check "$what: $1 refuses (status 1, \"$want\", nothing written)" \
    bash -c '[[ $1 == 1 && $2 == $3 && $4 == "$5" ]]' _ "$status" "$err" "$want" "$(sums "$t")" "$before"
}
# Every writing command, on TARGET: each refuses with PATTERN.
writers() { # WHAT PATTERN TARGET
  refused "$1" "$2" "$3" prepare --yes "$3"
  refused "$1" "$2" "$3" update "$3"
  refused "$1" "$2" "$3" next "$3" /live.iso
  refused "$1" "$2" "$3" add "$3" "$work/live.iso"
  refused "$1" "$2" "$3" persist "$3" /live.iso 32M
}
prepared() { # WHAT TARGET: prepare goes ahead
  run prepare --yes "$2"
  check "$1: prepare goes ahead (status 0)" [ "$status" = 0 ]
  if [ -b "$2" ]; then parts "$2"; fi
}
loop_over() { # FILE_OR_DEVICE [LOSETUP OPTIONS]: l, a new loop device
  local f=$1
  shift
  l=$(losetup -f --show "$@" "$f")
}
parts() { # DEVICE: its partitions as nodes (added here where no udev does it)
  [ -b "${1}p1" ] || partx -a "$1" 2>/dev/null || true
  udevadm settle 2>/dev/null || true
  [ -b "${1}p1" ] && [ -b "${1}p2" ]
}
# in_namespace DEVICE DIR [MOUNT COMMAND...]: DEVICE mounted on DIR in a new
# mount namespace kept by a sleeping process ($ns_pid); nothing here sees
# the mount.
in_namespace() {
  local dev=$1 dir=$2
  shift 2
  mkdir -p "$dir"
  rm -f "$work/ns.up"
  unshare -m --propagation private bash -c '"${@:3}" "$1" "$2" >/dev/null 2>&1 && : >"'"$work"'/ns.up" && exec sleep 3600' \
    _ "$dev" "$dir" "$@" &
  ns_pid=$!
  pids+=("$ns_pid")
  local i
  for ((i = 0; i < 100; i++)); do [ -e "$work/ns.up" ] && break; sleep 0.1; done
  [ -e "$work/ns.up" ] && ! grep -q " $dir " /proc/self/mountinfo
}
ns_end() { # the namespace of in_namespace gone, its mount undone
  nsenter -t "$ns_pid" -m umount "$1" 2>/dev/null || true
  kill "$ns_pid" 2>/dev/null || true
  wait "$ns_pid" 2>/dev/null || true
}
mkiso() { # NAME FILE...: a small live-boot ISO
  local d=$work/isotree f
  rm -rf "$d" && mkdir -p "$d"
  for f in "${@:2}"; do mkdir -p "$d$(dirname "$f")" && echo "$f" >"$d$f"; done
  xorriso -as mkisofs -quiet -R -J -V LIVE -o "$work/$1" "$d" 2>/dev/null
}

# The stick: an image file behind a loop device, prepared.
img=$work/disk.img
truncate -s 400M "$img"
loop_over "$img" -P
L=$l
prepared "a stick on $L" "$L"
mkiso live.iso /live/vmlinuz /live/initrd.img /live/filesystem.squashfs

# --- mounts in other namespaces, an exclusive holder, a killed kelmo-stick ------------

up=0 && in_namespace "${L}p1" "$work/ns-fuse" mount.exfat-fuse -o ro && up=1
check "setup: ${L}p1 mounted with exfat-fuse in another mount namespace" [ $up = 1 ]
writers "the exFAT partition mounted in another mount namespace" \
  "kelmo-stick: $L está em uso: ${L}p1 está montado em $work/ns-fuse em outro namespace de montagem (processo *); nada foi escrito" "$L"
ns_end "$work/ns-fuse"

# An open with O_EXCL, as device-mapper or a partitioning tool holds a device.
# (Each case starts from a stick, whatever the one before left.)
prepared "the exFAT partition no longer mounted elsewhere" "$L"
perl -MFcntl -e 'sysopen(my $f, $ARGV[0], O_RDONLY | O_EXCL) or die; print "held\n"; close STDOUT; sleep 3600' "${L}p2" >"$work/held" &
holder=$!
pids+=("$holder")
for ((i = 0; i < 50; i++)); do [ -s "$work/held" ] && break; sleep 0.1; done
check "setup: ${L}p2 held open with O_EXCL by another process" [ -s "$work/held" ]
want="kelmo-stick: $L está em uso: ${L}p2 está aberto por perl (processo $holder); nada foi escrito"
refused "the ESP held open with O_EXCL by another process" "$want" "$L" prepare --yes "$L"
refused "the ESP held open with O_EXCL by another process" "$want" "$L" update "$L"
kill "$holder"
wait "$holder" 2>/dev/null || true

prepared "the ESP no longer held" "$L"
# update killed (as by kill -9) with its private FUSE mount of the exFAT
# partition up: its FUSE driver ends with it (and unmounts), so no mount
# lives on in the dead command's namespace. The loop device it made may stay
# attached, held by nothing.
(KELMO_STICK_STOP_AFTER=menu timeout -k 5 120 "$ks" update "$L" </dev/null >/dev/null 2>&1 || true) 2>/dev/null
for ((i = 0; i < 50; i++)); do
  mapfile -t left < <(losetup -l -n -O NAME,BACK-FILE | awk -v d="$L" '$2 == d { print $1 }')
  holders=$( ((${#left[@]} == 0)) || openers "${left[@]}")
  drivers=$(pgrep -f "mount.exfat-fuse .*(${L}|/dev/loop)" | while read -r p; do
    [[ $(readlink "/proc/$p/ns/mnt") != "$(readlink /proc/self/ns/mnt)" ]] && echo "$p"; done || true)
  [ -z "$holders" ] && [ -z "$drivers" ] && break
  sleep 0.1
done
check "setup: update killed with its exFAT mount up leaves no FUSE driver, nothing holding the stick (loop devices left: ${left[*]:-none})" \
  bash -c '[ -z "$1" ] && [ -z "$2" ]' _ "$holders" "$drivers"
prepared "the loop device a killed command left, with nothing on it any more" "$L"

# --- two kelmo-sticks at once ----------------------------------------------------------

mkdir -p "$work/m"
mount.exfat-fuse "${L}p1" "$work/m" >/dev/null 2>&1 && mounts+=("$work/m")
cp "$work/live.iso" "$work/m/" && umount "$work/m" && unset 'mounts[-1]'
# persist, in a process group of its own, stopped while it writes: the
# command and the program writing, not its FUSE daemon (a stopped FUSE
# daemon would stall every sync on the machine) nor its lock's helper.
setsid "$ks" persist "$L" /live.iso 256M </dev/null >/dev/null 2>"$work/persist.err" &
ppid=$!
groups+=("$ppid")
stopped=()
for ((i = 0; i < 600; i++)); do
  if grep -q '^kelmo-stick: escrevendo' "$work/persist.err" && ps -o comm= --ppid "$ppid" | grep -qx dd; then
    kill -STOP "$ppid"
    stopped=("$ppid")
    for c in $(ps -o pid= --ppid "$ppid"); do
      case $(readlink "/proc/$c/exe") in
        */mount.exfat-fuse | */perl) ;;
        *) kill -STOP "$c" && stopped+=("$c") ;;
      esac
    done
    break
  fi
  sleep 0.05
done
check "setup: persist stopped while its dd writes" \
  bash -c 'grep -q "^kelmo-stick: escrevendo" "$1" && ! grep -q pronto "$1" && [ "$2" -ge 2 ]' _ "$work/persist.err" "${#stopped[@]}"
# What they wrote reaches the disk (the FUSE daemon, still running, syncs).
for d in $(losetup -l -n -O NAME,BACK-FILE | awk -v d="$L" '$2 == d { print $1 }') "$L"; do
  timeout 60 blockdev --flushbufs "$d" || true
done
writers "persist running on the same stick" \
  "kelmo-stick: outro kelmo-stick está usando $L; espere ele terminar e tente de novo" "$L"
kill -CONT "${stopped[@]}" 2>/dev/null || true
pstatus=timeout
for ((i = 0; i < 1200; i++)); do
  if ! kill -0 "$ppid" 2>/dev/null; then pstatus=0; wait "$ppid" || pstatus=$?; break; fi
  sleep 0.1
done
check "the persist that ran first ends well (status $pstatus, \"pronto\")" \
  bash -c '[ "$1" = 0 ] && grep -q "^kelmo-stick: pronto: /kelmo/persist/live.iso.img, 256 MiB" "$2"' _ "$pstatus" "$work/persist.err"
check "afterwards the exFAT partition checks clean" bash -c 'fsck.exfat -n "$1" >/dev/null 2>&1' _ "${L}p1"
run list "$L"
check "afterwards list shows the ISO with its persistence file" \
  grep -q '^/live.iso: LIVE, Debian live-boot .*com persistência em /kelmo/persist/live.iso.img (256 MiB' "$work/out"

# --- loop devices stacked on the target ------------------------------------------------

# An ext2 on a loop device over the disk at 1 MiB, mounted here.
loop_over "$L" -o 1048576 --sizelimit $((64 * 1048576))
M=$l
mkfs.ext2 -q -F "$M"
mkdir -p "$work/stacked"
mount -t ext2 -o ro "$M" "$work/stacked" && mounts+=("$work/stacked")
refused "an ext2 mounted on a loop device over the disk" \
  "kelmo-stick: $L tem um sistema de arquivos montado ($M em $work/stacked); desmonte-o antes" "$L" prepare --yes "$L"
umount "$work/stacked" && unset 'mounts[-1]'

# An ext2 on a loop device over the ESP, mounted in another namespace.
prepared "the ext2 over the disk unmounted" "$L"
loop_over "${L}p2"
M2=$l
mkfs.ext2 -q -F "$M2"
up=0 && in_namespace "$M2" "$work/ns-ext2" mount -t ext2 -o ro && up=1
check "setup: an ext2 on $M2 (over ${L}p2) mounted in another mount namespace" [ $up = 1 ]
refused "an ext2 on a loop device over the ESP, mounted in another namespace" \
  "kelmo-stick: $L está em uso: $M2 está montado em $work/ns-ext2 em outro namespace de montagem (processo $ns_pid, sleep); nada foi escrito" \
  "$L" prepare --yes "$L"
ns_end "$work/ns-ext2"
losetup -d "$M2" "$M"
prepared "those loop devices gone" "$L"

# --- an image file, loop devices over it, mounted in another namespace -----------------

file=$work/file.img
truncate -s 120M "$file"
loop_over "$file"
F1=$l
mkfs.ext2 -q -F "$F1"
up=0 && in_namespace "$F1" "$work/ns-file" mount -t ext2 -o ro && up=1
check "setup: an ext2 on $F1 (over $file) mounted in another mount namespace" [ $up = 1 ]
refused "an image file whose loop device is mounted in another namespace" \
  "kelmo-stick: $file está em uso: $F1 está montado em $work/ns-file em outro namespace de montagem (processo $ns_pid, sleep); nada foi escrito" \
  "$file" prepare --yes "$file"
ns_end "$work/ns-file"
loop_over "$F1" -o 1048576
F2=$l
mkfs.ext2 -q -F "$F2"
up=0 && in_namespace "$F2" "$work/ns-file2" mount -t ext2 -o ro && up=1
check "setup: an ext2 on $F2 (over $F1, over $file) mounted in another mount namespace" [ $up = 1 ]
refused "an image file, a loop device over its loop device mounted in another namespace" \
  "kelmo-stick: $file está em uso: $F2 está montado em $work/ns-file2 em outro namespace de montagem (processo $ns_pid, sleep); nada foi escrito" \
  "$file" prepare --yes "$file"
refused "the loop device over that image file, the loop device over it mounted in another namespace" \
  "kelmo-stick: $F1 está em uso: $F2 está montado em $work/ns-file2 em outro namespace de montagem (processo $ns_pid, sleep); nada foi escrito" \
  "$file" prepare --yes "$F1"
ns_end "$work/ns-file2"
losetup -d "$F2"
prepared "the image file with a loop device over it, nothing mounted" "$file"

summary
