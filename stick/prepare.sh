# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: kelmo-stick prepare, and what prepare and update
# both install.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

cmd_prepare() {
  local yes=0 t answer
  label=KELMO append=
  while (($#)); do
    case $1 in
      --yes) yes=1 ;;
      --label) (($# > 1)) || usage; label=$2; shift ;;
      --label=*) label=${1#*=} ;;
      --append) (($# > 1)) || usage; append=$2; shift ;;
      --append=*) append=${1#*=} ;;
      --) (($# == 2)) && [[ -z ${t-} ]] || usage; t=$2; break ;;
      -*) usage ;;
      *) [[ -z ${t-} ]] || usage; t=$1 ;;
    esac
    shift
  done
  [[ -n ${t-} ]] || usage
  # Everything is checked before the first write. exFAT's label holds 11
  # UTF-16 units: an emoji takes two.
  local units
  units=$(printf '%s' "$label" | iconv -f UTF-8 -t UTF-16LE 2>/dev/null | wc -c) || units=0
  if ((units < 2 || units > 22)) || [[ $label == *[[:cntrl:]]* ]]; then
    die "rótulo inválido: '$label' (de 1 a 11 caracteres)"
  fi
  [[ $append != *[[:cntrl:]]* ]] || die "--append não pode ter quebras de linha nem caracteres de controle"
  open_target "$t"
  local m
  if m=$(mounted_on_target); then
    if [[ ${m%% *} == / ]]; then die "$target tem o sistema em uso (${m#* } montado em /)"; fi
    if [[ ${m%% *} == swap ]]; then die "$target tem uma área de troca em uso (${m#* })"; fi
    die "$target tem um sistema de arquivos montado (${m#* } em ${m%% *}); desmonte-o antes"
  fi
  refuse_busy_target
  if ((target_bytes < min_bytes)); then
    die "$target tem $((target_bytes / MiB)) MiB; são precisos ao menos $((min_bytes / MiB)) MiB"
  fi
  check_pieces
  if ((!yes)); then
    local what="$((target_bytes / MiB)) MiB"
    if [[ $target_kind == disk ]]; then
      local model
      model=$(cat "$(readlink -f "$(sys_of "$target")")/device/model" 2>/dev/null | sed 's/ *$//')
      [[ -z $model ]] || what+=", $model"
    fi
    printf 'kelmo-stick: apagar tudo em %s (%s)? Escreva sim para continuar: ' "$target" "$what" >&2
    read -r answer || answer=
    [[ -t 0 ]] || echo >&2
    [[ $answer == sim ]] || die "nada foi feito"
  fi

  # Layout, in 512-byte sectors: p1 from 1 MiB, the ESP last (1 MiB aligned).
  local total=$((target_bytes / 512)) reserve=0
  table=dos
  if ((total > mbr_max_sectors)); then table=gpt reserve=34; fi
  p2_size=$esp_sectors
  p2_start=$((((total - reserve) / 2048) * 2048 - esp_sectors))
  p1_start=2048
  p1_size=$((p2_start - p1_start))
  bios_boot_start=34 bios_boot_sectors=$((2048 - 34))

  # Whatever looked like a stick, or any file system, goes first: an
  # interruption from here on never leaves an old stick.conf behind.
  say "apagando as assinaturas antigas"
  local old s
  old=$(sfdisk --dump "$target" 2>/dev/null | sed -n 's/.*start= *\([0-9]*\),.*/\1/p')
  for s in 0 $old "$p2_start"; do
    ((s < total)) && dd if=/dev/zero of="$target" bs=512 seek="$s" count=2048 conv=notrunc status=none
  done
  dd if=/dev/zero of="$target" bs=512 seek=$((total - 2048)) count=2048 conv=notrunc,fsync status=none ||
    die "não consegui escrever em $target"

  say "particionando ($([[ $table == gpt ]] && echo GPT || echo MBR)): exFAT de $((p1_size / 2048)) MiB e partição EFI de 64 MiB"
  if [[ $table == gpt ]]; then
    # sfdisk reads \xNN in a name: the label's quotes and backslashes so.
    local gpt_name=${label//\\/\\x5c}
    gpt_name=${gpt_name//\"/\\x22}
    printf 'label: gpt\nfirst-lba: 34\nstart=%d, size=%d, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="%s"\nstart=%d, size=%d, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name="%s"\nstart=%d, size=%d, type=21686148-6449-6E6F-744E-656564454649, name="BIOS boot"\n' \
      "$p1_start" "$p1_size" "$gpt_name" "$p2_start" "$p2_size" "$esp_label" "$bios_boot_start" "$bios_boot_sectors"
  else
    printf 'label: dos\nstart=%d, size=%d, type=7\nstart=%d, size=%d, type=ef\n' "$p1_start" "$p1_size" "$p2_start" "$p2_size"
  fi | sfdisk -q --no-reread --no-tell-kernel -w never -W never "$target" >/dev/null ||
    die "sfdisk não conseguiu escrever a tabela de partições"
  step_done partition

  say "formatando a partição EFI ($esp_label)"
  local volid
  volid=$(od -An -tx4 -N4 /dev/urandom | tr -d ' ')
  mkfs.fat -F 32 -s 1 -I -n "$esp_label" -i "$volid" --offset="$p2_start" "$target" $((p2_size / 2)) >/dev/null ||
    die "mkfs.fat falhou"
  serial=
  esp_mkdir /kelmo && write_conf unfinished || die "não consegui escrever /kelmo/stick.conf"
  step_done esp

  say "formatando a partição exFAT ($label)"
  local loop
  loop=$(losetup -f --show -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$target") ||
    die "losetup falhou"
  format_loop=$loop
  cleanups+=(detach_format_loop)
  mkfs.exfat -L "$label" "$loop" >/dev/null || die "mkfs.exfat falhou"
  # Only what we wrote: a plain sync waits on every file system of the
  # machine, a stopped FUSE driver's too, and would hang with it.
  sync -- "$loop"
  losetup -d "$loop"
  unset 'cleanups[-1]'
  serial=$(exfat_serial) || die "a partição exFAT não ficou legível"
  write_conf unfinished || die "não consegui escrever /kelmo/stick.conf"
  step_done exfat

  install_all "$(esp_uuid)"

  write_conf complete || die "não consegui escrever /kelmo/stick.conf"
  sync -- "$target"
  if [[ $target_kind == disk ]]; then
    blockdev --rereadpt "$target" 2>/dev/null || partx -u "$target" 2>/dev/null || true
  fi
  say "pronto: partição exFAT $label, serial $serial"
  cat <<EOF
O pendrive está pronto. Copie arquivos ISO para a partição $label (na raiz ou
em pastas) como para qualquer pendrive e inicie o computador por ele: cada ISO
aparece no menu. Para ver o que foi encontrado: kelmo-stick list $target
EOF
}

format_loop=

detach_format_loop() { losetup -d "$format_loop"; }

# GRUB for both firmwares, the menu and the add-on (prepare and update).
install_all() {
  local uuid=$1
  [[ -n $uuid ]] || die "a partição EFI não ficou legível"
  say "copiando o shim, o GRUB para UEFI e os seus módulos"
  write_efi "$uuid" || die "não consegui escrever o GRUB para UEFI na partição EFI"
  step_done efi
  say "instalando o GRUB para BIOS"
  write_bios_modules && write_bios_grub "$uuid" || die "não consegui instalar o GRUB para BIOS"
  step_done bios
  say "escrevendo o menu"
  if [[ $cmd == prepare ]]; then make_secure_menu empty; else mount_exfat && make_secure_menu; fi ||
    die "não consegui escrever o menu do Secure Boot"
  write_menu "$uuid" || die "não consegui escrever o menu"
  step_done menu
  say "copiando o add-on do kelmo-map"
  write_addon || die "não consegui copiar o add-on"
  step_done addon
}
