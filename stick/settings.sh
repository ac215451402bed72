# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: the stick's settings (/kelmo/stick.conf on the ESP):
# what prepare chose, and whether the last prepare or update finished.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

conf_label='' conf_append='' conf_state=''

# Fails with a line when the target is not a stick made by kelmo-stick, or
# one whose preparation did not finish.
open_stick() {
  local conf
  if ! read_table || ! conf=$(esp_get_probe /kelmo/stick.conf) || ! grep -qx 'format=1' <<<"$conf"; then
    die "$target não foi preparado pelo kelmo-stick (não há /kelmo/stick.conf na partição EFI)"
  fi
  conf_state=$(sed -n 's/^state=//p' <<<"$conf" | head -n 1)
  conf_label=$(sed -n 's/^label=//p' <<<"$conf" | head -n 1)
  conf_append=$(sed -n 's/^append=//p' <<<"$conf" | head -n 1)
  case $conf_state in
    complete) ;;
    # An update cut short: GRUB's files may be half old, half new. Only
    # update goes on from there.
    updating)
      [[ $cmd == update ]] ||
        die "$target: a última atualização pelo kelmo-stick não terminou e o pendrive pode não iniciar; rode kelmo-stick update de novo"
      ;;
    *) die "$target: o preparo pelo kelmo-stick não terminou; rode kelmo-stick prepare de novo" ;;
  esac
}

write_conf() { # STATE
  scratch_dir
  {
    echo format=1
    echo "state=$1"
    [[ -z ${serial-} ]] || echo "serial=$serial"
    echo "label=$label"
    echo "append=$append"
  } >"$tmp/stick.conf"
  esp_put_as "$tmp/stick.conf" /kelmo/stick.conf
}
