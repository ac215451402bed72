# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# What kelmo-map says on stderr, as the tests expect it byte for byte: the
# texts after the "kelmo-map: " every line starts with, and the lines that
# carry values. POSIX sh: sourced by the host's scripts and, copied into the
# boot tests' initramfs, by the guest's busybox sh.

# shellcheck disable=SC2034 # the MSG_ texts are read by the scripts that source this
MSG_NO_KEYS='sem kelmo.uuid/kelmo.iso no cmdline'
MSG_NO_PARTITION='partição do Kelmo USB não encontrada'
MSG_IS_FOLDER='o caminho é uma pasta'
MSG_NO_CLUSTERS='não consegui ler a lista de clusters'
MSG_NOT_EXFAT='não é exFAT'
MSG_NOT_FOUND='não achei'
MSG_NO_CONTROL='sem /dev/mapper/control'
# The kelmo.usb= and kelmo.persist= stages name their device on each line.
MSG_USB_STAGE='kelmo-usb: '
MSG_PERSIST_STAGE='kelmo-persist: '
MSG_SHARES_ISO='trechos em comum com o ISO'

# msg_line TEXT: the whole line, as printed.
msg_line() { printf 'kelmo-map: %s\n' "$1"; }

# msg_not_found NAME: the path's first component that is not there.
msg_not_found() { printf '%s %s' "$MSG_NOT_FOUND" "$1"; }

# msg_iso_mapped RUNS: the ISO mapped in RUNS runs ("trecho", "trechos").
msg_iso_mapped() {
  if [ "$1" -gt 1 ]; then
    printf 'ISO -> /dev/mapper/kelmo-iso (%s trechos)' "$1"
  else
    printf 'ISO -> /dev/mapper/kelmo-iso (%s trecho)' "$1"
  fi
}

# msg_usb_mapped ro|rw|persist: the whole partition mapped as kelmo-usb;
# persist: read-only, kelmo.usb=rw refused beside kelmo.persist=.
msg_usb_mapped() {
  case $1 in
    ro) printf 'USB -> /dev/mapper/kelmo-usb (somente leitura)' ;;
    rw) printf 'USB -> /dev/mapper/kelmo-usb (leitura e escrita)' ;;
    persist) printf 'USB -> /dev/mapper/kelmo-usb (somente leitura por causa de kelmo.persist)' ;;
  esac
}

# msg_persist_mapped RUNS: the persistence file mapped in RUNS runs.
msg_persist_mapped() {
  if [ "$1" -gt 1 ]; then
    printf 'persistência -> /dev/mapper/kelmo-persist (%s trechos)' "$1"
  else
    printf 'persistência -> /dev/mapper/kelmo-persist (%s trecho)' "$1"
  fi
}
