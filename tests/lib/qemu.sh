# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# QEMU for the boot tests (sourced, never run; after images.sh): the choice
# of accelerator, one launcher for every boot (a kernel started directly, or
# a disk from power-on through SeaBIOS or OVMF, with or without Secure Boot),
# and a table of boots run side by side.

[ -z "${_KELMO_LIB_QEMU-}" ] || return 0
_KELMO_LIB_QEMU=1

OVMF_DIR=${KELMO_OVMF_DIR:-/usr/share/OVMF}

# Boots still running on exit: each launcher leaves the id of its timeout in
# QEMU_PIDS; they are stopped there (timeout passes the signal on to its
# QEMU) and waited for before images.sh detaches and removes the rest.
QEMU_PIDS=$(mktemp -d /tmp/kelmo-qemu.XXXXXX)
TMP_PATHS+=("$QEMU_PIDS")
stop_boots() {
  local f
  for f in "$QEMU_PIDS"/*; do
    [ -f "$f" ] && { kill "$(cat "$f")" 2>/dev/null || true; }
  done
  wait
}
EXIT_HOOKS+=(stop_boots)

# qemu_accel: sets and exports KELMO_QEMU_ACCEL, the accelerator of every
# boot of this run (and of its children): the variable's value (kvm or tcg)
# when set, else KVM only if a kernel really runs under it. /dev/kvm can be
# there and writable while the CPU offers no virtualization to this machine
# (QEMU then stops after "Booting from ROM"), so the probe boots KERNEL_IMAGE
# (fetch_kernel) without an initramfs and waits for its first console line.
qemu_accel() {
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
  export KELMO_QEMU_ACCEL=$accel
  log "QEMU accelerator: $accel$([ -e /dev/kvm ] && [ "$accel" = tcg ] && echo ' (/dev/kvm does not run a guest here)')"
}

# qemu_boot LOG SECONDS OPTION... [-- QEMU_ARGUMENT...]: one boot, its
# console (the first serial port) in LOG and, cleaned of carriage returns and
# escape sequences, in LOG.txt; QEMU is stopped after SECONDS. Returns QEMU's
# status (124: stopped by the timeout). Options:
#   --kernel IMAGE --initrd FILE --append PARAMS
#                        start IMAGE directly (PARAMS whole: console=ttyS0
#                        is not added)
#   --firmware bios|uefi|uefi-secure
#                        from power-on: SeaBIOS; OVMF; OVMF with Secure Boot
#                        on and Microsoft's keys enrolled (q35 with SMM).
#                        The variables are a fresh copy, LOG.vars, unless
#                        --vars names a file to keep them in.
#   --disk KIND:IMAGE    a disk, writable (a write shows in the image's
#                        hash); KIND virtio, usb (mass storage on xHCI) or
#                        virtio4k (4096-byte logical sectors). Repeatable;
#                        the Nth disk's device has the id diskN (for
#                        device_del on the monitor), the first boots first.
#   --blkdebug CONFIG    the last disk through blkdebug with CONFIG (errors
#                        injected at chosen sectors: blkdebug_config)
#   --drive-options OPTS more -drive options of the last disk (e.g.
#                        throttling.iops-read=1, a slow stick)
#   --monitor SOCKET     QEMU's monitor on the unix socket SOCKET
#                        (monitor_send)
#   --machine TYPE       default pc, q35 for firmware boots
#   --memory MIB         default 512, 1024 for firmware boots
#   --product NAME       the SMBIOS system product name (type 1)
# Needs KELMO_QEMU_ACCEL (qemu_accel).
qemu_boot() {
  local log=$1 seconds=$2
  shift 2
  local monitor='' kernel='' initrd='' append='' fw='' vars='' machine='' memory='' product=''
  local disks=() blk=() opts=()
  while (($#)); do
    case $1 in
      --kernel) kernel=$2 ;;
      --initrd) initrd=$2 ;;
      --append) append=$2 ;;
      --firmware) fw=$2 ;;
      --vars) vars=$2 ;;
      --disk) disks+=("$2"); blk+=(""); opts+=("") ;;
      --blkdebug | --drive-options)
        ((${#disks[@]})) || die "qemu_boot: $1 before any --disk"
        if [ "$1" = --blkdebug ]; then blk[${#blk[@]} - 1]=$2; else opts[${#opts[@]} - 1]+=,$2; fi
        ;;
      --monitor) monitor=$2 ;;
      --machine) machine=$2 ;;
      --memory) memory=$2 ;;
      --product) product=$2 ;;
      --) shift; break ;;
      *) die "qemu_boot: unknown option $1" ;;
    esac
    shift 2
  done
  [ -n "${KELMO_QEMU_ACCEL:-}" ] || die "qemu_boot before qemu_accel"
  [ -n "$kernel" ] || [ -n "$fw" ] || die "qemu_boot: neither --kernel nor --firmware"
  local args=(-accel "$KELMO_QEMU_ACCEL" -nographic -nodefaults -serial stdio -no-reboot)
  [ -z "$monitor" ] || args+=(-monitor "unix:$monitor,server,nowait")
  local code='' keep_vars=1 vars_from=
  case $fw in
    '') ;;
    bios) ;;
    uefi) code=$OVMF_DIR/OVMF_CODE_4M.fd vars_from=$OVMF_DIR/OVMF_VARS_4M.fd ;;
    uefi-secure)
      code=$OVMF_DIR/OVMF_CODE_4M.secboot.fd vars_from=$OVMF_DIR/OVMF_VARS_4M.ms.fd
      machine=${machine:-q35,smm=on}
      args+=(-global "driver=cfi.pflash01,property=secure,value=on")
      ;;
    *) die "qemu_boot: unknown firmware $fw" ;;
  esac
  if [ -n "$code" ]; then
    [ -f "$code" ] && [ -f "$vars_from" ] || die "OVMF is missing ($code, $vars_from): tools/deps.sh installs ovmf"
    if [ -z "$vars" ]; then
      vars=$log.vars
      keep_vars=0
      cp "$vars_from" "$vars"
    elif [ ! -f "$vars" ]; then
      cp "$vars_from" "$vars"
    fi
    args+=(-drive "if=pflash,format=raw,readonly=on,file=$code" -drive "if=pflash,format=raw,file=$vars")
  fi
  if [ -n "$fw" ]; then
    args+=(-machine "${machine:-q35}" -m "${memory:-1024}")
  else
    [ -z "$machine" ] || args+=(-machine "$machine")
    args+=(-m "${memory:-512}" -kernel "$kernel")
    [ -z "$initrd" ] || args+=(-initrd "$initrd")
    args+=(-append "$append")
  fi
  [ -z "$product" ] || args+=(-smbios "type=1,product=$product")
  local usb=0 i kind image drive boot
  for i in "${!disks[@]}"; do
    kind=${disks[i]%%:*}
    image=${disks[i]#*:}
    if [ -n "${blk[i]}" ]; then
      drive="if=none,id=drive$i,format=raw,file.driver=blkdebug,file.config=${blk[i]}"
      drive+=",file.image.driver=file,file.image.filename=$image"
    else
      drive="if=none,id=drive$i,file=$image,format=raw"
    fi
    drive+=${opts[i]}
    boot=
    [ -n "$fw" ] && ((i == 0)) && boot=,bootindex=0
    case $kind in
      virtio) args+=(-drive "$drive" -device "virtio-blk-pci,id=disk$i,drive=drive$i$boot") ;;
      virtio4k) args+=(-drive "$drive"
        -device "virtio-blk-pci,id=disk$i,drive=drive$i,logical_block_size=4096,physical_block_size=4096$boot") ;;
      usb)
        ((usb++)) || args+=(-device "qemu-xhci,id=xhci")
        args+=(-drive "$drive" -device "usb-storage,id=disk$i,bus=xhci.0,drive=drive$i$boot")
        ;;
      *) die "qemu_boot: unknown disk kind $kind" ;;
    esac
  done
  local status=0 pid pidfile
  pidfile=$(mktemp "$QEMU_PIDS/boot.XXXXXX")
  timeout -k 5 "$seconds" qemu-system-x86_64 "${args[@]}" "$@" </dev/null >"$log" 2>&1 &
  pid=$!
  echo "$pid" >"$pidfile"
  wait "$pid" || status=$?
  rm -f "$pidfile"
  ((keep_vars)) || rm -f "$vars"
  tr -d '\r' <"$log" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' >"$log.txt"
  return $status
}

# kernel_boot LOG SECONDS INITRD KIND:IMAGE PARAMS [OPTION...]: the test
# kernel started directly with INITRD and one disk, its console quiet but
# for errors; OPTIONs as qemu_boot's. no_timer_check: on a loaded host under
# TCG the kernel's IO-APIC timer check can fail and panic before init.
kernel_boot() {
  local log=$1 seconds=$2 initrd=$3 disk=$4 params=$5
  shift 5
  qemu_boot "$log" "$seconds" --kernel "$KERNEL_IMAGE" --initrd "$initrd" --disk "$disk" \
    --append "console=ttyS0 quiet loglevel=3 panic=-1 no_timer_check $params" "$@"
}

# blkdebug_config FILE SECTOR...: a blkdebug configuration under which every
# read of a request that covers one of the SECTORs (512 bytes, from the
# disk's start) fails with EIO, as a stick's bad sectors do.
blkdebug_config() {
  local file=$1 sector
  shift
  : >"$file"
  for sector in "$@"; do
    printf '[inject-error]\nevent = "read_aio"\nerrno = "5"\nsector = "%s"\n\n' "$sector" >>"$file"
  done
}

# monitor_send SOCKET COMMAND: COMMAND to the monitor of the QEMU started with
# --monitor SOCKET (e.g. device_del disk0: the disk pulled out); prints the
# monitor's answer.
monitor_send() {
  python3 - "$1" "$2" <<'EOF'
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
time.sleep(0.2)
s.recv(65536)
s.sendall(sys.argv[2].encode() + b"\n")
time.sleep(0.5)
print(s.recv(65536).decode(errors="replace").replace("\r", ""))
EOF
}

# job_result FILE: $status and $took from the "STATUS SECONDS" line timed
# left in FILE; "missing" and "?" without it.
# shellcheck disable=SC2034 # status and took are for the caller
job_result() {
  status=missing took='?'
  if [ -f "$1" ]; then read -r status took <"$1"; fi
}

# side_by_side DIR FUNCTION ENTRY...: FUNCTION ENTRY for each entry, at most
# KELMO_BOOT_JOBS (default: the number of CPUs) at once; each leaves its
# status and time in DIR/NAME.status (NAME: the entry up to its first |),
# for job_result. Returns when all have ended.
side_by_side() {
  local dir=$1 fn=$2 entry most=${KELMO_BOOT_JOBS:-$(nproc)} pids=() running p
  shift 2
  for entry in "$@"; do
    # Only this table's jobs count (a FUSE daemon may run beside them).
    while running=0 && for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && running=$((running + 1)); done &&
      ((running >= most)); do
      wait -n || true
    done
    timed "$dir/${entry%%|*}.status" "$fn" "$entry" &
    pids+=($!)
  done
  wait "${pids[@]}" 2>/dev/null || true
}
# only_boots: with KELMO_BOOT_ONLY set (names, space-separated), BOOTS keeps
# only those entries: a quicker look at a few boots. Unset, as in the suite,
# every boot runs.
only_boots() {
  [ -n "${KELMO_BOOT_ONLY:-}" ] || return 0
  local entry kept=()
  for entry in "${BOOTS[@]}"; do
    [[ " $KELMO_BOOT_ONLY " == *" ${entry%%|*} "* ]] && kept+=("$entry")
  done
  log "KELMO_BOOT_ONLY: ${#kept[@]} of ${#BOOTS[@]} boots"
  BOOTS=("${kept[@]}")
}

# timed FILE COMMAND...: runs COMMAND, then writes its status and time in
# seconds to FILE, for job_result.
timed() {
  local out=$1 t0 status=0
  shift
  t0=$(date +%s)
  "$@" || status=$?
  echo "$status $(($(date +%s) - t0))" >"$out"
}
