#!/bin/sh
# SPDX-License-Identifier: MIT
# Sourced by dracut's init. Queues kelmo-map only when kelmo.uuid= is given,
# so a machine booted without it is unaffected.
if getarg kelmo.uuid= >/dev/null; then
    # After udev has settled the stick is usually there; kelmo-map still
    # waits for it by itself.
    /sbin/initqueue --settled --onetime --unique --name kelmo-map /sbin/kelmo-map-job
    # The queue is not finished before the job has run, whatever root= is.
    # shellcheck disable=SC2154 # hookdir is set by dracut's init, which sources this
    echo '[ -e /tmp/kelmo-map.done ]' >"$hookdir/initqueue/finished/kelmo-map.sh"
fi
