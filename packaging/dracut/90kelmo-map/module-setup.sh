#!/bin/bash
# SPDX-License-Identifier: MIT
# dracut module: kelmo-map maps an ISO file on an exFAT USB partition to
# /dev/mapper/kelmo-iso at boot, when kelmo.uuid= and kelmo.iso= are given.

# called by dracut
check() {
    require_binaries @KELMO_SBINDIR@/kelmo-map || return 1
    # Inert without kelmo.uuid=, so once installed it goes into every image.
    return 0
}

# called by dracut
depends() {
    # kelmo-map talks to the device mapper itself: no dmsetup, no dm module.
    return 0
}

# called by dracut
installkernel() {
    # Wanted in hostonly images too, where the host may have none loaded.
    hostonly='' instmods dm_mod isofs usb_storage uas sd_mod
}

# called by dracut
install() {
    inst_binary @KELMO_SBINDIR@/kelmo-map /sbin/kelmo-map
    # shellcheck disable=SC2154 # moddir is set by dracut, which sources this
    inst_script "$moddir/kelmo-map-job.sh" /sbin/kelmo-map-job
    inst_hook cmdline 90 "$moddir/kelmo-map-cmdline.sh"
    inst_rules "$moddir/90-kelmo-map.rules"
    # Under systemd the initqueue runs only in images that ask for it.
    dracut_need_initqueue
}
