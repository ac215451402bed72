# SPDX-License-Identifier: MIT
# Live ISOs. Included from install.cmake.
#
# The add-on initramfs: kelmo-map and the little init that runs it before a
# distribution's own, for a boot loader to load after a live ISO's initrd;
# the GRUB entries that do so, as examples; and, for live-boot installed on
# the host, the boot script once more where live-boot runs scripts (with
# boot=live, initramfs-tools runs live-top instead of local-top).
set(KELMO_LIVE_DIR ${CMAKE_CURRENT_LIST_DIR}/live)
add_custom_command(
  OUTPUT ${KELMO_PKG_OUT}/kelmo-addon.img
  COMMAND sh ${KELMO_LIVE_DIR}/mkaddon.sh ${KELMO_PKG_OUT}/kelmo-addon.img $<TARGET_FILE:kelmo-map> ${KELMO_LIVE_DIR}
  DEPENDS kelmo-map ${KELMO_LIVE_DIR}/mkaddon.sh ${KELMO_LIVE_DIR}/init ${KELMO_LIVE_DIR}/check-run ${KELMO_LIVE_DIR}/90-kelmo-addon.rules
  VERBATIM)
add_custom_target(kelmo-map-addon ALL DEPENDS ${KELMO_PKG_OUT}/kelmo-addon.img)
install(FILES ${KELMO_PKG_OUT}/kelmo-addon.img DESTINATION lib/kelmo-map)
install(FILES ${KELMO_LIVE_DIR}/grub/debian-live.cfg ${KELMO_LIVE_DIR}/grub/dracut-live.cfg
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${KELMO_PKG_DIR}/initramfs-tools/scripts/local-top/kelmo-map
  DESTINATION /usr/share/initramfs-tools/scripts/live-top)
