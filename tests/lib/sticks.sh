# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# The test sticks (sourced, never run; brings tools.sh, images.sh and
# backward.sh): disk images with an exFAT partition (serial 1A2B-3C4D) whose
# ISOs and files lie as the tests need them (in one run, scattered, running
# backwards, on 4 KiB sectors), and the expect.sh that tells a guest what it
# must find on them. The runs come from our own exFAT reader, exfat_runs.py
# ($EXFAT_RUNS), never from the program under test. Used by the boot tests,
# the packaging tests and the stick tests.

[ -z "${_KELMO_LIB_STICKS-}" ] || return 0
_KELMO_LIB_STICKS=1

STICKS_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
EXFAT_RUNS=$STICKS_LIB/exfat_runs.py
STICK_SERIAL_HEX=0x1A2B3C4D
STICK_SERIAL=1A2B-3C4D

# shellcheck source=tools.sh
. "$STICKS_LIB/tools.sh"
# shellcheck source=images.sh
. "$STICKS_LIB/images.sh"
# shellcheck source=backward.sh
. "$STICKS_LIB/backward.sh"

# iso_tree DIR README BYTES: DIR holds README.TXT (the line README) and
# DATA.BIN (BYTES random bytes), the files the guest reads from an ISO.
iso_tree() {
  mkdir -p "$1"
  printf '%s\n' "$2" >"$1/README.TXT"
  head -c "$3" /dev/urandom >"$1/DATA.BIN"
}

# A 2048-byte-block ISO 9660 image of DIR; the image must not be a whole number
# of 4 KiB clusters, so the mapping has to end inside the file's last cluster.
make_iso() {
  local dir=$1 out=$2 label=$3
  xorriso -as mkisofs -quiet -V "$label" -o "$out" "$dir" 2>/dev/null
  if (($(stat -c %s "$out") % 4096 == 0)); then
    head -c 2048 /dev/urandom >"$dir/PAD.BIN"
    xorriso -as mkisofs -quiet -V "$label" -o "$out" "$dir" 2>/dev/null
  fi
  (($(stat -c %s "$out") % 4096 != 0)) || die "could not give $out an odd number of 2 KiB blocks"
}

# The stick's ISOs, each fact once: short name (of the run's files), the
# prefix of its values in expect.sh, its path on the stick. a, b, u and the
# persistence file p are on stick.img (build_stick), c4k on stick4k.img
# (build_stick4k), k on stickback.img (build_stick_backward).
STICK_ISOS=(
  "a|A|/isos/kelmo.iso"
  "b|B|/Kelmo ISOs/kelmo live.iso"
  "u|U|/Imagens ISO/Instalação.iso"
  "c4k|C|/isos/kelmo-4k.iso"
  "p|P|/Persistência/casa.img"
  "k|K|/isos/kelmo-back.iso"
)
stick_path() {
  local entry f v p
  for entry in "${STICK_ISOS[@]}"; do
    IFS='|' read -r f v p <<<"$entry"
    [ "$f" = "$1" ] && { printf '%s' "$p"; return 0; }
  done
  die "no ISO named $1 on the stick"
}

# stick_runs WORK NAME IMAGE OFFSET BINARY: WORK/runs-NAME.reader (the runs
# of the ISO NAME by exfat_runs.py), .sha (the file's bytes read at them) and
# .kelmo (what BINARY's --test prints, compared by run.sh).
stick_runs() {
  local work=$1 f=$2 img=$3 offset=$4 bin=$5 p
  p=$(stick_path "$f")
  python3 "$EXFAT_RUNS" "$img" "$offset" "$p" >"$work/runs-$f.reader" ||
    die "exfat_runs.py could not read $p"
  python3 "$EXFAT_RUNS" "$img" "$offset" "$p" --sha256 >"$work/runs-$f.sha" ||
    die "exfat_runs.py could not read $p"
  KELMO_MAP_OFFSET=$offset "$bin" --test "$img" "$p" >"$work/runs-$f.kelmo" 2>&1 || true
  log "stick: ${f^^}: $(head -n1 "$work/runs-$f.reader")"
}

# iso_expect WORK NAME ISO TREE: the lines of expect.sh that describe the ISO
# NAME (made from TREE, ISO the image written to the stick), after its
# stick_runs: X_PATH, X_SHA, X_SIZE, X_README_SHA, X_DATA_SHA and X_RUNS.
iso_expect() {
  local work=$1 f=$2 iso=$3 tree=$4 entry n v p
  for entry in "${STICK_ISOS[@]}"; do
    IFS='|' read -r n v p <<<"$entry"
    [ "$n" = "$f" ] && break
  done
  printf "%s_PATH='%s'\n" "$v" "$p"
  printf '%s_SHA=%s\n' "$v" "$(sha256sum <"$iso" | cut -d' ' -f1)"
  printf '%s_SIZE=%s\n' "$v" "$(stat -c %s "$iso")"
  printf '%s_README_SHA=%s\n' "$v" "$(sha256sum <"$tree/README.TXT" | cut -d' ' -f1)"
  printf '%s_DATA_SHA=%s\n' "$v" "$(sha256sum <"$tree/DATA.BIN" | cut -d' ' -f1)"
  printf '%s_RUNS=%s\n' "$v" "$(runs_of "$work/runs-$f.reader")"
}
runs_of() { sed -n '1s/.*trechos=\([0-9]*\)$/\1/p' "$1"; }

# append_interleaved SOURCE TARGET FILLER [PIECE]: writes SOURCE to TARGET
# PIECE bytes (64 KiB) at a time, appending 64 KiB of zeros to FILLER after
# each piece; on a mounted exFAT each append takes the next free clusters, so
# TARGET's chain jumps over FILLER's.
append_interleaved() {
  local source=$1 target=$2 filler=$3 chunk=${4:-65536} total i=0
  total=$(stat -L -c %s "$source")
  : >"$target"
  while ((i * chunk < total)); do
    dd if="$source" bs=$chunk skip=$i count=1 status=none >>"$target"
    sync "$target"
    head -c 65536 /dev/zero >>"$filler"
    sync "$filler"
    i=$((i + 1))
  done
}

# build_stick WORK: WORK/stick.img, a 64 MiB disk with one exFAT partition
# (serial 1A2B-3C4D) holding
#   a                ISO A, written in one go (one run)
#   b                ISO B, appended in chunks between filler appends, so
#                    its clusters are scattered
#   /isos/empty.iso  0 bytes
#   u                ISO C, a name beyond ASCII (UTF-16 on disk)
#   p                1 MiB of random bytes for kelmo.persist=, scattered
#                    as ISO B is, in 256 KiB pieces
#   /kelmo.iso       200000 random bytes: ISO A's name in the root
# (the paths of STICK_ISOS)
# and WORK/expect.sh with what the guest must see, with the error texts of
# the C library BIN was built with (ERR_EBUSY, ERR_EINVAL, ERR_ENXIO). The
# files of EXTRA, a directory, when given, go into both ISOs too.
build_stick() {
  local work=$1 bin=$2 extra=${3:-}
  local img=$work/stick.img
  local a=$work/iso-a b=$work/iso-b
  iso_tree "$a" 'Kelmo live A: lido do ISO contíguo.' 1500000
  iso_tree "$b" 'Kelmo live B: lido do ISO fragmentado.' 2500000
  if [ -n "$extra" ]; then
    cp -a "$extra"/. "$a"/
    cp -a "$extra"/. "$b"/
  fi
  make_iso "$a" "$work/a.iso" KELMO_A
  make_iso "$b" "$work/b.iso" KELMO_B
  local c=$work/iso-c
  iso_tree "$c" 'Kelmo live C: achado pelo nome Instalação.iso.' 700000
  make_iso "$c" "$work/c.iso" KELMO_C

  disk_with_partition "$img" 64M 2048 || die "could not read the partition from sfdisk"
  local start=$PART_START size=$PART_SECTORS
  PART_OFFSET=$((start * 512))

  local mnt
  loop_attach LOOP_DEV -o "$PART_OFFSET" --sizelimit $((size * 512)) "$img"
  mkfs.exfat -L KELMO "$LOOP_DEV" >/dev/null
  tune.exfat -I "$STICK_SERIAL_HEX" "$LOOP_DEV" >/dev/null
  mnt=$(mktemp -d /tmp/kelmo-stick.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$LOOP_DEV" "$mnt" "$work/exfat-fuse.log" || die "$FUSE_ERROR"

  mkdir -p "$mnt/$(dirname "$(stick_path a)")" "$mnt/$(dirname "$(stick_path b)")"
  cp "$work/a.iso" "$mnt$(stick_path a)"
  : >"$mnt/isos/empty.iso"
  sync "$mnt$(stick_path a)"
  # Alternate 64 KiB of the ISO with 64 KiB of filler: each append takes the
  # next free clusters, so the ISO's chain jumps over the filler's.
  append_interleaved "$work/b.iso" "$mnt$(stick_path b)" "$mnt/isos/filler.bin"
  mkdir -p "$mnt/$(dirname "$(stick_path u)")"
  cp "$work/c.iso" "$mnt$(stick_path u)"
  # A decoy with ISO A's name in the root: a reader that took a failed read
  # of A's directory for good bytes (the root's, still in its buffer) would
  # find it there and map it.
  head -c 200000 /dev/urandom >"$mnt/$(basename "$(stick_path a)")"
  head -c 1048576 /dev/urandom >"$work/persist.img"
  mkdir -p "$mnt/$(dirname "$(stick_path p)")"
  append_interleaved "$work/persist.img" "$mnt$(stick_path p)" "$mnt/Persistência/enchimento.bin" 262144
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$work/exfat-fuse.log")"
  loop_detach "$LOOP_DEV"
  LOOP_DEV=
  # The runs the guest must see, read by a reader of our own (exfat_runs.py),
  # not by the program under test; its runs also give the ISO's bytes back
  # (WORK/runs-*.sha). WORK/runs-*.kelmo holds what the program's --test
  # prints for the same files, for run.sh to compare.
  local f
  for f in a b u p; do stick_runs "$work" "$f" "$img" "$PART_OFFSET" "$bin"; done
  {
    echo "SERIAL=$STICK_SERIAL"
    iso_expect "$work" a "$work/a.iso" "$a"
    iso_expect "$work" b "$work/b.iso" "$b"
    iso_expect "$work" u "$work/c.iso" "$c"
    # The persistence file: no ISO, so its runs themselves, START+COUNT.
    printf "P_PATH='%s'\n" "$(stick_path p)"
    printf 'P_SHA=%s\n' "$(sha256sum <"$work/persist.img" | cut -d' ' -f1)"
    printf 'P_SIZE=%s\n' "$(stat -c %s "$work/persist.img")"
    printf 'P_RUNS=%s\n' "$(runs_of "$work/runs-p.reader")"
    printf "P_EXTENTS='%s'\n" "$(awk '/^  setor/ {printf "%s%s+%s", n++ ? " " : "", $2, substr($3, 2)}' "$work/runs-p.reader")"
    # Where the FAT lies, in bytes from the partition's start: FatOffset and
    # FatLength of its boot sector, in 512-byte sectors here.
    local fat
    read -r -a fat < <(od -An -tu4 -j $((PART_OFFSET + 80)) -N8 "$img")
    echo "FAT_FIRST=$((fat[0] * 512)) FAT_END=$(((fat[0] + fat[1]) * 512))"
  } >"$work/expect.sh"
  # The error texts of the C library that built the binary (perror lines).
  bash "$STICKS_LIB/libc-errors.sh" "$bin" EBUSY EINVAL ENXIO >>"$work/expect.sh" || die "could not tell the binary's error texts"
}

# build_stick4k WORK BINARY: WORK/stick4k.img, a 64 MiB disk of 4096-byte
# logical sectors, as portable SSDs and large USB disks present themselves:
# a DOS partition table counting 4 KiB sectors and one exFAT partition
# formatted on them (BytesPerSectorShift 12, 32 KiB clusters, serial
# 1A2B-3C4D) holding
#   c4k   ISO C, scattered like ISO B; its size is not a multiple of 4 KiB
# and appends the C_* values the guest checks to WORK/expect.sh. C_DEVICE_*
# describe what the mapped device must show: the ISO rounded up to whole
# 4 KiB blocks, the bytes past its end read from its last cluster here on
# the host, at the runs `kelmo-map --test` prints.
build_stick4k() {
  local work=$1 bin=$2
  local img=$work/stick4k.img c=$work/iso-c4k
  iso_tree "$c" 'Kelmo live C: lido de um disco de setores de 4 KiB.' 2000000
  make_iso "$c" "$work/c4k.iso" KELMO_C

  rm -f "$img"
  truncate -s 64M "$img"
  local start size
  loop_attach LOOP_DEV -b 4096 "$img"
  # sfdisk cannot make a loop device without partition scanning re-read the
  # table, and says so; the table read back below is what counts.
  printf 'label: dos\nstart=256, type=7\n' | sfdisk -q "$LOOP_DEV" >"$work/sfdisk-4k.log" 2>&1 || true
  read -r start size < <(partitions "$LOOP_DEV")
  loop_detach "$LOOP_DEV"
  LOOP_DEV=
  [ "${start:-0}" -gt 0 ] && [ "${size:-0}" -gt 0 ] || die "could not read the 4K disk's partition from sfdisk"
  local offset=$((start * 4096))

  loop_attach LOOP_DEV -b 4096 -o "$offset" --sizelimit $((size * 4096)) "$img"
  mkfs.exfat -c 32K -L KELMO4K "$LOOP_DEV" >/dev/null
  tune.exfat -I "$STICK_SERIAL_HEX" "$LOOP_DEV" >/dev/null
  [ "$(od -An -tu1 -j108 -N1 "$LOOP_DEV" | tr -d ' ')" = 12 ] || die "mkfs.exfat did not write 4 KiB sectors"
  local mnt
  mnt=$(mktemp -d /tmp/kelmo-stick4k.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$LOOP_DEV" "$mnt" "$work/exfat-fuse-4k.log" || die "$FUSE_ERROR"
  mkdir -p "$mnt/$(dirname "$(stick_path c4k)")"
  # 64 KiB of ISO, then 64 KiB of filler: two clusters each, alternating.
  append_interleaved "$work/c4k.iso" "$mnt$(stick_path c4k)" "$mnt/isos/filler.bin"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$work/exfat-fuse-4k.log")"
  loop_detach "$LOOP_DEV"
  LOOP_DEV=

  # What the device must show, assembled from the runs the reader prints.
  local c_size device_size run_start run_count
  stick_runs "$work" c4k "$img" "$offset" "$bin"
  c_size=$(stat -c %s "$work/c4k.iso")
  device_size=$(((c_size + 4095) / 4096 * 4096))
  : >"$work/c.device"
  while read -r _ run_start run_count; do
    dd if="$img" iflag=skip_bytes,count_bytes skip=$((offset + run_start * 512)) count=$((${run_count#+} * 512)) \
      bs=1M status=none >>"$work/c.device"
  done < <(tail -n +2 "$work/runs-c4k.reader")
  truncate -s "$device_size" "$work/c.device"
  head -c "$c_size" "$work/c.device" | cmp -s - "$work/c4k.iso" || die "the 4K stick's runs do not give ISO C"

  {
    iso_expect "$work" c4k "$work/c4k.iso" "$c"
    echo "C_DEVICE_SIZE=$device_size"
    echo "C_DEVICE_SHA=$(sha256sum <"$work/c.device" | cut -d' ' -f1)"
  } >>"$work/expect.sh"
}

# build_stick_backward WORK BINARY: WORK/stickback.img, a 320 MiB disk with
# one exFAT partition of 512-byte clusters (serial 1A2B-3C4D) holding
#   k   ISO K, written by write_backward (tests/lib/backward.sh): its pieces
#       of 64 KiB lie in reverse disk order, 16 MiB apart, so its chain jumps
#       back over whole 64 KiB blocks of the FAT at every piece
# and appends the K_* values the guest checks to WORK/expect.sh.
build_stick_backward() {
  local work=$1 bin=$2 offset mnt
  local img=$work/stickback.img k=$work/iso-k
  iso_tree "$k" 'Kelmo live K: a cadeia volta para trás.' 600000
  make_iso "$k" "$work/k.iso" KELMO_K
  disk_with_partition "$img" 320M 2048 || die "could not read the partition from sfdisk"
  offset=$((PART_START * 512))
  loop_attach LOOP_DEV -o "$offset" --sizelimit $((PART_SECTORS * 512)) "$img"
  mkfs.exfat -c 512 -L KELMOBK "$LOOP_DEV" >/dev/null
  tune.exfat -I "$STICK_SERIAL_HEX" "$LOOP_DEV" >/dev/null
  scratch mnt kelmo-stickback
  fuse_daemon "$LOOP_DEV" "$mnt" "$work/exfat-fuse-back.log" || die "$FUSE_ERROR"
  write_backward "$mnt" "$work/k.iso" "$(stick_path k)" 65536 $((2 * 16384 * 512)) ||
    die "write_backward could not lay out ISO K"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$work/exfat-fuse-back.log")"
  loop_detach "$LOOP_DEV"
  LOOP_DEV=
  stick_runs "$work" k "$img" "$offset" "$bin"
  {
    iso_expect "$work" k "$work/k.iso" "$k"
    # Where each run starts, as the reader found them: the table's offsets.
    echo "K_STARTS='$(tail -n +2 "$work/runs-k.reader" | awk '{print $2}' | tr '\n' ' ')'"
  } >>"$work/expect.sh"
}
