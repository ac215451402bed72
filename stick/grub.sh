# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: GRUB for each firmware (BIOS in the MBR gap, UEFI
# through shim), its modules, the menu's files and the add-on.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

# GRUB's double-quoted string: \ " and $ escaped.
grub_quote() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  s=${s//\$/\\\$}
  printf '"%s"' "$s"
}

check_pieces() {
  local f
  for f in "$grub_pc/boot.img" "$grub_pc/kernel.img" "$grub_efi/kernel.img" "$grub_signed" "$shim_signed" "$mok_signed" \
    "$addon" "$grub_cfgs"; do
    [[ -e $f ]] || die "falta $f (instale kelmo-stick e os pacotes de que ele depende)"
  done
  for f in sfdisk mkfs.fat mkfs.exfat mcopy mmd mtype mdeltree grub-mkimage grub-editenv losetup; do
    command -v "$f" >/dev/null || die "falta o programa $f (instale kelmo-stick e os pacotes de que ele depende)"
  done
}

# GRUB for BIOS: a core image that finds the ESP by its volume id, in the gap
# after the MBR (or in the BIOS boot partition of a GPT disk), and the MBR's
# boot code. What grub-bios-setup --no-rs-codes writes, without its need to
# open the device that holds its own directory.
write_bios_grub() {
  local uuid=$1 core_at core_max nsec
  scratch_dir
  printf 'search.fs_uuid %s root\nset prefix=($root)/boot/grub\n' "$uuid" >"$tmp/early.cfg"
  grub-mkimage -O i386-pc -d "$grub_pc" -p /boot/grub -c "$tmp/early.cfg" -o "$tmp/core.img" \
    biosdisk part_msdos part_gpt fat search_fs_uuid || return 1
  nsec=$((($(stat -c %s "$tmp/core.img") + 511) / 512))
  if [[ $table == gpt ]]; then
    core_at=$bios_boot_start core_max=$bios_boot_sectors
  else
    core_at=1 core_max=$((p1_start - 1))
  fi
  ((nsec <= core_max)) || { say "a imagem do GRUB ($nsec setores) não cabe em $core_max setores"; return 1; }
  # diskboot's block list (the last 12 bytes of the core's first sector):
  # the rest of the core, from the sector after the first, in one run.
  {
    head -c 500 "$tmp/core.img"
    le $((core_at + 1)) 8
    le $((nsec - 1)) 2
    le $((0x820)) 2
    tail -c +513 "$tmp/core.img"
  } >"$tmp/core.fixed"
  # boot.img: the core's first sector, the boot drive taken from the BIOS,
  # the drive check skipped (a hard disk); the disk's own BPB area, disk
  # signature and partition table kept.
  dd if="$target" of="$tmp/mbr" bs=512 count=1 status=none || return 1
  {
    head -c 3 "$grub_pc/boot.img"
    dd if="$tmp/mbr" bs=1 skip=3 count=$((0x5a - 3)) status=none
    dd if="$grub_pc/boot.img" bs=1 skip=$((0x5a)) count=2 status=none
    le "$core_at" 8
    printf '\377'
    dd if="$grub_pc/boot.img" bs=1 skip=$((0x65)) count=1 status=none
    printf '\220\220'
    dd if="$grub_pc/boot.img" bs=1 skip=$((0x68)) count=$((0x1b8 - 0x68)) status=none
    dd if="$tmp/mbr" bs=1 skip=$((0x1b8)) count=$((512 - 0x1b8)) status=none
  } >"$tmp/boot.fixed"
  [[ $(stat -c %s "$tmp/boot.fixed") == 512 ]] || return 1
  dd if="$tmp/core.fixed" of="$target" bs=512 seek="$core_at" conv=notrunc,fsync status=none &&
    dd if="$tmp/boot.fixed" of="$target" bs=512 count=1 conv=notrunc,fsync status=none
}

# le VALUE BYTES: VALUE little-endian in BYTES bytes.
le() {
  local v=$1 n=$2 i out=
  for ((i = 0; i < n; i++)); do
    out+=$(printf '\\%03o' $((v & 255)))
    v=$((v >> 8))
  done
  printf '%b' "$out"
}

# The ESP's own files: shim, GRUB for UEFI and BIOS with their modules, the
# menu, the add-on. Everything of kelmo-stick's on the stick but the MBR.
write_efi() {
  local uuid=$1
  scratch_dir
  esp_mkdir /EFI /EFI/BOOT /EFI/debian /boot /boot/grub /kelmo || return 1
  cp "$shim_signed" "$tmp/BOOTX64.EFI" && cp "$grub_signed" "$tmp/grubx64.efi" && cp "$mok_signed" "$tmp/mmx64.efi" || return 1
  esp_put_as "$tmp/grubx64.efi" /EFI/BOOT/grubx64.efi && esp_put_as "$tmp/mmx64.efi" /EFI/BOOT/mmx64.efi &&
    esp_put_as "$tmp/BOOTX64.EFI" /EFI/BOOT/BOOTX64.EFI || return 1
  # The signed GRUB reads $prefix/grub.cfg, its prefix being /EFI/debian.
  cat >"$tmp/grub.cfg" <<EOF
search --no-floppy --fs-uuid --set=root $uuid
set prefix=(\$root)/EFI/debian
configfile (\$root)/boot/grub/grub.cfg
EOF
  esp_replace_dir /EFI/debian/x86_64-efi "$grub_efi"/*.mod "$grub_efi"/*.lst &&
    esp_put_as "$tmp/grub.cfg" /EFI/debian/grub.cfg
}

write_bios_modules() {
  esp_replace_dir /boot/grub/i386-pc "$grub_pc"/*.mod "$grub_pc"/*.lst
}

write_menu() {
  local uuid=$1
  scratch_dir
  mkdir -p "$tmp/kelmo"
  cat >"$tmp/grub.cfg" <<'EOF'
# Written by kelmo-stick: GRUB for BIOS and for UEFI both start here, with
# root set to this partition. The menu itself is in /boot/grub/kelmo/.
serial --unit=0 --speed=115200
terminal_input serial console
terminal_output serial console
set kelmo_esp="$root"
# kelmo-stick next: one boot of the ISO chosen, without waiting; the choice
# is cleared before anything boots.
set kelmo_next=
if [ -f /boot/grub/grubenv ]; then
  load_env --file /boot/grub/grubenv
  if [ -n "$next_entry" ]; then
    set kelmo_next="$next_entry"
    set next_entry=
    save_env --file /boot/grub/grubenv next_entry
  fi
fi
source /boot/grub/kelmo/menu.cfg
if [ -n "$kelmo_next" ]; then
  set default="$kelmo_next"
  set timeout=0
fi
EOF
  {
    echo "set kelmo_uuid=$(grub_quote "$serial")"
    echo "set kelmo_append=$(grub_quote "$append")"
    echo "set kelmo_esp_uuid=$(grub_quote "$uuid")"
  } >"$tmp/kelmo/vars.cfg"
  : >"$tmp/kelmo/entries.cfg"
  # A grubenv kept across updates: it may hold a next_entry.
  if ! esp_get /boot/grub/grubenv >"$tmp/grubenv" || [[ ! -s $tmp/grubenv ]]; then
    rm -f "$tmp/grubenv"
    grub-editenv "$tmp/grubenv" create && esp_put_as "$tmp/grubenv" /boot/grub/grubenv || return 1
  fi
  # The menu's folder whole (the Secure Boot menu, made just before, in it),
  # then the file that sources it.
  esp_replace_dir /boot/grub/kelmo "$grub_cfgs"/*.cfg "$tmp/kelmo/vars.cfg" "$tmp/kelmo/entries.cfg" \
    "$tmp/secure.cfg" && esp_put_as "$tmp/grub.cfg" /boot/grub/grub.cfg
}

write_addon() {
  esp_put_as "$addon" /kelmo/kelmo-addon.img
}
