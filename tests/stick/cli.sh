#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# kelmo-stick on image files and loop devices, as root: prepare (MBR and
# GPT), what it writes where, the boot sector against grub-bios-setup's,
# update keeping every other byte, list and next, an interrupted prepare,
# every bad input (its line, its status, the target's bytes unchanged), and
# the command run from an install into DESTDIR and another prefix.
#
#   tests/stick/cli.sh BUILD_DIR      (configured and built if needed)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
# shellcheck source=../lib/results.sh
. "$top/tests/lib/results.sh"
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

work=$(mktemp -d /tmp/kelmo-stick-cli.XXXXXX)
loops=() mounts=()
finish() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" 2>/dev/null || true; done
  for i in "${loops[@]}"; do losetup -d "$i" 2>/dev/null || true; done
  # Loop devices a killed kelmo-stick left behind on our images.
  for i in "$work"/*.img; do
    [ -e "$i" ] && losetup -j "$i" -n -O NAME | xargs -r -n1 losetup -d 2>/dev/null || true
  done
  rm -rf "$work"
  stopped_early
}
trap finish EXIT

if [ ! -f "$build/CMakeCache.txt" ]; then cmake -S "$top" -B "$build" >/dev/null; fi
cmake --build "$build" -j"$(nproc)" >/dev/null
ks=$build/stick/kelmo-stick
[ -x "$ks" ] || { echo "not ok - $ks was not built"; exit 1; }

# run ARGS...: kelmo-stick with stdin closed; $out, $err and $status.
run() {
  status=0
  "$ks" "$@" </dev/null >"$work/out" 2>"$work/err" || status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}
explain_failure() { printf '#   status %s\n#   stdout: %s\n#   stderr: %s\n' "$status" "${out:0:400}" "$(tail -n 3 <<<"$err")"; }
image() { rm -f "$1"; truncate -s "$2" "$1"; }
esp_off() { echo $(($(sfdisk -d "$1" | sed -n 's/^[^ ]*2 : start= *\([0-9]*\),.*/\1/p') * 512)); }
esp_cat() { mtype -i "$1@@$(esp_off "$1")" "::$2"; }
loop_of() { # IMAGE: l is a loop device over it, with its partitions
  l=$(losetup -P -f --show "$1")
  loops+=("$l")
  # Where no udev scans partitions, they are added here.
  [ -b "${l}p1" ] || partx -a "$l" 2>/dev/null || true
  udevadm settle 2>/dev/null || true
  [ -b "${l}p1" ]
}
unloop() { losetup -d "$1"; }
# (Just after an unmount the last driver may still hold DEVICE, for as long
# as the mount namespace of a kelmo-stick that worked through that mount
# takes to go: tried again for 5 s.)
fuse_mount() { # DEVICE DIR [OPTIONS]
  local i
  mkdir -p "$2"
  for ((i = 0; i < 50; i++)); do
    mount.exfat-fuse ${3:+-o "$3"} "$1" "$2" >/dev/null 2>&1 && break
    sleep 0.1
  done
  mounts+=("$2")
  mountpoint -q "$2"
}
sums() { sha256sum "$1" | cut -d' ' -f1; }
blk() { blkid -p -O "$2" -o export "$1" | sed -n "s/^$3=//p"; } # IMAGE OFFSET TAG

# --- prepare on an image file ---------------------------------------------------

img=$work/stick.img
image "$img" 200M
run prepare --yes "$img"
check "prepare --yes on an image file ends with status 0" [ "$status" = 0 ]
serial=$(blkid -p -O 1048576 -o value -s UUID "$img")
check "it prints the exFAT serial ($serial) and the next step" \
  bash -c 'grep -qx "kelmo-stick: pronto: partição exFAT KELMO, serial $1" <<<"$2" && grep -q "Copie arquivos ISO" <<<"$3"' _ "$serial" "$err" "$out"
check "it shows each step as it goes" \
  bash -c '[ "$(grep -c "^kelmo-stick: " <<<"$1")" -ge 8 ] && grep -qx "kelmo-stick: instalando o GRUB para BIOS" <<<"$1"' _ "$err"
table=$(sfdisk -d "$img")
check "an MBR: p1 type 0x07 from 1 MiB, p2 type 0xef of 64 MiB ending at the last MiB" \
  bash -c 'grep -qx "label: dos" <<<"$1" &&
    grep -Eq "^[^ ]*1 : start= +2048, size= +276480, type=7$" <<<"$1" &&
    grep -Eq "^[^ ]*2 : start= +278528, size= +131072, type=ef$" <<<"$1" &&
    [ "$(grep -c " : start=" <<<"$1")" = 2 ]' _ "$table"
check "p1 is exFAT, labelled KELMO" [ "$(blk "$img" 1048576 TYPE) $(blk "$img" 1048576 LABEL)" = "exfat KELMO" ]
eoff=$(esp_off "$img")
check "p2 is FAT32, labelled KELMO-EFI" [ "$(blk "$img" "$eoff" TYPE) $(blk "$img" "$eoff" LABEL) $(blk "$img" "$eoff" VERSION)" = "vfat KELMO-EFI FAT32" ]
esp_uuid=$(blkid -p -O "$eoff" -o value -s UUID "$img")

# Every file the boot needs, with the bytes of its source.
same() { cmp -s <(esp_cat "$img" "$1") "$2"; }
check "/EFI/BOOT/BOOTX64.EFI is Debian's signed shim" same /EFI/BOOT/BOOTX64.EFI /usr/lib/shim/shimx64.efi.signed
check "/EFI/BOOT/grubx64.efi is Debian's signed GRUB" same /EFI/BOOT/grubx64.efi /usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed
check "/EFI/BOOT/mmx64.efi is MokManager" same /EFI/BOOT/mmx64.efi /usr/lib/shim/mmx64.efi.signed
check "/kelmo/kelmo-addon.img is the build's add-on" same /kelmo/kelmo-addon.img "$build/packaging/kelmo-addon.img"
mods_ok() { # ESPDIR SYSDIR
  local f
  for f in "$2"/*.mod "$2"/*.lst; do cmp -s <(esp_cat "$img" "$1/${f##*/}") "$f" || return 1; done
  [ "$(mdir -i "$img@@$eoff" -b "::$1" | wc -l)" = "$(ls "$2"/*.mod "$2"/*.lst | wc -l)" ]
}
check "/EFI/debian/x86_64-efi holds grub-efi-amd64-bin's modules, exfat.mod among them" \
  bash -c "$(declare -f mods_ok esp_cat esp_off); img=$img eoff=$eoff; mods_ok /EFI/debian/x86_64-efi /usr/lib/grub/x86_64-efi && esp_cat \$img /EFI/debian/x86_64-efi/exfat.mod >/dev/null"
check "/boot/grub/i386-pc holds grub-pc-bin's modules" \
  bash -c "$(declare -f mods_ok esp_cat esp_off); img=$img eoff=$eoff; mods_ok /boot/grub/i386-pc /usr/lib/grub/i386-pc"
check "every menu script of stick/grub is in /boot/grub/kelmo, byte for byte" \
  bash -c 'for f in "$1"/stick/grub/*.cfg; do cmp -s <(mtype -i "$2" "::/boot/grub/kelmo/${f##*/}") "$f" || exit 1; done' _ "$top" "$img@@$eoff"
check "/EFI/debian/grub.cfg finds this ESP by its volume id and runs /boot/grub/grub.cfg" \
  bash -c 'grep -qx "search --no-floppy --fs-uuid --set=root $1" <<<"$2" && grep -qx "configfile (\$root)/boot/grub/grub.cfg" <<<"$2"' \
  _ "$esp_uuid" "$(esp_cat "$img" /EFI/debian/grub.cfg)"
gcfg=$(esp_cat "$img" /boot/grub/grub.cfg)
check "/boot/grub/grub.cfg: serial and console, the one-shot next_entry, then the menu" \
  bash -c 'grep -qx "serial --unit=0 --speed=115200" <<<"$1" && grep -qx "terminal_input serial console" <<<"$1" &&
    grep -qx "terminal_output serial console" <<<"$1" && grep -q "load_env --file /boot/grub/grubenv" <<<"$1" &&
    grep -q "save_env --file /boot/grub/grubenv next_entry" <<<"$1" && grep -qx "source /boot/grub/kelmo/menu.cfg" <<<"$1"' _ "$gcfg"
check "grub-script-check accepts /boot/grub/grub.cfg" grub-script-check <(printf '%s\n' "$gcfg")
check "vars.cfg sets kelmo_uuid to the serial and an empty kelmo_append" \
  [ "$(esp_cat "$img" /boot/grub/kelmo/vars.cfg | grep -v kelmo_esp_uuid)" = "$(printf 'set kelmo_uuid="%s"\nset kelmo_append=""' "$serial")" ]
check "entries.cfg is there, empty" [ -z "$(esp_cat "$img" /boot/grub/kelmo/entries.cfg)" ]
check "/boot/grub/grubenv is GRUB's environment block, with no next_entry" \
  bash -c 'esp=$(mktemp); mtype -i "$1" ::/boot/grub/grubenv >"$esp"; [ "$(stat -c %s "$esp")" = 1024 ] && [ -z "$(grub-editenv "$esp" list)" ]; r=$?; rm -f "$esp"; exit $r' _ "$img@@$eoff"
check "/kelmo/stick.conf: format 1, complete, the serial, the label, no append" \
  [ "$(esp_cat "$img" /kelmo/stick.conf)" = "$(printf 'format=1\nstate=complete\nserial=%s\nlabel=KELMO\nappend=' "$serial")" ]
check "prepare wrote nothing on the exFAT partition: it is empty" \
  bash -c 'd=$(mktemp -d); l=$(losetup -r -f --show -o 1048576 --sizelimit $((276480 * 512)) "$1"); mount.exfat-fuse -o ro "$l" "$d" >/dev/null 2>&1 &&
    n=$(ls -A "$d" | wc -l); umount "$d"; losetup -d "$l"; rmdir "$d"; [ "${n:-1}" = 0 ]' _ "$img"

# The boot sector and core image are what grub-bios-setup (--no-rs-codes)
# writes: it is run here on a copy, with its directory on a file system of a
# loop device (it must open the device its directory is on).
bios_setup_same() { # IMAGE CORE_AT
  local img=$1 d=$work/gbs copy=$work/gbs.img fs=$work/gbs-fs.img l nsec
  mkdir -p "$d"
  cp --sparse=always "$img" "$copy"
  # The core the stick holds, with the block list it had before being placed.
  nsec=$(($(printf '%d' "0x$(od -An -tx1 -j $((512 * $2 + 508)) -N2 "$img" | awk '{print $2 $1}')") + 1))
  dd if="$img" of="$work/core.img" bs=512 skip="$2" count="$nsec" status=none
  truncate -s 8M "$fs" && mkfs.ext2 -q -F "$fs"
  mount -o loop "$fs" "$d" || return 1
  cp /usr/lib/grub/i386-pc/boot.img "$work/core.img" "$d/"
  l=$(findmnt -n -o SOURCE "$d")
  printf '(hd0) %s\n(hd1) %s\n' "$copy" "$l" >"$work/gbs.map"
  # Zero the MBR's code and the gap first: only grub-bios-setup writes them.
  dd if=/dev/zero of="$copy" bs=1 count=440 conv=notrunc status=none
  /usr/lib/grub/i386-pc/grub-bios-setup --no-rs-codes -s -d "$d" -m "$work/gbs.map" "$copy" 2>"$work/gbs.err"
  local r=$?
  umount "$d"
  ((r == 0)) && cmp -s <(head -c $((512 * 2048)) "$img") <(head -c $((512 * 2048)) "$copy")
}
check "the MBR boot code and the core image in the gap are grub-bios-setup's" bios_setup_same "$img" 1

# --- --label and --append; the answer at the prompt ------------------------------------

img2=$work/labelled.img
image "$img2" 120M
run prepare --yes --label "Meus ISOs" --append 'console=ttyS0 nomodeset "x=$y\z"' "$img2"
check "prepare --label \"Meus ISOs\" --append: status 0, the exFAT labelled so" \
  [ "$status:$(blkid -p -O 1048576 -o value -s LABEL "$img2")" = "0:Meus ISOs" ]
check "--append is kept in stick.conf and in vars.cfg, quoted for GRUB" \
  bash -c 'grep -qx "append=console=ttyS0 nomodeset \"x=\$y\\\\z\"" <<<"$1" && grep -qx "label=Meus ISOs" <<<"$1" &&
    grep -qxF "set kelmo_append=\"console=ttyS0 nomodeset \\\"x=\\\$y\\\\z\\\"\"" <<<"$2"' \
  _ "$(esp_cat "$img2" /kelmo/stick.conf)" "$(esp_cat "$img2" /boot/grub/kelmo/vars.cfg)"
check "grub-script-check accepts that vars.cfg" grub-script-check <(esp_cat "$img2" /boot/grub/kelmo/vars.cfg)

img3=$work/asked.img
image "$img3" 120M
before=$(sums "$img3")
for answer in "" "s" "yes" "SIM"; do
  status=0
  printf '%s\n' "$answer" | "$ks" prepare "$img3" >"$work/out" 2>"$work/err" || status=$?
  err=$(cat "$work/err") out=
  check "prepare without --yes, answered '$answer': status 1, \"nada foi feito\", nothing written" \
    bash -c '[ "$1" = 1 ] && [ "$2" = "$(printf "kelmo-stick: apagar tudo em %s (120 MiB)? Escreva sim para continuar: \nkelmo-stick: nada foi feito" "$4")" ] && [ "$(sha256sum <"$4" | cut -d" " -f1)" = "$3" ]' \
    _ "$status" "$err" "$before" "$img3"
done
status=0
echo sim | "$ks" prepare "$img3" >"$work/out" 2>"$work/err" || status=$?
check "prepare without --yes, answered 'sim': status 0, a stick" \
  bash -c '[ "$1" = 0 ] && mtype -i "$2" ::/kelmo/stick.conf | grep -qx state=complete' _ "$status" "$img3@@$(esp_off "$img3")"

# --- GPT past 2 TiB -----------------------------------------------------------------

big=$work/big.img
image "$big" 3T
run prepare --yes "$big"
btable=$(sfdisk -d "$big")
check "a 3 TiB image: status 0, a GPT with exFAT (basic data) from 1 MiB, the ESP last, a BIOS boot partition in the first MiB" \
  bash -c '[ "$2" = 0 ] && grep -qx "label: gpt" <<<"$1" &&
    grep -Eq "^[^ ]*1 : start= +2048, size= +[0-9]+, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" <<<"$1" &&
    grep -Eq "^[^ ]*2 : start= +6442317824, size= +131072, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B" <<<"$1" &&
    grep -Eq "^[^ ]*3 : start= +34, size= +2014, type=21686148-6449-6E6F-744E-656564454649" <<<"$1"' _ "$btable" "$status"
check "its MBR and the core in the BIOS boot partition are grub-bios-setup's" bios_setup_same "$big" 34
check "its exFAT holds the rest of the disk" [ "$(blkid -p -O 1048576 -o value -s TYPE "$big")" = exfat ]
# A label with a quote, a comma and a backslash, which the GPT's partition
# name holds too.
run prepare --yes --label 'a",x\' "$big"
check "prepare --label 'a\",x\\' on it: status 0, the exFAT and p1's GPT name so labelled" \
  bash -c '[ "$1" = 0 ] && [ "$(blkid -p -O 1048576 -o value -s LABEL "$3")" = "$2" ] && [ "$(sfdisk --part-label "$3" 1)" = "$2" ]' \
  _ "$status" 'a",x\' "$big"
rm -f "$big"

# --- ISOs on the stick: list, next, update --------------------------------------------

# mkiso NAME LABEL FILE...: a small ISO holding the FILEs (dummy contents).
mkiso() {
  local name=$1 label=$2 d=$work/isotree f
  shift 2
  rm -rf "$d" && mkdir -p "$d"
  for f; do mkdir -p "$d$(dirname "$f")" && echo "$f" >"$d$f"; done
  xorriso -as mkisofs -quiet -R -J -V "$label" -o "$work/$name" "$d" 2>/dev/null
}
mkiso live.iso KELMO_DEBIAN_LIVE /live/vmlinuz /live/initrd.img /live/vmlinuz-6.1 /live/filesystem.squashfs
mkiso live2.iso LIVE_VERSIONED /live/vmlinuz-6.1.0-9-amd64 /live/initrd.img-6.1.0-9-amd64
mkiso dracut.iso KELMO-DRACUT-LIVE /LiveOS/squashfs.img /images/pxeboot/vmlinuz /images/pxeboot/initrd.img
mkiso halfdracut.iso HALF /LiveOS/squashfs.img /boot/vmlinuz /boot/grub/loopback.cfg
mkiso casper.iso UBUNTU /casper/vmlinuz /casper/initrd
mkiso arch.iso ARCH_202601 /arch/boot/x86_64/vmlinuz-linux /arch/boot/x86_64/initramfs-linux.img
mkiso other.iso OTHER /boot/grub/grub.cfg /isolinux/isolinux.bin
head -c 100000 /dev/urandom >"$work/notiso.iso"

loop_of "$img"
m=$work/m
fuse_mount "${l}p1" "$m"
mkdir -p "$m/isos/a" "$m/isos/a/b" "$m/Imagens ISO" "$m/docs"
cp "$work/live.iso" "$m/debian live.iso"
cp "$work/dracut.iso" "$m/isos/dracut.iso"
cp "$work/casper.iso" "$m/isos/a/ubuntu.ISO"
cp "$work/arch.iso" "$m/Imagens ISO/Instalação.iso"
cp "$work/other.iso" "$m/isos/other.iso"
cp "$work/halfdracut.iso" "$m/isos/a/half.iso"
cp "$work/notiso.iso" "$m/garbage.iso"
cp "$work/live.iso" "$m/isos/a/b/deep.iso"       # three folders down: not searched
cp "$work/live.iso" "$m/._debian live.iso"       # macOS metadata
cp "$work/live.iso" "$m/mixed.Iso"               # neither .iso nor .ISO
mkdir "$m/folder.iso"                            # a folder, not a file
echo "notes" >"$m/docs/notes.txt"
# live2.iso in many runs: written in pieces, a file grown between them.
: >"$m/isos/live2.iso"
for ((i = 0; i * 65536 < $(stat -c %s "$work/live2.iso"); i++)); do
  dd if="$work/live2.iso" bs=65536 skip=$i count=1 status=none >>"$m/isos/live2.iso"
  sync "$m/isos/live2.iso"
  head -c 65536 /dev/zero >>"$m/docs/filler.bin"
  sync "$m/docs/filler.bin"
done
sync -f "$m"
live2_runs=$(KELMO_MAP_OFFSET=1048576 "$build/kelmo-map" --test "$img" /isos/live2.iso | sed -n 's/.*trechos=\([0-9]*\)$/\1/p')
check "live2.iso is in several runs ($live2_runs)" [ "${live2_runs:-0}" -gt 1 ]

expected_list() {
  cat <<EOF
/Imagens ISO/Instalação.iso: ARCH_202601, Arch archiso (/arch/boot/x86_64/vmlinuz-linux, /arch/boot/x86_64/initramfs-linux.img), 1 trecho, deve iniciar (archiso não é testado aqui)
/debian live.iso: KELMO_DEBIAN_LIVE, Debian live-boot (/live/vmlinuz, /live/initrd.img), 1 trecho, inicia
/garbage.iso: não é uma imagem ISO 9660, 1 trecho, não inicia
/isos/a/half.iso: HALF, o /boot/grub/loopback.cfg do próprio ISO, 1 trecho, talvez inicie (o initrd do ISO precisa achar o arquivo sozinho)
/isos/a/ubuntu.ISO: UBUNTU, Ubuntu casper (/casper/vmlinuz, /casper/initrd), 1 trecho, deve iniciar (casper não é testado aqui)
/isos/dracut.iso: KELMO-DRACUT-LIVE, dracut dmsquash-live (/images/pxeboot/vmlinuz, /images/pxeboot/initrd.img), 1 trecho, inicia
/isos/live2.iso: LIVE_VERSIONED, Debian live-boot (/live/vmlinuz-6.1.0-9-amd64, /live/initrd.img-6.1.0-9-amd64), $live2_runs trechos, inicia
/isos/other.iso: OTHER, não reconhecido: sem kernel e initrd em /live, /LiveOS, /casper ou /arch, nem /boot/grub/loopback.cfg, 1 trecho, não inicia
EOF
}
run list "$img"
check "list with the exFAT partition mounted: each ISO, its stack (or why none), its runs, whether it boots" \
  [ "$status:$out" = "0:$(expected_list)" ]
if [ "$out" != "$(expected_list)" ]; then diff <(expected_list) <(printf '%s\n' "$out") | sed 's/^/#   /' || true; fi
run next "$img" "isos/dracut.iso"
check "next with the exFAT partition mounted: status 0, next_entry=/isos/dracut.iso in grubenv" \
  bash -c '[ "$1" = 0 ] && e=$(mktemp) && mtype -i "$2" ::/boot/grub/grubenv >"$e" && [ "$(grub-editenv "$e" list)" = "next_entry=/isos/dracut.iso" ] && [ "$(stat -c %s "$e")" = 1024 ]' \
  _ "$status" "$img@@$eoff"
umount "$m"
unset 'mounts[-1]'
unloop "$l"

run list "$img"
check "list with the partition not mounted (a private mount of its own): the same lines" \
  [ "$status:$out" = "0:$(expected_list)" ]
check "that private mount is gone afterwards" bash -c '! grep -q kelmo-stick /proc/self/mountinfo && [ -z "$(losetup -j "$1")" ]' _ "$img"
run next "$img" "/debian live.iso"
check "next \"/debian live.iso\" (a space): next_entry is that path" \
  bash -c '[ "$1" = 0 ] && e=$(mktemp) && mtype -i "$2" ::/boot/grub/grubenv >"$e" && [ "$(grub-editenv "$e" list)" = "next_entry=/debian live.iso" ]' \
  _ "$status" "$img@@$eoff"
run next "$img" "/Imagens ISO/Instalação.iso"
check "next with a UTF-8 path: next_entry is that path" \
  bash -c '[ "$1" = 0 ] && e=$(mktemp) && mtype -i "$2" ::/boot/grub/grubenv >"$e" && [ "$(grub-editenv "$e" list)" = "next_entry=/Imagens ISO/Instalação.iso" ]' \
  _ "$status" "$img@@$eoff"

# update after adding and removing ISOs: the exFAT partition keeps every
# byte, and so does every file on the ESP that is not kelmo-stick's.
loop_of "$img"
fuse_mount "${l}p1" "$m"
rm "$m/isos/other.iso" "$m/garbage.iso"
cp "$work/live.iso" "$m/isos/a/new live.iso"
umount "$m"
unset 'mounts[-1]'
unloop "$l"
echo "the user's own" >"$work/mine.txt"
mcopy -i "$img@@$eoff" "$work/mine.txt" ::/mine.txt
# As an older kelmo-stick might have left it: a menu script changed, one more.
echo "# old" | mcopy -i "$img@@$eoff" -o - ::/boot/grub/kelmo/menu.cfg
echo "# gone" | mcopy -i "$img@@$eoff" - ::/boot/grub/kelmo/old.cfg
p1_before=$(dd if="$img" bs=1M skip=1 count=135 status=none | sha256sum)
grubenv_before=$(esp_cat "$img" /boot/grub/grubenv | sha256sum)
run update "$img"
check "update: status 0" [ "$status" = 0 ]
check "update kept every byte of the exFAT partition" [ "$(dd if="$img" bs=1M skip=1 count=135 status=none | sha256sum)" = "$p1_before" ]
check "update kept a file of the user's on the ESP and grubenv (its next_entry)" \
  bash -c '[ "$(mtype -i "$1" ::/mine.txt)" = "the user'"'"'s own" ] && [ "$(mtype -i "$1" ::/boot/grub/grubenv | sha256sum)" = "$2" ]' \
  _ "$img@@$eoff" "$grubenv_before"
check "update put back the menu scripts as they are now, and removed the one no longer shipped" \
  bash -c 'for f in "$1"/stick/grub/*.cfg; do cmp -s <(mtype -i "$2" "::/boot/grub/kelmo/${f##*/}") "$f" || exit 1; done; ! mtype -i "$2" ::/boot/grub/kelmo/old.cfg >/dev/null 2>&1' \
  _ "$top" "$img@@$eoff"
run list "$img"
# (copied where the removed files were, the new one may be in more runs than one)
new_runs=$(KELMO_MAP_OFFSET=1048576 "$build/kelmo-map" --test "$img" "/isos/a/new live.iso" | sed -n 's/.*trechos=\([0-9]*\)$/\1/p')
new_runs=$([ "$new_runs" = 1 ] && echo "1 trecho" || echo "$new_runs trechos")
after_update=$(expected_list | grep -v -e '^/isos/other.iso' -e '^/garbage.iso' |
  sed "/^\/isos\/a\/half.iso/a /isos/a/new live.iso: KELMO_DEBIAN_LIVE, Debian live-boot (/live/vmlinuz, /live/initrd.img), $new_runs, inicia")
check "list after update: the new ISO is there, the removed ones are gone" [ "$out" = "$after_update" ]
if [ "$out" != "$after_update" ]; then diff <(printf '%s\n' "$after_update") <(printf '%s\n' "$out") | sed 's/^/#   /' || true; fi

# --append on update: set, kept, removed.
vars() { esp_cat "$img" /boot/grub/kelmo/vars.cfg | grep kelmo_append; }
run update --append "console=ttyS0" "$img"
check "update --append console=ttyS0 sets it in vars.cfg and stick.conf" \
  bash -c '[ "$1" = "set kelmo_append=\"console=ttyS0\"" ] && grep -qx "append=console=ttyS0" <<<"$2"' _ "$(vars)" "$(esp_cat "$img" /kelmo/stick.conf)"
run update "$img"
check "update without --append keeps it" [ "$(vars)" = 'set kelmo_append="console=ttyS0"' ]
run update --append "" "$img"
check "update --append \"\" removes it" \
  bash -c '[ "$1" = "set kelmo_append=\"\"" ] && grep -qx "append=" <<<"$2"' _ "$(vars)" "$(esp_cat "$img" /kelmo/stick.conf)"

# --- persist: the persistence file of an ISO ----------------------------------------------

# pfiles IMAGE: "sha256  path" of every file on the exFAT partition but those
# under /kelmo.
pfiles() {
  loop_of "$1"
  fuse_mount "${l}p1" "$work/pf" ro
  (cd "$work/pf" && find . -path ./kelmo -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
  umount "$work/pf"
  unset 'mounts[-1]'
  unloop "$l"
}
# on_p1 IMAGE COMMAND...: COMMAND with the exFAT partition mounted at $m.
on_p1() {
  local img=$1 r=0
  shift
  loop_of "$img"
  fuse_mount "${l}p1" "$m"
  "$@" || r=$?
  umount "$m"
  unset 'mounts[-1]'
  unloop "$l"
  return $r
}
pf="/kelmo/persist/debian live.iso.img"
others=$(pfiles "$img")
run persist "$img" "debian live.iso" 40M
# (written where the removed ISOs were, it may be in more runs than one)
p_runs=$(python3 "$top/tests/lib/exfat_runs.py" "$img" 1048576 "$pf" | sed -n '1s/.*trechos=\([0-9]*\)$/\1/p')
p_runs=$([ "$p_runs" = 1 ] && echo "1 trecho" || echo "$p_runs trechos")
check "persist \"debian live.iso\" 40M: status 0, progress while it writes, the file and its runs ($p_runs) at the end" \
  bash -c '[ "$1" = 0 ] && grep -qx "kelmo-stick: escrevendo $3 (40 MiB, cada byte; num pendrive USB 2.0 leva minutos)" <<<"$2" &&
    grep -q "bytes (42 MB, 40 MiB) copied" <<<"$2" && grep -qx "kelmo-stick: pronto: $3, 40 MiB em $4" <<<"$2"' _ "$status" "$err" "$pf" "$p_runs"
check "the file is $pf, 40 MiB, every byte written (its valid data length is its length)" \
  [ "$(python3 "$top/tests/lib/exfat_runs.py" "$img" 1048576 "$pf" --valid)" = $((40 * 1048576)) ]
ext4_layout() {
  [ "$(blkid -o value -s LABEL "$m$pf")" = persistence ] && [ "$(blkid -o value -s TYPE "$m$pf")" = ext4 ] &&
    e2fsck -fn "$m$pf" >/dev/null 2>&1 &&
    [ "$(debugfs -R "cat /persistence.conf" "$m$pf" 2>/dev/null)" = "/ union" ] &&
    debugfs -R "ls -l /" "$m$pf" 2>/dev/null | grep -q ' overlayfs$' &&
    debugfs -R "ls -l /" "$m$pf" 2>/dev/null | grep -q ' ovlwork$' &&
    ! ls "$m/kelmo/persist/"*.part >/dev/null 2>&1
}
check "it holds a clean ext4 labelled persistence, persistence.conf \"/ union\", overlayfs/ and ovlwork/; no .part left" on_p1 "$img" ext4_layout
check "every other file on the exFAT partition keeps its bytes" [ "$(pfiles "$img")" = "$others" ]
run list "$img"
with_persist=$(printf '%s\n' "$after_update" | sed "s|^\(/debian live.iso: .*\)$|\1; com persistência em $pf (40 MiB, $p_runs)|")
check "list: the ISO's line names its persistence file, size and runs; the file is not taken for an ISO" \
  [ "$status:$out" = "0:$with_persist" ]
if [ "$out" != "$with_persist" ]; then diff <(printf '%s\n' "$with_persist") <(printf '%s\n' "$out") | sed 's/^/#   /' || true; fi
run next "$img" "/debian live.iso"
check "next still takes the ISO's path (the entry with persistence has it as id)" \
  bash -c '[ "$1" = 0 ] && e=$(mktemp) && mtype -i "$2" ::/boot/grub/grubenv >"$e" && [ "$(grub-editenv "$e" list)" = "next_entry=/debian live.iso" ]' \
  _ "$status" "$img@@$eoff"
# A reset: what the live system kept is gone after persist again.
keep_something() { debugfs -w -R "write /etc/hostname /rw-kept" "$m$pf" >/dev/null 2>&1 && debugfs -R "ls /" "$m$pf" 2>/dev/null | grep -q rw-kept; }
on_p1 "$img" keep_something || not_ok "could not write into $pf"
run persist "$img" "/debian live.iso" 48M
gone() { ! debugfs -R "ls /" "$m$pf" 2>/dev/null | grep -q rw-kept && [ "$(stat -c %s "$m$pf")" = $((48 * 1048576)) ] && ext4_layout; }
check "persist again (48M): status 0, a fresh file of 48 MiB, what was kept in the old one gone" \
  bash -c '[ "$1" = 0 ]' _ "$status"
check "  (the new file's contents)" on_p1 "$img" gone
check "  and every other file keeps its bytes" [ "$(pfiles "$img")" = "$others" ]

# With the exFAT partition mounted (as a desktop mounts a stick): through
# that mount, which stays; mounted read-only: refused.
loop_of "$img"
fuse_mount "${l}p1" "$m"
run persist "$img" "/isos/dracut.iso" 32M
check "persist with the partition mounted: status 0, the file written through that mount, which stays" \
  bash -c '[ "$1" = 0 ] && [ "$(stat -c %s "$2/kelmo/persist/isos/dracut.iso.img")" = $((32 * 1048576)) ] && mountpoint -q "$2"' _ "$status" "$m"
umount "$m"
unset 'mounts[-1]'
fuse_mount "${l}p1" "$m" ro
before=$(sums "$img")
run persist "$img" "/isos/dracut.iso" 40M
check "persist with the partition mounted read-only: status 1, a line that says so, nothing written" \
  [ "$status|$err|$(sums "$img")" = "1|kelmo-stick: a partição exFAT de $img está montada só para leitura em $m|$before" ]
umount "$m"
unset 'mounts[-1]'
unloop "$l"

# --- prepare on a loop device ---------------------------------------------------------

limg=$work/loopdev.img
image "$limg" 150M
l=$(losetup -f --show "$limg")
loops+=("$l")
run prepare --yes "$l"
check "prepare --yes on a loop device ($l): status 0" [ "$status" = 0 ]
check "the loop device holds a stick: exFAT p1, ESP p2, stick.conf complete" \
  bash -c '[ "$(blkid -p -O 1048576 -o value -s TYPE "$1")" = exfat ] && mtype -i "$1@@$2" ::/kelmo/stick.conf 2>/dev/null | grep -qx state=complete' \
  _ "$l" "$(esp_off "$l")"
check "and the serial it printed is the exFAT partition's" \
  bash -c 'grep -qx "kelmo-stick: pronto: partição exFAT KELMO, serial $(blkid -p -O 1048576 -o value -s UUID "$1")" <<<"$2"' _ "$l" "$err"
run list "$l"
check "list on the loop device: status 0, no ISO yet" [ "$status:$out" = "0:nenhum ISO na partição exFAT (serial $(blkid -p -O 1048576 -o value -s UUID "$l"))" ]
losetup -d "$l"

# --- an interrupted prepare -----------------------------------------------------------

# The command stops itself with SIGKILL right after the step named in
# KELMO_STICK_STOP_AFTER (as if the power went): on a stick that was complete
# before, whatever the step, the result never looks complete.
iimg=$work/interrupted.img
for stop in partition esp exfat efi bios menu addon; do
  image "$iimg" 120M
  "$ks" prepare --yes "$iimg" >/dev/null 2>&1
  status=0
  # (its temporary directory, left behind by the kill, in $work)
  (TMPDIR=$work KELMO_STICK_STOP_AFTER=$stop "$ks" prepare --yes "$iimg" >/dev/null; exit $?) 2>/dev/null || status=$?
  for i in $(losetup -j "$iimg" -n -O NAME); do losetup -d "$i"; done
  if [ "$stop" = partition ]; then
    want="kelmo-stick: $iimg não foi preparado pelo kelmo-stick (não há /kelmo/stick.conf na partição EFI)"
  else
    want="kelmo-stick: $iimg: o preparo pelo kelmo-stick não terminou; rode kelmo-stick prepare de novo"
  fi
  run update "$iimg"
  u="$status:$err"
  run list "$iimg"
  check "prepare killed after '$stop' (status $status): update and list refuse with \"${want#kelmo-stick: "$iimg"}\"" \
    [ "$u|$status:$err" = "1:$want|1:$want" ]
done
check "after an interruption stick.conf says state=unfinished" bash -c 'mtype -i "$1" ::/kelmo/stick.conf | grep -qx state=unfinished' _ "$iimg@@$(esp_off "$iimg")"
run prepare --yes "$iimg"
check "prepare again makes it complete" bash -c '[ "$1" = 0 ] && mtype -i "$2" ::/kelmo/stick.conf | grep -qx state=complete' _ "$status" "$iimg@@$(esp_off "$iimg")"

# --- interrupted update, add and persist -------------------------------------------------

# Each command stops itself after a named step: with SIGKILL (as if the power
# went: nothing of its own cleans up) or with SIGTERM (as Ctrl-C or a
# shutdown would: it undoes what it started). The stick is copied from one
# made once; the user's files and the stick's boot files are checked after.
# shellcheck disable=SC2034 # empties a value the environment may pass to every run below
KELMO_STICK_STOP_SIGNAL=
stop_run() { # STEP SIGNAL ARGS...: run, stopped after STEP
  local step=$1 sig=$2
  shift 2
  status=0
  (TMPDIR=$work KELMO_STICK_STOP_AFTER=$step KELMO_STICK_STOP_SIGNAL=$sig "$ks" "$@" </dev/null >"$work/out" 2>"$work/err") || status=$?
  out=$(cat "$work/out") err=$(cat "$work/err")
  for i in $(losetup -j "$2" -n -O NAME); do losetup -d "$i" 2>/dev/null || true; done
}
ustick=$work/ustick.img
image "$ustick" 160M
"$ks" prepare --yes "$ustick" >/dev/null 2>&1
loop_of "$ustick"
fuse_mount "${l}p1" "$m"
mkdir -p "$m/isos"
cp "$work/live.iso" "$m/isos/live.iso"
echo "mine" >"$m/notes.txt"
umount "$m"
unset 'mounts[-1]'
unloop "$l"
# (its Secure Boot menu lists the ISO, as every update after it writes it)
"$ks" update "$ustick" >/dev/null 2>&1
# esp_files IMAGE: "sha256  path" of every file on the ESP but grubenv.
esp_files() {
  local d
  d=$(mktemp -d "$work/esp.XXXXXX")
  mcopy -s -n -i "$1@@$(esp_off "$1")" ::/ "$d/"
  (cd "$d" && find . -type f ! -path ./boot/grub/grubenv -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
  rm -rf "$d"
}
ufiles=$(pfiles "$ustick")
uesp_files=$(esp_files "$ustick")
# boots_structurally IMAGE: what each firmware's GRUB reads first is there,
# whole: the modules BIOS GRUB's core loads, UEFI GRUB's config and
# modules, the menu, the add-on.
boots_structurally() {
  local f
  for f in /boot/grub/i386-pc/normal.mod /boot/grub/i386-pc/exfat.mod /EFI/debian/grub.cfg \
    /EFI/debian/x86_64-efi/exfat.mod /EFI/BOOT/BOOTX64.EFI /boot/grub/grub.cfg /boot/grub/kelmo/menu.cfg \
    /boot/grub/kelmo/vars.cfg /kelmo/kelmo-addon.img; do
    cmp -s <(esp_cat "$1" "$f") <(esp_cat "$ustick" "$f") || { echo "#   $f differs or is missing"; return 1; }
  done
}
updating="kelmo-stick: $work/u.img: a última atualização pelo kelmo-stick não terminou e o pendrive pode não iniciar; rode kelmo-stick update de novo"
for stop in mark x86_64-efi.new efi i386-pc.new bios kelmo.new menu addon; do
  cp --sparse=always "$ustick" "$work/u.img"
  stop_run "$stop" KILL update "$work/u.img"
  killed=$status
  check "update killed after '$stop' (status $killed): every file GRUB reads first is whole" boots_structurally "$work/u.img"
  run list "$work/u.img"
  check "  list refuses, saying update did not finish" [ "$status|$err" = "1|$updating" ]
  run update "$work/u.img"
  check "  update again: status 0, it says it finishes the one cut short" \
    bash -c '[ "$1" = 0 ] && grep -qx "kelmo-stick: a atualização anterior não terminou: refazendo-a" <<<"$2"' _ "$status" "$err"
  check "  then the ESP holds what a whole update writes, nothing left beside; the user's files as they were" \
    [ "$(esp_files "$work/u.img")|$(pfiles "$work/u.img")" = "$uesp_files|$ufiles" ]
done

# add: a name that holds shell syntax, into a new folder named after it,
# stopped (SIGTERM) after its copy: it undoes the copy and the folder by
# their bytes and runs nothing.
mkdir -p "$work/cwd"
echo keep >"$work/cwd/keep.txt"
for name in "Tom's big.iso" "'\$(touch PWNED)'.iso" "a;touch PWNED;'.iso" '-x.iso' '--users=root.iso'; do
  cp "$work/live.iso" "$work/cwd/$name"
  cp --sparse=always "$ustick" "$work/u.img"
  cd "$work/cwd"
  stop_run copy TERM add "$work/u.img" "./$name" "in $name"
  cd - >/dev/null
  check "add \"$name\" stopped by SIGTERM after its copy: nothing of it on the stick, no folder made, the user's files as they were" \
    bash -c '[ "$1" = "$2" ] && ! KELMO_MAP_OFFSET=1048576 "$3" --test "$4" "/in $5" >/dev/null 2>&1' \
    _ "$(pfiles "$work/u.img")" "$ufiles" "$build/kelmo-map" "$work/u.img" "$name"
  check "  nothing was run; the files beside it are all there" \
    bash -c '[ ! -e "$1/PWNED" ] && [ ! -e PWNED ] && [ -f "$1/keep.txt" ] && [ -f "$1/$2" ]' _ "$work/cwd" "$name"
  run list "$work/u.img"
  check "  list does not show it" bash -c '[ "$1" = 0 ] && ! grep -qF "/in $3/" <<<"$2"' _ "$status" "$out" "$name"
  cd "$work/cwd"
  run add "$work/u.img" "$name" /
  cd - >/dev/null
  check "  add \"$name\" (a relative name) then: status 0, in the root, in one run" \
    bash -c '[ "$1" = 0 ] && grep -qxF "/$2: KELMO_DEBIAN_LIVE, Debian live-boot (/live/vmlinuz, /live/initrd.img), 1 trecho, inicia" <(cd "$3" && "$4" list "$5" 2>/dev/null)' \
    _ "$status" "$name" "$work/cwd" "$ks" "$work/u.img"
  rm -f "$work/cwd/$name"
done
# SIGKILL: after the copy (not yet named) and after the rename.
cp --sparse=always "$ustick" "$work/u.img"
stop_run copy KILL add "$work/u.img" "$work/live.iso" /isos/new
run list "$work/u.img"
check "add killed before the copy had its name: list shows no new ISO" bash -c '[ "$1" = 0 ] && ! grep -q "^/isos/new" <<<"$2"' _ "$status" "$out"
run add "$work/u.img" "$work/live.iso" /isos/new
check "  add again: status 0" [ "$status" = 0 ]
check "  (no copy left in /kelmo)" bash -c '! KELMO_MAP_OFFSET=1048576 "$1" --test "$2" /kelmo/add.part >/dev/null 2>&1' _ "$build/kelmo-map" "$work/u.img"
cp --sparse=always "$ustick" "$work/u.img"
stop_run rename KILL add "$work/u.img" "$work/live.iso" /isos/new
run list "$work/u.img"
check "add killed after the rename: the ISO is there whole and boots from the menu" \
  grep -qxF "/isos/new/live.iso: KELMO_DEBIAN_LIVE, Debian live-boot (/live/vmlinuz, /live/initrd.img), 1 trecho, inicia" <<<"$out"

# add's FOLDER never leaves the partition: a link planted where ../.. from
# its mount would land is not written through.
for folder in ../.. /../.. isos/../.. ./isos "isos/./a" "a/b:c" $'a\nb'; do
  cp --sparse=always "$ustick" "$work/u.img"
  ln -sfn "$work/through-a-link" /tmp/live.iso
  before=$(sums "$work/u.img")
  run add "$work/u.img" "$work/live.iso" "$folder"
  check "add into \"$folder\": status 1, \"pasta inválida\", nothing written anywhere" \
    bash -c '[ "$1" = 1 ] && [[ $2 == "kelmo-stick: pasta inválida: "* ]] && [ "$3" = "$4" ] && [ ! -e "$5" ]' \
    _ "$status" "$err" "$before" "$(sums "$work/u.img")" "$work/through-a-link"
  rm -f /tmp/live.iso
done

# persist: killed after its zeros, after its ext4, after its rename.
for stop in zeros ext4 rename; do
  cp --sparse=always "$ustick" "$work/u.img"
  stop_run "$stop" KILL persist "$work/u.img" /isos/live.iso 40M
  run list "$work/u.img"
  if [ "$stop" = rename ]; then want="; com persistência em /kelmo/persist/isos/live.iso.img (40 MiB"; else want=", inicia$"; fi
  check "persist killed after '$stop': list shows the ISO $([ "$stop" = rename ] && echo with || echo without) persistence; the user's files as they were" \
    bash -c '[ "$1" = 0 ] && grep -q "^/isos/live.iso: .*$2" <<<"$3" && [ "$4" = "$5" ]' _ "$status" "$want" "$out" "$(pfiles "$work/u.img")" "$ufiles"
done
# An ISO whose name leaves no room for its persistence file's: a line that
# says so, nothing written.
long=$(printf 'n%.0s' {1..250}).iso
cp --sparse=always "$ustick" "$work/u.img"
cp "$work/live.iso" "$work/cwd/$long"
run add "$work/u.img" "$work/cwd/$long" /isos
check "add of an ISO with a 254-character name: status 0" [ "$status" = 0 ]
before=$(sums "$work/u.img")
run persist "$work/u.img" "/isos/$long" 32M
check "persist for it: status 1, the name is too long for its persistence file, nothing written" \
  [ "$status|$err|$(sums "$work/u.img")" = "1|kelmo-stick: /isos/$long: o nome do ISO é longo demais para o arquivo de persistência ($long.img.part passa de 255 caracteres); renomeie o ISO|$before" ]
rm -f "$work/cwd/$long"

# The .part a killed persist left counts as free room: a file larger than
# half the partition is written again after such a kill.
cp --sparse=always "$ustick" "$work/u.img"
free_mib() { df -B1M --output=avail "$m" | tail -n 1 | tr -d ' '; }
loop_of "$work/u.img"
fuse_mount "${l}p1" "$m" ro
free=$(free_mib)
umount "$m"
unset 'mounts[-1]'
unloop "$l"
big_p=$((free * 6 / 10))M
loop_of "$work/u.img"
fuse_mount "${l}p1" "$m"
mkdir -p "$m/kelmo/persist/isos"
head -c $((free * 6 / 10 * 1048576)) /dev/zero >"$m/kelmo/persist/isos/live.iso.img.part"
umount "$m"
unset 'mounts[-1]'
unloop "$l"
run persist "$work/u.img" /isos/live.iso "$big_p"
check "persist of $big_p (of $free MiB free) with the .part of a killed one there: status 0, no .part left" \
  bash -c '[ "$1" = 0 ] && ! KELMO_MAP_OFFSET=1048576 "$2" --test "$3" /kelmo/persist/isos/live.iso.img.part >/dev/null 2>&1' \
  _ "$status" "$build/kelmo-map" "$work/u.img"

# --- bad input: the line, the status, nothing written ------------------------------------

# bad DESCRIPTION STATUS LINE TARGET_TO_CHECKSUM ARGS...
bad() {
  local what=$1 want_status=$2 want=$3 file=$4 before after
  shift 4
  before=$(sums "$file")
  run "$@"
  after=$(sums "$file")
  check "$what: status $want_status, \"$want\", nothing written" \
    [ "$status|$err|$after" = "$want_status|$want|$before" ]
}
plain=$work/plain.img          # exFAT and FAT partitions, not made by kelmo-stick
image "$plain" 120M
printf 'label: dos\nstart=2048, size=100M, type=7\ntype=ef\n' | sfdisk -q "$plain"
loop_of "$plain"
lp=$l
mkfs.exfat "${lp}p1" >/dev/null
mkfs.fat "${lp}p2" >/dev/null
blank=$work/blank.img
image "$blank" 120M
small=$work/small.img
image "$small" 95M

bad "prepare on a path that does not exist" 1 "kelmo-stick: $work/none.img não existe" "$blank" prepare --yes "$work/none.img"
bad "prepare on a partition" 1 "kelmo-stick: ${lp}p1 é uma partição; dê o disco inteiro ($lp)" "$plain" prepare --yes "${lp}p1"
bad "prepare on a character device" 1 "kelmo-stick: /dev/null não é um disco nem um arquivo de imagem" "$blank" prepare --yes /dev/null
bad "prepare on a directory" 1 "kelmo-stick: $work não é um disco nem um arquivo de imagem" "$blank" prepare --yes "$work"
bad "prepare on a 95 MiB image" 1 "kelmo-stick: $small tem 95 MiB; são precisos ao menos 96 MiB" "$small" prepare --yes "$small"
bad "prepare with a label of 12 characters" 1 "kelmo-stick: rótulo inválido: 'ABCDEFGHIJKL' (de 1 a 11 caracteres)" "$blank" prepare --yes --label ABCDEFGHIJKL "$blank"
bad "prepare with a label of six emoji (12 UTF-16 units)" 1 "kelmo-stick: rótulo inválido: '😀😀😀😀😀😀' (de 1 a 11 caracteres)" "$blank" prepare --yes --label '😀😀😀😀😀😀' "$blank"
bad "prepare with a label that is not UTF-8" 1 "kelmo-stick: rótulo inválido: '"$'\xff'"' (de 1 a 11 caracteres)" "$blank" prepare --yes --label $'\xff' "$blank"
bad "prepare with an empty label" 1 "kelmo-stick: rótulo inválido: '' (de 1 a 11 caracteres)" "$blank" prepare --yes --label "" "$blank"
bad "prepare with a line break in --append" 1 "kelmo-stick: --append não pode ter quebras de linha nem caracteres de controle" "$blank" prepare --yes --append $'a\nb' "$blank"
for cmd in update list; do
  bad "$cmd on a stick not made by kelmo-stick (exFAT and FAT, no stick.conf)" 1 \
    "kelmo-stick: $lp não foi preparado pelo kelmo-stick (não há /kelmo/stick.conf na partição EFI)" "$plain" "$cmd" "$lp"
  bad "$cmd on a blank image" 1 "kelmo-stick: $blank não foi preparado pelo kelmo-stick (não há /kelmo/stick.conf na partição EFI)" "$blank" "$cmd" "$blank"
  bad "$cmd on a partition" 1 "kelmo-stick: ${lp}p1 é uma partição; dê o disco inteiro ($lp)" "$plain" "$cmd" "${lp}p1"
done
bad "next on a stick not made by kelmo-stick" 1 \
  "kelmo-stick: $plain não foi preparado pelo kelmo-stick (não há /kelmo/stick.conf na partição EFI)" "$plain" next "$plain" /x.iso
for p in /nothing.iso /docs/notes.txt /isos/a/b/deep.iso "/._debian live.iso" /mixed.Iso /folder.iso /isos "/DEBIAN LIVE.ISO"; do
  bad "next to \"$p\", not an ISO the menu finds" 1 "kelmo-stick: $p não é um ISO do pendrive (veja kelmo-stick list $img)" "$img" next "$img" "$p"
done
for size in 31M 33.5M 40MB1 abc "" 0 1T 17179869185G 16777216T 99999999999999999999; do
  # shellcheck disable=SC2125 # 1T's want is a pattern, for the == below
  case $size in
    31M | 0) want="tamanho pequeno demais: $size; são precisos ao menos 32 MiB" ;;
    17179869185G | 16777216T | 99999999999999999999) want="tamanho grande demais: '$size'" ;;
    1T) want="não cabe: 1048576 MiB pedidos, "*" MiB livres na partição exFAT" ;;
    *) want="tamanho inválido: '$size' (em MiB inteiros: 512M, 4G, 1024M)" ;;
  esac
  before=$(sums "$img")
  run persist "$img" "/debian live.iso" "$size"
  # shellcheck disable=SC2053 # want may be a pattern
  check "persist with SIZE \"$size\": status 1, \"$want\", nothing written" \
    bash -c '[[ $1 == 1 && $2 == $3 && $4 == "$5" ]]' _ "$status" "$err" "kelmo-stick: $want" "$(sums "$img")" "$before"
done
bad "persist for a casper ISO" 1 "kelmo-stick: /isos/a/ubuntu.ISO: a persistência só é feita para ISOs de live-boot e de dracut, e este é de casper" \
  "$img" persist "$img" /isos/a/ubuntu.ISO 32M
bad "persist for an archiso ISO" 1 "kelmo-stick: /Imagens ISO/Instalação.iso: a persistência só é feita para ISOs de live-boot e de dracut, e este é de archiso" \
  "$img" persist "$img" "/Imagens ISO/Instalação.iso" 32M
bad "persist for an ISO booted through its own loopback.cfg" 1 "kelmo-stick: /isos/a/half.iso: a persistência só é feita para ISOs de live-boot e de dracut, e este é de loopback" \
  "$img" persist "$img" /isos/a/half.iso 32M
for p in /nothing.iso /docs/notes.txt "$pf"; do
  bad "persist for \"$p\", not an ISO the menu finds" 1 "kelmo-stick: $p não é um ISO do pendrive (veja kelmo-stick list $img)" "$img" persist "$img" "$p" 32M
done
bad "persist on a stick not made by kelmo-stick" 1 \
  "kelmo-stick: $plain não foi preparado pelo kelmo-stick (não há /kelmo/stick.conf na partição EFI)" "$plain" persist "$plain" /x.iso 32M
bad "a command that does not exist" 2 "$(printf 'uso: kelmo-stick prepare [--yes] [--label L] [--append "PARAMS"] TARGET\n     kelmo-stick update [--append "PARAMS"] TARGET\n     kelmo-stick list [--paths] TARGET\n     kelmo-stick next TARGET PATH\n     kelmo-stick add TARGET ISO [FOLDER]\n     kelmo-stick persist TARGET PATH SIZE')" "$blank" format "$blank"
bad "prepare with an unknown option" 2 "$(printf 'uso: kelmo-stick prepare [--yes] [--label L] [--append "PARAMS"] TARGET\n     kelmo-stick update [--append "PARAMS"] TARGET\n     kelmo-stick list [--paths] TARGET\n     kelmo-stick next TARGET PATH\n     kelmo-stick add TARGET ISO [FOLDER]\n     kelmo-stick persist TARGET PATH SIZE')" "$blank" prepare --force "$blank"

# Mounted: a partition of the target mounted (as a desktop mounts a stick),
# and the target holding the running system (a file system of it mounted on
# / in a mount namespace of the test's own).
fuse_mount "${lp}p1" "$work/pm"
bad "prepare on a disk whose exFAT partition is mounted" 1 \
  "kelmo-stick: $lp tem um sistema de arquivos montado (${lp}p1 em $work/pm); desmonte-o antes" "$plain" prepare --yes "$lp"
bad "prepare on the image file under that loop device" 1 \
  "kelmo-stick: $plain tem um sistema de arquivos montado (${lp}p1 em $work/pm); desmonte-o antes" "$plain" prepare --yes "$plain"
umount "$work/pm"
unset 'mounts[-1]'
mkfs.ext2 -q -F "${lp}p2"
before=$(sums "$plain")
status=0
unshare -m --propagation private bash -c 'mount -t ext2 -o ro "$1" / && exec "$2" prepare --yes "$3"' _ "${lp}p2" "$ks" "$lp" \
  </dev/null >"$work/out" 2>"$work/err" || status=$?
err=$(cat "$work/err") out=
check "prepare on the disk that holds the running system (/): status 1, \"kelmo-stick: $lp tem o sistema em uso (${lp}p2 montado em /)\", nothing written" \
  [ "$status|$err|$(sums "$plain")" = "1|kelmo-stick: $lp tem o sistema em uso (${lp}p2 montado em /)|$before" ]
unloop "$lp"

# --- help, version, completion -----------------------------------------------------------

for a in --help -h help "prepare --help" "list -h" "add --help"; do
  read -r -a words <<<"$a"
  run "${words[@]}"
  check "kelmo-stick $a: the usage and what each command does on standard output, status 0, nothing on standard error" \
    bash -c '[ "$1" = 0 ] && [ -z "$3" ] && [[ $2 == "uso: kelmo-stick prepare "* ]] && grep -q "^  persist  " <<<"$2" &&
      grep -q "kelmo-stick(8)" <<<"$2"' _ "$status" "$out" "$err"
done
version=$(sed -n 's/^project(kelmo-map VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
run --version
check "kelmo-stick --version: \"kelmo-stick $version\", the packages' version, status 0" [ "$status|$out|$err" = "0|kelmo-stick $version|" ]

# comp WORDS...: what bash completion offers for the last word, one a line
# (kelmo-stick from the build on PATH, as it is once installed).
comp() {
  PATH=$build/stick:$PATH bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _kelmo_stick 2>/dev/null
    ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}"' _ "$top/stick/completion/kelmo-stick" "$@"
}
check "completion: the commands" [ "$(comp kelmo-stick p | tr '\n' ' ')" = "prepare persist " ]
check "completion: prepare's options" [ "$(comp kelmo-stick prepare --yes --l | tr '\n' ' ')" = "--label " ]
check "completion: nothing after --label (a free text)" [ -z "$(comp kelmo-stick prepare --label '')" ]
loop_of "$limg"
check "completion: TARGET offers whole disks ($l), not their partitions, and image files" \
  bash -c 'grep -qx "$1" <<<"$3" && ! grep -q "^$1p" <<<"$3" && grep -qx "$2" <<<"$4"' \
  _ "$l" "$img" "$(comp kelmo-stick prepare "$l")" "$(comp kelmo-stick list "$work/st")"
unloop "$l"
check "completion: next offers the stick's ISOs by path, quoted for the command line" \
  [ "$(comp kelmo-stick next "$img" /deb)" = '/debian\ live.iso' ]
check "completion: persist too, in folders" [ "$(comp kelmo-stick persist "$img" /isos/d)" = /isos/dracut.iso ]
check "completion: add offers ISO files, not other files" \
  bash -c 'grep -qx "$1/live.iso" <<<"$2" && ! grep -q "\.img$" <<<"$2"' _ "$work" "$(comp kelmo-stick add "$img" "$work/")"

# --- installed: DESTDIR and another prefix ----------------------------------------------

for prefix in /usr /opt/kelmo; do
  dest=$work/dest
  rm -rf "$dest"
  DESTDIR=$dest cmake --install "$build" --prefix "$prefix" >/dev/null
  iimg=$work/installed.img
  image "$iimg" 120M
  status=0
  "$dest$prefix/sbin/kelmo-stick" prepare --yes "$iimg" >/dev/null 2>"$work/err" || status=$?
  err=$(cat "$work/err") out=
  check "installed with --prefix $prefix: --version says $version" \
    [ "$("$dest$prefix/sbin/kelmo-stick" --version)" = "kelmo-stick $version" ]
  check "installed with --prefix $prefix into DESTDIR: it finds its menu and the add-on there and prepares a stick" \
    bash -c '[ "$1" = 0 ] && cmp -s <(mtype -i "$2" ::/kelmo/kelmo-addon.img) "$3/lib/kelmo-map/kelmo-addon.img" &&
      cmp -s <(mtype -i "$2" ::/boot/grub/kelmo/menu.cfg) "$3/share/kelmo-stick/grub/menu.cfg"' \
    _ "$status" "$iimg@@$(esp_off "$iimg")" "$dest$prefix"
done

summary
