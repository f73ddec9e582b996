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

# A device maker's release carries a suffix of its own in the package's
# version (1.3.0+acme1), so that it is never taken for the upstream release
# or for another maker's: scripts/release.sh --version-suffix.
set(UPDATER_VERSION_SUFFIX "" CACHE STRING
  "Appended to the version of the release files and the package, e.g. +acme1 (empty: none)")
if(UPDATER_VERSION_SUFFIX AND NOT UPDATER_VERSION_SUFFIX MATCHES "^[+~][A-Za-z0-9.+~]+$")
  message(FATAL_ERROR "UPDATER_VERSION_SUFFIX must start with + or ~ and hold only "
    "A-Z a-z 0-9 . + ~ (a Debian upstream version's characters), not '${UPDATER_VERSION_SUFFIX}'")
endif()
set(UPDATER_RELEASE_VERSION ${PROJECT_VERSION}${UPDATER_VERSION_SUFFIX})

# What this build takes, in words, and the options it was configured with
# (keys by their numbers: the build machine's paths stay out of the release).
set(options "")
set(modes "")
if(UPDATER_SIGNING_KEY)
  updater_signing_keys("${UPDATER_SIGNING_KEY}" PACKAGE_KEY)
  list(LENGTH UPDATER_SIGNING_KEY key_count)
  list(JOIN PACKAGE_KEY_NUMBERS " " numbers)
  if(key_count EQUAL 1)
    list(APPEND modes "installs only updates signed with the key it was built with\n    (key number ${numbers})")
    list(APPEND options "-DUPDATER_SIGNING_KEY=<1 public key: ${numbers}>")
  else()
    list(APPEND modes "installs only updates signed with one of the ${key_count} keys it was built with\n    (key numbers ${numbers})")
    list(APPEND options "-DUPDATER_SIGNING_KEY=<${key_count} public keys: ${numbers}>")
  endif()
  if(UPDATER_COMPATIBLE)
    list(APPEND modes "and only those whose signed manifest names this model, ${UPDATER_COMPATIBLE}")
    list(APPEND options "-DUPDATER_COMPATIBLE=${UPDATER_COMPATIBLE}")
  endif()
  if(UPDATER_ROLLBACK_PROTECTION)
    list(APPEND modes "and none whose signed version is below the device's version floor")
    list(APPEND options "-DUPDATER_ROLLBACK_PROTECTION=ON")
  endif()
else()
  list(APPEND modes "installs any update (no signing key)")
endif()
if(UPDATER_IMAGE_CHECK STREQUAL squashfs)
  list(APPEND modes "takes only whole squashfs images")
  list(APPEND options "-DUPDATER_IMAGE_CHECK=squashfs")
endif()
if(UPDATER_INSTALL STREQUAL rename)
  list(APPEND modes "writes each update once and keeps the installed image by a rename")
  list(APPEND options "-DUPDATER_INSTALL=rename")
endif()
if(UPDATER_EVENT_LOG)
  list(APPEND modes "records what happened in /mnt/imgpart/kestran_events.log")
  list(APPEND options "-DUPDATER_EVENT_LOG=ON")
endif()
if(UPDATER_TRIAL_BOOTS GREATER 0)
  list(APPEND modes "puts each new image on trial for ${UPDATER_TRIAL_BOOTS} boot(s)")
  list(APPEND options "-DUPDATER_TRIAL_BOOTS=${UPDATER_TRIAL_BOOTS}")
else()
  list(APPEND modes "has no trial boots")
endif()
list(JOIN modes "\n  - " UPDATER_PACKAGE_MODES)
if(UPDATER_VERSION_SUFFIX)
  list(PREPEND options "--version-suffix ${UPDATER_VERSION_SUFFIX}")
endif()
if(options)
  list(JOIN options "\n  " UPDATER_PACKAGE_OPTIONS)
  string(PREPEND UPDATER_PACKAGE_OPTIONS "a device maker's build, made with\n  ")
else()
  set(UPDATER_PACKAGE_OPTIONS "the upstream release, made with no options.")
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
set(CPACK_PACKAGE_VERSION ${UPDATER_RELEASE_VERSION})
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
# No maintainer scripts: the package enables nothing. The same package goes
# into a device's start-up root and into its firmware image, and the two
# cannot be told apart from inside: in an image the device runs as its root,
# an enabled unit would run the tool with that very image mounted from the
# partition (refused as in use, at every boot with a stick), so the device
# maker enables the unit or the init script where the start-up runs
# (docs/integration.md). The init script, in /etc, is a conffile.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/dist/release/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
