#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Host tests of names beyond ASCII: a volume made by mkfs.exfat and filled
# through exfat-fuse with Portuguese, CJK and emoji names (directories and
# files, one of the longest 255 units), found by `kelmo-map --test` with the
# path written in UTF-8; the bytes at the printed runs must equal the files.
#   names.sh PATH_TO_KELMO_MAP
# Needs root (loop device, FUSE mount); exits 77 (skip) without it.
set -euo pipefail
# Paths are bytes here; tr swaps ASCII letters only.
export LC_ALL=C

BIN=$(realpath "$1")
unset KELMO_MAP_OFFSET

if [[ $EUID -ne 0 ]]; then
  echo "skip - needs root for a loop device and a FUSE mount"
  exit 77
fi
for tool in mkfs.exfat mount.exfat-fuse losetup blockdev; do
  command -v "$tool" >/dev/null || { echo "skip - $tool not installed"; exit 77; }
done

# shellcheck source=../lib/results.sh
source "$(dirname "$0")/../lib/results.sh"
# shellcheck source=../lib/images.sh
source "$(dirname "$0")/../lib/images.sh"
T=$(mktemp -d)
TMP_PATHS+=("$T")
SUMMARY_REQUIRED=1
LOOP=""
# shellcheck source=program.sh
source "$(dirname "$0")/program.sh"

same_bytes() { assemble "$LOOP" 0 "$T/assembled" && cmp -s "$T/assembled" "$1"; }

# The directory's runs hold these bytes (a name in UTF-16LE, as stored).
holds_bytes() {  # holds_bytes HEX
  assemble "$LOOP" 0 "$T/assembled" && od -An -tx1 -v "$T/assembled" | tr -d ' \n' | grep -q "$1"
}

# --- the volume --------------------------------------------------------------

truncate -s 32M "$T/img"
mkfs.exfat -c 4K "$T/img" >/dev/null
loop_attach LOOP "$T/img"
mkdir -p "$T/m" "$T/src"
mount_track "$T/m"
mount.exfat-fuse "$LOOP" "$T/m" 2>"$T/fuse.log"

ISOS="Imagens ISO"
CJK=$'\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf'  # 日本語のディスク
SMILE=$'\xf0\x9f\x98\x80'  # U+1F600, stored as D83D DE00
PARTY=$'\xf0\x9f\x8e\x89'  # U+1F389, stored as D83C DF89
LONGEST=$(printf 'ção%.0s' {1..85})  # 255 units, 17 File Name entries
mkdir -p "$T/m/$ISOS" "$T/m/$CJK" "$T/m/$SMILE Emoji" "$T/m/Séries/Temporada 1" "$T/m/Ação"

declare -a PATHS
n=0
put() {  # put PATH SIZE: random bytes, written in one go, kept in $T/src
  n=$((n + 1))
  head -c "$2" /dev/urandom >"$T/src/$n"
  cp "$T/src/$n" "$T/m/$1"
  PATHS[n]=$1
}
# Names that differ from the one sought only beyond ASCII come first.
put "$ISOS/Instalacao.iso" 5000
put "$ISOS/Instalaçao.iso" 6000
put "$ISOS/Instalação.iso" $((300 * 1024 + 1))
put "$CJK/ライブ $CJK.iso" 70000
put "Séries/Temporada 1/Episódio 1 – café.iso" 9000
put "Ação/$LONGEST" 12345
# Appended in turns with a filler, so its clusters are scattered.
n=$((n + 1))
emoji=$n
PATHS[n]="$SMILE Emoji/$PARTY festa $SMILE.iso"
: >"$T/src/$n"
for ((i = 0; i < 6; i++)); do
  head -c 5000 /dev/urandom >>"$T/src/$n"
  tail -c 5000 "$T/src/$n" >>"$T/m/${PATHS[n]}"
  head -c 5000 /dev/urandom >>"$T/m/$SMILE Emoji/filler"
done
umount "$T/m"
blockdev --flushbufs "$LOOP"

# --- found by their UTF-8 names ----------------------------------------------

for ((i = 1; i <= n; i++)); do
  p=${PATHS[i]}
  label=${p/"$LONGEST"/<255 units>}
  kel "$LOOP" "$p"
  check "$label: bytes at the runs equal the file ($(field trechos) runs)" same_bytes "$T/src/$i"
  cp "$T/out" "$T/out.first"
  kel "$LOOP" "$(tr 'a-zA-Z' 'A-Za-z' <<<"$p")"
  check "$label: same runs with the ASCII letters' case swapped" succeeded_as "$T/out.first"
  kel "$T/img" "/$p"
  check "$label: same runs from the image file, leading slash" succeeded_as "$T/out.first"
done

kel "$LOOP" "${PATHS[emoji]}"
check "emoji file: fragmented, nofat=0" is_fragmented
kel "$LOOP" "$SMILE Emoji"
check "emoji directory: its entries hold the surrogate pair D83C DF89" holds_bytes 3cd889df
kel "$LOOP" "Ação"
# Every File Name entry of the longest name holds "ção" five times.
check "Ação: the longest name fills 17 File Name entries" \
  test "$(assemble "$LOOP" 0 "$T/assembled" && od -An -tx1 -v -w32 "$T/assembled" | tr -d ' ' |
    grep -c '^c100\(e700e3006f00\)\{5\}$')" = 17

# --- the byte rule, as before -----------------------------------------------

kel "$LOOP" "$ISOS/Instala"$'\xe7\xe3'"o.iso"
check "Instala\\xe7\\xe3o.iso (one byte per unit) still finds Instalação.iso" same_bytes "$T/src/3"

# --- not found ---------------------------------------------------------------

UPPER=$'\xc3\x87\xc3\x83'          # Ç Ã
NFD_C=$'c\xcc\xa7' NFD_A=$'a\xcc\x83'  # c, a and combining marks
GRIN=$'\xf0\x9f\x98\x81'           # U+1F601
OVERLONG_SLASH=$'\xc0\xaf'
CESU_SMILE=$'\xed\xa0\xbd\xed\xb8\x80'  # U+1F600 as two encoded surrogates
while IFS='|' read -r what p; do
  kel "$LOOP" "$p"
  check "$what: $MSG_NOT_FOUND" failed_with "$MSG_NOT_FOUND"
done <<END
Ç and Ã in upper case (only ASCII folds)|$ISOS/Instala${UPPER}o.iso
decomposed ç and ã (NFD)|$ISOS/Instala${NFD_C}${NFD_A}o.iso
another emoji (U+1F601)|$SMILE Emoji/$PARTY festa $GRIN.iso
one unit more than the longest|Ação/${LONGEST}o
overlong "/" between the names|$ISOS${OVERLONG_SLASH}Instalação.iso
the emoji as encoded surrogates|$CESU_SMILE Emoji/filler
END

summary
