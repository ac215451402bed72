#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the QEMU accelerator the boot tests will use here (kvm or tcg), as
# qemu_accel in tests/lib/qemu.sh decides it, so that a caller running several boot
# harnesses (tools/check.sh) can probe once and export KELMO_QEMU_ACCEL.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
need_tools
fetch_kernel
qemu_accel
echo "$KELMO_QEMU_ACCEL"
