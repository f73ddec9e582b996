# Release files (scripts/release.sh makes them in build/release/):
#   init-updater_<version>_<arch>.deb     by CPack's DEB generator (`cpack` in
#                                         the build tree)
#   init-updater-<version>-<arch>.tar.gz  the same files as `cmake --install
#                                         --prefix /usr` lays them out, to
#                                         unpack into an image root; written
#                                         by scripts/release.sh with GNU tar
# Both carry the release documents, component "release-docs" (a text for the
# device maker, copyright, changelog, and for static builds a lintian
# override), which a plain `cmake --install` leaves out:
#   cmake --install BUILD --prefix /usr --component release-docs
#
# Why not CPack's archive generator (CMake 3.25): it writes the entries in
# the order the file system lists the staging directory, not sorted, and
# with the builder's uid and gid (0/0 only from CMake 4.3, policy
# CMP0206), so two builds need not give the same archive.
#
# Reproducible: with SOURCE_DATE_EPOCH set, CPack's DEB generator gives every
# entry that time, owner root (0/0) and sorted names, and the changelog is
# dated then.

set(UPDATER_PACKAGE_MAINTAINER "Kestran firmware team <firmware@kestran.example>"
  CACHE STRING "Maintainer named in the Debian package")

# The toolchain file's check makes sure a cross build is ARMv6 hard-float code.
if(UPDATER_REQUIRE_ARMV6)
  set(UPDATER_ARCHIVE_ARCH armv6hf)
  set(UPDATER_DEB_ARCH armhf)
  set(UPDATER_PACKAGE_TARGET "32-bit ARM Linux: ARMv6 with VFPv2, hard-float EABI")
  set(UPDATER_PACKAGE_TARGET_LINE "(ARM1176JZF-S class and any later 32-bit ARM CPU)")
else()
  set(UPDATER_ARCHIVE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE UPDATER_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(UPDATER_PACKAGE_TARGET "${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}")
  set(UPDATER_PACKAGE_TARGET_LINE "(a build for the build machine, not for the devices)")
endif()
if(UPDATER_STATIC)
  set(UPDATER_PACKAGE_LINKAGE "statically linked: needs nothing but the kernel")
else()
  set(UPDATER_PACKAGE_LINKAGE "dynamically linked: needs glibc 2.34+, libstdc++, libgcc_s")
endif()

if(UPDATER_SIGNING_KEY)
  set(UPDATER_PACKAGE_MODES "installs only updates signed with the key it was built with")
else()
  set(UPDATER_PACKAGE_MODES "installs any update (no signing key)")
endif()
if(UPDATER_TRIAL_BOOTS GREATER 0)
  string(APPEND UPDATER_PACKAGE_MODES " and puts each new image on trial for "
    "${UPDATER_TRIAL_BOOTS} boot(s)")
else()
  string(APPEND UPDATER_PACKAGE_MODES " and has no trial boots")
endif()

set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/init-updater)
set(release_dir ${CMAKE_CURRENT_BINARY_DIR}/release-docs)
string(TIMESTAMP UPDATER_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(dist/release/README.in ${release_dir}/README @ONLY)
configure_file(dist/release/changelog.in ${release_dir}/changelog @ONLY)
# gzip -n: no file name or time in the header.
execute_process(COMMAND gzip -9nc ${release_dir}/changelog
  OUTPUT_FILE ${release_dir}/changelog.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${release_dir}/changelog")
endif()
install(FILES ${release_dir}/README dist/release/copyright ${release_dir}/changelog.gz
  DESTINATION ${docdir} COMPONENT release-docs EXCLUDE_FROM_ALL)
if(UPDATER_STATIC)
  install(FILES dist/release/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME init-updater
    COMPONENT release-docs EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME init-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Kestran)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Boot-time firmware updater for Kestran devices")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# Installed as `cmake --install --prefix /usr` with DESTDIR: the unit and the
# init script then name /usr/sbin/init-updater, and /etc stays /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# One package of the tool with its start-up files and the release documents.
# It leaves out the link BusyBox's rcS runs (component "busybox"): Debian-style
# images start services with systemd or sysvinit, where insserv and systemd's
# sysv-generator would take /etc/init.d/S20init-updater for a second init
# script (lintian: init-script-is-not-a-file, an error).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified release-docs)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME init-updater)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${UPDATER_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPDATER_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts CPACK_PACKAGE_DESCRIPTION_SUMMARY first, as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Installs a firmware update from a USB stick at start-up, keeping the image
installed now as the fallback image, and names the image to boot after an
interrupted installation. Ships a systemd unit and a POSIX init script.")
# postinst enables the unit where systemd is present; the init script, in
# /etc, is a conffile.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/release/postinst ${CMAKE_CURRENT_SOURCE_DIR}/dist/release/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
