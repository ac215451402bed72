# SPDX-License-Identifier: MIT
# kelmo-stick: the command that makes a boot stick, its manual and the
# menu's GRUB scripts, in a package of its own (component kelmo-stick).
# Included from packaging/install.cmake.
#
# The command finds its pieces relative to itself: in the build tree
# (BUILD/stick/kelmo-stick, the menu in BUILD/stick/grub, the add-on in
# BUILD/packaging), and wherever it is installed.
set(KELMO_STICK_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KELMO_STICK_OUT ${CMAKE_BINARY_DIR}/stick)
file(GLOB KELMO_STICK_CFGS CONFIGURE_DEPENDS ${KELMO_STICK_DIR}/grub/*.cfg)
# The files kelmo-stick sources, one for each concern and command.
file(GLOB KELMO_STICK_PARTS CONFIGURE_DEPENDS ${KELMO_STICK_DIR}/*.sh)

# The build tree's copy.
set(KELMO_STICK_GRUB_REL grub)
set(KELMO_STICK_ADDON_REL ../packaging/kelmo-addon.img)
set(KELMO_STICK_MAP_REL ../kelmo-map)
set(KELMO_STICK_VERSION ${PROJECT_VERSION})
configure_file(${KELMO_STICK_DIR}/kelmo-stick ${KELMO_STICK_OUT}/kelmo-stick @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
foreach(part IN LISTS KELMO_STICK_PARTS)
  get_filename_component(name ${part} NAME)
  configure_file(${part} ${KELMO_STICK_OUT}/${name} COPYONLY)
endforeach()
foreach(cfg IN LISTS KELMO_STICK_CFGS)
  get_filename_component(name ${cfg} NAME)
  configure_file(${cfg} ${KELMO_STICK_OUT}/grub/${name} COPYONLY)
endforeach()

# The manual, compressed as Debian installs manuals.
add_custom_command(
  OUTPUT ${KELMO_STICK_OUT}/kelmo-stick.8.gz
  COMMAND gzip -9nc ${KELMO_STICK_DIR}/kelmo-stick.8 > kelmo-stick.8.gz
  DEPENDS ${KELMO_STICK_DIR}/kelmo-stick.8
  WORKING_DIRECTORY ${KELMO_STICK_OUT}
  VERBATIM)
add_custom_target(kelmo-stick-man ALL DEPENDS ${KELMO_STICK_OUT}/kelmo-stick.8.gz)

# Installed: the command is filled in with the paths, relative to its own
# directory, of the menu, the add-on and kelmo-map, once the prefix is final.
set(KELMO_STICK_DATADIR ${CMAKE_INSTALL_DATADIR}/kelmo-stick)
install(CODE "set(KELMO_STICK_DIR [[${KELMO_STICK_DIR}]])
set(KELMO_STICK_OUT [[${KELMO_STICK_OUT}]])
set(KELMO_STICK_SBINDIR [[${CMAKE_INSTALL_SBINDIR}]])
set(KELMO_STICK_DATADIR [[${KELMO_STICK_DATADIR}]])
set(KELMO_STICK_ADDONDIR [[lib/kelmo-map]])
set(KELMO_STICK_VERSION [[${PROJECT_VERSION}]])" COMPONENT kelmo-stick)
install(SCRIPT ${KELMO_STICK_DIR}/configure-command.cmake COMPONENT kelmo-stick)
install(PROGRAMS ${KELMO_STICK_OUT}/installed/kelmo-stick DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT kelmo-stick)
install(FILES ${KELMO_STICK_CFGS} DESTINATION ${KELMO_STICK_DATADIR}/grub COMPONENT kelmo-stick)
install(FILES ${KELMO_STICK_PARTS} DESTINATION ${KELMO_STICK_DATADIR} COMPONENT kelmo-stick)
# Where bash-completion loads a command's completion from when it is first
# completed.
install(FILES ${KELMO_STICK_DIR}/completion/kelmo-stick DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  COMPONENT kelmo-stick)
install(FILES ${KELMO_STICK_OUT}/kelmo-stick.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT kelmo-stick)
install(FILES ${KELMO_PKG_OUT}/changelog.gz ${KELMO_PKG_DIR}/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelmo-stick COMPONENT kelmo-stick)
