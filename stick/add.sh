# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: kelmo-stick add.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

# Where add writes the copy until it is whole: a name no scan takes for an
# ISO, in kelmo-stick's own folder, so that a copy cut short by a crash or
# a kill is never in the menu, and the next add finds it and frees its room.
add_part=/kelmo/add.part
add_made='' add_loop=''

detach_add_loop() { losetup -d "$add_loop"; }

# Undone unless add gets to its end: the copy and the folder it made.
undo_add() {
  rm -f -- "$tmp/rw$add_part"
  [[ -z $add_made ]] || rm -rf -- "$tmp/rw$add_made"
}

# add TARGET ISO [FOLDER]: copies ISO onto the exFAT partition in one run
# (so it boots under Secure Boot), with progress; checks the bytes where its
# run says they are; rewrites the Secure Boot menu. Nothing is left behind
# when any of that fails.
cmd_add() {
  (($# == 2 || $# == 3)) || usage
  local iso=$2 folder=${3-} size name dest need best comp
  [[ -f $iso ]] || die "$iso não é um arquivo"
  open_target "$1"
  open_stick
  check_pieces
  name=${iso##*/}
  [[ $name == *.iso || $name == *.ISO ]] || die "$name não termina em .iso: o menu não o veria"
  exfat_name_ok "$name" ||
    die "$name não cabe num nome exFAT (até 255 caracteres, sem \" * : < > ? \\ | nem caracteres de controle)"
  # FOLDER is a path inside the partition: names exFAT allows, never "."
  # or "..", so nothing written can land outside it.
  [[ $folder != *[[:cntrl:]]* ]] || die "pasta inválida: $folder"
  local -a comps=()
  IFS=/ read -r -a comps <<<"$folder"
  folder=
  for comp in "${comps[@]}"; do
    [[ -n $comp ]] || continue
    if [[ $comp == . || $comp == .. ]] || ! exfat_name_ok "$comp"; then
      die "pasta inválida: ${3-} (dê um caminho dentro da partição exFAT, sem . nem ..)"
    fi
    folder+=/$comp
  done
  local depth=${folder//[!\/]/}
  ((${#depth} <= 2)) || die "a pasta $folder é funda demais: o menu procura ISOs na raiz e até duas pastas abaixo"
  dest=$folder/$name
  size=$(stat -L -c %s -- "$iso")
  exfat_serial >/dev/null || die "$target: a partição 1 não é exFAT"
  if partition_mount "$p1_start" >/dev/null; then
    die "a partição exFAT de $target está montada; desmonte-a antes de kelmo-stick add"
  fi

  local loop
  loop=$(losetup -f --show -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$target") || die "losetup falhou"
  add_loop=$loop
  cleanups+=(detach_add_loop)
  scratch_dir
  mkdir -p "$tmp/rw"
  # A copy a killed add left: its room is free again first.
  if KELMO_MAP_OFFSET=$((p1_start * 512)) "$kelmo_map" --test "$target" "$add_part" >/dev/null 2>&1; then
    rw_mount "$loop" || die "não consegui montar a partição exFAT de $target"
    rm -f -- "$tmp/rw$add_part"
    rw_umount || die "o driver exFAT falhou ao apagar $add_part"
  fi
  exfat_geometry "$loop" || die "não consegui ler a partição exFAT de $target"
  need=$(((size + cluster_bytes - 1) / cluster_bytes))
  best=$(free_run "$loop")
  if ((best < need)); then
    die "não há espaço livre contíguo para $name: precisa de $((need * cluster_bytes / MiB)) MiB seguidos, o maior trecho livre tem $((best * cluster_bytes / MiB)) MiB; nada foi copiado"
  fi

  rw_mount "$loop" || die "não consegui montar a partição exFAT de $target"
  cleanups+=(rw_umount)
  [[ ! -e $tmp/rw$dest ]] || die "$dest já existe no pendrive; apague-o antes"
  # Our folder before the user's: exfat-fuse takes the first free clusters,
  # and a folder made and then removed again by an undo must leave its
  # cluster just before the free room, not inside it.
  mkdir -p -- "$tmp/rw${add_part%/*}" || die "não consegui criar ${add_part%/*}"
  add_made=
  if [[ ! -d $tmp/rw$folder ]]; then
    local d=$folder
    while [[ ! -d $tmp/rw${d%/*} ]]; do d=${d%/*}; done
    add_made=$d
    mkdir -p -- "$tmp/rw$folder" || die "não consegui criar $folder"
  fi
  # Undone unless everything below succeeds.
  cleanups+=(undo_add)
  say "copiando $name para $dest ($((size / MiB)) MiB)"
  # One sequential write: the driver takes each cluster after the last.
  # The copy has its own name until it is whole and on the stick.
  dd if="$iso" of="$tmp/rw$add_part" bs=4M status=progress conv=fsync,excl oflag=nofollow ||
    die "a cópia falhou; nada ficou no pendrive"
  sync -f "$tmp/rw"
  step_done copy
  mv -T -- "$tmp/rw$add_part" "$tmp/rw$dest" || die "não consegui dar o nome $dest à cópia"
  sync -f "$tmp/rw"
  # From here the copy has its name: undone by name.
  add_part=$dest
  rw_umount || die "o driver exFAT falhou ao gravar $dest"
  step_done rename

  local out runs start
  out=$(KELMO_MAP_OFFSET=$((p1_start * 512)) "$kelmo_map" --test "$target" "$dest" 2>/dev/null)
  runs=$(sed -n '1s/.* trechos=\([0-9]*\)$/\1/p' <<<"$out")
  start=$(sed -n '2s/^  setor \([0-9]*\)  +.*/\1/p' <<<"$out")
  local fail=
  if [[ $runs != 1 || -z $start ]]; then
    fail="a cópia ficou em ${runs:-?} trechos: não há espaço livre contíguo que o driver exFAT use"
  elif ! cmp -s -n "$size" -- "$iso" <(dd if="$target" bs=1M iflag=skip_bytes,count_bytes \
    skip=$((p1_start * 512 + start * 512)) count="$size" status=none); then
    fail="os bytes gravados não conferem com $iso"
  fi
  if [[ -n $fail ]]; then
    rw_mount "$loop" || die "$fail; e não consegui apagar $dest"
    undo_add
    rw_umount
    die "$fail; $dest foi apagado"
  fi
  unset 'cleanups[-1]'
  unset 'cleanups[-1]'
  losetup -d "$loop"
  unset 'cleanups[-1]'
  say "$dest gravado num trecho só (setor $start) e conferido"
  say "escrevendo o menu do Secure Boot"
  mount_exfat
  esp_find_mount
  write_secure_menu || die "não consegui escrever o menu do Secure Boot"
  sync -- "$target"
  say "pronto: $dest inicia também com Secure Boot"
}
