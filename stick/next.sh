# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: kelmo-stick next.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

cmd_next() {
  (($# == 2)) || usage
  open_target "$1"
  local path=$2
  [[ $path == /* ]] || path=/$path
  open_stick
  mount_exfat
  if ! find_isos | grep -qxF -- "$path"; then
    die "$path não é um ISO do pendrive (veja kelmo-stick list $target)"
  fi
  scratch_dir
  esp_find_mount
  if ! esp_get /boot/grub/grubenv >"$tmp/grubenv" || [[ ! -s $tmp/grubenv ]]; then
    rm -f "$tmp/grubenv"
    grub-editenv "$tmp/grubenv" create || die "grub-editenv falhou"
  fi
  grub-editenv "$tmp/grubenv" set "next_entry=$path" || die "grub-editenv falhou"
  esp_put_as "$tmp/grubenv" /boot/grub/grubenv || die "não consegui escrever /boot/grub/grubenv"
  sync -- "$target"
  say "a próxima inicialização inicia $path (uma vez)"
}
