#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install into a DESTDIR: every file where the FHS and each initramfs
# tool expect it, with the right modes; the hooks name the installed binary;
# the manual renders and carries every message of README.md byte for byte.
#
#   tests/packaging/install.sh BUILD_DIR      (configured and built if needed)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$1
. "$(dirname "$0")/common.sh"

pkg_configure "$build" || die "configuring or building $build failed"
export LC_ALL=C.UTF-8

# What the tools and the FHS want, relative to DESTDIR, with the mode.
expected_files() {
  local p=$1 # the prefix, without its leading /
  cat <<EOF | LC_ALL=C sort
$p/sbin/kelmo-map 755
$p/share/man/man8/kelmo-map.8.gz 644
$p/share/doc/kelmo-map/changelog.gz 644
$p/share/doc/kelmo-map/copyright 644
usr/share/initramfs-tools/hooks/kelmo-map 755
usr/share/initramfs-tools/scripts/local-top/kelmo-map 755
usr/lib/dracut/modules.d/90kelmo-map/module-setup.sh 755
usr/lib/dracut/modules.d/90kelmo-map/kelmo-map-cmdline.sh 755
usr/lib/dracut/modules.d/90kelmo-map/kelmo-map-job.sh 755
usr/lib/dracut/modules.d/90kelmo-map/90-kelmo-map.rules 644
$p/lib/kelmo-map/kelmo-addon.img 644
$p/share/doc/kelmo-map/examples/debian-live.cfg 644
$p/share/doc/kelmo-map/examples/dracut-live.cfg 644
usr/share/initramfs-tools/scripts/live-top/kelmo-map 755
$p/sbin/kelmo-stick 755
$p/share/man/man8/kelmo-stick.8.gz 644
$p/share/doc/kelmo-stick/changelog.gz 644
$p/share/doc/kelmo-stick/copyright 644
$(for f in "$TOP"/stick/*.sh; do echo "$p/share/kelmo-stick/${f##*/} 644"; done)
$p/share/bash-completion/completions/kelmo-stick 644
$(for f in "$TOP"/stick/grub/*.cfg; do echo "$p/share/kelmo-stick/grub/${f##*/} 644"; done)
EOF
}
installed_files() { (cd "$1" && find . ! -type d -printf '%P %m\n' | LC_ALL=C sort); }

# The tools' own paths on this machine, to see that nothing lands there.
host_paths=(/usr/share/initramfs-tools/hooks/kelmo-map /usr/share/initramfs-tools/scripts/local-top/kelmo-map
  /usr/lib/dracut/modules.d/90kelmo-map)
host_before=$(ls -d "${host_paths[@]}" 2>/dev/null || true)

# --- the prefix the tree was configured for (/usr)
scratch tmp kelmo-install
dest=$tmp/destdir
if pkg_install "$build" "$dest"; then ok "cmake --install with DESTDIR"; else not_ok "cmake --install with DESTDIR"; fi
if diff <(expected_files usr) <(installed_files "$dest") >"$tmp/diff" 2>&1; then
  ok "DESTDIR holds exactly the expected files and modes"
else
  not_ok "DESTDIR files and modes differ from the expected (< expected, > installed): $(grep '^[<>]' "$tmp/diff" | tr '\n' ' ')"
fi
host_after=$(ls -d "${host_paths[@]}" 2>/dev/null || true)
check "nothing installed outside DESTDIR at the tools' paths" [ "$host_before" = "$host_after" ]
check "the installed binary is the one built" cmp -s "$build/kelmo-map" "$dest/usr/sbin/kelmo-map"
check "the installed binary is static" bash -c 'file -L "$1" | grep -q "statically linked"' _ "$dest/usr/sbin/kelmo-map"

hook=$dest/usr/share/initramfs-tools/hooks/kelmo-map
top=$dest/usr/share/initramfs-tools/scripts/local-top/kelmo-map
dmod=$dest/usr/lib/dracut/modules.d/90kelmo-map
check "initramfs-tools hook copies the installed binary" grep -qx 'KELMO_MAP=/usr/sbin/kelmo-map' "$hook"
check "initramfs-tools hook uses hook-functions, copy_exec, manual_add_modules dm-mod isofs" \
  bash -c 'grep -qx ". /usr/share/initramfs-tools/hook-functions" "$1" && grep -q "^copy_exec \"\$KELMO_MAP\" /sbin" "$1" &&
    grep -q "^manual_add_modules dm-mod isofs" "$1"' _ "$hook"
check "dracut module names the installed binary" \
  bash -c 'grep -q "require_binaries /usr/sbin/kelmo-map " "$1" && grep -q "inst_binary /usr/sbin/kelmo-map /sbin/kelmo-map" "$1"' _ "$dmod/module-setup.sh"
check "no placeholder left in any installed text file" bash -c '! grep -rIl "@[A-Z_]*@" "$1"' _ "$dest"
for f in "$hook" "$top" "$dmod/kelmo-map-cmdline.sh" "$dmod/kelmo-map-job.sh"; do
  check "${f#"$dest"} parses as /bin/sh (dash)" dash -n "$f"
done
check "module-setup.sh parses as bash" bash -n "$dmod/module-setup.sh"
check "the live-top script is the local-top script" cmp -s "$top" "$dest/usr/share/initramfs-tools/scripts/live-top/kelmo-map"

# The add-on initramfs: an uncompressed newc cpio of /kelmo with the built
# binary, the init and the udev rule, all root's, nothing else; its init must
# parse in every shell a distribution's initrd may start it with (an init
# that fails to parse panics the kernel).
addon=$dest/usr/lib/kelmo-map/kelmo-addon.img
check "the add-on is a newc cpio" bash -c 'head -c 6 "$1" | grep -qx 070701' _ "$addon"
listing=$(cpio -itv --quiet <"$addon" 2>/dev/null | awk '{print $1, $3, $4, $9}' | LC_ALL=C sort)
check "the add-on holds /kelmo with init, check-run, kelmo-map and the rule, all root's, nothing else" [ "$listing" = "$(printf '%s\n' \
  '-rw-r--r-- root root kelmo/90-kelmo-addon.rules' '-rwxr-xr-x root root kelmo/check-run' '-rwxr-xr-x root root kelmo/init' \
  '-rwxr-xr-x root root kelmo/kelmo-map' 'drwxr-xr-x root root kelmo')" ]
unpacked=$tmp/addon
mkdir "$unpacked"
(cd "$unpacked" && cpio -id --quiet <"$addon")
check "the add-on's kelmo-map is the one built" cmp -s "$build/kelmo-map" "$unpacked/kelmo/kelmo-map"
check "the add-on's init is packaging/live/init" cmp -s "$TOP/packaging/live/init" "$unpacked/kelmo/init"
for sh in dash bash "busybox sh"; do
  check "the add-on's init parses as $sh" $sh -n "$unpacked/kelmo/init"
done
sh "$TOP/packaging/live/mkaddon.sh" "$tmp/again.img" "$build/kelmo-map" "$TOP/packaging/live"
check "the add-on is made the same, byte for byte, a second time" cmp -s "$addon" "$tmp/again.img"
# Each initramfs-tools script answers "prereqs" and nothing else, as
# mkinitramfs and the init's run_scripts expect.
for f in "$hook" "$top"; do
  check "${f#"$dest"} answers prereqs with an empty line" bash -c 'out=$("$1" prereqs) && [ -z "$out" ]' _ "$f"
done

# --- another prefix given at install time: the binary and manual follow it,
# the tools' files stay where the tools look, and the hooks follow the binary.
dest2=$tmp/destdir2
DESTDIR=$dest2 cmake --install "$build" --prefix /usr/local >/dev/null
if diff <(expected_files usr/local) <(installed_files "$dest2") >/dev/null; then
  ok "--prefix /usr/local: binary and manual under it, the tools' files at their own paths"
else
  not_ok "--prefix /usr/local: files differ: $(diff <(expected_files usr/local) <(installed_files "$dest2") | grep '^[<>]' | tr '\n' ' ')"
fi
check "--prefix /usr/local: the hooks name /usr/local/sbin/kelmo-map" \
  bash -c 'grep -qx "KELMO_MAP=/usr/local/sbin/kelmo-map" "$1/usr/share/initramfs-tools/hooks/kelmo-map" &&
    grep -q "inst_binary /usr/local/sbin/kelmo-map " "$1/usr/lib/dracut/modules.d/90kelmo-map/module-setup.sh"' _ "$dest2"

# --- the manual
man=$dest/usr/share/man/man8/kelmo-map.8.gz
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
rendered=$tmp/man.txt
if MANWIDTH=200 man --warnings -l "$man" 2>"$rendered.err" | col -bx >"$rendered" && [ ! -s "$rendered.err" ] &&
  [ -s "$rendered" ]; then
  ok "man -l renders the manual without warnings"
else
  not_ok "man -l: $(head -c 300 "$rendered.err")"
fi
rm -f "$rendered.err"
check "lexgrog finds the NAME line" bash -c 'lexgrog "$1" | grep -qF "\"kelmo-map - map an ISO file"' _ "$man"
if lint=$(mandoc -T lint "$man" 2>&1) && [ -z "$lint" ]; then ok "mandoc -T lint finds nothing"; else not_ok "mandoc -T lint: $lint"; fi
check "the manual's footer carries the project's version ($version)" grep -q "^kelmo-map $version .*KELMO-MAP(8)\$" "$rendered"

# The three runs, the kernel parameters and the rest the manual must tell.
phrases=(
  "kelmo-map SERIAL PATH" "kelmo-map --test DEVICE PATH"
  "kelmo.uuid=SERIAL" "kelmo.iso=PATH" 'kelmo.iso="/Meus ISOs/distro 24.04.iso"' "Double quotes keep spaces"
  "KELMO_MAP_OFFSET" "about 30 seconds" "/dev/mapper/kelmo-iso" "512-byte sectors" "4096 runs" "read-only"
  "ASCII case" "dm-mod" "EXIT STATUS"
)
for p in "${phrases[@]}"; do
  check "the manual tells: $p" grep -qF -- "$p" "$rendered"
done
check "the manual's synopsis starts with the run with no arguments" \
  bash -c 'sed -n "/^SYNOPSIS/,/^DESCRIPTION/p" "$1" | grep -qx " *kelmo-map"' _ "$rendered"

# Every message of README.md's table, byte for byte, with its status: the
# manual's entry for it (up to the next blank line) must say "Status N".
readme=$TOP/README.md
table=$(sed -n '/^## Messages and exit status/,/^## /p' "$readme" | grep '^| `kelmo-map:' || true)
[ -n "$table" ] || not_ok "README.md has no message table"
while IFS= read -r row; do
  status=$(awk -F'|' '{gsub(/ /, "", $4); print $4}' <<<"$row")
  msgs=$(awk -F'|' '{print $2}' <<<"$row" | grep -o '`kelmo-map:[^`]*`' | tr -d '`')
  while IFS= read -r msg; do
    entry=$(awk -v m="$msg" '{l = $0; sub(/^ +/, "", l)} l == m {on = 1} on && /^$/ {exit} on' "$rendered")
    if [ -z "$entry" ]; then
      not_ok "the manual lists \"$msg\""
    elif grep -q "Status $status\." <<<"$entry"; then
      ok "the manual lists \"$msg\" with status $status"
    else
      not_ok "the manual lists \"$msg\" but not with status $status"
    fi
  done <<<"$msgs"
done <<<"$table"
# The test run's messages, in the paragraph after the table.
while IFS= read -r msg; do
  check "the manual gives the test run's \"$msg\"" grep -qF -- "$msg" "$rendered"
done < <(sed -n '/^## Messages and exit status/,/^## /p' "$readme" | grep -v '^|' |
  grep -o '`kelmo-map:[^`]*`' | tr -d '`')

summary
