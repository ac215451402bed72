# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: what an ISO on the stick is: its label and the live
# stack its files say it boots with.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

# The persistence file of the ISO at PATH on the exFAT partition: beside
# nothing of the user's, under /kelmo/, found by the menu from the ISO's path
# alone; its name does not end in .iso, so no scan takes it for an ISO.
persist_path() { printf '/kelmo/persist%s.img\n' "$1"; }

# recognise FILE: sets stack, kernel, initrd, why (for an ISO not recognised).
recognise() {
  local iso=$1 k i
  local -A has=()
  local list
  stack='' kernel='' initrd='' why=''
  if [[ $(dd if="$iso" bs=1 skip=32768 count=6 status=none 2>/dev/null | od -An -c | tr -d ' ') != '001CD001' ]]; then
    why="não é uma imagem ISO 9660"
    return
  fi
  if ! list=$(xorriso -abort_on FATAL -return_with FAILURE 32 -indev "$iso" -find / -type f </dev/null 2>/dev/null); then
    why="não é uma imagem ISO 9660 legível"
    return
  fi
  while read -r k; do
    k=${k#\'}
    k=${k%\'}
    [[ -n $k ]] && has[$k]=1
  done <<<"$list"
  local -a names
  mapfile -t names < <(printf '%s\n' "${!has[@]}" | LC_ALL=C sort)
  first() { # PATTERN: the first file, by name, that matches
    local p
    for p in "${names[@]}"; do
      # shellcheck disable=SC2053
      [[ $p == $1 ]] && { printf '%s\n' "$p"; return 0; }
    done
    return 1
  }
  if k=$( [[ -n ${has[/live/vmlinuz]-} ]] && echo /live/vmlinuz || first '/live/vmlinuz*') &&
    i=$( [[ -n ${has[/live/initrd.img]-} ]] && echo /live/initrd.img || first '/live/initrd*'); then
    stack=live-boot kernel=$k initrd=$i
    return
  fi
  if [[ -n ${has[/LiveOS/squashfs.img]-} ]]; then
    for k in /boot/vmlinuz /images/pxeboot/vmlinuz /isolinux/vmlinuz; do
      if [[ -n ${has[$k]-} && -n ${has[${k%/*}/initrd.img]-} ]]; then
        stack=dracut kernel=$k initrd=${k%/*}/initrd.img
        return
      fi
    done
  fi
  if [[ -n ${has[/casper/vmlinuz]-} ]] && i=$(first '/casper/initrd*'); then
    stack=casper kernel=/casper/vmlinuz initrd=$i
    return
  fi
  if [[ -n ${has[/arch/boot/x86_64/vmlinuz-linux]-} && -n ${has[/arch/boot/x86_64/initramfs-linux.img]-} ]]; then
    stack=archiso kernel=/arch/boot/x86_64/vmlinuz-linux initrd=/arch/boot/x86_64/initramfs-linux.img
    return
  fi
  if [[ -n ${has[/boot/grub/loopback.cfg]-} ]]; then
    stack=loopback
    return
  fi
  why="não reconhecido: sem kernel e initrd em /live, /LiveOS, /casper ou /arch, nem /boot/grub/loopback.cfg"
}

# The ISO 9660 volume label (the primary descriptor's volume id).
iso_label() {
  dd if="$1" bs=1 skip=$((32768 + 40)) count=32 status=none 2>/dev/null | tr -d '\0' | sed 's/ *$//'
}

# iso_id FILE: grub_label and grub_uuid, the ISO's label and date UUID as
# GRUB's probe --label and --fs-uuid give them at boot: grub-probe is the
# same GRUB's code for them.
iso_id() {
  grub_label=$(grub-probe -t fs_label -d "$1" 2>/dev/null) || grub_label=
  grub_uuid=$(grub-probe -t fs_uuid -d "$1" 2>/dev/null) || grub_uuid=
}
