# SPDX-License-Identifier: MIT
# Run by cmake --install (and cpack) before the hooks are installed: fills in
# the path the binary is installed to, now that the prefix is final.
if(IS_ABSOLUTE "${KELMO_SBINDIR_AS_GIVEN}")
  set(KELMO_SBINDIR "${KELMO_SBINDIR_AS_GIVEN}")
else()
  set(KELMO_SBINDIR "${CMAKE_INSTALL_PREFIX}/${KELMO_SBINDIR_AS_GIVEN}")
endif()
foreach(hook initramfs-tools/hooks/kelmo-map dracut/90kelmo-map/module-setup.sh)
  configure_file("${KELMO_PKG_DIR}/${hook}" "${KELMO_PKG_OUT}/${hook}" @ONLY)
endforeach()
