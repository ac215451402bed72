#!/bin/sh
# SPDX-License-Identifier: MIT
# Run once from dracut's initqueue: maps the ISO to /dev/mapper/kelmo-iso.
type warn >/dev/null 2>&1 || . /lib/dracut-lib.sh

if [ ! -e /dev/mapper/kelmo-iso ]; then
    modprobe -q dm_mod || warn "kelmo-map: could not load dm_mod"
    # kelmo-map says on stderr how it went.
    /sbin/kelmo-map || warn "kelmo-map could not map the ISO"
fi
: >/tmp/kelmo-map.done
