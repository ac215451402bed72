#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the QEMU accelerator the boot tests will use here (kvm or tcg), as
# choose_accel in lib.sh decides it, so that a caller running several boot
# harnesses (tools/check.sh) can probe once and export KELMO_QEMU_ACCEL.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
need_tools
fetch_kernel
echo "$KELMO_QEMU_ACCEL"
