# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: the Secure Boot menu, and the add subcommand.
#
# Under Secure Boot the signed GRUB has no exFAT driver and may load none,
# so it cannot list the ISOs. update writes their entries into the ESP
# instead, /boot/grub/kelmo/secure.cfg: each ISO stored in one run is read
# through a one-range blocklist of the exFAT partition (several ranges read
# wrong bytes in this GRUB). An entry checks at boot what GRUB can see of
# the bytes there (ISO 9660 label, date UUID, the kernel and initrd) against
# what update saw, and passes the run to the add-on, which checks the file's
# directory entry, the one thing GRUB cannot read.

secure_cfg=/boot/grub/kelmo/secure.cfg

# iso_id FILE: grub_label and grub_uuid, the ISO's label and date UUID as
# GRUB's probe --label and --fs-uuid give them at boot: grub-probe is the
# same GRUB's code for them.
iso_id() {
  grub_label=$(grub-probe -t fs_label -d "$1" 2>/dev/null) || grub_label=
  grub_uuid=$(grub-probe -t fs_uuid -d "$1" 2>/dev/null) || grub_uuid=
}

# secure_entries: the entries of every ISO on the mounted exFAT partition
# (exfat_dir), on standard output.
secure_entries() {
  local iso out size runs start count label uuid name title
  while IFS= read -r iso; do
    sb_entries=$((sb_entries + 1))
    name=${iso##*/}
    label=$(iso_label "$exfat_dir$iso")
    title=$name
    [[ -z $label ]] || title="$name ($label)"
    runs='' start='' count=''
    if out=$(KELMO_MAP_OFFSET=$((p1_start * 512)) "$kelmo_map" --test "$target" "$iso" 2>/dev/null); then
      read -r size _ runs <<<"$(sed -n '1s/^tamanho=\([0-9]*\) nofat=\([01]\) trechos=\([0-9]*\)$/\1 \2 \3/p' <<<"$out")"
      read -r start count <<<"$(sed -n '2s/^  setor \([0-9]*\)  +\([0-9]*\)$/\1 \2/p' <<<"$out")"
    fi
    if [[ -z $runs || $runs != 1 || -z $start ]]; then
      printf 'menuentry --id %s -- %s %s {\n' "$(grub_quote "$iso")" \
        "$(grub_quote "$title: não inicia com Secure Boot")" "$(grub_quote "$iso")"
      printf '\tkelmo_sb_scattered "$2" %s\n}\n' "$(grub_quote "${runs:-?}")"
      continue
    fi
    # The ISO's own length, in whole sectors (its runs are whole clusters).
    count=$(((size + 511) / 512))
    recognise "$exfat_dir$iso"
    iso_id "$exfat_dir$iso"
    uuid=$grub_uuid
    local params=
    case $stack in
      live-boot) params="boot=live components live-media=/dev/mapper/kelmo-iso" ;;
      dracut) params="root=live:/dev/mapper/kelmo-iso rd.live.image rd.live.overlay.overlayfs=1" ;;
      casper) params="boot=casper" ;;
      archiso) params="archisobasedir=arch archisosearchuuid=$uuid" ;;
    esac
    case $stack in
      loopback) title="$title: menu do próprio ISO" ;;
      '') title="$title: não reconhecido" ;;
    esac
    printf 'menuentry --id %s -- %s %s {\n' "$(grub_quote "$iso")" "$(grub_quote "$title")" "$(grub_quote "$iso")"
    case $stack in
      '') printf '\tkelmo_sb_unknown "$2"\n' ;;
      *)
        printf '\tkelmo_sb_boot "$2" %s %s %s %s %s %s %s %s\n' "$start" "$count" "$(grub_quote "$grub_label")" \
          "$(grub_quote "$uuid")" "$(grub_quote "$stack")" "$(grub_quote "$kernel")" "$(grub_quote "$initrd")" \
          "$(grub_quote "$params")"
        ;;
    esac
    printf '}\n'
  done < <(find_isos)
}

# make_secure_menu [empty]: $tmp/secure.cfg for the ISOs on the stick now
# (none when the exFAT partition was just formatted); write_secure_menu puts
# it on the ESP.
write_secure_menu() {
  make_secure_menu "$@" && esp_put_as "$tmp/secure.cfg" "$secure_cfg"
}
make_secure_menu() {
  scratch_dir
  {
    cat <<'EOF'
# Written by kelmo-stick (prepare, update, add): the menu under Secure Boot,
# sourced by menu.cfg. Run kelmo-stick update after changing the ISOs.

# kelmo_sb_part: kelmo_part is the exFAT partition, the first of the disk
# the ESP ($kelmo_esp, found by its volume id) is on.
function kelmo_sb_part {
	set kelmo_part=
	regexp --set=1:kelmo_disk --set=2:kelmo_map '^\(?([^,]+),([a-z]+)[0-9]+\)?$' "$kelmo_esp"
	set kelmo_part="$kelmo_disk,${kelmo_map}1"
}

function kelmo_sb_stale {
	echo "$1 mudou depois do último kelmo-stick update ($2):"
	echo "esta entrada não corresponde mais a ele e não inicia nada."
	echo "Rode kelmo-stick update no pendrive para refazer o menu."
	sleep --interruptible 30
}

# kelmo_sb_boot ISO START COUNT LABEL UUID STACK KERNEL INITRD PARAMS
function kelmo_sb_boot {
	kelmo_sb_part
	loopback -d loop
	if ! loopback loop "($kelmo_part)$2+$3"; then
		kelmo_sb_stale "$1" "o trecho $2+$3 não pôde ser lido"
		return
	fi
	set kelmo_l=
	set kelmo_u=
	probe --label --set=kelmo_l (loop)
	probe --fs-uuid --set=kelmo_u (loop)
	if [ "$kelmo_l" != "$4" -o "$kelmo_u" != "$5" ]; then
		kelmo_sb_stale "$1" "rótulo ou data do ISO diferentes"
		return
	fi
	if [ "$6" = loopback ]; then
		if [ ! -f (loop)/boot/grub/loopback.cfg ]; then
			kelmo_sb_stale "$1" "sem /boot/grub/loopback.cfg"
			return
		fi
		set iso_path="$1"
		export iso_path
		set root=(loop)
		configfile /boot/grub/loopback.cfg
		return
	fi
	if [ ! -f "(loop)$7" -o ! -f "(loop)$8" ]; then
		kelmo_sb_stale "$1" "sem $7 ou $8"
		return
	fi
	echo "A carregar $1 (Secure Boot) ..."
	linux (loop)$7 $9 rdinit=/kelmo/init kelmo.uuid=$kelmo_uuid "kelmo.iso=$1" kelmo.trecho=$2+$3 $kelmo_append
	initrd (loop)$8 ($kelmo_esp)/kelmo/kelmo-addon.img
}

function kelmo_sb_scattered {
	echo "$1 está gravado em $2 trechos na partição exFAT."
	echo "Com Secure Boot ligado o GRUB só lê um ISO gravado num trecho só."
	echo "Para corrigir: apague-o e copie-o de novo com kelmo-stick add (que o grava"
	echo "num trecho só), ou desligue o Secure Boot no firmware."
	sleep --interruptible 30
}

function kelmo_sb_unknown {
	echo "$1:"
	echo "não é um ISO live que o kelmo conheça (live-boot, dracut, casper,"
	echo "archiso) nem traz /boot/grub/loopback.cfg: nada a arrancar."
	sleep --interruptible 30
}

EOF
    sb_entries=0
    [[ ${1-} == empty ]] || secure_entries
    # A menu with no entry would leave GRUB at its prompt: say what to do.
    ((sb_entries)) || cat <<'EOF'
menuentry --id kelmo-secure-boot -- "Secure Boot: nenhum ISO anotado para o Secure Boot" {
	echo "Com Secure Boot ligado, este GRUB não lê a partição exFAT: ele só inicia"
	echo "os ISOs que kelmo-stick update ou kelmo-stick add anotaram aqui."
	echo "Rode kelmo-stick update (ou copie o ISO com kelmo-stick add), ou desligue"
	echo "o Secure Boot no firmware."
	sleep --interruptible 30
}
EOF
  } >"$tmp/secure.cfg"
}

# --- add ----------------------------------------------------------------------

# exfat_geometry DEVICE: the exFAT values add needs from the boot sector
# and the root directory: bytes per cluster, the heap's first sector, the
# cluster count, and the allocation bitmap's first cluster and length.
fat_u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
fat_u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }
exfat_geometry() {
  local dev=$1 bps_shift spc_shift root e off type
  bps_shift=$(fat_u8 "$dev" 108) spc_shift=$(fat_u8 "$dev" 109)
  ((bps_shift >= 9 && bps_shift <= 12 && spc_shift <= 25 - bps_shift)) || return 1
  sector_bytes=$((1 << bps_shift))
  cluster_bytes=$((1 << (bps_shift + spc_shift)))
  heap_sector=$(fat_u32 "$dev" 88) cluster_count=$(fat_u32 "$dev" 92) root=$(fat_u32 "$dev" 96)
  ((root >= 2 && root < cluster_count + 2)) || return 1
  # The bitmap's entry (type 0x81) is in the root directory's first cluster.
  bitmap_cluster='' bitmap_bytes=''
  for ((e = 0; e < cluster_bytes / 32 && e < 4096; e++)); do
    off=$((heap_sector * sector_bytes + (root - 2) * cluster_bytes + e * 32))
    type=$(fat_u8 "$dev" "$off")
    if ((type == 0x81)); then
      bitmap_cluster=$(fat_u32 "$dev" $((off + 20))) bitmap_bytes=$(fat_u32 "$dev" $((off + 24)))
      break
    fi
    ((type != 0)) || break
  done
  [[ -n $bitmap_cluster ]] && ((bitmap_cluster >= 2 && bitmap_bytes >= (cluster_count + 7) / 8))
}

# free_run DEVICE: the longest run of free clusters, from the allocation
# bitmap (read as one stretch from its first cluster, as mkfs.exfat and
# every driver lay it out).
free_run() {
  local dev=$1
  od -An -v -tu1 -j $((heap_sector * sector_bytes + (bitmap_cluster - 2) * cluster_bytes)) \
    -N $(((cluster_count + 7) / 8)) "$dev" |
    awk -v n="$cluster_count" '
      { for (i = 1; i <= NF; i++) {
          b = $i
          for (k = 0; k < 8 && c < n; k++) {
            if (b % 2) { run = 0 } else { run++; if (run > best) best = run }
            b = int(b / 2); c++
          }
        } }
      END { print best + 0 }'
}

# rw_mount DEVICE: the exFAT partition read-write at $tmp/rw, its driver in
# the foreground as our child; rw_umount: once the driver has exited after
# the unmount, its last writes are on the device.
rw_mount() { fuse_start "$1" "$tmp/rw" rw; }
rw_umount() {
  umount "$tmp/rw" && wait "$fuse_pid"
}

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

# exfat_name_ok NAME: a name the exFAT partition can hold: no control
# characters, none of " * / : < > ? \ |, at most 255 UTF-16 units of valid
# UTF-8.
exfat_name_ok() {
  local units
  [[ -n $1 && $1 != *[[:cntrl:]]* && $1 != *[\"*/:\<\>?\\\|]* ]] || return 1
  units=$(printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE 2>/dev/null | wc -c) || return 1
  ((units > 0 && units <= 510))
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
