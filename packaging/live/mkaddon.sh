#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes kelmo-map's add-on initramfs: an uncompressed newc cpio with /kelmo/init,
# /kelmo/kelmo-map, /kelmo/check-run and the udev rule, owned by root, files in a fixed order
# with fixed times, so the same inputs give the same bytes.
#
#   mkaddon.sh OUT BINARY SOURCE_DIR      (SOURCE_DIR: packaging/live)
set -eu
out=$1 binary=$2 src=$3
stage=$out.stage
rm -rf "$stage"
mkdir -p "$stage/kelmo"
install -m 0755 "$src/init" "$stage/kelmo/init"
install -m 0755 "$src/check-run" "$stage/kelmo/check-run"
install -m 0755 "$binary" "$stage/kelmo/kelmo-map"
install -m 0644 "$src/90-kelmo-addon.rules" "$stage/kelmo/90-kelmo-addon.rules"
chmod 0755 "$stage/kelmo"
find "$stage" -exec touch -h -d "@${SOURCE_DATE_EPOCH:-0}" {} +
(cd "$stage" && find kelmo | LC_ALL=C sort | cpio -o -H newc -R 0:0 --reproducible --quiet) >"$out.part"
rm -rf "$stage"
mv "$out.part" "$out"
