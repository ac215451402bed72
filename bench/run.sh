#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Benchmarks of kelmo-map against the usual way (exfat and loop modules in
# the initramfs, mount, losetup) and against the physical limit; prints one
# Markdown table. Not part of the test suite.
#
#   sudo bench/run.sh [BINARY]
#
# BINARY defaults to build/kelmo-map, built here with CMake (the shipped
# musl build). The glibc build (-DKELMO_LIBC=glibc) is measured beside it.
# Parts, all by default:
#   host  kelmo-map --test on sparse 37 GiB exFAT images (bench/mkexfat.py),
#         next to one sequential read of the bytes that must be read; and
#         for each file read through the FAT: cold, against one read of the
#         FAT bytes its chain spans in 1 MiB reads; warm, the walk's cost
#         per cluster (against the contiguous file of the same length)
#   vm    boots of the boot tests' Debian kernel under QEMU, one per ISO
#         layout: read throughput of kelmo-iso, of the raw partition and of
#         a loop device on the mounted exFAT, and the time each way takes to
#         set up. First with the stick image served from the host's page
#         cache (under TCG the guest's CPU is then the limit), then again
#         with QEMU throttling the stick's reads to a USB stick's rate
#   size  the static binaries next to exfat.ko and loop.ko
# Environment: KELMO_BENCH_PARTS ("host vm size"), KELMO_BENCH_REPS (21),
# KELMO_BENCH_COLD_REPS (9), KELMO_BENCH_FAT_REPS (15), KELMO_BENCH_ISO_MIB (256), KELMO_BENCH_ROUNDS
# (7 per boot), KELMO_BENCH_THROTTLE_MBS (100; 0 for no throttled boots),
# KELMO_BENCH_THROTTLED_ROUNDS (4 per boot), KELMO_BENCH_BOOTS (1 per
# layout and disk), KELMO_BENCH_READ_AHEAD_KB (unset: the kernel's default;
# else set on every device read in the guest), KELMO_BENCH_SAVE (a
# directory to keep the raw results and serial logs in).
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
TOP=$(dirname "$BENCH_DIR")
. "$TOP/tests/boot/lib.sh"

PARTS=${KELMO_BENCH_PARTS:-host vm size}
REPS=${KELMO_BENCH_REPS:-21}
COLD_REPS=${KELMO_BENCH_COLD_REPS:-9}
FAT_REPS=${KELMO_BENCH_FAT_REPS:-15}
ISO_MIB=${KELMO_BENCH_ISO_MIB:-256}
ROUNDS=${KELMO_BENCH_ROUNDS:-7}
THROTTLE_MBS=${KELMO_BENCH_THROTTLE_MBS:-100}
THROTTLED_ROUNDS=${KELMO_BENCH_THROTTLED_ROUNDS:-4}
BOOTS=${KELMO_BENCH_BOOTS:-1}
READ_AHEAD_KB=${KELMO_BENCH_READ_AHEAD_KB:-}
CLUSTER_KIB=32  # the stick in the guest: mkfs.exfat's choice for 256 MiB to 32 GiB
want() { [[ " $PARTS " == *" $1 "* ]]; }

# The fragmented copy has 4096 runs of at least one cluster.
((ISO_MIB * 1024 >= 4096 * CLUSTER_KIB)) || die "KELMO_BENCH_ISO_MIB must be at least $((4 * CLUSTER_KIB))"
[ "$(id -u)" = 0 ] || die "run as root (page cache control, loop devices, QEMU images)"
[ $# -le 1 ] || die "usage: $0 [BINARY]"
need_tools
missing=()
for t in python3 strace gcc gzip cmake; do command -v "$t" >/dev/null || missing+=("$t"); done
[ -f /usr/lib/x86_64-linux-musl/libc.a ] || missing+=(musl)
[ -f "$(gcc -print-file-name=libc.a)" ] || missing+=(libc.a)
if ((${#missing[@]})); then
  log "installing tools (missing: ${missing[*]})"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3 strace gcc g++ \
    libc6-dev cmake make musl-tools musl-dev gzip >/dev/null || die "apt-get install failed"
fi

make_work kelmo-bench
if [ $# -eq 1 ]; then
  BINARY=$(realpath "$1")
else
  log "building build/kelmo-map"
  (cd "$TOP" && cmake -S . -B build >/dev/null && cmake --build build -j"$(nproc)" --target kelmo-map >/dev/null)
  BINARY=$TOP/build/kelmo-map
fi
file -L "$BINARY" | grep -q 'statically linked' || die "$BINARY is not a static binary"
log "building the glibc variant"
cmake -S "$TOP" -B "$WORK/glibc" -DKELMO_LIBC=glibc -DKELMO_TESTS=OFF >/dev/null &&
  cmake --build "$WORK/glibc" -j"$(nproc)" --target kelmo-map >/dev/null || die "the glibc build failed"
GLIBC=$WORK/glibc/kelmo-map
gcc -O2 -static -s -o "$WORK/readrange" "$BENCH_DIR/readrange.c"
gcc -O2 -static -s -o "$WORK/timeit" "$BENCH_DIR/guest/timeit.c"

report_args=()

if want host; then
  for k in 4 32; do
    log "host: building a sparse exFAT image with $k KiB clusters"
    python3 "$BENCH_DIR/mkexfat.py" host "$WORK/host-$k.img" --cluster-kib "$k" --manifest "$WORK/host-$k.json"
  done
  sync
  log "host: timing (this machine's other jobs add noise: medians of back-to-back pairs)"
  python3 "$BENCH_DIR/hostbench.py" --out "$WORK/host.json" --readrange "$WORK/readrange" \
    --binary "kelmo-map=$BINARY" --binary "glibc=$GLIBC" --reps "$REPS" --cold-reps "$COLD_REPS" --fat-reps "$FAT_REPS" \
    "$WORK/host-4.json" "$WORK/host-32.json"
  rm -f "$WORK"/host-*.img
  report_args+=(--host "$WORK/host.json")
fi

if want vm || want size; then
  fetch_kernel
  log "kernel: $KERNEL_PACKAGE"
fi

if want vm; then
  log "vm: a $ISO_MIB MiB ISO on an exFAT stick, once in one run and once in 4096"
  mkdir -p "$WORK/iso"
  head -c $((ISO_MIB << 20)) /dev/urandom >"$WORK/iso/DATA.BIN"
  make_iso "$WORK/iso" "$WORK/bench.iso" KELMO_BENCH
  rm -f "$WORK/iso/DATA.BIN"
  iso_size=$(stat -c %s "$WORK/bench.iso")
  # Two copies of the ISO, the fragmented one's gaps (one cluster per run),
  # and room for the FAT and the rest.
  STICK_IMG=$WORK/stick.img
  stick_mib=$(((2 * iso_size + 4096 * CLUSTER_KIB * 1024) / 1048576 + 64))
  truncate -s "${stick_mib}M" "$STICK_IMG"
  printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$STICK_IMG"
  read -r start size < <(sfdisk -d "$STICK_IMG" | sed -n 's/.*start= *\([0-9]*\), *size= *\([0-9]*\),.*/\1 \2/p')
  python3 "$BENCH_DIR/mkexfat.py" stick "$STICK_IMG" --offset $((start * 512)) --size $((size * 512)) \
    --cluster-kib "$CLUSTER_KIB" --serial "$STICK_SERIAL_HEX" --iso "$WORK/bench.iso" --manifest "$WORK/stick.json"
  rm -f "$WORK/bench.iso"
  LOOP_DEV=$(losetup -f --show -r -o $((start * 512)) --sizelimit $((size * 512)) "$STICK_IMG")
  fsck.exfat -n "$LOOP_DEV" >/dev/null || die "fsck.exfat: the stick's volume is not clean"
  losetup -d "$LOOP_DEV"
  LOOP_DEV=
  # What the guest needs to know, from the manifest the stick was built with.
  python3 - "$WORK/stick.json" "$STICK_SERIAL" >"$WORK/expect.sh" <<'EOF'
import json, sys
m = json.load(open(sys.argv[1]))
t = {x["path"]: x for x in m["targets"]}
c, f = t["/isos/contig.iso"], t["/isos/frag.iso"]
assert c["runs"] == 1 and f["runs"] == 4096 and c["length"] == f["length"]
print("SERIAL=%s\nCONTIG_PATH=%s\nFRAG_PATH=%s\nISO_SIZE=%d\nCONTIG_OFFSET=%d" % (
    sys.argv[2], c["path"], f["path"], c["length"], c["first_byte"]))
EOF
  # Same bytes as the host wrote, from the image itself.
  off=$(sed -n 's/^CONTIG_OFFSET=//p' "$WORK/expect.sh")
  echo "ISO_SHA=$(dd if="$STICK_IMG" bs=1M skip=$((start * 512 + off)) count="$iso_size" \
    iflag=skip_bytes,count_bytes status=none | sha256sum | cut -d' ' -f1)" >>"$WORK/expect.sh"
  for p in /isos/contig.iso /isos/frag.iso; do
    runs=$(KELMO_MAP_OFFSET=$((start * 512)) "$BINARY" --test "$STICK_IMG" "$p")
    log "stick: $p: ${runs%%$'\n'*}"
  done

  # The boot tests' initramfs with only the virtio disk driver loaded at
  # boot; the modules each way needs, the timer and the benchmark's /init
  # go in a second archive, which the kernel unpacks over the first.
  # shellcheck disable=SC2034 # read by build_initramfs
  BASE_MODULES=(virtio_pci virtio_blk)
  # shellcheck disable=SC2034
  USB_MODULES=()
  INITRAMFS=$WORK/initramfs.gz
  build_initramfs "$WORK/initramfs-base.gz" "$BINARY" "$WORK/expect.sh"
  extra=$WORK/extra
  mkdir -p "$extra/bench/modules"
  install -m 0755 "$BENCH_DIR/guest/init" "$extra/bench/init"
  install -m 0755 "$WORK/timeit" "$extra/bench/timeit"
  for m in exfat loop dm_mod; do
    MOD_FILES=()
    mod_order "$m"
    ((${#MOD_FILES[@]} == 1)) || die "$m: needs other modules too (${MOD_FILES[*]}); load them in the guest"
    copy_module "${MOD_FILES[0]}" "$extra/bench/modules" >/dev/null
  done
  (cd "$extra" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$WORK/initramfs-bench.gz"
  cat "$WORK/initramfs-base.gz" "$WORK/initramfs-bench.gz" >"$INITRAMFS"

  # For the throttled boots, boot_vm's QEMU is this wrapper, which adds
  # QEMU's read throttling to the stick's -drive option.
  mkdir -p "$WORK/throttle"
  cat >"$WORK/throttle/qemu-system-x86_64" <<WRAPPER
#!/usr/bin/env bash
args=() done=0
for a in "\$@"; do
  case \$a in file=*,if=virtio) a=\$a,throttling.bps-read=\$((THROTTLE_MBS * 1000000)) done=1 ;; esac
  args+=("\$a")
done
((done)) || { echo "throttle wrapper: no virtio -drive option in: \$*" >&2; exit 1; }
exec $(command -v qemu-system-x86_64) "\${args[@]}"
WRAPPER
  chmod +x "$WORK/throttle/qemu-system-x86_64"

  # Unthrottled, the guest's reads come from the host's page cache.
  cat "$STICK_IMG" >/dev/null
  logs=()
  conditions=(unthrottled)
  ((THROTTLE_MBS > 0)) && conditions+=("${THROTTLE_MBS}MB/s")
  for disk in "${conditions[@]}"; do
    rounds=$ROUNDS path=$PATH
    if [ "$disk" != unthrottled ]; then rounds=$THROTTLED_ROUNDS path=$WORK/throttle:$PATH; fi
    for ((b = 1; b <= BOOTS; b++)); do
      for layout in contig frag; do
        name=boot-$layout-${disk%%/*}-$b
        log "vm: $disk disk, $layout ISO, boot $b ($rounds rounds)"
        t0=$(date +%s)
        status=0
        # Normal boots take 1 to 3 minutes here; a stuck one is cut off.
        PATH=$path THROTTLE_MBS=$THROTTLE_MBS boot_vm "$WORK/$name.log" 1200 virtio \
          "rdinit=/bench/init kelmo.bench=$layout kelmo.rounds=$rounds kelmo.disk=$disk${READ_AHEAD_KB:+ kelmo.ra=$READ_AHEAD_KB}" ||
          status=$?
        log "vm: boot took $(($(date +%s) - t0)) s, qemu status $status"
        grep -aq 'KELMO-BENCH done' "$WORK/$name.log.txt" ||
          die "boot $name did not finish; last lines: $(grep -a 'KELMO-BENCH' "$WORK/$name.log.txt" | tail -n 3)"
        logs+=("$WORK/$name.log.txt")
      done
    done
  done
  report_args+=(--accel "$KELMO_QEMU_ACCEL" --vm "${logs[@]}")
fi

if want size; then
  report_args+=(--size "kelmo-map (shipped: musl, static)=$BINARY" --size "kelmo-map (glibc, static)=$GLIBC")
  index_modules
  for m in exfat loop dm_mod; do report_args+=(--module "$m.ko=${MOD_PATH[$m]}"); done
fi

if [ -n "${KELMO_BENCH_SAVE:-}" ]; then
  mkdir -p "$KELMO_BENCH_SAVE"
  cp "$WORK"/*.json "$WORK"/*.log.txt "$KELMO_BENCH_SAVE"/ 2>/dev/null || true
fi
# The accelerator the boots used, as choose_accel (called by fetch_kernel) chose it.
case ${KELMO_QEMU_ACCEL:-} in
  kvm) accel_note="QEMU with KVM, " ;;
  tcg) accel_note="QEMU under TCG (no usable KVM), " ;;
  *) accel_note= ;;
esac
want vm || accel_note=
echo "## kelmo-map benchmarks, $(date -u +%Y-%m-%d), $(nproc) cores, ${accel_note}host kernel $(uname -r)"
echo
python3 "$BENCH_DIR/report.py" "${report_args[@]}"
