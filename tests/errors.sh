# shellcheck shell=sh
# The error texts kelmo-map prints after a refused device-mapper request
# ("kelmo-map: DM_TABLE_LOAD: " and strerror's text), as the C library it is
# built with words them: glibc. Sourced by the boot tests (which pass them to
# the guest in expect.sh) and the host tests, so each text is written once.
ERR_EINVAL='Invalid argument'
ERR_EBUSY='Device or resource busy'
ERR_ENOTTY='Inappropriate ioctl for device'
