# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: kelmo-stick persist: a file on the exFAT partition
# that keeps a live system's changes.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

persist_min=$((32 * MiB))

# SIZE: a number of bytes, or of KiB, MiB, GiB or TiB with K, M, G or T
# (and an optional iB or B); whole MiB.
# Fails with status 2 when the size passes what 64-bit arithmetic holds,
# rather than wrap around.
parse_size() {
  local n unit=1
  [[ ${1^^} =~ ^0*([0-9]{1,18})([KMGT]?)(I?B)?$ ]] || { [[ ${1^^} =~ ^[0-9]+[KMGT]?(I?B)?$ ]] && return 2; return 1; }
  n=$((10#${BASH_REMATCH[1]}))
  case ${BASH_REMATCH[2]} in
    K) unit=1024 ;;
    M) unit=$MiB ;;
    G) unit=$((1024 * MiB)) ;;
    T) unit=$((1024 * 1024 * MiB)) ;;
  esac
  ((n <= 0x7fffffffffffffff / unit)) || return 2
  n=$((n * unit))
  ((n % MiB == 0)) || return 1
  printf '%s\n' "$n"
}

# One ext4 file system for both stacks the menu boots with persistence:
# labelled persistence with persistence.conf saying "/ union" (live-boot
# keeps the root's changes in its rw/ and work/), and the overlayfs/ and
# ovlwork/ directories that dracut's rd.live.overlay=DEVICE:/overlayfs uses
# as the root's upper and work directories.
persist_layout() {
  mkdir -p "$1/overlayfs" "$1/ovlwork" && printf '/ union\n' >"$1/persistence.conf"
}

cmd_persist() {
  (($# == 3)) || usage
  open_target "$1"
  local path=$2 bytes file part avail old=0 runs
  [[ $path == /* ]] || path=/$path
  local r=0
  bytes=$(parse_size "$3") || r=$?
  ((r != 2)) || die "tamanho grande demais: '$3'"
  ((r == 0)) || die "tamanho inválido: '$3' (em MiB inteiros: 512M, 4G, 1024M)"
  ((bytes >= persist_min)) || die "tamanho pequeno demais: $3; são precisos ao menos $((persist_min / MiB)) MiB"
  command -v mkfs.ext4 >/dev/null || die "falta o programa mkfs.ext4 (pacote e2fsprogs)"
  open_stick
  # Read-only until everything is known to be right: a refusal writes nothing.
  mount_exfat ro
  if ! find_isos | grep -qxF -- "$path"; then
    die "$path não é um ISO do pendrive (veja kelmo-stick list $target)"
  fi
  recognise "$exfat_dir$path"
  case $stack in
    live-boot | dracut) ;;
    '') die "$path: $why; não há persistência para ele" ;;
    *) die "$path: a persistência só é feita para ISOs de live-boot e de dracut, e este é de $stack" ;;
  esac
  file=$(persist_path "$path")
  part=$file.part
  # exFAT names hold 255 UTF-16 units: the file's, and its name while written.
  local units
  units=$(printf '%s' "${part##*/}" | iconv -f UTF-8 -t UTF-16LE | wc -c)
  ((units <= 510)) ||
    die "$path: o nome do ISO é longo demais para o arquivo de persistência (${part##*/} passa de 255 caracteres); renomeie o ISO"
  # Both go before the new file is written: their room counts.
  [[ -f $exfat_dir$file ]] && old=$(stat -c %s "$exfat_dir$file")
  [[ -f $exfat_dir$part ]] && old=$((old + $(stat -c %s "$exfat_dir$part")))
  avail=$(df -B1 --output=avail "$exfat_dir" | tail -n 1 | tr -d ' ')
  if ((bytes > avail + old)); then
    die "não cabe: $((bytes / MiB)) MiB pedidos, $(((avail + old) / MiB)) MiB livres na partição exFAT"
  fi
  umount_exfat
  mount_exfat rw
  mkdir -p "$exfat_dir${file%/*}" || die "não consegui criar ${file%/*} na partição exFAT"
  # The old file goes first (its room counts); until the rename at the end
  # the menu sees no file, so an interruption leaves the ISO bootable.
  rm -f -- "$exfat_dir$file" "$exfat_dir$part" || die "não consegui apagar o $file antigo"
  say "escrevendo $file ($((bytes / MiB)) MiB, cada byte; num pendrive USB 2.0 leva minutos)"
  # Every byte is written: exFAT keeps how much of a file was written, and
  # reads zeros past it whatever kelmo-persist wrote there.
  dd if=/dev/zero of="$exfat_dir$part" bs=1M count=$((bytes / MiB)) conv=fsync status=progress ||
    { rm -f -- "$exfat_dir$part"; die "não consegui escrever $part"; }
  [[ $(stat -c %s "$exfat_dir$part") == "$bytes" ]] || { rm -f -- "$exfat_dir$part"; die "$part ficou incompleto"; }
  step_done zeros
  say "formatando $file (ext4, rótulo persistence)"
  scratch_dir
  mkdir -p "$tmp/persist" && persist_layout "$tmp/persist" || die "não consegui montar o conteúdo do $file"
  # nodiscard: a discard would punch holes in the file written above.
  if ! mkfs.ext4 -q -F -L persistence -E nodiscard -d "$tmp/persist" "$exfat_dir$part" >"$tmp/mkfs.log" 2>&1; then
    rm -f -- "$exfat_dir$part"
    die "mkfs.ext4 falhou: $(tail -n 1 "$tmp/mkfs.log")"
  fi
  step_done ext4
  mv -T -- "$exfat_dir$part" "$exfat_dir$file" || die "não consegui renomear $part"
  umount_exfat
  step_done rename
  runs=$(runs_of "$file") && [[ -n $runs ]] ||
    die "$file foi escrito, mas o kelmo-map não consegue mapeá-lo (mais de 4096 trechos?): apague-o ou rode de novo"
  say "pronto: $file, $((bytes / MiB)) MiB em $(trechos "$runs")"
  cat <<EOF
A primeira entrada de $path no menu (e kelmo-stick next) inicia agora com
persistência: o que o sistema live escreve fica em $file. A segunda entrada
inicia sem ela. Para recomeçar do zero, apague o arquivo ou rode kelmo-stick
persist de novo.
EOF
}
