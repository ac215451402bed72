#!/usr/bin/env bash
# Builds kelmo-map and boots a virtual machine whose USB stick holds an ISO
# on exFAT; the console shows the mapping, the device's size and a file read
# from the mapped ISO. As root on Debian 12.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/deps.sh
cmake -S . -B build -DKELMO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
exec bash tests/boot/demo.sh build/kelmo-map
