# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: kelmo-stick update.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

cmd_update() {
  local t set_append=0
  while (($#)); do
    case $1 in
      --append) (($# > 1)) || usage; append=$2; set_append=1; shift ;;
      --append=*) append=${1#*=}; set_append=1 ;;
      --) (($# == 2)) && [[ -z ${t-} ]] || usage; t=$2; break ;;
      -*) usage ;;
      *) [[ -z ${t-} ]] || usage; t=$1 ;;
    esac
    shift
  done
  [[ -n ${t-} ]] || usage
  ((set_append)) && [[ $append == *[[:cntrl:]]* ]] && die "--append não pode ter quebras de linha nem caracteres de controle"
  open_target "$t"
  open_stick
  check_pieces
  ((set_append)) || append=$conf_append
  label=$conf_label
  serial=$(exfat_serial) || die "$target: a partição 1 não é exFAT"
  [[ $conf_state == updating ]] && say "a atualização anterior não terminou: refazendo-a"
  # Marked first, so that a cut anywhere below is seen by the next command.
  write_conf updating || die "não consegui escrever /kelmo/stick.conf"
  step_done mark
  install_all "$(esp_uuid)"
  write_conf complete || die "não consegui escrever /kelmo/stick.conf"
  sync -- "$target"
  say "atualizado: GRUB, menu e add-on (serial $serial)"
}
