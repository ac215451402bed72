#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds kelmo-map and boots a virtual machine whose USB stick holds an ISO
# on exFAT; the console shows the mapping, the device's size and a file read
# from the mapped ISO. As root on Debian 12.
#
#   tools/demo.sh          the boot above (about a minute)
#   tools/demo.sh --live   instead, a stick booted from power-on through GRUB:
#                          a Debian live ISO on it starts with kelmo-map's
#                          add-on (a few minutes: the live ISO is built first)
#   tools/demo.sh --stick  a stick made by kelmo-stick prepare, a Debian live
#                          and a dracut live ISO copied onto it, each booted
#                          from the menu (BIOS, then UEFI; a few minutes)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/deps.sh
if [ "${1:-}" = --live ]; then
  exec bash tests/packaging/live.sh build-pkg --demo
fi
if [ "${1:-}" = --stick ]; then
  exec bash tests/stick/boot.sh build-pkg --demo
fi
cmake -S . -B build -DKELMO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec bash tests/boot/demo.sh build/kelmo-map
