#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package made by cpack: its control fields, its contents (the
# same files as cmake --install), lintian, and dpkg installing, removing and
# purging it on a system with nothing else installed, with the initramfs
# rebuilt on each change through the update-initramfs trigger.
#
#   tests/packaging/deb.sh BUILD_DIR      (configured and built if needed)
#
# The system is a dpkg database of its own (dpkg --root), not a full Debian
# root: debootstrap would take minutes, and the package depends on nothing.
# Interest in the trigger is declared there by a probe package, as
# initramfs-tools and dracut declare it, whose postinst records each call.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$1
. "$(dirname "$0")/common.sh"

pkg_configure "$build" || die "configuring or building $build failed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)

scratch out kelmo-deb
if deb=$(pkg_deb "$build" "$out"); then ok "cpack -G DEB made $(basename "$deb")"; else
  not_ok "cpack -G DEB made no package"
  summary
  exit 1
fi
check "the package file is named kelmo-map_${version}_$arch.deb" [ "$(basename "$deb")" = "kelmo-map_${version}_$arch.deb" ]

field() { dpkg-deb -f "$deb" "$1"; }
check "Package: kelmo-map" [ "$(field Package)" = kelmo-map ]
check "Version: $version (the project's)" [ "$(field Version)" = "$version" ]
check "Architecture: $arch" [ "$(field Architecture)" = "$arch" ]
check "Section: admin" [ "$(field Section)" = admin ]
check "Priority: optional" [ "$(field Priority)" = optional ]
check "a Maintainer with an address" bash -c '[[ $1 =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]]' _ "$(field Maintainer)"
# The project's team, as in the change log, not a person.
check "the Maintainer is the kelmo-map developers team, as in the change log" \
  bash -c '[[ $1 == "kelmo-map developers <"* ]] && [ "$1" = "$(dpkg-parsechangelog -l "$2" -S Maintainer)" ]' \
  _ "$(field Maintainer)" "$TOP/packaging/debian/changelog"
check "a one-line summary and a long description" \
  bash -c '[ -n "$(dpkg-deb -f "$1" Description | head -n1)" ] && [ "$(dpkg-deb -f "$1" Description | wc -l)" -gt 3 ]' _ "$deb"
# The program is static; the hooks are inert without their tool.
check "no Depends or Pre-Depends" [ -z "$(field Depends)$(field Pre-Depends)" ]
check "Recommends: initramfs-tools | dracut" [ "$(field Recommends)" = "initramfs-tools | dracut" ]

ctrl=$out/control
mkdir "$ctrl"
dpkg-deb -e "$deb" "$ctrl"
check "the triggers file activates update-initramfs without waiting" \
  bash -c '[ "$(grep -v "^#" "$1" | grep -v "^$")" = "activate-noawait update-initramfs" ]' _ "$ctrl/triggers"
check "no maintainer scripts: the trigger is all it takes" \
  bash -c 'for s in preinst postinst prerm postrm config; do [ ! -e "$1/$s" ] || exit 1; done' _ "$ctrl"

# The same files, bytes and modes as a cmake --install into /usr (which
# installs kelmo-stick's package too).
tree=$out/tree
dest=$out/destdir
dpkg-deb -x "$deb" "$tree"
pkg_install "$build" "$dest"
all=$out/all
dpkg-deb -x "$deb" "$all"
dpkg-deb -x "$out/kelmo-stick_${version}_all.deb" "$all"
listing() { (cd "$1" && find . ! -type d -printf '%P %m %s\n' | LC_ALL=C sort); }
if diff <(listing "$dest") <(listing "$all") >"$out/diff" && diff -r "$dest" "$all" >>"$out/diff"; then
  ok "the package and kelmo-stick's hold the same files, modes and bytes as cmake --install"
else
  not_ok "the package and cmake --install differ: $(head -c 400 "$out/diff")"
fi
# The shipped binary: static, musl, at most 64 KiB (what host.shipped checks).
if bash "$TOP/tests/host/shipped.sh" "$tree/usr/sbin/kelmo-map" 65536 >"$out/shipped.log" 2>&1; then
  ok "the packaged kelmo-map is the shipped build: static, musl, at most 65,536 bytes"
else
  not_ok "the packaged kelmo-map is not the shipped build: $(grep '^not ok' "$out/shipped.log" | tr '\n' ' ')"
fi
check "the hook in the package names /usr/sbin/kelmo-map" \
  grep -qx 'KELMO_MAP=/usr/sbin/kelmo-map' "$tree/usr/share/initramfs-tools/hooks/kelmo-map"

# Debian's change log: its newest entry is this version.
log_version=$(zcat "$tree/usr/share/doc/kelmo-map/changelog.gz" | dpkg-parsechangelog -l - -S Version)
check "the change log's newest entry is $version" [ "$log_version" = "$version" ]

# The licence: Debian's machine-readable copyright file, whose licence text
# is the LICENSE file's, word for word.
copyright=$tree/usr/share/doc/kelmo-map/copyright
check "/usr/share/doc/kelmo-map/copyright is in the machine-readable format 1.0" \
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright"
check "it licenses every file under Expat (MIT), copyright the kelmo-map developers" \
  bash -c 'awk -v RS= "/^Files: \\*\n/" "$1" | grep -qx "License: Expat" &&
    awk -v RS= "/^Files: \\*\n/" "$1" | grep -qx "Copyright: 2026 The kelmo-map developers"' _ "$copyright"
# The stand-alone License paragraph, unfolded (" ." is an empty line).
licence_text() { awk -v RS= '/^License: Expat\n /' "$1" | tail -n +2 | sed -e 's/^ //' -e 's/^\.$//'; }
if diff <(sed -n '/^Permission/,$p' "$TOP/LICENSE") <(licence_text "$copyright") >"$out/licence.diff"; then
  ok "its licence text is LICENSE's, word for word"
else
  not_ok "its licence text differs from LICENSE: $(head -c 300 "$out/licence.diff")"
fi

# lintian: errors and warnings fail, except these, each for a stated reason.
declare -A allowed=(
  [statically-linked-binary]="static on purpose: one self-contained file for the initramfs"
)
for tag in "${!allowed[@]}"; do echo "# lintian: $tag allowed: ${allowed[$tag]}" >&2; done
suppress=$(IFS=,; echo "${!allowed[*]}")
if lint=$(lintian --tag-display-limit 0 --fail-on error,warning --suppress-tags "$suppress" "$deb" 2>"$out/lintian.err"); then
  ok "lintian: no errors or warnings besides the allowed ones"
else
  not_ok "lintian: $(grep -E '^[EW]: ' <<<"$lint" | tr '\n' ' ')$(grep -v 'root privileges' "$out/lintian.err" | tail -n 3 | tr '\n' ' ')"
fi

# --- dpkg on a system with nothing installed
root=$out/root
dpkg_root_init "$root"
# The probe: interested in update-initramfs, as initramfs-tools and dracut are.
probe=$out/probe
mkdir -p "$probe/DEBIAN"
cat >"$probe/DEBIAN/control" <<EOF
Package: kelmo-trigger-probe
Version: 1
Architecture: all
Maintainer: kelmo-map tests <tests@kelmo-map.invalid>
Description: records update-initramfs trigger calls
EOF
echo "interest-noawait update-initramfs" >"$probe/DEBIAN/triggers"
cat >"$probe/DEBIAN/postinst" <<'EOF'
#!/bin/sh
echo "$*" >>"$DPKG_ROOT/probe.log"
EOF
chmod 0755 "$probe/DEBIAN/postinst"
dpkg-deb --root-owner-group -b "$probe" "$out/probe.deb" >/dev/null
dpkg() { command dpkg --root="$root" --force-script-chrootless --log=/dev/null "$@"; }
dpkg -i "$out/probe.deb" >/dev/null
: >"$root/probe.log"

if dpkg -i "$deb" >"$out/dpkg.log" 2>&1; then ok "dpkg -i installs it"; else not_ok "dpkg -i: $(tail -n 3 "$out/dpkg.log")"; fi
check "dpkg says: install ok installed, $version" \
  [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status} ${Version}' kelmo-map)" = "install ok installed $version" ]
check "installing rebuilt the initramfs (update-initramfs trigger)" grep -qx 'triggered update-initramfs' "$root/probe.log"
absent=$(cd "$tree" && find . ! -type d -printf '%P\n' | while read -r f; do [ -e "$root/$f" ] || echo "$f"; done)
check "every file of the package is on the system" [ -z "$absent" ]
check "dpkg --verify finds the files as packaged" dpkg --verify kelmo-map

: >"$root/probe.log"
if dpkg -r kelmo-map >"$out/dpkg.log" 2>&1; then ok "dpkg -r removes it"; else not_ok "dpkg -r: $(tail -n 3 "$out/dpkg.log")"; fi
check "removing rebuilt the initramfs (update-initramfs trigger)" grep -qx 'triggered update-initramfs' "$root/probe.log"
dpkg -P kelmo-map >/dev/null 2>&1 || true
left=$(cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*' ! -name probe.log -printf '%P\n')
check "after purge none of its files is left" [ -z "$left" ]

summary
