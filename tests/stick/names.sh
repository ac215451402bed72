#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every kind of name exFAT allows (anything but control characters and
# " * / : < > ? \ |) on one stick made by kelmo-stick prepare, a small
# live-boot ISO under each: kelmo-stick list shows it, kelmo-stick next
# takes it, and GRUB's real menus, run in grub-emu, boot that ISO from the
# entry whose id is its path. Both menus: the one menu.cfg builds at boot,
# and the Secure Boot one that kelmo-stick update writes (secure.cfg).
#
# grub-emu has no linux and initrd commands: the functions of those names
# defined here print their arguments and what the files they were given
# hold (each ISO's kernel and initrd say which ISO they are from; the add-on
# is compared with the build's), and initrd leaves grub-emu with reboot.
#
#   tests/stick/names.sh BUILD_DIR      (configured and built if needed)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
# shellcheck source=../lib/results.sh
. "$top/tests/lib/results.sh"
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

[ "$(id -u)" = 0 ] || { echo "not ok - run as root: loop devices and FUSE"; exit 1; }
for t in grub-emu grub-script-check grub-editenv xorriso mount.exfat-fuse mtype mcopy sfdisk losetup perl script stty; do
  command -v "$t" >/dev/null || { echo "not ok - $t is missing (tools/deps.sh installs it)"; exit 1; }
done
emu_mods=/usr/lib/grub/x86_64-emu
[ -f "$emu_mods/exfat.mod" ] || { echo "not ok - $emu_mods has no exfat.mod (package grub-emu)"; exit 1; }

work=$(mktemp -d /tmp/kelmo-stick-names.XXXXXX)
loops=() fuse_pid='' emu=''
finish() {
  local i
  [ -z "$fuse_pid" ] || { umount "$work/m" 2>/dev/null; wait "$fuse_pid" 2>/dev/null; } || true
  for i in "${loops[@]}"; do losetup -d "$i" 2>/dev/null || true; done
  rm -rf "$work"
  stopped_early
}
trap finish EXIT

if [ ! -f "$build/CMakeCache.txt" ]; then cmake -S "$top" -B "$build" -DKELMO_TESTS=OFF >/dev/null; fi
cmake --build "$build" -j2 >/dev/null
ks=$build/stick/kelmo-stick
addon=$build/packaging/kelmo-addon.img
[ -x "$ks" ] && [ -s "$addon" ] || { echo "not ok - $ks or $addon was not built"; exit 1; }

# The names, each a path on the exFAT partition; folders get such names too,
# one and two levels down (as deep as the menu looks).
long=$(printf 'n%.0s' $(seq 251)).iso
NAMES=(
  "/plain.iso"
  "/it's.iso"
  "/'single quoted'.iso"
  "/\$HOME\$1\${x}.iso"
  "/a;b; reboot.iso"
  "/{brace}.iso"
  "/\`id\`.iso"
  "/-leading dash.iso"
  "/-x.iso"
  "/--users=root.iso"
  "/--id=x.iso"
  "/--source=x.iso"
  "/--class=x.iso"
  "/--.iso"
  "/$long"
  "/Instalação ñ ü.iso"
  "/emoji 🐧🎉.iso"
  "/  two  spaces  .iso"
  "/a&b&&c.iso"
  "/#hash.iso"
  "/100%.iso"
  "/[bracket.iso"
  "/]bracket].iso"
  "/[ab].iso"
  "/!bang.iso"
  "/(paren).iso"
  "/a=b.iso"
  "/.dot.iso"
  "/upper.ISO"
  "/.dot dir/x.iso"
  "/._dir/y.iso"
  "/[x] {y} \$z/--id=in folder.iso"
  "/-d/it's; \`x\`/(deep) [2].iso"
)
# Files the menu leaves out, and kelmo-stick with it.
LEFT_OUT=("/._plain.iso" "/mixed.Iso" "/-d/._x.iso")

# --- the stick ------------------------------------------------------------------

mkdir -p "$work/isos"
for i in "${!NAMES[@]}"; do
  d=$work/tree
  rm -rf "$d" && mkdir -p "$d/live"
  printf 'kernel of %d\n' "$i" >"$d/live/vmlinuz"
  printf 'initrd of %d\n' "$i" >"$d/live/initrd.img"
  xorriso -as mkisofs -quiet -R -V "NAMES_$i" -o "$work/isos/$i.iso" "$d" 2>/dev/null
done

img=$work/stick.img
truncate -s 128M "$img"
"$ks" prepare --yes "$img" >"$work/prepare.log" 2>&1 || { cat "$work/prepare.log"; echo "not ok - prepare failed"; exit 1; }
read -r p1_start p1_size < <(sfdisk -d "$img" | sed -n 's/^[^ ]*1 : start= *\([0-9]*\), *size= *\([0-9]*\),.*/\1 \2/p')
p2_start=$(sfdisk -d "$img" | sed -n 's/^[^ ]*2 : start= *\([0-9]*\),.*/\1/p')
esp="$img@@$((p2_start * 512))"
serial=$(blkid -p -O $((p1_start * 512)) -o value -s UUID "$img")
check "kelmo-stick prepare --yes made the stick (exFAT serial $serial)" [ -n "$serial" ]

part=$(losetup -f --show -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img")
loops+=("$part")
mkdir -p "$work/m"
mount.exfat-fuse -d "$part" "$work/m" >"$work/fuse.log" 2>&1 &
fuse_pid=$!
for _ in $(seq 100); do mountpoint -q "$work/m" && break; sleep 0.1; done
copied=0
for i in "${!NAMES[@]}"; do
  p=${NAMES[i]}
  mkdir -p "$work/m${p%/*}" && cp "$work/isos/$i.iso" "$work/m$p" && copied=$((copied + 1))
done
for p in "${LEFT_OUT[@]}"; do cp "$work/isos/0.iso" "$work/m$p"; done
umount "$work/m" && wait "$fuse_pid"
fuse_pid=
losetup -d "$part"
check "exfat-fuse took all ${#NAMES[@]} names ($copied copied)" [ "$copied" = "${#NAMES[@]}" ]

# --- kelmo-stick list and update -----------------------------------------------------

status=0
"$ks" list "$img" >"$work/list" 2>"$work/list.err" || status=$?
check "kelmo-stick list ends with status 0" [ "$status" = 0 ]
for i in "${!NAMES[@]}"; do
  p=${NAMES[i]}
  check "list: $p, once, a live-boot ISO labelled NAMES_$i that boots" \
    [ "$(grep -cxF "$p: NAMES_$i, Debian live-boot (/live/vmlinuz, /live/initrd.img), 1 trecho, inicia" "$work/list")" = 1 ]
done
check "list: ${#NAMES[@]} lines, none for ${LEFT_OUT[*]}" [ "$(wc -l <"$work/list")" = "${#NAMES[@]}" ]

mtype -i "$esp" ::/boot/grub/kelmo/secure.cfg >"$work/secure-empty.cfg"
check "grub-script-check accepts prepare's secure.cfg" grub-script-check "$work/secure-empty.cfg"
status=0
"$ks" update "$img" >"$work/update.log" 2>&1 || status=$?
check "kelmo-stick update ends with status 0" [ "$status" = 0 ]
mtype -i "$esp" ::/boot/grub/kelmo/secure.cfg >"$work/secure.cfg"
check "grub-script-check accepts update's secure.cfg" grub-script-check "$work/secure.cfg"
check "update's secure.cfg has ${#NAMES[@]} entries, each booting through a blocklist" \
  [ "$(grep -c $'^\tkelmo_sb_boot "$2" [0-9]* [0-9]* ' "$work/secure.cfg")" = "${#NAMES[@]}" ]

# --- GRUB's menus in grub-emu ----------------------------------------------------------

# emu_dir DIR IMAGE: the runs below in DIR (GRUB's directory, the device
# map, the output), with IMAGE as the disk hd0.
emu_dir() {
  emu=$1
  mkdir -p "$emu"
  ln -sfn "$emu_mods" "$emu/x86_64-emu"
  printf '(hd0) %s\n' "$2" >"$emu/device.map"
}
# emu_run MODE [N]: grub-emu on the stick, its ESP as root, the stick's own
# grub.cfg sourced: MODE normal, or secure (shim_lock=y: the menu under
# Secure Boot). Entry 0 is the test's own, defined first, and the fallback
# of any entry that fails; N, when given, is the default entry (else the one
# grub.cfg took from next_entry, if any). Each entry's output on a line of
# $emu/seg, from its id (GRUB's $chosen); what came before, on the
# first line. No key is typed: GRUB waits 10 s at an entry that failed.
emu_run() {
  {
    cat <<'EOF'
function linux {
	echo "<C:$chosen>"
	for a in "$@"; do echo "<L:$a>"; done
	echo -n "<K:"; cat "$1"; echo ">"
}
function initrd {
	for a in "$@"; do echo "<I:$a>"; done
	echo -n "<R:"; cat "$1"; echo ">"
	echo -n "<A:"; cmp "$2" "(host)@ADDON@"; echo ">"
	reboot
}
menuentry --id kelmo-test-end -- "end of the test" {
	echo "<C:$chosen>"
	reboot
}
set root=hd0,msdos2
EOF
    [ "$1" != secure ] || echo 'set shim_lock=y'
    echo 'source /boot/grub/grub.cfg'
    [ -z "${2-}" ] || echo "set default=$2"
    cat <<'EOF'
echo "<DEFAULT:$default>"
echo "<TIMEOUT:$timeout>"
set timeout=0
set fallback=0
EOF
  } | sed "s|@ADDON@|$addon|" >"$emu/grub.cfg"
  # On a terminal 4000 columns wide: GRUB breaks its lines at the
  # terminal's width, at a space where it can.
  timeout 60 script -qc "stty cols 4000 rows 50; exec grub-emu -d $(printf %q "$emu") -m $(printf %q "$emu/device.map")" \
    /dev/null </dev/null >"$emu/raw" 2>&1 || true
  # The output joined (no name has a line break), less the terminal's escapes
  # and GRUB's progress lines for the files it reads whole, then split where
  # an entry starts.
  sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$emu/raw" | tr -d '\r\n' |
    perl -pe 's/ *\[ [^\]\[]{1,300}? +[0-9.]+[KMGTP]?i?B +[0-9]+% +[0-9.]+[KMGTP]?i?B\/s \]//g; s/<C:/\n<C:/g' \
      >"$emu/seg"
  echo >>"$emu/seg"
}
# tokens KIND: the <KIND:...> values in standard input, one a line.
tokens() { grep -o "<$1:[^<>]*>" | sed "s/^<$1://; s/>\$//" || true; }
# ran: the ids of the entries of the last run, in the order they ran.
ran() { tail -n +2 "$emu/seg" | tokens C | tr '\n' '|'; }
explain_failure() {
  if [ -n "$emu" ]; then
    printf '#   grub-emu: %s\n' "$(tail -c 1500 "$emu/seg" 2>/dev/null | tr '\n' ' ')"
  else
    tail -n 3 "$work/list.err" "$work/update.log" 2>/dev/null | sed 's/^/#   /'
  fi
}

# booted PATH INDEX MODE [TITLE]: in the last run the entry with id PATH
# ran, alone, titled TITLE (else the file's name and the ISO's label): it
# booted the ISO of NAMES[INDEX], its kernel and initrd read from it, with
# kelmo.iso=PATH, the add-on after them.
booted() {
  local out want title=${4:-"${1##*/} (NAMES_$2)"}
  [ "$(ran)" = "$1|" ] && grep -qF "Booting \`$title'" <(head -n 1 "$emu/seg") || return 1
  out=$(sed -n 2p "$emu/seg")
  want=$(printf '%s\n' "(loop)/live/vmlinuz" boot=live components live-media=/dev/mapper/kelmo-iso \
    rdinit=/kelmo/init "kelmo.uuid=$serial" "kelmo.iso=$1")
  if [ "$3" = secure ]; then
    want=$want$'\n'$(tokens L <<<"$out" | grep '^kelmo.trecho=' || echo kelmo.trecho=?)
  fi
  [ "$(tokens L <<<"$out")" = "$want" ] && [ "$(tokens K <<<"$out")" = "kernel of $2" ] &&
    [ "$(tokens I <<<"$out")" = "$(printf '%s\n' "(loop)/live/initrd.img" "(hd0,msdos2)/kelmo/kelmo-addon.img")" ] &&
    [ "$(tokens R <<<"$out")" = "initrd of $2" ] &&
    [[ $(tokens A <<<"$out") == "Compare file \`(hd0,msdos2)/kelmo/kelmo-addon.img' with"*"The files are identical." ]]
}
# the_run INDEX: in the last run the Secure Boot entry's kelmo.trecho named
# the ISO's bytes, in whole sectors.
the_run() {
  local trecho start count size
  trecho=$(sed -n 2p "$emu/seg" | tokens L | sed -n 's/^kelmo.trecho=//p')
  start=${trecho%+*} count=${trecho#*+}
  size=$(stat -c %s "$work/isos/$1.iso")
  [ -n "$trecho" ] && [ "$count" = $(((size + 511) / 512)) ] &&
    cmp -s -n "$size" "$work/isos/$1.iso" <(dd if="$img" bs=512 skip=$((p1_start + start)) count="$count" status=none)
}
index_of() {
  local j
  for j in "${!NAMES[@]}"; do [ "${NAMES[j]}" != "$1" ] || { echo "$j"; return; }; done
  echo none
}

# The Secure Boot menu, entry by entry: entry N is the Nth ISO of
# kelmo-stick list, its path its id, and boots it; past the last ISO there
# is no entry.
mapfile -t ORDER < <(cut -d: -f1 "$work/list")
K=${#ORDER[@]}
emu_dir "$work/emu" "$img"
for n in $(seq "$K"); do
  p=${ORDER[n - 1]}
  i=$(index_of "$p")
  emu_run secure "$n"
  check "secure menu: entry $n has the id $p and boots that ISO's kernel and initrd with kelmo.iso=$p, the add-on after them" \
    booted "$p" "$i" secure
  check "secure menu: the blocklist of $p's entry holds its bytes" the_run "$i"
done
emu_run secure $((K + 1))
check "secure menu: $K ISO entries, no more" [ "$(ran)" = "kelmo-test-end|" ]

# The menu built at boot: its first and last entries here (the others
# through next_entry below), and none past them.
for n in 1 "$K"; do
  emu_run normal "$n"
  check "normal menu: entry $n has the id ${ORDER[n - 1]} and boots that ISO" booted "${ORDER[n - 1]}" "$(index_of "${ORDER[n - 1]}")" normal
done
emu_run normal $((K + 1))
check "normal menu: $K ISO entries, no more" [ "$(ran)" = "kelmo-test-end|" ]

# kelmo-stick next and the menu: the entry it names boots, at once. The
# exFAT partition stays mounted meanwhile (read-only), as next allows.
part=$(losetup -r -f --show -o $((p1_start * 512)) --sizelimit $((p1_size * 512)) "$img")
loops+=("$part")
mount.exfat-fuse -d -o ro "$part" "$work/m" >"$work/fuse.log" 2>&1 &
fuse_pid=$!
for _ in $(seq 100); do mountpoint -q "$work/m" && break; sleep 0.1; done
# at_once PATH INDEX [TITLE]: grub.cfg took next_entry for default, no
# timeout; that entry booted the ISO.
at_once() {
  local pre
  pre=$(head -n 1 "$emu/seg")
  [ "$(tokens DEFAULT <<<"$pre"):$(tokens TIMEOUT <<<"$pre")" = "$1:0" ] && booted "$1" "$2" normal "${3-}"
}
for i in "${!NAMES[@]}"; do
  p=${NAMES[i]}
  if ! "$ks" next "$img" "$p" >"$work/next.log" 2>&1; then
    not_ok "kelmo-stick next takes $p: $(tail -n 1 "$work/next.log")"
    continue
  fi
  emu_run normal
  check "next $p: the menu boots that entry, titled ${p##*/} (NAMES_$i), at once" at_once "$p" "$i"
done
check "next_entry was cleared by GRUB (save_env) as it booted" \
  bash -c 'e=$(mktemp); mtype -i "$1" ::/boot/grub/grubenv >"$e"; [ "$(grub-editenv "$e" list)" = next_entry= ]; r=$?; rm -f "$e"; exit $r' _ "$esp"
for p in "${LEFT_OUT[@]}"; do
  check "next refuses $p, which the menu leaves out" bash -c '! "$1" next "$2" "$3" >/dev/null 2>&1' _ "$ks" "$img" "$p"
done
umount "$work/m" && wait "$fuse_pid"
fuse_pid=

# The entries an ISO's own entries.cfg line gives (kelmo_own), for names
# GRUB's option parser would take: each boots its ISO by its id, and the
# scan adds no second entry for it.
grub_quote() {
  local s=$1
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  s=${s//\$/\\\$}
  printf '"%s"' "$s"
}
OWN=("/--users=root.iso" "/--id=x.iso" "/--source=x.iso" "/-x.iso")
for p in "${OWN[@]}"; do
  printf 'kelmo_own %s %s /live/vmlinuz /live/initrd.img "boot=live components live-media=/dev/mapper/kelmo-iso"\n' \
    "$(grub_quote "$p")" "$(grub_quote "${p##*/} (own)")"
done >"$work/entries.cfg"
mcopy -o -i "$esp" "$work/entries.cfg" ::/boot/grub/kelmo/entries.cfg
for p in "${OWN[@]}"; do
  grub-editenv "$work/env" create && grub-editenv "$work/env" set "next_entry=$p" && mcopy -o -i "$esp" "$work/env" ::/boot/grub/grubenv
  emu_run normal
  check "entries.cfg's kelmo_own entry for $p (titled ${p##*/} (own)) boots it, from next_entry" \
    at_once "$p" "$(index_of "$p")" "${p##*/} (own)"
done
emu_run normal $((K + 1))
check "with entries.cfg: still $K ISO entries, no more" [ "$(ran)" = "kelmo-test-end|" ]

summary
