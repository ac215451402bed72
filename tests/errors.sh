# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The error texts kelmo-map prints after a refused device-mapper request
# ("kelmo-map: DM_TABLE_LOAD: " and strerror's text), as the C library that
# built the binary words them (glibc and musl differ: "Device or resource
# busy", "Resource busy"). Sourced by the host tests; the boot tests pass the
# same texts to the guest in expect.sh. Sets ERR_EINVAL, ERR_EBUSY, ERR_ENOTTY.
#
#   error_texts BINARY
error_texts() {
  local texts
  texts=$(bash "$(dirname "${BASH_SOURCE[0]}")/lib/libc-errors.sh" "$1" EINVAL EBUSY ENOTTY) || {
    echo "could not tell the error texts of $1's C library" >&2
    exit 2
  }
  eval "$texts"
}
