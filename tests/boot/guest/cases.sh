# SPDX-License-Identifier: MIT
# shellcheck shell=dash
# The cases, run inside the guest by /init (busybox sh). Each case prints one
# line the host reads back from the serial log:
#   KELMO-CASE NAME PASS|FAIL; detail; detail...
# Expected values come from /etc/kelmo/expect.sh, written by the host from the
# images it built.

# shellcheck disable=SC2034 # read by /init
FAILED=0
NODE=/dev/mapper/kelmo-iso

begin() { CASE=$1; PROBLEMS=; NOTES=; }
problem() { PROBLEMS="$PROBLEMS; $*"; }
note() { NOTES="$NOTES; $*"; }
end() {
  if [ -z "$PROBLEMS" ]; then
    echo "KELMO-CASE $CASE PASS$NOTES"
  else
    echo "KELMO-CASE $CASE FAIL$PROBLEMS$NOTES"
    FAILED=1
  fi
}

# The last thing the device-mapper ioctl code logged, past its banner.
dm_said() {
  local said
  said=$(dmesg | grep 'device-mapper: ioctl' | grep -v initialised | tail -n 1)
  echo "${said:-nothing logged}"
}

dmesg_dump() { dmesg | tail -n 60 | sed 's/^/KELMO-DMESG /'; }

load_group() {
  local m
  while read -r m; do
    insmod "/lib/kelmo/modules/$m" 2>/tmp/insmod || echo "KELMO-NOTE insmod $m: $(cat /tmp/insmod)"
  done <"/lib/kelmo/$1.list"
}

# Runs kelmo-map; leaves the status in RC and its output in /tmp/err, /tmp/out.
kmap() {
  /bin/kelmo-map "$@" >/tmp/out 2>/tmp/err
  RC=$?
}

# kelmo-map must have printed exactly "kelmo-map: TEXT" (bytes and newline;
# the texts are messages.sh's) on stderr, nothing on stdout, and ended with
# STATUS.
expect_result() {
  msg_line "$1" >/tmp/want
  expect_said "$2"
}
# expect_result for the ISO's line and kelmo-usb's.
expect_two_lines() {
  { msg_line "$1"; msg_line "$2"; } >/tmp/want
  expect_said "$3"
}
# The lines said are kept on the verdict's one console line.
expect_said() {
  cmp -s /tmp/want /tmp/err ||
    problem "stderr '$(tr '\n' '|' </tmp/err)', want '$(tr '\n' '|' </tmp/want)'"
  [ "$RC" = "$1" ] || problem "status $RC, want $1"
  [ -s /tmp/out ] && problem "unexpected stdout '$(tr '\n' '|' </tmp/out)'"
}

# The device-mapper device named $1, e.g. dm-0; empty if none.
dm_named() {
  local d
  for d in /sys/block/dm-*; do
    [ -f "$d/dm/name" ] && [ "$(cat "$d/dm/name")" = "$1" ] && echo "${d##*/}"
  done
}

# expect_gave_up T0: the run, started at T0 (date +%s), has just ended
# without a partition after its wait of about 30 s, and left no kelmo-iso.
expect_gave_up() {
  local t1
  t1=$(date +%s)
  expect_result "$MSG_NO_PARTITION" 1
  [ $((t1 - $1)) -ge 29 ] && [ $((t1 - $1)) -le 90 ] || problem "gave up after $((t1 - $1)) s, want about 30"
  note "gave up after $((t1 - $1)) s"
  expect_no_dm
}

expect_no_dm() {
  [ -z "$(dm_named kelmo-iso)" ] || problem "a kelmo-iso device exists: $(dm_named kelmo-iso)"
}

# "MAJOR:MINOR" of a node, in decimal as sysfs writes it.
node_dev() { printf '%d:%d' "0x$(stat -c %t "$1")" "0x$(stat -c %T "$1")"; }

# mapped_as NODE NAME: DM, the device-mapper device NAME (dm-N), whose node
# NODE must be; fails, with the problem said, when either is not there.
mapped_as() {
  local got
  DM=
  [ -b "$1" ] || { problem "$1 is not a block device"; return 1; }
  DM=$(dm_named "$2")
  [ -n "$DM" ] || { problem "no device-mapper device named $2"; return 1; }
  got=$(node_dev "$1")
  [ "$got" = "$(cat "/sys/block/$DM/dev")" ] || problem "$1 is $got, $DM is $(cat "/sys/block/$DM/dev")"
}

# check_mapping ISO_SHA ISO_SIZE PARTITION README_SHA DATA_SHA: the mapped
# device is the ISO, byte for byte, over PARTITION, and mounts as ISO 9660.
check_mapping() {
  local sha=$1 size=$2 part=$3 readme=$4 data=$5 dm got
  mapped_as "$NODE" kelmo-iso || return
  dm=$DM
  got=$(($(cat "/sys/block/$dm/size") * 512))
  [ "$got" = "$size" ] || problem "device size $got bytes, ISO $size"
  got=$(ls "/sys/block/$dm/slaves" | tr '\n' ' ')
  [ "$got" = "$part " ] || problem "device built on '$got', want $part"
  got=$(sha256sum <"$NODE" | cut -d' ' -f1)
  [ "$got" = "$sha" ] || problem "device sha256 $got, ISO $sha"
  check_iso_files "$NODE" "$readme" "$data"
  note "$dm over $part, $size bytes"
}

# check_iso_files DEVICE README_SHA DATA_SHA: DEVICE mounts as ISO 9660 and
# holds the ISO's two files.
check_iso_files() {
  local got
  if mount -t iso9660 -o ro "$1" /mnt 2>/tmp/mount; then
    got=$(sha256sum </mnt/README.TXT | cut -d' ' -f1)
    [ "$got" = "$2" ] || problem "README.TXT sha256 $got, want $2"
    got=$(sha256sum </mnt/DATA.BIN | cut -d' ' -f1)
    [ "$got" = "$3" ] || problem "DATA.BIN sha256 $got, want $3"
    note "$1: README.TXT: $(head -n1 /mnt/README.TXT)"
    umount /mnt
  else
    problem "mount -t iso9660 of $1: $(cat /tmp/mount)"
  fi
}

# Paths that fail before the device mapper is touched.
path_cases() {
  begin path-is-directory
  kmap "$SERIAL" /isos
  expect_result "$MSG_IS_FOLDER" 1
  expect_no_dm
  end

  begin path-missing-file
  kmap "$SERIAL" /isos/nada.iso
  expect_result "$(msg_not_found nada.iso)" 1
  expect_no_dm
  end

  begin path-missing-directory
  kmap "$SERIAL" /nada/kelmo.iso
  expect_result "$(msg_not_found nada)" 1
  expect_no_dm
  end
}

# Kernel parameters name ISO A (one run) on virtio.
boot_main() {
  path_cases

  begin cmdline-map
  kmap
  expect_result "$(msg_iso_mapped "$A_RUNS")" 0
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  end

  begin read-only
  local mode
  mode=$(stat -c %a "$NODE")
  [ "$mode" = 400 ] || problem "node mode $mode, want 400"
  [ "$(cat "/sys/block/$(dm_named kelmo-iso)/ro")" = 1 ] || problem "sysfs ro is not 1"
  [ "$(blockdev --getro "$NODE")" = 1 ] || problem "blockdev --getro is not 1"
  # Zeros as a boot script would write them, then random bytes with fsync:
  # the ISO starts with zeros, and a write the device took must reach the
  # stick so that its hash on the host changes too.
  head -c 512 /dev/urandom >/tmp/block
  local source
  for source in /dev/zero /tmp/block; do
    if dd if=$source of="$NODE" bs=512 count=1 conv=notrunc,fsync 2>/tmp/dd; then
      problem "writing $source to $NODE succeeded"
    else
      note "dd if=$source: $(grep -v records /tmp/dd | tr '\n' ' ')"
    fi
  done
  [ "$(sha256sum <"$NODE" | cut -d' ' -f1)" = "$A_SHA" ] || problem "device content changed"
  # Root ignores the 0400 mode: a 0400 node of a writable device takes the
  # same write, so the refusal above came from the read-only table.
  head -c 4096 /dev/urandom >/tmp/plain.img
  if losetup /dev/loop0 /tmp/plain.img 2>/tmp/losetup; then
    mknod -m 0400 /tmp/loop0-0400 b 7 0
    if dd if=/tmp/block of=/tmp/loop0-0400 bs=512 count=1 conv=notrunc,fsync 2>/tmp/dd; then
      head -c 512 /tmp/plain.img | cmp -s - /tmp/block || problem "control write through a 0400 loop node did not land"
      note "control: root wrote through a 0400 node of a writable loop device"
    else
      problem "control write through a 0400 loop node failed: $(cat /tmp/dd)"
    fi
    losetup -d /dev/loop0
  else
    problem "losetup: $(cat /tmp/losetup)"
  fi
  end

  begin second-run
  kmap
  expect_result "DM_DEV_CREATE: $ERR_EBUSY" 1
  note "kelmo-map said: $(cat /tmp/err)"
  note "kernel: $(dm_said)"
  [ "$(sha256sum <"$NODE" | cut -d' ' -f1)" = "$A_SHA" ] || problem "the existing mapping changed"
  end
}

# No kelmo keys on the kernel command line; serial and path as arguments,
# ISO B (fragmented) on virtio.
boot_args() {
  begin no-keys
  kmap
  expect_result "$MSG_NO_KEYS" 0
  expect_no_dm
  end

  # A node left from an earlier device, with another number and mode, is
  # in the way: the run must put the new device's node in its place.
  local dm_major stale got
  dm_major=$(awk '$2 == "device-mapper" {print $1}' /proc/devices)
  stale=$dm_major:77
  mkdir -p /dev/mapper
  mknod -m 0644 "$NODE" b "$dm_major" 77 || echo "KELMO-NOTE mknod $NODE $stale failed"

  begin args-map-fragmented
  [ "$B_RUNS" -gt 1 ] || problem "ISO B has $B_RUNS runs on the stick, want more than 1"
  kmap "$SERIAL" "$B_PATH"
  expect_result "$(msg_iso_mapped "$B_RUNS")" 0
  check_mapping "$B_SHA" "$B_SIZE" vda1 "$B_README_SHA" "$B_DATA_SHA"
  end

  begin stale-node-replaced
  [ -n "$dm_major" ] || problem "no device-mapper major in /proc/devices"
  if [ -b "$NODE" ]; then
    got=$(node_dev "$NODE")
    [ "$got" != "$stale" ] || problem "$NODE still has the old number $stale"
    [ "$got" = "$(cat "/sys/block/$(dm_named kelmo-iso)/dev" 2>/dev/null)" ] || problem "$NODE is $got, not kelmo-iso's device"
    [ "$(stat -c %a "$NODE")" = 400 ] || problem "node mode $(stat -c %a "$NODE"), want 400"
    note "$NODE was $stale, now $got"
  else
    problem "$NODE is not a block device"
  fi
  end
}

# The stick is USB mass storage and its drivers arrive only after kelmo-map
# has started scanning; the path (with spaces) is quoted on the command line.
boot_usb() {
  begin usb-late
  local pid t0 t1
  [ -e /sys/class/block/sda ] && problem "a SCSI disk exists before the USB drivers"
  /bin/kelmo-map >/tmp/out 2>/tmp/err &
  pid=$!
  sleep 1
  if kill -0 "$pid" 2>/dev/null; then
    note "still scanning after 1 s"
  else
    problem "kelmo-map ended before the USB drivers were loaded: $(cat /tmp/err)"
  fi
  t0=$(date +%s)
  load_group usb
  wait "$pid"
  RC=$?
  t1=$(date +%s)
  note "found $((t1 - t0)) s after the USB drivers were loaded"
  expect_result "$(msg_iso_mapped "$B_RUNS")" 0
  check_mapping "$B_SHA" "$B_SIZE" sda1 "$B_README_SHA" "$B_DATA_SHA"
  end
}

# /dev is an empty tmpfs: the partition node and the control node are
# kelmo-map's to make.
boot_bare() {
  begin bare-dev
  local before
  before=$(ls -A /dev | tr '\n' ' ')
  [ -z "$before" ] || problem "/dev not empty before the run: $before"
  kmap
  expect_result "$(msg_iso_mapped "$A_RUNS")" 0
  if [ -b /dev/vda1 ]; then
    [ "$(node_dev /dev/vda1)" = "$(cat /sys/class/block/vda1/dev)" ] || problem "/dev/vda1 has the wrong number"
  else
    problem "/dev/vda1 was not created"
  fi
  if [ -c /dev/mapper/control ]; then
    [ "$(node_dev /dev/mapper/control)" = 10:236 ] || problem "/dev/mapper/control is $(node_dev /dev/mapper/control)"
  else
    problem "/dev/mapper/control was not created"
  fi
  note "/dev after: $(ls -A /dev /dev/mapper 2>&1 | tr '\n' ' ')"
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  end
}

# Failures that leave nothing to clean up, then the empty ISO last, since it
# leaves a device behind.
boot_fail() {
  begin one-key
  kmap
  expect_result "$MSG_NO_KEYS" 0
  expect_no_dm
  end

  begin wrong-serial
  local t0
  t0=$(date +%s)
  kmap DEAD-BEEF "$A_PATH"
  expect_gave_up "$t0"
  end

  # An empty file has no runs: the create succeeds, the kernel refuses a
  # table without targets, and the device stays, named and without a table.
  # The next run finds the name taken.
  begin empty-iso
  kmap "$SERIAL" /isos/empty.iso
  expect_result "DM_TABLE_LOAD: $ERR_EINVAL" 1
  [ -e "$NODE" ] && problem "$NODE was made"
  note "kernel: $(dm_said)"
  kmap "$SERIAL" "$A_PATH"
  expect_result "DM_DEV_CREATE: $ERR_EBUSY" 1
  [ -e "$NODE" ] && problem "$NODE was made by the second run"
  end
}

# --- reads the stick fails (the host injects the errors) -------------------

# read_fails WHAT PATH TEXT WAIT: kelmo-map SERIAL PATH meets a read error
# (the kernel says so) and fails with the line TEXT, leaves no kelmo-iso, and
# ends after about WAIT seconds (0: at once), not hanging on the error.
read_fails() {
  local t0 t1 said
  dmesg -c >/dev/null
  t0=$(date +%s)
  kmap "$SERIAL" "$2"
  t1=$(date +%s)
  expect_result "$3" 1
  expect_no_dm
  [ $((t1 - t0)) -ge "$4" ] && [ $((t1 - t0)) -le $(($4 + 30)) ] ||
    problem "ended after $((t1 - t0)) s, want $4 to $(($4 + 30))"
  said=$(dmesg | grep -m1 'I/O error' | sed 's/^\[[^]]*\] //')
  [ -n "$said" ] || problem "no read failed: the kernel logged no I/O error"
  note "$1: ended after $((t1 - t0)) s; kernel: $said"
}

# Reads of a sector of the FAT that ISO B's chain goes through, and of the
# first sector of /isos, fail.
boot_readerr() {
  begin readerr-fat
  read_fails "FAT" "$B_PATH" "$MSG_NO_CLUSTERS" 0
  end
  begin readerr-dir
  read_fails "directory /isos" "$A_PATH" "$(msg_not_found "${A_PATH##*/}")" 0
  end
}

# Reads of the partition's boot sector fail: the partition is never taken.
boot_readboot() {
  begin readerr-boot-sector
  read_fails "boot sector" "$A_PATH" "$MSG_NO_PARTITION" 29
  end
}

# --- a stick pulled out while kelmo-map runs -------------------------------

sd_count() { ls -d /sys/block/sd* 2>/dev/null | wc -l; }
# wait_sd N: N SCSI disks within 20 s.
wait_sd() {
  local i=0
  while [ "$(sd_count)" != "$1" ] && [ $i -lt 100 ]; do
    sleep 0.2
    i=$((i + 1))
  done
  [ "$(sd_count)" = "$1" ]
}
# remove_during DISK LEFT: the host pulls DISK out (it watches for the line)
# while kelmo-map, $PID, runs; then LEFT disks remain, and a run held by
# hold goes on. Then waits up to 90 s for kelmo-map to end, RC its status;
# one still running has hung, and is noted where it waits.
remove_during() {
  local i=0
  echo "KELMO-REMOVE $1"
  wait_sd "$2" || problem "$1 still there after 20 s ($(sd_count) disks)"
  kill -0 "$PID" 2>/dev/null || problem "kelmo-map had ended before $1 was gone"
  rm -f /tmp/held
  while kill -0 "$PID" 2>/dev/null && [ $i -lt 450 ]; do
    sleep 0.2
    i=$((i + 1))
  done
  if kill -0 "$PID" 2>/dev/null; then
    # Under hold, kelmo-map is its child.
    local who=$PID kid
    kid=$(cat "/proc/$PID/task/$PID/children" 2>/dev/null)
    [ -n "$kid" ] && who=${kid%% *}
    problem "kelmo-map still running 90 s after $1 went: $(grep State /proc/$who/status), in $(cat /proc/$who/wchan)"
    note "its stack: $(tr '\n' '|' </proc/$who/stack 2>&1)"
    RC=hung
  else
    wait "$PID"
    RC=$?
  fi
}

# plug DISK: the host plugs the stick in again, as DISK; it is there, with
# its partition, within 20 s.
plug() {
  echo "KELMO-PLUG $1"
  wait_sd 1 || echo "KELMO-NOTE $1 not there after 20 s"
  local i=0
  while ! [ -e /sys/block/sda/sda1 ] && [ $i -lt 100 ]; do
    sleep 0.2
    i=$((i + 1))
  done
}

# In hold's list of kelmo-map's reads of a block device (OFFSET LENGTH
# PATH), the number of the last read of the partition in the FAT (fat) or
# outside it (other).
last_read() {
  awk -v want="$1" -v first="$FAT_FIRST" -v end="$FAT_END" '
    $3 ~ /[0-9]$/ && $3 !~ /^\/dev\/sd[a-z]+$/ {
      in_fat = $1 >= first && $1 < end
      if ((want == "fat") == in_fat) n = NR
    }
    END { print n + 0 }' /tmp/reads
}

# held_run N PATH DISK LINE: kelmo-map run for PATH on the stick, held by
# hold before its read number N (or at its first device-mapper request,
# N = create) while the host pulls DISK out; it must then end with LINE and
# status 1, in time. The page cache is dropped first, so that the reads
# after the hold go to the stick, as a first run's do.
held_run() {
  local i=0 hold_at
  rm -f /tmp/held
  sync
  echo 3 >/proc/sys/vm/drop_caches
  if [ "$1" = create ]; then hold_at=create; else hold_at="read $1"; fi
  # shellcheck disable=SC2086 # hold_at is the mode and its number
  /bin/hold $hold_at /tmp/held -- /bin/kelmo-map "$SERIAL" "$2" >/tmp/out 2>/tmp/err &
  PID=$!
  while ! [ -s /tmp/held ] && kill -0 "$PID" 2>/dev/null && [ $i -lt 300 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  if [ -s /tmp/held ]; then
    note "held before $(cat /tmp/held)"
    remove_during "$3" 0
  else
    problem "kelmo-map never reached the hold ($1)"
    wait "$PID"
    RC=$?
  fi
  expect_result "$4" 1
}

# held_at_last_read fat|other PATH DISK LINE: held_run for PATH, held before
# its last read in the FAT (or outside it) of a first run listed by hold;
# then no kelmo-iso is left.
held_at_last_read() {
  local n
  /bin/hold list /tmp/reads -- /bin/kelmo-map "$SERIAL" "$2" 2>/tmp/err || problem "hold list: $(cat /tmp/err)"
  n=$(last_read "$1")
  if [ "$n" -gt 0 ]; then
    held_run "$n" "$2" "$3" "$4"
  else
    problem "no read of kind $1 in hold's list: $(tr '\n' '|' </tmp/reads)"
  fi
  expect_no_dm
}

# The stick on USB goes (the host pulls it out) while kelmo-map waits for
# a serial it does not have, and while it reads: in a directory on the
# path, in the FAT along the ISO's chain, and after its last read, before
# the device mapper is asked. Each run ends with its line and status 1, and
# leaves no kelmo-iso that maps anything; the host plugs the stick in again
# between them.
boot_gone() {
  load_group usb
  wait_sd 1 || echo "KELMO-NOTE $(sd_count) disks, want 1"

  begin usb-gone-waiting
  local t0
  t0=$(date +%s)
  /bin/kelmo-map DEAD-BEEF "$A_PATH" >/tmp/out 2>/tmp/err &
  PID=$!
  sleep 3
  remove_during disk0 0
  expect_gave_up "$t0"
  end

  plug p1
  begin usb-gone-reading-directory
  held_at_last_read other "$A_PATH" p1 "$(msg_not_found "${A_PATH##*/}")"
  end

  plug p2
  begin usb-gone-reading-fat
  held_at_last_read fat "$B_PATH" p2 "$MSG_NO_CLUSTERS"
  end

  # The walk is done: the device is made, and the kernel refuses its table,
  # whose disk has gone. The device stays, named and without a table, as
  # after any refused table; it maps nothing.
  plug p3
  begin usb-gone-mapping
  held_run create "$B_PATH" p3 "DM_TABLE_LOAD: $ERR_ENXIO"
  [ -z "$(dmsetup_ table kelmo-iso 2>/dev/null)" ] || problem "kelmo-iso has a table: $(dmsetup_ table kelmo-iso)"
  [ -e "$NODE" ] && problem "$NODE was made"
  note "kernel: $(dm_said)"
  end
}

# ISO K, whose chain jumps back over the FAT at every piece, on virtio: the
# device's table has the runs our reader found, in order, and the device is
# the ISO.
boot_backward() {
  begin backward-map
  local got
  kmap
  expect_result "$(msg_iso_mapped "$K_RUNS")" 0
  got=$(dmsetup_ table kelmo-iso 2>&1 | awk '{print $5}' | tr '\n' ' ')
  [ "$got" = "$K_STARTS" ] || problem "table offsets '$got', want '$K_STARTS'"
  check_mapping "$K_SHA" "$K_SIZE" vda1 "$K_README_SHA" "$K_DATA_SHA"
  end
}

# A disk of 4096-byte logical sectors holding an exFAT volume of 4 KiB
# sectors; kernel parameters name ISO C, fragmented, whose size is not whole
# 4 KiB. The device must be the ISO rounded up to whole 4 KiB blocks (the
# kernel refuses a table that is not), the rest of its last block coming
# from the file's last cluster.
boot_sect4k() {
  begin sect4k-disk
  local got
  got=$(cat /sys/block/vda/queue/logical_block_size)
  [ "$got" = 4096 ] || problem "vda has $got-byte logical blocks, want 4096"
  [ -e /sys/class/block/vda1 ] || problem "no partition vda1"
  got=$(od -An -tu1 -j108 -N1 /dev/vda1 | tr -d ' ')
  [ "$got" = 12 ] || problem "BytesPerSectorShift of vda1 is '$got', want 12"
  note "vda: $(cat /sys/block/vda/queue/logical_block_size)-byte blocks; vda1 starts at 512-byte sector $(cat /sys/class/block/vda1/start)"
  end

  begin sect4k-map
  local dm
  [ "$C_RUNS" -gt 1 ] || problem "ISO C has $C_RUNS runs on the stick, want more than 1"
  kmap
  expect_result "$(msg_iso_mapped "$C_RUNS")" 0
  dm=$(dm_named kelmo-iso)
  if [ -b "$NODE" ] && [ -n "$dm" ]; then
    got=$(($(cat "/sys/block/$dm/size") * 512))
    [ "$got" = "$C_DEVICE_SIZE" ] || problem "device size $got bytes, want $C_DEVICE_SIZE (ISO $C_SIZE rounded up to 4 KiB)"
    got=$(cat "/sys/block/$dm/queue/logical_block_size")
    [ "$got" = 4096 ] || problem "device has $got-byte logical blocks, want 4096"
    got=$(ls "/sys/block/$dm/slaves" | tr '\n' ' ')
    [ "$got" = "vda1 " ] || problem "device built on '$got', want vda1"
    got=$(head -c "$C_SIZE" "$NODE" | sha256sum | cut -d' ' -f1)
    [ "$got" = "$C_SHA" ] || problem "first $C_SIZE bytes: sha256 $got, ISO $C_SHA"
    got=$(sha256sum <"$NODE" | cut -d' ' -f1)
    [ "$got" = "$C_DEVICE_SHA" ] || problem "whole device: sha256 $got, want $C_DEVICE_SHA (ISO and the rest of its last cluster)"
    [ "$(blockdev --getro "$NODE")" = 1 ] || problem "blockdev --getro is not 1"
    # The kernel's iso9660 driver takes no device with blocks over 2048
    # bytes, and a device-mapper device has its disk's 4 KiB ones: it is
    # mounted through a loop device, whose blocks are 512 bytes.
    if mount -t iso9660 -o ro "$NODE" /mnt 2>/tmp/mount; then
      note "mounted directly"
      umount /mnt
    else
      note "direct mount refused: $(dmesg | grep ISOFS | tail -n 1 | sed 's/^\[[^]]*\] //')"
    fi
    if losetup -r /dev/loop0 "$NODE" 2>/tmp/losetup; then
      got=$(cat /sys/block/loop0/queue/logical_block_size)
      [ "$got" = 512 ] || note "loop0 has $got-byte blocks"
      check_iso_files /dev/loop0 "$C_README_SHA" "$C_DATA_SHA"
      losetup -d /dev/loop0
    else
      problem "losetup $NODE: $(cat /tmp/losetup)"
    fi
    note "$dm over vda1, $C_DEVICE_SIZE bytes for an ISO of $C_SIZE"
  else
    problem "no block device $NODE over a device-mapper device named kelmo-iso"
    note "kernel: $(dm_said)"
  fi
  end
}

# What demo.sh shows: the run, the device, a file from the mounted ISO.
boot_demo() {
  load_group usb
  echo "KELMO-DEMO # kelmo-map"
  /bin/kelmo-map 2>/tmp/err
  RC=$?
  sed 's/^/KELMO-DEMO /' /tmp/err
  echo "KELMO-DEMO (status $RC)"
  echo "KELMO-DEMO # blockdev --getsize64 $NODE"
  echo "KELMO-DEMO $(blockdev --getsize64 "$NODE") bytes ($(cat "/sys/block/$(dm_named kelmo-iso)/size") sectors in /sys/block/$(dm_named kelmo-iso)/size, built on $(ls "/sys/block/$(dm_named kelmo-iso)/slaves"))"
  echo "KELMO-DEMO # mount -t iso9660 -o ro $NODE /mnt; ls -l /mnt; cat /mnt/README.TXT"
  mount -t iso9660 -o ro "$NODE" /mnt 2>&1 | sed 's/^/KELMO-DEMO /'
  ls -l /mnt 2>&1 | sed 's/^/KELMO-DEMO /'
  cat /mnt/README.TXT 2>&1 | sed 's/^/KELMO-DEMO /'
  umount /mnt
}

# Kernel parameters name ISO C by a quoted path with a space and names beyond
# ASCII, in UTF-8 as a boot loader passes them.
boot_utf8() {
  begin utf8-cmdline-map
  grep -qF "kelmo.iso=\"$U_PATH\"" /proc/cmdline || problem "/proc/cmdline lacks the quoted path: $(cat /proc/cmdline)"
  kmap
  expect_result "$(msg_iso_mapped "$U_RUNS")" 0
  check_mapping "$U_SHA" "$U_SIZE" vda1 "$U_README_SHA" "$U_DATA_SHA"
  end
}

# --- kelmo.usb: the whole stick beside the ISO ------------------------------

USB_NODE=/dev/mapper/kelmo-usb
PERSIST_NODE=/dev/mapper/kelmo-persist

# dmsetup without udev: it makes and removes the /dev/mapper nodes itself.
dmsetup_() { DM_DISABLE_UDEV=1 /bin/dmsetup "$@"; }

# Removes kelmo-usb, kelmo-persist and kelmo-iso, so the next run starts
# from nothing.
dm_clear() {
  local name
  for name in kelmo-usb kelmo-persist kelmo-iso; do
    dmsetup_ info "$name" >/dev/null 2>&1 || continue
    dmsetup_ remove "$name" 2>/tmp/dmsetup || problem "dmsetup remove $name: $(cat /tmp/dmsetup)"
  done
  rm -f "$NODE" "$USB_NODE" "$PERSIST_NODE"
}

# kmap with /proc/cmdline reading $1 instead of the kernel's command line.
kmap_cmdline() {
  printf '%s\n' "$1" >/tmp/cmdline
  shift
  mount --bind /tmp/cmdline /proc/cmdline
  kmap "$@"
  umount /proc/cmdline
}

expect_no_usb() {
  [ -z "$(dm_named kelmo-usb)" ] || problem "a kelmo-usb device exists: $(dm_named kelmo-usb)"
  [ -e "$USB_NODE" ] && problem "$USB_NODE exists"
}

# check_usb_device ro|rw PARTITION: kelmo-usb is PARTITION whole, sector for
# sector, as the kernel shows it, and its read-only state is ro's or rw's.
check_usb_device() {
  local access=$1 part=$2 dm got want
  mapped_as "$USB_NODE" kelmo-usb || return
  dm=$DM
  want=$(cat "/sys/class/block/$part/size")
  got=$(cat "/sys/block/$dm/size")
  [ "$got" = "$want" ] || problem "kelmo-usb has $got sectors, $part $want"
  got=$(blockdev --getsize64 "$USB_NODE")
  [ "$got" = "$((want * 512))" ] || problem "BLKGETSIZE64 of kelmo-usb $got, want $((want * 512))"
  got=$(ls "/sys/block/$dm/slaves" | tr '\n' ' ')
  [ "$got" = "$part " ] || problem "kelmo-usb built on '$got', want $part"
  got=$(dmsetup_ table kelmo-usb 2>&1)
  [ "$got" = "0 $want linear $(cat "/sys/class/block/$part/dev") 0" ] || problem "table '$got'"
  note "table: $got"
  cmp "$USB_NODE" "/dev/$part" >/tmp/cmp 2>&1 || problem "kelmo-usb differs from $part: $(cat /tmp/cmp)"
  local ro mode
  case $access in
    ro) ro=1 mode=400 ;;
    rw) ro=0 mode=600 ;;
  esac
  got=$(stat -c %a "$USB_NODE")
  [ "$got" = "$mode" ] || problem "node mode $got, want $mode"
  got=$(cat "/sys/block/$dm/ro")
  [ "$got" = "$ro" ] || problem "sysfs ro $got, want $ro"
  # BLKROGET
  got=$(blockdev --getro "$USB_NODE")
  [ "$got" = "$ro" ] || problem "blockdev --getro $got, want $ro"
  note "$dm over $part, $want sectors, ro=$got"
}

# ISO A and kelmo-usb read-only; then other kelmo.usb values, the run from
# arguments, and a kelmo-usb that cannot be made, each from a clean slate.
boot_stickro() {
  begin usb-ro-map
  kmap
  expect_two_lines "$(msg_iso_mapped "$A_RUNS")" "$(msg_usb_mapped ro)" 0
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  end

  begin usb-ro-device
  check_usb_device ro vda1
  # A write the device took would reach the stick: the host compares its hash.
  head -c 512 /dev/urandom >/tmp/block
  if dd if=/tmp/block of="$USB_NODE" bs=512 count=1 conv=notrunc,fsync 2>/tmp/dd; then
    problem "writing to $USB_NODE succeeded"
  else
    grep -q 'Operation not permitted' /tmp/dd || problem "write refused, but not with EPERM: $(cat /tmp/dd)"
    note "dd: $(grep -v records /tmp/dd | tr '\n' ' ')"
  fi
  cmp "$USB_NODE" /dev/vda1 >/dev/null 2>&1 || problem "kelmo-usb changed"
  end

  begin usb-ro-mount
  load_group exfat
  if mount -t exfat -o ro "$USB_NODE" /mnt 2>/tmp/mount; then
    note "ls: $(ls /mnt | tr '\n' '|')"
    grep -q "^$USB_NODE /mnt exfat ro," /proc/mounts || problem "not mounted read-only: $(grep ' /mnt ' /proc/mounts)"
    [ "$(sha256sum </mnt/isos/kelmo.iso | cut -d' ' -f1)" = "$A_SHA" ] || problem "isos/kelmo.iso read through kelmo-usb differs"
    [ "$(sha256sum <"/mnt$B_PATH" | cut -d' ' -f1)" = "$B_SHA" ] || problem "$B_PATH read through kelmo-usb differs"
    if touch /mnt/isos/novo.txt 2>/tmp/touch; then
      problem "created a file on the read-only mount"
    else
      note "touch: $(cat /tmp/touch)"
    fi
    # Both devices read the same sectors at once.
    [ "$(sha256sum <"$NODE" | cut -d' ' -f1)" = "$A_SHA" ] || problem "kelmo-iso differs while kelmo-usb is mounted"
    umount /mnt
  else
    problem "mount -t exfat: $(cat /tmp/mount)"
  fi
  end

  # Only "rw", exactly, makes a writable kelmo-usb; any other value, empty
  # included, a read-only one; without the key, or in a run from arguments,
  # there is none.
  begin usb-values
  local keys="kelmo.uuid=$SERIAL kelmo.iso=$A_PATH" value access got
  for value in rw RW "" rwx yes; do
    dm_clear
    kmap_cmdline "$keys kelmo.usb=$value"
    access=ro
    [ "$value" = rw ] && access=rw
    expect_two_lines "$(msg_iso_mapped "$A_RUNS")" "$(msg_usb_mapped $access)" 0
    got=$(cat "/sys/block/$(dm_named kelmo-usb)/ro" 2>&1)
    [ "$got" = "$([ $access = ro ] && echo 1 || echo 0)" ] || problem "kelmo.usb=$value: kelmo-usb is not $access"
    note "kelmo.usb=$value: ro=$got"
  done
  dm_clear
  kmap_cmdline "$keys"
  expect_result "$(msg_iso_mapped "$A_RUNS")" 0
  expect_no_usb
  dm_clear
  kmap_cmdline "kelmo.usb=rw" "$SERIAL" "$A_PATH"
  expect_result "$(msg_iso_mapped "$A_RUNS")" 0
  expect_no_usb
  dm_clear
  kmap_cmdline "kelmo.usb=rw"
  expect_result "$MSG_NO_KEYS" 0
  expect_no_usb
  expect_no_dm
  end

  # The name kelmo-usb is taken: the ISO stays mapped, one more line says
  # why there is no kelmo-usb, and the run still succeeds.
  begin usb-taken
  expect_name_taken kelmo-usb "$MSG_USB_STAGE" "kelmo.uuid=$SERIAL kelmo.iso=$A_PATH kelmo.usb=rw"
  end

  # The ISO's mapping fails: then there is no kelmo-usb either, whether the
  # path is not there or the name kelmo-iso is taken.
  begin usb-after-missing-iso
  dm_clear
  kmap_cmdline "kelmo.uuid=$SERIAL kelmo.iso=/isos/nada.iso kelmo.usb=rw"
  expect_result "$(msg_not_found nada.iso)" 1
  expect_no_usb
  expect_no_dm
  end

  begin usb-after-iso-taken
  dm_clear
  dmsetup_ create kelmo-iso --table "0 8 error" 2>/tmp/dmsetup || problem "dmsetup create: $(cat /tmp/dmsetup)"
  kmap_cmdline "kelmo.uuid=$SERIAL kelmo.iso=$A_PATH kelmo.usb=rw"
  expect_result "DM_DEV_CREATE: $ERR_EBUSY" 1
  expect_no_usb
  got=$(dmsetup_ table kelmo-iso 2>&1 | sed 's/ *$//')
  [ "$got" = "0 8 error" ] || problem "the existing kelmo-iso changed: $got"
  end
}

# expect_name_taken NAME STAGE CMDLINE: with a device NAME there already,
# a run on CMDLINE maps ISO A, says after its line that STAGE's device could
# not be created, ends with status 0, and leaves NAME as it was.
expect_name_taken() {
  local got
  dm_clear
  dmsetup_ create "$1" --table "0 8 error" 2>/tmp/dmsetup || problem "dmsetup create: $(cat /tmp/dmsetup)"
  kmap_cmdline "$3"
  expect_two_lines "$(msg_iso_mapped "$A_RUNS")" "${2}DM_DEV_CREATE: $ERR_EBUSY" 0
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  got=$(dmsetup_ table "$1" 2>&1 | sed 's/ *$//')
  [ "$got" = "0 8 error" ] || problem "the existing $1 changed: $got"
  note "kernel: $(dm_said)"
}

# ISO B and kelmo-usb writable: a file written through it lands on the stick
# (the host checks the image afterwards), and the ISO does not change.
boot_stickrw() {
  begin usb-rw-map
  kmap
  expect_two_lines "$(msg_iso_mapped "$B_RUNS")" "$(msg_usb_mapped rw)" 0
  check_mapping "$B_SHA" "$B_SIZE" vda1 "$B_README_SHA" "$B_DATA_SHA"
  end

  begin usb-rw-device
  check_usb_device rw vda1
  end

  begin usb-rw-write
  load_group exfat
  if mount -t exfat "$USB_NODE" /mnt 2>/tmp/mount; then
    grep -q "^$USB_NODE /mnt exfat rw," /proc/mounts || problem "not mounted writable: $(grep ' /mnt ' /proc/mounts)"
    mkdir -p "/mnt$USB_WRITTEN_DIR" && cp /bin/kelmo-map "/mnt$USB_WRITTEN" || problem "could not write $USB_WRITTEN"
    sync
    # Each device has its own page cache: read kelmo-iso from the stick.
    blockdev --flushbufs "$NODE"
    [ "$(sha256sum <"$NODE" | cut -d' ' -f1)" = "$B_SHA" ] || problem "kelmo-iso changed while writing"
    [ "$(sha256sum <"/mnt$B_PATH" | cut -d' ' -f1)" = "$B_SHA" ] || problem "$B_PATH read through kelmo-usb differs"
    umount /mnt || problem "umount failed"
    note "wrote $USB_WRITTEN ($(stat -c %s /bin/kelmo-map) bytes)"
  else
    problem "mount -t exfat: $(cat /tmp/mount)"
  fi
  local dev
  for dev in "$NODE" "$USB_NODE" /dev/vda1; do blockdev --flushbufs "$dev"; done
  [ "$(sha256sum <"$NODE" | cut -d' ' -f1)" = "$B_SHA" ] || problem "kelmo-iso changed"
  cmp "$USB_NODE" /dev/vda1 >/dev/null 2>&1 || problem "kelmo-usb and vda1 differ after the write"
  end
}

# --- kelmo.persist: a writable file beside the ISO --------------------------

# expect_result for the three lines of a run with kelmo.persist= and
# kelmo.usb=, on one console line.
expect_three_lines() {
  { msg_line "$1"; msg_line "$2"; msg_line "$3"; } >/tmp/want
  expect_said "$4"
  PROBLEMS=$(printf '%s' "$PROBLEMS" | tr '\n' '|')
}

expect_no_persist() {
  [ -z "$(dm_named kelmo-persist)" ] || problem "a kelmo-persist device exists: $(dm_named kelmo-persist)"
  [ -e "$PERSIST_NODE" ] && problem "$PERSIST_NODE exists"
}

# check_persist_device PARTITION: kelmo-persist is the persistence file over
# PARTITION, run for run, writable, with its bytes.
check_persist_device() {
  local part=$1 dm got want position=0 run dev
  mapped_as "$PERSIST_NODE" kelmo-persist || return
  dm=$DM
  got=$(($(cat "/sys/block/$dm/size") * 512))
  [ "$got" = "$P_SIZE" ] || problem "kelmo-persist has $got bytes, the file $P_SIZE"
  dev=$(cat "/sys/class/block/$part/dev")
  want=
  for run in $P_EXTENTS; do
    want="$want$position ${run#*+} linear $dev ${run%+*}
"
    position=$((position + ${run#*+}))
  done
  got=$(dmsetup_ table kelmo-persist 2>&1 | sed 's/ *$//')
  [ "$got" = "${want%?}" ] || problem "table '$(echo "$got" | tr '\n' '|')', want '$(printf '%s' "$want" | tr '\n' '|')'"
  [ "$(stat -c %a "$PERSIST_NODE")" = 600 ] || problem "node mode $(stat -c %a "$PERSIST_NODE"), want 600"
  [ "$(cat "/sys/block/$dm/ro")" = 0 ] || problem "sysfs ro is not 0"
  [ "$(blockdev --getro "$PERSIST_NODE")" = 0 ] || problem "blockdev --getro is not 0"
  got=$(sha256sum <"$PERSIST_NODE" | cut -d' ' -f1)
  [ "$got" = "$P_SHA" ] || problem "kelmo-persist sha256 $got, the file $P_SHA"
  note "$dm over $part in $P_RUNS runs, $P_SIZE bytes"
}

# The kernel's command line names a persistence file that is not there, with
# kelmo.usb=rw; then the real one, a write through it, the ISO itself as the
# file, and a kelmo-persist that exists already, each from a clean slate.
boot_persist() {
  begin persist-missing
  kmap
  expect_three_lines "$(msg_iso_mapped "$A_RUNS")" "$MSG_PERSIST_STAGE$(msg_not_found nada.img)" \
    "$(msg_usb_mapped persist)" 0
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  expect_no_persist
  check_usb_device ro vda1
  end

  local keys="kelmo.uuid=$SERIAL kelmo.iso=$A_PATH kelmo.persist=\"$P_PATH\""
  begin persist-map
  dm_clear
  kmap_cmdline "$keys kelmo.usb=rw"
  expect_three_lines "$(msg_iso_mapped "$A_RUNS")" "$(msg_persist_mapped "$P_RUNS")" "$(msg_usb_mapped persist)" 0
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  check_persist_device vda1
  check_usb_device ro vda1
  end

  # ISO A's first 1 MiB over the whole file, every run; the host finds it in
  # the file on the stick.
  begin persist-write
  # Into the device only: dd would make a plain file where no node is.
  if mapped_as "$PERSIST_NODE" kelmo-persist; then
    if dd if="$NODE" of="$PERSIST_NODE" bs=65536 count=16 conv=fsync 2>/tmp/dd; then
      local dev
      for dev in "$NODE" "$PERSIST_NODE" /dev/vda1; do blockdev --flushbufs "$dev"; done
      [ "$(sha256sum <"$PERSIST_NODE" | cut -d' ' -f1)" = "$P_WRITTEN_SHA" ] || problem "kelmo-persist does not read back what was written"
      [ "$(sha256sum <"$NODE" | cut -d' ' -f1)" = "$A_SHA" ] || problem "kelmo-iso changed"
    else
      problem "writing to $PERSIST_NODE: $(cat /tmp/dd)"
    fi
  fi
  end

  begin persist-iso
  dm_clear
  kmap_cmdline "kelmo.uuid=$SERIAL kelmo.iso=$A_PATH kelmo.persist=/ISOS/KELMO.ISO"
  expect_two_lines "$(msg_iso_mapped "$A_RUNS")" "$MSG_PERSIST_STAGE$MSG_SHARES_ISO" 0
  check_mapping "$A_SHA" "$A_SIZE" vda1 "$A_README_SHA" "$A_DATA_SHA"
  expect_no_persist
  end

  begin persist-taken
  expect_name_taken kelmo-persist "$MSG_PERSIST_STAGE" "$keys"
  end
}
