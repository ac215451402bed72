# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Sourced by kelmo-stick: the EFI system partition, written through mtools at
# its byte offset (or through a mount of it, when it is mounted), each file
# beside the one it replaces and then renamed over it.
# Its variables are set and read across kelmo-stick's files: the whole
# command is checked as one program (tests/shellcheck.sh).
# shellcheck disable=SC2034,SC2154

esp_mount=

esp_find_mount() {
  esp_mount=$(partition_mount "$p2_start") || esp_mount=
}

# The ESP for mtools: the image, two at signs, its byte offset (spelt apart:
# the install checks that no configure placeholder is left).
esp_img() { printf '%s@%s%s' "$target" @ $((p2_start * 512)); }

# mtools, without its complaint that a block device has no geometry.
mt() {
  local r=0
  "$@" 2>"$tmp/mtools.err" || r=$?
  sed 's/Could not get geometry of device ([^)]*)//' "$tmp/mtools.err" | grep . >&2
  return $r
}

esp_mkdir() { # DIR...
  local d
  for d; do
    if [[ -n $esp_mount ]]; then mkdir -p "$esp_mount$d" || return 1
    else mt mmd -i "$(esp_img)" -D s "::$d" 2>/dev/null || mt mdir -i "$(esp_img)" "::$d" >/dev/null 2>&1 || return 1; fi
  done
}

esp_put() { # DIR FILE...: copies the FILEs into the ESP's DIR, replacing
  local dir=$1
  shift
  if [[ -n $esp_mount ]]; then cp -- "$@" "$esp_mount$dir/" && sync -f "$esp_mount"
  else mt mcopy -i "$(esp_img)" -o -- "$@" "::$dir/"; fi
}

# esp_put_as FILE PATH: FILE's bytes at PATH, written beside it and renamed
# over it: an interruption leaves the old file or the new one, whole.
esp_put_as() {
  if [[ -n $esp_mount ]]; then
    cp -- "$1" "$esp_mount$2.new" && sync -f "$esp_mount" && mv -f -T -- "$esp_mount$2.new" "$esp_mount$2" && sync -f "$esp_mount"
  else
    mt mcopy -i "$(esp_img)" -o -- "$1" "::$2.new" && mt mren -i "$(esp_img)" -D o "::$2.new" "::$2"
  fi
}

esp_rename() { # OLD NEW (NEW not there)
  if [[ -n $esp_mount ]]; then mv -T -- "$esp_mount$1" "$esp_mount$2" && sync -f "$esp_mount"
  else mt mren -i "$(esp_img)" "::$1" "::$2"; fi
}

esp_exists() { # PATH
  if [[ -n $esp_mount ]]; then [[ -e $esp_mount$1 ]]
  else mt mdir -i "$(esp_img)" "::$1" >/dev/null 2>&1; fi
}

# esp_replace_dir DIR FILE...: DIR holds the FILEs and nothing else. They
# are written into DIR.new, which then takes DIR's place: an interruption
# leaves the old folder whole, or (between the two renames) DIR.old, which
# the next run's update puts right.
esp_replace_dir() {
  local dir=$1
  shift
  esp_rmtree "$dir.new" && esp_rmtree "$dir.old" && esp_mkdir "$dir.new" && esp_put "$dir.new" "$@" || return 1
  step_done "${dir##*/}.new"
  if esp_exists "$dir"; then esp_rename "$dir" "$dir.old" || return 1; fi
  esp_rename "$dir.new" "$dir" && esp_rmtree "$dir.old"
}

esp_get() { # PATH: the file's bytes on standard output
  if [[ -n $esp_mount ]]; then cat -- "$esp_mount$1" 2>/dev/null
  else mt mtype -i "$(esp_img)" "::$1" 2>/dev/null; fi
}

esp_rmtree() { # DIR: gone, if it was there
  if [[ -n $esp_mount ]]; then rm -rf -- "${esp_mount:?}$1"
  elif mt mdir -i "$(esp_img)" "::$1" >/dev/null 2>&1; then mt mdeltree -i "$(esp_img)" "::$1"; fi
}

# The volume id of the FAT on p2, as GRUB and blkid show it (ABCD-1234).
esp_uuid() {
  local hex
  hex=$(od -An -tx1 -j $((p2_start * 512 + 67)) -N4 "$target" | tr -d ' \n')
  [[ ${#hex} == 8 ]] || return 1
  printf '%s%s-%s%s\n' "${hex:6:2}" "${hex:4:2}" "${hex:2:2}" "${hex:0:2}" | tr a-f A-F
}

esp_get_probe() {
  esp_find_mount
  esp_get "$1"
}
