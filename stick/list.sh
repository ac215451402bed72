# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: kelmo-stick list.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

cmd_list() {
  local paths=0
  [[ ${1-} == --paths ]] && { paths=1; shift; }
  (($# == 1)) || usage
  open_target "$1"
  open_stick
  mount_exfat
  # Only the paths, as fast as the partition lists them (for completion).
  if ((paths)); then
    find_isos
    return
  fi
  sync -f "$exfat_dir"
  local iso n=0 runs boot desc label persist pfile pruns
  while IFS= read -r iso; do
    n=$((n + 1))
    recognise "$exfat_dir$iso"
    label=
    [[ -n $stack || $why != "não é uma imagem ISO 9660" ]] && label=$(iso_label "$exfat_dir$iso")
    runs=$(runs_of "$iso") || runs=
    case $stack in
      live-boot) desc="Debian live-boot ($kernel, $initrd)" boot="inicia" ;;
      dracut) desc="dracut dmsquash-live ($kernel, $initrd)" boot="inicia" ;;
      casper) desc="Ubuntu casper ($kernel, $initrd)" boot="deve iniciar (casper não é testado aqui)" ;;
      archiso) desc="Arch archiso ($kernel, $initrd)" boot="deve iniciar (archiso não é testado aqui)" ;;
      loopback) desc="o /boot/grub/loopback.cfg do próprio ISO" boot="talvez inicie (o initrd do ISO precisa achar o arquivo sozinho)" ;;
      *) desc=$why boot="não inicia" ;;
    esac
    if [[ -z $runs ]]; then
      runs="? trechos"
      boot="não inicia: o kelmo-map não consegue mapear o arquivo"
    else runs=$(trechos "$runs"); fi
    persist=
    pfile=$(persist_path "$iso")
    if [[ -f $exfat_dir$pfile ]]; then
      if [[ $stack != live-boot && $stack != dracut ]]; then
        persist="; $pfile existe, mas o menu não o usa para este ISO"
      elif pruns=$(runs_of "$pfile") && [[ -n $pruns ]]; then
        persist="; com persistência em $pfile ($(($(stat -c %s "$exfat_dir$pfile") / MiB)) MiB, $(trechos "$pruns"))"
      else
        persist="; $pfile existe, mas o kelmo-map não consegue mapeá-lo: a entrada com persistência inicia sem ela"
      fi
    fi
    printf '%s: %s%s, %s, %s%s\n' "$iso" "${label:+$label, }" "$desc" "$runs" "$boot" "$persist"
  done < <(find_isos)
  ((n)) || echo "nenhum ISO na partição exFAT (serial $(exfat_serial || echo ?))"
}
