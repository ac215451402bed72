# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: the Secure Boot menu.
#
# Under Secure Boot the signed GRUB has no exFAT driver and may load none,
# so it cannot list the ISOs. update writes their entries into the ESP
# instead, /boot/grub/kelmo/secure.cfg: each ISO stored in one run is read
# through a one-range blocklist of the exFAT partition (several ranges read
# wrong bytes in this GRUB). An entry checks at boot what GRUB can see of
# the bytes there (ISO 9660 label, date UUID, the kernel and initrd) against
# what update saw, and passes the run to the add-on, which checks the file's
# directory entry, the one thing GRUB cannot read.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

secure_cfg=/boot/grub/kelmo/secure.cfg

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
  make_secure_menu && esp_put_as "$tmp/secure.cfg" "$secure_cfg"
}

# shellcheck disable=SC2120 # prepare passes "empty"
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
