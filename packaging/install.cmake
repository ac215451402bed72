# SPDX-License-Identifier: MIT
# Installation and the Debian package. Included from the top-level
# CMakeLists.txt after include(GNUInstallDirs), so it runs in the top-level
# scope (CPack's configuration lands in the top of the build tree).
#
#   cmake --install BUILD [--prefix P]     (DESTDIR honoured)
#   cd BUILD && cpack -G DEB               kelmo-map_VERSION_ARCH.deb and
#                                          kelmo-stick_VERSION_all.deb
#
# The initramfs tools look in fixed places, whatever the prefix: their files
# go to absolute paths (still under DESTDIR). The hooks name the binary by
# its installed path, so they are filled in at install time, when the prefix
# is final (cmake --install --prefix can change it).

set(KELMO_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KELMO_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)
# Directories made by the install are 0755 whatever the builder's umask, so
# the package does not depend on it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Two packages: kelmo-map (every rule without a component of its own) and
# kelmo-stick (stick/stick.cmake), so that booting ISOs pulls in no GRUB.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME kelmo-map)

install(TARGETS kelmo-map RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The manual, compressed as Debian installs manuals.
configure_file(${KELMO_PKG_DIR}/kelmo-map.8 ${KELMO_PKG_OUT}/kelmo-map.8 @ONLY)
add_custom_command(
  OUTPUT ${KELMO_PKG_OUT}/kelmo-map.8.gz
  COMMAND gzip -9nc kelmo-map.8 > kelmo-map.8.gz
  DEPENDS ${KELMO_PKG_OUT}/kelmo-map.8
  WORKING_DIRECTORY ${KELMO_PKG_OUT}
  VERBATIM)
add_custom_target(kelmo-map-man ALL DEPENDS ${KELMO_PKG_OUT}/kelmo-map.8.gz)
install(FILES ${KELMO_PKG_OUT}/kelmo-map.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# Fills in the binary's path in the hooks below, before they are installed.
install(CODE "set(KELMO_PKG_DIR [[${KELMO_PKG_DIR}]])
set(KELMO_PKG_OUT [[${KELMO_PKG_OUT}]])
set(KELMO_SBINDIR_AS_GIVEN [[${CMAKE_INSTALL_SBINDIR}]])")
install(SCRIPT ${KELMO_PKG_DIR}/configure-hooks.cmake)

# initramfs-tools: the hook that fills the image and the boot script.
install(PROGRAMS ${KELMO_PKG_OUT}/initramfs-tools/hooks/kelmo-map
  DESTINATION /usr/share/initramfs-tools/hooks)
install(PROGRAMS ${KELMO_PKG_DIR}/initramfs-tools/scripts/local-top/kelmo-map
  DESTINATION /usr/share/initramfs-tools/scripts/local-top)

# dracut: the module directory.
install(PROGRAMS
  ${KELMO_PKG_OUT}/dracut/90kelmo-map/module-setup.sh
  ${KELMO_PKG_DIR}/dracut/90kelmo-map/kelmo-map-cmdline.sh
  ${KELMO_PKG_DIR}/dracut/90kelmo-map/kelmo-map-job.sh
  DESTINATION /usr/lib/dracut/modules.d/90kelmo-map)
install(FILES ${KELMO_PKG_DIR}/dracut/90kelmo-map/90-kelmo-map.rules
  DESTINATION /usr/lib/dracut/modules.d/90kelmo-map)

# Live ISOs: the add-on initramfs, GRUB examples, live-boot.
include(${KELMO_PKG_DIR}/live.cmake)

# The package's change log, which Debian wants in every package. Its newest
# entry must name the project's version (the packaging tests check).
add_custom_command(
  OUTPUT ${KELMO_PKG_OUT}/changelog.gz
  COMMAND gzip -9nc ${KELMO_PKG_DIR}/debian/changelog > changelog.gz
  DEPENDS ${KELMO_PKG_DIR}/debian/changelog
  WORKING_DIRECTORY ${KELMO_PKG_OUT}
  VERBATIM)
add_custom_target(kelmo-map-changelog ALL DEPENDS ${KELMO_PKG_OUT}/changelog.gz)
install(FILES ${KELMO_PKG_OUT}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The licence, in Debian's machine-readable copyright format.
install(FILES ${KELMO_PKG_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The stick maker, in a package of its own.
include(${KELMO_PKG_DIR}/../stick/stick.cmake)

# Reproducible packages: every timestamp in the .deb is SOURCE_DATE_EPOCH,
# which cpack takes from its environment. When the caller sets none, the
# time of the commit being built is used (read when cpack runs, so a new
# commit in the same tree counts), else the newest change log entry's date.
execute_process(COMMAND dpkg-parsechangelog -l ${KELMO_PKG_DIR}/debian/changelog -S Timestamp
  OUTPUT_VARIABLE CPACK_KELMO_CHANGELOG_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(CPACK_KELMO_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${KELMO_PKG_DIR}/cpack-epoch.cmake)
# The ar members' modes as dpkg-deb writes them, not as the umask left them.
set(CPACK_POST_BUILD_SCRIPTS ${KELMO_PKG_DIR}/deb-modes.cmake)

# The Debian packages, one per component.
# The project's team, not a person.
set(KELMO_DEB_MAINTAINER "kelmo-map developers <maintainers@kelmo-map.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kelmo-map kelmo-stick)
set(CPACK_PACKAGE_NAME kelmo-map)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KELMO_DEB_MAINTAINER})
# Lines under 80 columns, '.' for an empty one, as in a Debian control file;
# the first line is the summary.
string(JOIN "\n" CPACK_DEBIAN_KELMO-MAP_DESCRIPTION
  "map an ISO file on an exFAT USB partition to a block device at boot"
  "kelmo-map runs in the initramfs. It finds an exFAT partition by its volume"
  "serial (kernel parameter kelmo.uuid=), walks its directories to an ISO"
  "image stored there as an ordinary file (kelmo.iso=), and asks the kernel's"
  "device mapper for the read-only device /dev/mapper/kelmo-iso whose sectors"
  "are the ISO's bytes, to be mounted or used as the root device."
  "."
  "This package holds the static program, its manual, and the hooks that put"
  "it into images built by initramfs-tools or dracut.")
string(JOIN "\n" CPACK_DEBIAN_KELMO-STICK_DESCRIPTION
  "make a USB stick that boots the live ISO files copied onto it"
  "kelmo-stick prepares a USB stick (or a disk image) with an exFAT partition"
  "for the user's files and a small EFI system partition holding GRUB for BIOS"
  "and UEFI (Debian's signed shim and GRUB), kelmo-map's add-on initramfs and"
  "a boot menu that finds every ISO file on the exFAT partition. ISO files are"
  "then copied onto the stick like onto any other, and booted from the menu;"
  "kelmo-map maps each to /dev/mapper/kelmo-iso for its live system."
  "."
  "It also brings a stick up to date, lists the ISOs found and what each boots"
  "with, and chooses the ISO of the next boot.")
# A distribution's package lives in /usr, whatever prefix this tree was
# configured for; the hooks follow, being filled in at install time.
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Lets the absolute destinations above land inside the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KELMO_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_KELMO-MAP_PACKAGE_NAME kelmo-map)
# The program is static and needs nothing; the hooks are inert without the
# tool they plug into, and either tool will do.
set(CPACK_DEBIAN_KELMO-MAP_PACKAGE_DEPENDS "")
set(CPACK_DEBIAN_KELMO-MAP_PACKAGE_RECOMMENDS "initramfs-tools | dracut")
set(CPACK_DEBIAN_KELMO-MAP_PACKAGE_CONTROL_EXTRA ${KELMO_PKG_DIR}/debian/triggers)
# A shell script: what it runs, and the kelmo-map whose add-on it copies.
set(CPACK_DEBIAN_KELMO-STICK_PACKAGE_NAME kelmo-stick)
set(CPACK_DEBIAN_KELMO-STICK_PACKAGE_ARCHITECTURE all)
string(JOIN ", " CPACK_DEBIAN_KELMO-STICK_PACKAGE_DEPENDS
  "kelmo-map (= ${PROJECT_VERSION})"
  "grub-pc-bin" "grub-efi-amd64-bin" "grub-efi-amd64-signed" "grub-common"
  "shim-signed" "shim-helpers-amd64-signed"
  "exfatprogs" "exfat-fuse" "dosfstools" "mtools" "fdisk" "mount" "xorriso" "e2fsprogs")
include(CPack)
