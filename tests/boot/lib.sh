# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared pieces of the boot tests: the Debian kernel, the stick image, the
# initramfs and one QEMU boot. Sourced by run.sh and demo.sh.

BOOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BOOT_CACHE=${KELMO_BOOT_CACHE:-/var/cache/kelmo-boot}
STICK_SERIAL_HEX=0x1A2B3C4D
STICK_SERIAL=1A2B-3C4D

# shellcheck source=../lib/images.sh
. "$BOOT_DIR/../lib/images.sh"

# Boots still running on exit: stop each by the id recorded when it started
# (timeout passes the signal on to its QEMU), and let them end before
# images.sh detaches and removes the rest.
WORK=
stop_boots() {
  local f
  if [ -n "$WORK" ]; then
    for f in "$WORK"/*.pid; do
      [ -f "$f" ] && { kill "$(cat "$f")" 2>/dev/null || true; }
    done
  fi
  wait
}
EXIT_HOOKS+=(stop_boots)

# The scratch directory of this run, removed on exit.
make_work() {
  WORK=$(mktemp -d "/tmp/$1.XXXXXX")
  TMP_PATHS+=("$WORK")
}

log() { printf '# %s\n' "$*" >&2; }

# job_result FILE: $status and $took from the "STATUS SECONDS" line a boot or
# an image build in the background left in FILE; "missing" and "?" without it.
# shellcheck disable=SC2034 # status and took are for the caller
job_result() {
  status=missing took='?'
  if [ -f "$1" ]; then read -r status took <"$1"; fi
}
die() { printf 'error: %s\n' "$*" >&2; exit 2; }

need_tools() {
  local missing=() t
  for t in busybox cpio qemu-system-x86_64 xorriso mkfs.exfat tune.exfat mount.exfat-fuse sfdisk \
    losetup xz modinfo apt-get dpkg timeout sha256sum python3; do
    command -v "$t" >/dev/null || missing+=("$t")
  done
  if ((${#missing[@]})); then
    log "installing tools (missing: ${missing[*]})"
    DEBIAN_FRONTEND=noninteractive apt-get install -y busybox-static cpio qemu-system-x86 xorriso \
      exfatprogs exfat-fuse fdisk xz-utils kmod python3 >/dev/null ||
      die "apt-get install failed"
  fi
  # The guest has no libraries: the shell tools must be the static busybox.
  file -L "$(command -v busybox)" 2>/dev/null | grep -q 'statically linked' ||
    die "busybox is not static (install busybox-static)"
}

# The kernel linux-image-amd64 points at, downloaded once and unpacked (never
# installed) into the cache. Sets KERNEL_IMAGE, KERNEL_MODULES (the
# lib/modules/VERSION directory) and KERNEL_PACKAGE.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ {print $2; exit}'
}
fetch_kernel() {
  KERNEL_PACKAGE=$(kernel_package)
  # A machine whose package lists were never fetched knows no kernel yet.
  if [ -z "$KERNEL_PACKAGE" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    KERNEL_PACKAGE=$(kernel_package)
  fi
  [ -n "$KERNEL_PACKAGE" ] || die "apt-cache depends linux-image-amd64 named no kernel package"
  local dir=$BOOT_CACHE/$KERNEL_PACKAGE
  if [ ! -f "$dir/unpacked" ]; then
    log "downloading $KERNEL_PACKAGE into $dir"
    rm -rf "$dir.part"
    mkdir -p "$dir.part/root"
    # _apt cannot write to a root-only directory; the download then runs as root.
    (cd "$dir.part" && apt-get download "$KERNEL_PACKAGE" >download.log 2>&1) ||
      die "apt-get download $KERNEL_PACKAGE failed (see $dir.part/download.log)"
    dpkg -x "$dir.part"/*.deb "$dir.part/root"
    rm -f "$dir.part"/*.deb
    rm -rf "$dir"
    mv "$dir.part" "$dir"
    touch "$dir/unpacked"
  fi
  KERNEL_IMAGE=$(ls "$dir"/root/boot/vmlinuz-* | head -n1)
  local builtin
  builtin=$(find "$dir/root" -path '*/modules/*/modules.builtin' | head -n1)
  [ -f "$KERNEL_IMAGE" ] && [ -n "$builtin" ] || die "unexpected layout in $dir"
  KERNEL_MODULES=$(dirname "$builtin")
  choose_accel
}

# Module name as the kernel knows it: dashes become underscores.
mod_name() { local n=${1##*/}; n=${n%%.ko*}; printf '%s' "${n//-/_}"; }

declare -A MOD_PATH=() MOD_BUILTIN=()
index_modules() {
  local f n
  # Thousands of modules: no subshell per name.
  while IFS= read -r f; do
    n=${f##*/}
    n=${n%%.ko*}
    MOD_PATH[${n//-/_}]=$f
  done < <(find "$KERNEL_MODULES/kernel" -name '*.ko*')
  while IFS= read -r f; do
    n=${f##*/}
    n=${n%%.ko*}
    MOD_BUILTIN[${n//-/_}]=1
  done <"$KERNEL_MODULES/modules.builtin"
}

# Appends to MOD_FILES the module files NAME needs, dependencies first, each
# once over all calls (so the USB group skips what the base group loaded).
# Built-in modules need nothing.
declare -A MOD_SEEN=()
MOD_FILES=()
mod_order() {
  local name
  name=$(mod_name "$1")
  [ -n "${MOD_SEEN[$name]:-}" ] && return 0
  MOD_SEEN[$name]=1
  if [ -n "${MOD_BUILTIN[$name]:-}" ]; then
    log "module $name is built in"
    return 0
  fi
  local path=${MOD_PATH[$name]:-}
  [ -n "$path" ] || die "module $name not found in $KERNEL_MODULES"
  local deps d
  deps=$(modinfo -F depends "$path")
  for d in ${deps//,/ }; do mod_order "$d"; done
  MOD_FILES+=("$path")
}

# Copies a module into DIR uncompressed: busybox insmod reads plain ELF only.
copy_module() {
  local src=$1 dir=$2 base
  base=$(mod_name "$src").ko
  case $src in
    *.ko) cp "$src" "$dir/$base" ;;
    *.ko.xz) xz -dc "$src" >"$dir/$base" ;;
    *.ko.zst) zstd -qdc "$src" >"$dir/$base" ;;
    *.ko.gz) gzip -dc "$src" >"$dir/$base" ;;
    *) die "unknown module format: $src" ;;
  esac
  printf '%s\n' "$base"
}

# Two groups: what every boot loads at once, and the USB stack, which one boot
# loads only after kelmo-map has started scanning.
# shellcheck disable=SC2034 # read through a nameref in build_initramfs
BASE_MODULES=(virtio_pci virtio_blk dm_mod isofs loop)
# shellcheck disable=SC2034
USB_MODULES=(xhci_pci usb_storage sd_mod)

# build_initramfs OUT BINARY EXPECT_FILE
build_initramfs() {
  local out=$1 binary=$2 expect=$3
  local root
  root=$(mktemp -d /tmp/kelmo-initramfs.XXXXXX)
  TMP_PATHS+=("$root")
  mkdir -p "$root"/{bin,dev,proc,sys,tmp,mnt,etc/kelmo,lib/kelmo/modules}
  busybox_root "$root"
  install -m 0755 "$binary" "$root/bin/kelmo-map"
  # Without a console node in the archive the kernel starts /init with no output.
  mknod -m 0600 "$root/dev/console" c 5 1
  install -m 0755 "$BOOT_DIR/guest/init" "$root/init"
  install -m 0644 "$BOOT_DIR/guest/cases.sh" "$root/lib/kelmo/cases.sh"
  install -m 0644 "$expect" "$root/etc/kelmo/expect.sh"

  index_modules
  MOD_SEEN=()
  local m f group
  for group in BASE USB; do
    local -n list="${group}_MODULES"
    MOD_FILES=()
    for m in "${list[@]}"; do mod_order "$m"; done
    for f in "${MOD_FILES[@]}"; do copy_module "$f" "$root/lib/kelmo/modules"; done >"$root/lib/kelmo/${group,,}.list"
    unset -n list
  done
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$out"
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

# The stick's files by the short names the run files use.
stick_path() {
  case $1 in
    a) printf '%s' /isos/kelmo.iso ;;
    b) printf '%s' "/Kelmo ISOs/kelmo live.iso" ;;
    u) printf '%s' "/Imagens ISO/Instalação.iso" ;;
    c4k) printf '%s' /isos/kelmo-4k.iso ;;
    p) printf '%s' /Persistência/casa.img ;;
  esac
}

# stick_runs WORK NAME IMAGE OFFSET PATH BINARY: WORK/runs-NAME.reader (the
# runs by exfat_runs.py), .sha (the file's bytes read at them) and .kelmo
# (what BINARY's --test prints, compared by run.sh).
stick_runs() {
  local work=$1 f=$2 img=$3 offset=$4 p=$5 bin=$6
  python3 "$BOOT_DIR/exfat_runs.py" "$img" "$offset" "$p" >"$work/runs-$f.reader" ||
    die "exfat_runs.py could not read $p"
  python3 "$BOOT_DIR/exfat_runs.py" "$img" "$offset" "$p" --sha256 >"$work/runs-$f.sha" ||
    die "exfat_runs.py could not read $p"
  KELMO_MAP_OFFSET=$offset "$bin" --test "$img" "$p" >"$work/runs-$f.kelmo" 2>&1 || true
  log "stick: ${f^^}: $(head -n1 "$work/runs-$f.reader")"
}
runs_of() { sed -n '1s/.*trechos=\([0-9]*\)$/\1/p' "$1"; }

# append_interleaved SOURCE TARGET FILLER [PIECE]: writes SOURCE to TARGET
# PIECE bytes (64 KiB) at a time, appending 64 KiB of zeros to FILLER after
# each piece; on a mounted exFAT each append takes the next free clusters, so
# TARGET's chain jumps over FILLER's.
append_interleaved() {
  local source=$1 target=$2 filler=$3 chunk=${4:-65536} total i=0
  total=$(stat -c %s "$source")
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
#   /isos/kelmo.iso              ISO A, written in one go (one run)
#   /Kelmo ISOs/kelmo live.iso   ISO B, appended in chunks between filler
#                                appends, so its clusters are scattered
#   /isos/empty.iso              0 bytes
#   /Imagens ISO/Instalação.iso  ISO C, a name beyond ASCII (UTF-16 on disk)
#   /Persistência/casa.img       1 MiB of random bytes for kelmo.persist=,
#                                scattered as ISO B is, in 256 KiB pieces
# and WORK/expect.sh with what the guest must see, with the error texts of
# the C library BIN was built with (ERR_EBUSY, ERR_EINVAL). The files of EXTRA, a
# directory, when given, go into both ISOs too.
build_stick() {
  local work=$1 bin=$2 extra=${3:-}
  local img=$work/stick.img
  local a=$work/iso-a b=$work/iso-b
  mkdir -p "$a" "$b"
  printf 'Kelmo live A: lido do ISO contíguo.\n' >"$a/README.TXT"
  head -c 1500000 /dev/urandom >"$a/DATA.BIN"
  printf 'Kelmo live B: lido do ISO fragmentado.\n' >"$b/README.TXT"
  head -c 2500000 /dev/urandom >"$b/DATA.BIN"
  if [ -n "$extra" ]; then
    cp -a "$extra"/. "$a"/
    cp -a "$extra"/. "$b"/
  fi
  make_iso "$a" "$work/a.iso" KELMO_A
  make_iso "$b" "$work/b.iso" KELMO_B
  local c=$work/iso-c
  mkdir -p "$c"
  printf 'Kelmo live C: achado pelo nome Instalação.iso.\n' >"$c/README.TXT"
  head -c 700000 /dev/urandom >"$c/DATA.BIN"
  make_iso "$c" "$work/c.iso" KELMO_C

  rm -f "$img"
  truncate -s 64M "$img"
  printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$img"
  local start size
  read -r start size < <(partitions "$img")
  [ "$start" -gt 0 ] && [ "$size" -gt 0 ] || die "could not read the partition from sfdisk"
  PART_OFFSET=$((start * 512))

  local mnt
  loop_attach LOOP_DEV -o "$PART_OFFSET" --sizelimit $((size * 512)) "$img"
  mkfs.exfat -L KELMO "$LOOP_DEV" >/dev/null
  tune.exfat -I "$STICK_SERIAL_HEX" "$LOOP_DEV" >/dev/null
  mnt=$(mktemp -d /tmp/kelmo-stick.XXXXXX)
  TMP_PATHS+=("$mnt")
  fuse_daemon "$LOOP_DEV" "$mnt" "$work/exfat-fuse.log" || die "$FUSE_ERROR"

  mkdir -p "$mnt/isos" "$mnt/Kelmo ISOs"
  cp "$work/a.iso" "$mnt/isos/kelmo.iso"
  : >"$mnt/isos/empty.iso"
  sync "$mnt/isos/kelmo.iso"
  # Alternate 64 KiB of the ISO with 64 KiB of filler: each append takes the
  # next free clusters, so the ISO's chain jumps over the filler's.
  append_interleaved "$work/b.iso" "$mnt/Kelmo ISOs/kelmo live.iso" "$mnt/isos/filler.bin"
  mkdir -p "$mnt/Imagens ISO"
  cp "$work/c.iso" "$mnt/Imagens ISO/Instalação.iso"
  head -c 1048576 /dev/urandom >"$work/persist.img"
  mkdir -p "$mnt/Persistência"
  append_interleaved "$work/persist.img" "$mnt$(stick_path p)" "$mnt/isos/filler-p.bin" 262144
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$work/exfat-fuse.log")"
  loop_detach "$LOOP_DEV"
  LOOP_DEV=
  # The runs the guest must see, read by a reader of our own (exfat_runs.py),
  # not by the program under test; its runs also give the ISO's bytes back
  # (WORK/runs-*.sha). WORK/runs-*.kelmo holds what the program's --test
  # prints for the same files, for run.sh to compare.
  local f
  for f in a b u p; do
    stick_runs "$work" "$f" "$img" "$PART_OFFSET" "$(stick_path "$f")" "$bin"
  done
  RUNS_A=$(runs_of "$work/runs-a.reader")
  RUNS_B=$(runs_of "$work/runs-b.reader")

  cat >"$work/expect.sh" <<EOF
SERIAL=$STICK_SERIAL
A_PATH=/isos/kelmo.iso
A_SHA=$(sha256sum <"$work/a.iso" | cut -d' ' -f1)
A_SIZE=$(stat -c %s "$work/a.iso")
A_README_SHA=$(sha256sum <"$a/README.TXT" | cut -d' ' -f1)
A_DATA_SHA=$(sha256sum <"$a/DATA.BIN" | cut -d' ' -f1)
A_RUNS=$RUNS_A
B_PATH='/Kelmo ISOs/kelmo live.iso'
B_SHA=$(sha256sum <"$work/b.iso" | cut -d' ' -f1)
B_SIZE=$(stat -c %s "$work/b.iso")
B_README_SHA=$(sha256sum <"$b/README.TXT" | cut -d' ' -f1)
B_DATA_SHA=$(sha256sum <"$b/DATA.BIN" | cut -d' ' -f1)
B_RUNS=$RUNS_B
U_PATH='/Imagens ISO/Instalação.iso'
U_SHA=$(sha256sum <"$work/c.iso" | cut -d' ' -f1)
U_SIZE=$(stat -c %s "$work/c.iso")
U_README_SHA=$(sha256sum <"$c/README.TXT" | cut -d' ' -f1)
U_DATA_SHA=$(sha256sum <"$c/DATA.BIN" | cut -d' ' -f1)
U_RUNS=$(runs_of "$work/runs-u.reader")
P_PATH='$(stick_path p)'
P_SHA=$(sha256sum <"$work/persist.img" | cut -d' ' -f1)
P_SIZE=$(stat -c %s "$work/persist.img")
P_RUNS=$(runs_of "$work/runs-p.reader")
P_EXTENTS='$(awk '/^  setor/ {printf "%s%s+%s", n++ ? " " : "", $2, substr($3, 2)}' "$work/runs-p.reader")'
EOF
  # The error texts of the C library that built the binary (perror lines).
  bash "$BOOT_DIR/libc-errors.sh" "$bin" EBUSY EINVAL >>"$work/expect.sh" || die "could not tell the binary's error texts"
}

# build_stick4k WORK BINARY: WORK/stick4k.img, a 64 MiB disk of 4096-byte
# logical sectors, as portable SSDs and large USB disks present themselves:
# a DOS partition table counting 4 KiB sectors and one exFAT partition
# formatted on them (BytesPerSectorShift 12, 32 KiB clusters, serial
# 1A2B-3C4D) holding
#   /isos/kelmo-4k.iso   ISO C, scattered like ISO B; its size is not a
#                        multiple of 4 KiB
# and appends the C_* values the guest checks to WORK/expect.sh. C_DEVICE_*
# describe what the mapped device must show: the ISO rounded up to whole
# 4 KiB blocks, the bytes past its end read from its last cluster here on
# the host, at the runs `kelmo-map --test` prints.
build_stick4k() {
  local work=$1 bin=$2
  local img=$work/stick4k.img c=$work/iso-c4k
  mkdir -p "$c"
  printf 'Kelmo live C: lido de um disco de setores de 4 KiB.\n' >"$c/README.TXT"
  head -c 2000000 /dev/urandom >"$c/DATA.BIN"
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
  mkdir -p "$mnt/isos"
  # 64 KiB of ISO, then 64 KiB of filler: two clusters each, alternating.
  append_interleaved "$work/c4k.iso" "$mnt/isos/kelmo-4k.iso" "$mnt/isos/filler.bin"
  fuse_daemon_stop || die "mount.exfat-fuse failed: $(tail -n 3 "$work/exfat-fuse-4k.log")"
  loop_detach "$LOOP_DEV"
  LOOP_DEV=

  # What the device must show, assembled from the runs the reader prints.
  local runs c_size device_size run_start run_count
  stick_runs "$work" c4k "$img" "$offset" /isos/kelmo-4k.iso "$bin"
  cp "$work/runs-c4k.reader" "$work/c.runs"
  runs=$(runs_of "$work/c.runs")
  c_size=$(stat -c %s "$work/c4k.iso")
  device_size=$(((c_size + 4095) / 4096 * 4096))
  : >"$work/c.device"
  while read -r _ run_start run_count; do
    dd if="$img" iflag=skip_bytes,count_bytes skip=$((offset + run_start * 512)) count=$((${run_count#+} * 512)) \
      bs=1M status=none >>"$work/c.device"
  done < <(tail -n +2 "$work/c.runs")
  truncate -s "$device_size" "$work/c.device"
  head -c "$c_size" "$work/c.device" | cmp -s - "$work/c4k.iso" || die "the 4K stick's runs do not give ISO C"

  cat >>"$work/expect.sh" <<EOF
C_PATH=/isos/kelmo-4k.iso
C_SHA=$(sha256sum <"$work/c4k.iso" | cut -d' ' -f1)
C_SIZE=$c_size
C_README_SHA=$(sha256sum <"$c/README.TXT" | cut -d' ' -f1)
C_DATA_SHA=$(sha256sum <"$c/DATA.BIN" | cut -d' ' -f1)
C_RUNS=$runs
C_DEVICE_SIZE=$device_size
C_DEVICE_SHA=$(sha256sum <"$work/c.device" | cut -d' ' -f1)
EOF
}

# The accelerator for every boot of this run: KELMO_QEMU_ACCEL (kvm or tcg)
# when set, else KVM only if a kernel really runs under it. /dev/kvm can be
# there and writable while the CPU offers no virtualization to this machine
# (QEMU then stops after "Booting from ROM"), so the probe boots the test
# kernel without an initramfs and waits for its first console line.
# Called by fetch_kernel, so every harness decides before its first boot.
choose_accel() {
  if [ -n "${KELMO_QEMU_ACCEL:-}" ]; then
    case $KELMO_QEMU_ACCEL in
      kvm | tcg) log "QEMU accelerator: $KELMO_QEMU_ACCEL (from KELMO_QEMU_ACCEL)"; return 0 ;;
      *) die "KELMO_QEMU_ACCEL must be kvm or tcg, not '$KELMO_QEMU_ACCEL'" ;;
    esac
  fi
  local accel=tcg out
  if [ -w /dev/kvm ] && [ -n "${KERNEL_IMAGE:-}" ]; then
    out=$(timeout -k 2 20 qemu-system-x86_64 -accel kvm -nographic -nodefaults -serial stdio -m 256 \
      -no-reboot -kernel "$KERNEL_IMAGE" -append "console=ttyS0 panic=-1" </dev/null 2>&1 | head -c 65536 || true)
    grep -aq 'Linux version' <<<"$out" && accel=kvm
  fi
  # Decided once: every later boot of this run (and its children) uses it.
  export KELMO_QEMU_ACCEL=$accel
  log "QEMU accelerator: $accel$([ -e /dev/kvm ] && [ "$accel" = tcg ] && echo ' (/dev/kvm does not run a guest here)')"
}

# boot_vm LOG SECONDS DISK_KIND CMDLINE...: one boot; DISK_KIND is virtio,
# usb, or virtio4k (a disk of 4096-byte logical sectors). The disk is attached writable on purpose, so a write would reach the
# image and show in its hash.
boot_vm() {
  local log=$1 seconds=$2 kind=$3
  shift 3
  local accel=${KELMO_QEMU_ACCEL:-}
  [ -n "$accel" ] || die "boot_vm before choose_accel"
  local disk=()
  case $kind in
    virtio) disk=(-drive "file=$STICK_IMG,format=raw,if=virtio") ;;
    usb) disk=(-device "qemu-xhci,id=xhci" -drive "if=none,id=stick,file=$STICK_IMG,format=raw"
      -device "usb-storage,bus=xhci.0,drive=stick") ;;
    virtio4k) disk=(-drive "if=none,id=stick,file=$STICK_IMG,format=raw"
      -device "virtio-blk-pci,drive=stick,logical_block_size=4096,physical_block_size=4096") ;;
    *) die "unknown disk kind $kind" ;;
  esac
  local status=0 pid
  timeout -k 5 "$seconds" qemu-system-x86_64 -accel "$accel" -nographic -nodefaults -serial stdio \
    -m 512 -no-reboot -kernel "$KERNEL_IMAGE" -initrd "$INITRAMFS" "${disk[@]}" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 $*" </dev/null >"$log" 2>&1 &
  pid=$!
  echo "$pid" >"$log.pid"
  wait "$pid" || status=$?
  rm -f "$log.pid"
  tr -d '\r' <"$log" >"$log.txt"
  return $status
}

# What the kelmo.usb boots need beyond the base image, in an uncompressed
# archive appended to INITRAMFS (the kernel unpacks one after the other): the
# exfat group, loaded only by the boots that mount the stick, and dmsetup
# with its libraries, to read back and remove the devices kelmo-map made.
# Called after build_initramfs, whose module index it reuses.
# shellcheck disable=SC2034
EXFAT_MODULES=(exfat)
append_stick_tools() {
  local out=$1 root m f lib dmsetup
  dmsetup=$(command -v dmsetup) || die "dmsetup is missing (install dmsetup)"
  root=$(mktemp -d /tmp/kelmo-initramfs-usb.XXXXXX)
  TMP_PATHS+=("$root")
  chmod 0755 "$root"
  mkdir -p "$root/bin" "$root/lib/kelmo/modules"
  MOD_FILES=()
  for m in "${EXFAT_MODULES[@]}"; do mod_order "$m"; done
  for f in "${MOD_FILES[@]}"; do copy_module "$f" "$root/lib/kelmo/modules"; done >"$root/lib/kelmo/exfat.list"
  cp -L "$dmsetup" "$root/bin/dmsetup"
  # The libraries and the loader at the paths ldd names: the loader finds
  # them there without a cache.
  while IFS= read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done < <(ldd "$dmsetup" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}')
  # An uncompressed archive is only looked for at a multiple of 4 bytes from
  # the start; the zeros before it are skipped.
  truncate -s %4 "$out"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >>"$out"
}
