# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# A stick laid out by hand as kelmo-stick prepare lays it out (MBR; exFAT
# first, the EFI system partition last, everything of kelmo's on it), for
# the boot tests of the menu while the command is not there to make it.
# The ESP is filled with mtools and GRUB's BIOS core set up from an image
# made here: nothing is mounted.
#
#   handmade_stick IMAGE SIZE_MIB MENU_DIR ADDON   (as root; loop devices)
# STICK_APPEND: the parameters added to every entry. Sets STICK_P1_START,
# STICK_P1_SIZE and STICK_ESP_START (sectors).
STICK_ESP_ID=4B454C4D
STICK_ESP_UUID=4B45-4C4D

handmade_stick() {
  local img=$1 mib=$2 menu=$3 addon=$4 esp_mib=64 disk p1 p1s p1n p2s p2n
  local s=$img.stage esp=$img.esp status=0
  truncate -s "${mib}M" "$img"
  printf 'label: dos\nstart=2048, size=%s, type=7\nsize=%s, type=ef\n' \
    $(((mib - esp_mib - 1) * 2048)) $((esp_mib * 2048)) | sfdisk -q "$img"
  read -r p1s p1n p2s p2n < <(partitions "$img" | tr '\n' ' ') || true
  STICK_P1_START=$p1s STICK_P1_SIZE=$p1n STICK_ESP_START=$p2s
  loop_attach p1 -o $((p1s * 512)) --sizelimit $((p1n * 512)) "$img"
  mkfs.exfat -L KELMO "$p1" >/dev/null
  tune.exfat -I "$STICK_SERIAL_HEX" "$p1" >/dev/null
  loop_detach "$p1"

  rm -rf "$s"
  mkdir -p "$s/EFI/BOOT" "$s/EFI/debian/x86_64-efi" "$s/boot/grub/kelmo" "$s/boot/grub/i386-pc" "$s/kelmo"
  cp /usr/lib/shim/shimx64.efi.signed "$s/EFI/BOOT/BOOTX64.EFI"
  cp /usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed "$s/EFI/BOOT/grubx64.efi"
  cp /usr/lib/shim/mmx64.efi.signed "$s/EFI/BOOT/mmx64.efi"
  cp /usr/lib/grub/x86_64-efi/*.mod /usr/lib/grub/x86_64-efi/*.lst "$s/EFI/debian/x86_64-efi/"
  cp /usr/lib/grub/i386-pc/*.mod /usr/lib/grub/i386-pc/*.lst "$s/boot/grub/i386-pc/"
  printf 'search --no-floppy --fs-uuid --set=root %s\nconfigfile ($root)/boot/grub/grub.cfg\n' \
    "$STICK_ESP_UUID" >"$s/EFI/debian/grub.cfg"
  cat >"$s/boot/grub/grub.cfg" <<'CFG'
serial --unit=0 --speed=115200
terminal_input serial console
terminal_output serial console
load_env -f ($root)/boot/grub/grubenv
set timeout=-1
if [ -n "$next_entry" ]; then
	set default="$next_entry"
	set timeout=0
	set next_entry=
	save_env -f ($root)/boot/grub/grubenv next_entry
fi
source ($root)/boot/grub/kelmo/menu.cfg
CFG
  grub-editenv "$s/boot/grub/grubenv" create
  cp "$menu"/*.cfg "$s/boot/grub/kelmo/"
  printf 'set kelmo_uuid="%s"\nset kelmo_append="%s"\n' "$STICK_SERIAL" "${STICK_APPEND:-}" >"$s/boot/grub/kelmo/vars.cfg"
  : >"$s/boot/grub/kelmo/entries.cfg"
  cp "$addon" "$s/kelmo/kelmo-addon.img"
  printf 'format=1\nstate=complete\nserial=%s\nlabel=KELMO\nappend=%s\n' "$STICK_SERIAL" "${STICK_APPEND:-}" \
    >"$s/kelmo/stick.conf"
  rm -f "$esp"
  mkfs.vfat -C -n KELMO-EFI -i "$STICK_ESP_ID" "$esp" $((p2n / 2)) >/dev/null
  mcopy -s -i "$esp" "$s"/EFI "$s"/boot "$s"/kelmo ::/
  dd if="$esp" of="$img" bs=512 seek="$p2s" conv=notrunc status=none

  # BIOS: GRUB's core in the gap before p1 finds the ESP by its volume id.
  printf 'search.fs_uuid %s root\nset prefix=($root)/boot/grub\n' "$STICK_ESP_UUID" >"$s/early.cfg"
  mkdir -p "$s/core"
  cp /usr/lib/grub/i386-pc/boot.img "$s/core/"
  grub-mkimage -O i386-pc -o "$s/core/core.img" -c "$s/early.cfg" -p /boot/grub \
    biosdisk part_msdos part_gpt fat search_fs_uuid || return 1
  # grub-bios-setup reads them from a file system it can name the disk of:
  # a small ext2 image of their own.
  local coredir=$s/core.mnt coreimg=$s/core.ext2 coreloop
  truncate -s 8M "$coreimg"
  mkfs.ext2 -q "$coreimg"
  loop_attach coreloop "$coreimg"
  mkdir -p "$coredir"
  mount_track "$coredir"
  mount "$coreloop" "$coredir"
  cp "$s/core/boot.img" "$s/core/core.img" "$coredir/"
  loop_attach disk "$img"
  /usr/lib/grub/i386-pc/grub-bios-setup -d "$coredir" -b boot.img -c core.img "$disk" \
    >"$img.grub-setup.log" 2>&1 || status=1
  umount "$coredir"
  loop_detach "$coreloop"
  loop_detach "$disk"
  rm -rf "$s" "$esp"
  return $status
}
