# SPDX-License-Identifier: MIT
# Run by cmake --install (and cpack) before kelmo-stick is installed: fills
# in the paths of its pieces relative to the directory it is installed to.
foreach(var SBINDIR DATADIR ADDONDIR)
  if(IS_ABSOLUTE "${KELMO_STICK_${var}}")
    set(abs_${var} "${KELMO_STICK_${var}}")
  else()
    set(abs_${var} "${CMAKE_INSTALL_PREFIX}/${KELMO_STICK_${var}}")
  endif()
endforeach()
file(RELATIVE_PATH KELMO_STICK_GRUB_REL "${abs_SBINDIR}" "${abs_DATADIR}/grub")
file(RELATIVE_PATH KELMO_STICK_ADDON_REL "${abs_SBINDIR}" "${abs_ADDONDIR}/kelmo-addon.img")
set(KELMO_STICK_MAP_REL kelmo-map)
configure_file("${KELMO_STICK_DIR}/kelmo-stick" "${KELMO_STICK_OUT}/installed/kelmo-stick" @ONLY)
