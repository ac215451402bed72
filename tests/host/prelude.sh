# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# The start of a host test of `kelmo-map --test` on volumes it makes
# (sourced, never run), for names.sh and backward.sh. Set HOST_TOOLS, the
# commands the test needs, first. Without root or one of them the test
# skips (exit 77), or fails when KELMO_NO_SKIP is set (tools/check.sh sets
# it: there a skip is a failure). Then the results, images and program
# helpers are loaded, and $T is a scratch directory removed on exit.

# shellcheck source=skip.sh
source "$(dirname "${BASH_SOURCE[0]}")/skip.sh"
[[ $EUID -eq 0 ]] || skip "needs root for a loop device and a FUSE mount"
for tool in ${HOST_TOOLS-}; do
  command -v "$tool" >/dev/null || skip "$tool not installed"
done

# shellcheck source=../lib/results.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/results.sh"
# shellcheck source=../lib/images.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/images.sh"
T=$(mktemp -d)
TMP_PATHS+=("$T")
SUMMARY_REQUIRED=1  # a setup step that fails under set -e ends the run before the summary
# shellcheck source=program.sh
source "$(dirname "${BASH_SOURCE[0]}")/program.sh"
