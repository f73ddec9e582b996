# Install-time part of `cmake --install`: writes the systemd unit and the init
# script with the path the tool is installed at, under the prefix given to
# the install (--prefix), and the link BusyBox's rcS runs; honours DESTDIR.
# Expects SOURCE_DIR, SBINDIR (relative to the prefix) and
# UPDATER_INSTALL_PART to be set by the caller.

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
set(UPDATER_PATH "${prefix}/${SBINDIR}/init-updater")
# As GNUInstallDirs: /etc for the system prefixes, prefix/etc otherwise.
if(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${prefix}/etc")
endif()
set(unitdir "${prefix}/lib/systemd/system")
set(initdir "${sysconfdir}/init.d")

set(root "$ENV{DESTDIR}")
# Run twice by `cmake --install`: UPDATER_INSTALL_PART is "start-up" for the
# unit and the init script, "busybox-link" for the link BusyBox's rcS runs.
if(UPDATER_INSTALL_PART STREQUAL "busybox-link")
  # BusyBox's rcS runs /etc/init.d/S??*; sysvinit ignores the link.
  file(MAKE_DIRECTORY "${root}${initdir}")
  file(CREATE_LINK init-updater "${root}${initdir}/S20init-updater" SYMBOLIC)
  message(STATUS "Installing: ${root}${initdir}/S20init-updater -> init-updater")
  return()
endif()
# Modes fixed here, not taken from the checkout (whose umask varies), so a
# release is the same bytes wherever it is built.
configure_file("${SOURCE_DIR}/dist/systemd/init-updater.service.in"
  "${root}${unitdir}/init-updater.service" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# (file(INSTALL) adds DESTDIR itself.)
file(INSTALL "${SOURCE_DIR}/dist/systemd/kestran-image-pre.target" DESTINATION "${unitdir}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
configure_file("${SOURCE_DIR}/dist/init.d/init-updater.in" "${root}${initdir}/init-updater" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
message(STATUS "Installing: ${root}${unitdir}/init-updater.service")
message(STATUS "Installing: ${root}${initdir}/init-updater")
