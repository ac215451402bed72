#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Host tests of `kelmo-map --test` on exFAT volumes made by mkfs.exfat and
# filled through exfat-fuse: the printed runs are read back with dd and must
# give the files' bytes exactly.
#   test_run.sh PATH_TO_KELMO_MAP
# Needs root (loop devices, FUSE mounts, a mount namespace); exits 77 (skip)
# without it or without a tool, or 1 when KELMO_NO_SKIP is set (the test
# command, tools/check.sh, sets it: there a skip is a failure).
set -euo pipefail

BIN=$(realpath "$1")
unset KELMO_MAP_OFFSET
HOST_DIR=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=skip.sh
source "$HOST_DIR/skip.sh"

# Root and the tools, the libraries, the work directory $T, the C library's
# error texts.
test_setup() {
  [[ $EUID -eq 0 ]] || skip "needs root for loop devices and FUSE mounts"
  local tool
  for tool in mkfs.exfat tune.exfat mount.exfat-fuse losetup blkid blockdev sfdisk mkfs.ext2 unshare; do
    command -v "$tool" >/dev/null || skip "$tool not installed"
  done
  # shellcheck source=../errors.sh
  source "$HOST_DIR/../errors.sh"
  error_texts "$BIN"
  # shellcheck source=../lib/results.sh
  source "$HOST_DIR/../lib/results.sh"
  # shellcheck source=../lib/images.sh
  source "$HOST_DIR/../lib/images.sh"
  T=$(mktemp -d)
  TMP_PATHS+=("$T")
  SUMMARY_REQUIRED=1  # a setup step that failed under set -e ends the run before the summary
  # shellcheck source=program.sh
  source "$HOST_DIR/program.sh"
}

# These tools open the device exclusively, and a FUSE daemon just unmounted
# or another program probing block devices may still hold it for a moment.
exclusive() {  # exclusive COMMAND...: retried while the device is busy
  local i a
  for ((i = 0; i < 20; i++)); do
    "$@" >/dev/null 2>"$T/exclusive.log" && return 0
    sleep 0.5
  done
  cat "$T/exclusive.log" >&2
  for a in "$@"; do
    if [[ $a == /dev/* ]]; then
      echo "$a: holders: $(ls "/sys/class/block/${a#/dev/}/holders"); openers:" >&2
      ps -o pid=,args= -p "$(fuser "$a" 2>/dev/null | tr -s ' ' ,)" >&2 || true
    fi
  done
  return 1
}

mount_fuse() {  # mount_fuse DEVICE DIR
  mkdir -p "$2"
  mount_track "$2"
  exclusive mount.exfat-fuse "$1" "$2"
}

le32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }

put_le32() {  # put_le32 FILE OFFSET VALUE
  local hex
  hex=$(printf %08x "$3")
  printf %b "\\x${hex:6:2}\\x${hex:4:2}\\x${hex:2:2}\\x${hex:0:2}" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# BytesPerSectorShift + SectorsPerClusterShift.
cluster_size() { echo $((1 << ($(od -An -tu1 -j108 -N1 "$1") + $(od -An -tu1 -j109 -N1 "$1")))); }

# --- the program and its output (and program.sh) --------------------------

failed_silently() { [[ $rc -eq 1 && ! -s $T/out && ! -s $T/err ]]; }

printed() { [[ $rc -eq 0 && ! -s $T/err ]] && printf '%s\n' "$1" | cmp -s - "$T/out"; }

# Header and run lines well formed, the length as given, the runs whole
# clusters covering exactly the clusters the length needs, no two runs that
# should have been one.
runs_cover() {  # runs_cover LENGTH CLUSTER_SIZE
  [[ $rc -eq 0 && ! -s $T/err ]] || return 1
  awk -v len="$1" -v cs="$2" '
    NR == 1 {
      if ($0 !~ /^tamanho=[0-9]+ nofat=[01] trechos=[0-9]+$/) bad = 1
      split($0, f, /[= ]/); size = f[2]; n = f[6]; next
    }
    $0 !~ /^  setor [0-9]+  \+[0-9]+$/ { bad = 1; next }
    {
      start = $2; count = substr($3, 2)
      if (count == 0 || count % (cs / 512) || (runs && start == end)) bad = 1
      end = start + count; total += count; runs++
    }
    END { exit !(NR && !bad && size == len && runs == n && total * 512 == int((len + cs - 1) / cs) * cs) }
  ' "$T/out"
}

is_contiguous() { [[ $rc -eq 0 && $(field nofat) == 1 && $(field trechos) == 1 ]]; }
no_runs() { [[ $rc -eq 0 && ! -s $T/err ]] && grep -Eqx 'tamanho=0 nofat=[01] trechos=0' "$T/out"; }

same_bytes() {  # same_bytes SOURCE BASE EXPECTED
  assemble "$1" "$2" "$T/assembled" && cmp -s "$T/assembled" "$3"
}

# A directory's runs hold its children's names (UTF-16LE, so NULs dropped).
holds_name() {  # holds_name DEVICE NAME
  assemble "$1" 0 "$T/assembled" && tr -d '\0' <"$T/assembled" | grep -qF "$2"
}

# --- filling volumes through FUSE ------------------------------------------

put() {  # put VOLDIR PATH SIZE KIND: random bytes, written in one go
  head -c "$3" /dev/urandom >"$1/m/$2"
  printf '%s|%s\n' "$2" "$4" >>"$1/files"
}

# Appending to two files in turns makes each take every other cluster.
interleave() {  # interleave VOLDIR CHUNK ROUNDS PATH1 PATH2
  local i
  for ((i = 0; i < $3; i++)); do
    head -c "$2" /dev/urandom >>"$1/m/$4"
    head -c "$2" /dev/urandom >>"$1/m/$5"
  done
  printf '%s|fragmented\n' "$4" "$5" >>"$1/files"
}

# Unmounts (the daemon writes everything back), then keeps each file as read
# back through a fresh mount, so the comparison is with what is on disk.
read_back() {  # read_back VOLDIR DEVICE
  local p kind n=0
  umount "$1/m"
  mount_fuse "$2" "$1/m"
  mkdir -p "$1/back"
  while IFS='|' read -r -u 3 p kind; do
    n=$((n + 1))
    cp "$1/m/$p" "$1/back/$n"
  done 3<"$1/files"
  umount "$1/m"
  blockdev --flushbufs "$2"  # so the image file behind the loop device agrees
}


# check_files VOLDIR DEVICE CLUSTER_SIZE LABEL [--swap-case] [--sectors] |
#             VOLDIR DEVICE CLUSTER_SIZE LABEL --disk OFFSET FORM...
# Each file VOLDIR's list names (put, interleave), looked up on DEVICE: its
# runs cover its size read back in whole clusters, and the bytes at them are
# the file's. A volume by itself (DEVICE is VOLDIR/img on a loop device): the
# file's kind holds, and the image file gives the same output; names looked
# up on the device with their case swapped (--swap-case); clusters of
# 512-byte sectors said (--sectors). A partition at byte OFFSET of the disk
# VOLDIR/img (--disk): the whole disk gives the same runs with
# KELMO_MAP_OFFSET written each FORM way, and the bytes are read from it.
check_files() {
  local d=$1 dev=$2 cs=$3 label=$4 swap=0 covered="" disk=0 offset=0 forms=()
  shift 4
  while (($#)); do
    case $1 in
      --swap-case) swap=1 covered=" (name case swapped)" ;;
      --sectors) covered=" of 512-byte sectors" ;;
      --disk) disk=1 offset=$2 forms=("${@:3}"); break ;;
    esac
    shift
  done
  local n=0 p kind what size name form
  while IFS='|' read -r -u 3 p kind; do
    n=$((n + 1))
    what="$label${p/"$long"/<long name> }"
    size=$(stat -c %s "$d/back/$n")
    name=$p
    ((swap)) && name=$(tr 'a-zA-Z' 'A-Za-z' <<<"$p")
    kel "$dev" "$name"
    if ((disk)); then
      cp "$T/out" "$T/out.part"
      check "$what: runs on the partition cover the file" runs_cover "$size" "$cs"
      for form in "${forms[@]}"; do
        KELMO_MAP_OFFSET=$form kel "$d/img" "$p"
        check "$what: same runs on the whole disk, KELMO_MAP_OFFSET=$form" succeeded_as "$T/out.part"
      done
      check "$what: bytes at offset + runs equal the file" same_bytes "$d/img" "$offset" "$d/back/$n"
      continue
    fi
    check "$what: runs cover $size bytes in whole clusters$covered" runs_cover "$size" "$cs"
    case $kind in
      contiguous) check "$what: one run, nofat=1" is_contiguous ;;
      fragmented) check "$what: fragmented, nofat=0, $(field trechos) runs" is_fragmented ;;
    esac
    check "$what: bytes read at the runs equal the file" same_bytes "$dev" 0 "$d/back/$n"
    cp "$T/out" "$T/out.dev"
    kel "$d/img" "$p"
    check "$what: same output from the image file" succeeded_as "$T/out.dev"
  done 3<"$d/files"
}

# Many's next cluster is taken by the time it grows: entry sets of ~120-unit
# names overflow its first cluster, and the last member lands in another,
# apart; the last member is the last file of VOLDIR's list.
long=$(printf 'Member of a directory that grows past its first cluster %.0s' 1 2)
grow_many() {  # grow_many VOLDIR CLUSTER_SIZE
  local i members=$(($2 / 288 + 2))
  for ((i = 1; i < members; i++)); do : >"$1/m/Many/$long$i"; done
  put "$1" "Many/$long$members" 700 any
}

# --- volumes of 4 KiB and 32 KiB clusters ----------------------------------

declare -A DEV LAST  # per cluster size: loop device, last member of Many
declare -A PART  # per disk, by the partition's first sector: its loop device

test_volumes() {
  local cs d k dev
  for cs in 4096 32768; do
    d=$T/v$cs
    k="$((cs / 1024))K"
    mkdir -p "$d"
    truncate -s 64M "$d/img"
    loop_attach dev "$d/img"
    DEV[$cs]=$dev
    exclusive mkfs.exfat -c "$k" "$dev"
    mount_fuse "$dev" "$d/m"
    # Written first, on the empty volume: one run, no FAT chain.
    put "$d" Big.Iso $((40 * cs + 777)) contiguous
    mkdir -p "$d/m/Alpha/Beta Gamma/Delta" "$d/m/Many"
    put "$d" "Alpha/Beta Gamma/Delta/Deep File.TXT" $((2 * cs + 123)) any
    put "$d" "Alpha/A Rather Long Name, Over Fifteen Units.Dat" 1000 any
    interleave "$d" $((cs + 333)) 6 "Alpha/Frag One.bin" "Frag Two.BIN"
    grow_many "$d" "$cs"
    LAST[$cs]=$(tail -n 1 "$d/files" | cut -d'|' -f1)
    # Deleted last, so its entry set stays in Alpha, marked not in use.
    head -c 2000 /dev/urandom >"$d/m/Alpha/Ghost.bin"
    rm "$d/m/Alpha/Ghost.bin"
    read_back "$d" "$dev"

    check_files "$d" "$dev" "$cs" "$k " --swap-case

    kel "$dev" "/ALPHA//beta gamma/"
    cp "$T/out" "$T/out.dev"
    check "$k directory path: its own runs, whole clusters" runs_cover "$(field tamanho)" "$cs"
    check "$k directory path: the runs hold the entry named Delta" holds_name "$dev" Delta
    kel "$dev" "Alpha/Beta Gamma"
    check "$k directory path: same output without the extra slashes" succeeded_as "$T/out.dev"
    kel "$dev" Many
    check "$k directory Many is fragmented" is_fragmented
    kel "$dev" "Many/${long}1"
    check "$k empty file: no runs" no_runs
  done
}

# --- failures and edge paths, on the 4 KiB volume --------------------------

test_paths() {
  local dev=${DEV[4096]} p
  for p in "" "/" "//"; do
    kel "$dev" "$p"
    check "path '$p' prints the empty root" printed "tamanho=0 nofat=0 trechos=0"
  done

  kel "$dev" Alpha
  check "deleted Alpha/Ghost.bin: its name still in Alpha's entries" holds_name "$dev" Ghost.bin
  for p in nope Alpha/nope Big.Is Big.Isoo nope/Big.Iso "Alpha/Beta Gamma/Delta/Deep File.TX" "Many/${long}999" \
    Alpha/Ghost.bin; do
    kel "$dev" "$p"
    check "missing '${p/"$long"/<long name> }': $MSG_NOT_FOUND" failed_with "$MSG_NOT_FOUND"
  done
}

test_not_exfat() {
  local what src
  truncate -s 1M "$T/zeros"
  truncate -s 4M "$T/ext2"
  mkfs.ext2 -q -F "$T/ext2"
  head -c 100 "$T/v4096/img" >"$T/short"  # exFAT name, but no whole boot sector
  while IFS='|' read -r what src; do
    kel "$src" Big.Iso
    check "$what: $MSG_NOT_EXFAT" failed_with "$MSG_NOT_EXFAT"
  done <<END
zeros|$T/zeros
ext2 image|$T/ext2
first 100 bytes of an exFAT volume|$T/short
a directory|$T
nonexistent path|$T/does-not-exist
END
}

# Broken chains, patched into the FAT of a copy of the 4 KiB volume at the
# entry of the last cluster of the first run (the link to the second run).
run_cluster() {  # run_cluster N: first cluster of run N of the last output
  local start
  read -r _ start _ < <(sed -n "$(($1 + 1))p" "$T/out")
  echo $(((start - heap) / spc + 2))
}
# Sets $link to the byte offset of that FAT entry; fails unless it links them.
find_link() {
  local start count
  is_fragmented || return 1
  read -r _ start count < <(sed -n 2p "$T/out")
  link=$((fat * 512 + 4 * ((start + ${count#+} - spc - heap) / spc + 2)))
  [[ $(le32 "$T/broken" "$link") == "$(run_cluster 2)" ]]
}
test_broken_chains() {
  local fat heap spc link saved value what p
  cp --sparse=always "$T/v4096/img" "$T/broken"
  fat=$(le32 "$T/broken" 80)
  heap=$(le32 "$T/broken" 88)
  spc=$(($(cluster_size "$T/broken") / 512))

  kel "$T/broken" "Alpha/Frag One.bin"
  cp "$T/out" "$T/out.good"
  check "broken chain: the file's FAT links run 1 to run 2" find_link
  if [[ $ok -eq 1 ]]; then
    saved=$(le32 "$T/broken" "$link")
    while IFS='|' read -r value what; do
      put_le32 "$T/broken" "$link" "$value"
      kel "$T/broken" "Alpha/Frag One.bin"
      check "broken chain, link $what: status 1, nothing printed" failed_silently
    done <<END
0|free (0)
0xFFFFFFFF|end of chain, too early
$(run_cluster 1)|back to the first cluster
END
    put_le32 "$T/broken" "$link" "$saved"
    kel "$T/broken" "Alpha/Frag One.bin"
    check "broken chain restored: same output as before" succeeded_as "$T/out.good"
  fi

  kel "$T/broken" Many
  check "broken directory: Many's FAT links run 1 to run 2" find_link
  if [[ $ok -eq 1 ]]; then
    put_le32 "$T/broken" "$link" 0
    # Both the member in the part still linked and the one cut off.
    for p in "Many/${long}1" "${LAST[4096]}"; do
      kel "$T/broken" "$p"
      check "directory on the way with a broken chain, ${p/"$long"/<long name> }: $MSG_NOT_FOUND" \
        failed_with "$MSG_NOT_FOUND"
    done
  fi
}

# --- volumes with 4096-byte sectors: 4 KiB, 32 KiB and 1 MiB clusters ------
# Formatted on loop devices of 4096-byte logical blocks, as on a disk that
# has them. The boot sector counts 4 KiB sectors; the printed runs still
# count 512-byte ones, so dd at start * 512 reads the file.

test_sector4k_volumes() {
  local cs d k dev4k
  for cs in 4096 32768 1048576; do
    d=$T/s4k$cs
    k="$((cs / 1024))K"
    mkdir -p "$d"
    truncate -s 96M "$d/img"
    loop_attach dev4k -b 4096 "$d/img"
    exclusive mkfs.exfat -c "$k" "$dev4k"
    check "4K sectors, $k clusters: exFAT to blkid, BytesPerSectorShift 12, cluster size $cs" \
      test "$(blkid -c /dev/null -o value -s TYPE "$dev4k")|$(od -An -tu1 -j108 -N1 "$dev4k" | tr -d ' ')|$(cluster_size "$dev4k")" = "exfat|12|$cs"
    mount_fuse "$dev4k" "$d/m"
    put "$d" Big.Iso $((3 * cs + 777)) contiguous
    mkdir -p "$d/m/Alpha/Beta Gamma"
    put "$d" "Alpha/Beta Gamma/Deep File.TXT" $((cs + 123)) any
    put "$d" "Alpha/Small.txt" 1000 any
    ((cs > 32768)) || mkdir "$d/m/Many"
    interleave "$d" $((cs + 333)) 4 "Alpha/Frag One.bin" "Frag Two.BIN"
    # A directory grown past its first cluster, its next one taken, as above.
    ((cs > 32768)) || grow_many "$d" "$cs"
    read_back "$d" "$dev4k"

    check_files "$d" "$dev4k" "$cs" "4K sectors, $k clusters, " --sectors

    kel "$dev4k" "alpha/BETA GAMMA"
    check "4K sectors, $k clusters, directory path: the runs hold the entry named Deep File.TXT" \
      holds_name "$dev4k" "Deep File.TXT"
    if ((cs <= 32768)); then
      kel "$dev4k" Many
      check "4K sectors, $k clusters: directory Many is fragmented" is_fragmented
    fi
    kel "$dev4k" Alpha/nope
    check "4K sectors, $k clusters: missing file, $MSG_NOT_FOUND" failed_with "$MSG_NOT_FOUND"
  done
}

# A whole disk of 4096-byte sectors: the partition table counts them too.
test_sector4k_disk() {
  local d=$T/disk4k dev4k part start size offset
  mkdir -p "$d"
  truncate -s 80M "$d/img"
  loop_attach dev4k -b 4096 "$d/img"
  echo "start=300, type=7" | exclusive sfdisk -q "$dev4k"
  read -r start size < <(partitions "$dev4k")
  offset=$((start * 4096))
  loop_attach part -b 4096 -o "$offset" --sizelimit $((size * 4096)) "$d/img"
  exclusive mkfs.exfat -c 32K "$part"
  mount_fuse "$part" "$d/m"
  put "$d" "Kelmo Live.iso" $((300 * 1024 + 1)) contiguous
  interleave "$d" 50000 4 a.bin b.bin
  read_back "$d" "$part"
  check_files "$d" "$part" 32768 "4K disk, partition at 4 KiB sector $start, " --disk "$offset" "$offset"
}

# --- whole-disk images, the volume in a partition --------------------------

test_partitioned_disks() {
  local first d start size offset part cs form
  for first in 2048 4097; do
    d=$T/disk$first
    mkdir -p "$d"
    disk_with_partition "$d/img" 80M "$first"
    start=$PART_START size=$PART_SECTORS
    offset=$((start * 512))
    loop_attach part -o "$offset" --sizelimit $((size * 512)) "$d/img"
    PART[$first]=$part
    exclusive mkfs.exfat "$part"
    cs=$(cluster_size "$part")
    mount_fuse "$part" "$d/m"
    mkdir "$d/m/ISO"
    put "$d" "ISO/Kelmo Live.iso" $((300 * 1024 + 1)) contiguous
    interleave "$d" 5000 5 "ISO/a.bin" "ISO/b.bin"
    read_back "$d" "$part"

    check_files "$d" "$part" "$cs" "disk, partition at sector $start, " \
      --disk "$offset" "$offset" "$(printf 0x%x "$offset")" "$(printf 0%o "$offset")"
    kel "$part" "ISO/a.bin"
    check "disk, partition at sector $start: the interleaved file is fragmented" is_fragmented
    kel "$d/img" "ISO/Kelmo Live.iso"
    check "disk, partition at sector $start: no offset, $MSG_NOT_EXFAT" failed_with "$MSG_NOT_EXFAT"
    KELMO_MAP_OFFSET=$((offset + 512)) kel "$d/img" "ISO/Kelmo Live.iso"
    check "disk, partition at sector $start: offset one sector off, $MSG_NOT_EXFAT" failed_with "$MSG_NOT_EXFAT"
  done
  # Offsets past the end of the image, up to where position + offset wraps.
  for form in 0x10000000000 18446744073709551615 -512 99999999999999999999999; do
    KELMO_MAP_OFFSET=$form kel "$d/img" "ISO/Kelmo Live.iso"
    check "disk: KELMO_MAP_OFFSET=$form is past the end, $MSG_NOT_EXFAT" failed_with "$MSG_NOT_EXFAT"
  done
}

# --- volume serial: "%04X-%04X", high half first, as blkid shows it -------
# (Not 1A2B-3C4D: the boot-run tests look for that one.)

# A boot run (serial and path as arguments) in a private mount namespace
# whose one block device, sdb1, is DEVICE. /dev/mapper/control is there
# already as /dev/null's node (1:3), so a run that accepts the volume ends at
# its first device-mapper request, and the host's device mapper is never
# asked. Leaves $T/NAME.out, .err and .rc.
boot_run() {  # boot_run DEVICE NAME SERIAL PATH
  unshare -m --propagation private bash -c '
    set -e
    mount -t tmpfs kelmo-sysfs /sys/class/block
    mount -t tmpfs kelmo-dev /dev
    mkdir /sys/class/block/sdb1 /dev/mapper
    echo "$1" >/sys/class/block/sdb1/dev
    mknod -m 0600 /dev/mapper/control c 1 3
    rc=0
    "$2" "$3" "$4" >"$5.out" 2>"$5.err" 0<&- || rc=$?
    echo "$rc" >"$5.rc"' _ "$(cat "/sys/class/block/${1#/dev/}/dev")" "$BIN" "$3" "$4" "$T/$2"
}
# The result of boot run NAME, where check and failed_with look.
result_of() {  # result_of NAME
  rc=$(cat "$T/$1.rc" 2>/dev/null || echo none)
  cp "$T/$1.out" "$T/out" 2>/dev/null || : >"$T/out"
  cp "$T/$1.err" "$T/err" 2>/dev/null || : >"$T/err"
}

# Each disk's partition gets a serial; then boot runs look for it by texts
# that must match and by texts that must not (those wait the whole 30 s,
# all at once).
test_serials() {
  local first serial want raw from_disk swapped row text n how
  local -a runs=()
  declare -gA SERIAL=([2048]=0xBEEF5A17 [4097]=0x00AB0001)
  for first in 2048 4097; do
    serial=${SERIAL[$first]}
    exclusive tune.exfat -I "$serial" "${PART[$first]}"
    want=$(printf %04X-%04X $((serial >> 16)) $((serial & 0xFFFF)))
    raw=$(le32 "${PART[$first]}" 100)
    from_disk=$(printf %04X-%04X $((raw >> 16)) $((raw & 0xFFFF)))
    check "serial $serial: blkid and bytes 100..103 formatted both give $want" \
      test "$(blkid -c /dev/null -o value -s UUID "${PART[$first]}")|$from_disk" = "$want|$want"
    swapped=$(printf %04X-%04X $((serial & 0xFFFF)) $((serial >> 16)))
    for row in "$want|found" "${want,,}|found" "$swapped|not" "${want/-/}|not" \
      "$(printf %X-%X $((serial >> 16)) $((serial & 0xFFFF)))|not"; do
      text=${row%|*}
      # 00AB0001 written without leading zeros differs; BEEF5A17's does not.
      [[ ${row#*|} == not && $text == "$want" ]] && continue
      n=${#runs[@]}
      runs+=("$first|$text|${row#*|}")
      boot_run "${PART[$first]}" "serial.$n" "$text" "/ISO/Kelmo Live.iso" &
    done
  done
  wait
  for n in "${!runs[@]}"; do
    IFS='|' read -r first text how <<<"${runs[n]}"
    result_of "serial.$n"
    if [[ $how == found ]]; then
      check "serial ${SERIAL[$first]}: a boot run given '$text' takes the volume (ends at the device mapper)" \
        failed_with "DM_DEV_CREATE: $ERR_ENOTTY"
    else
      check "serial ${SERIAL[$first]}: a boot run given '$text' does not take the volume" \
        failed_with "$MSG_NO_PARTITION"
    fi
  done
}

test_setup
test_volumes
test_paths
test_not_exfat
test_broken_chains
test_sector4k_volumes
test_sector4k_disk
test_partitioned_disks
test_serials
summary
