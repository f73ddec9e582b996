# Install-time part of `cmake --install`: writes the systemd unit and the init
# script with the path the tool is installed at, under the prefix given to
# the install (--prefix), and honours DESTDIR. Expects SOURCE_DIR and
# SBINDIR (relative to the prefix) to be set by the caller.

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
configure_file("${SOURCE_DIR}/dist/systemd/init-updater.service.in"
  "${root}${unitdir}/init-updater.service" @ONLY)
# (file(INSTALL) adds DESTDIR itself.)
file(INSTALL "${SOURCE_DIR}/dist/systemd/kestran-image-pre.target" DESTINATION "${unitdir}")
configure_file("${SOURCE_DIR}/dist/init.d/init-updater.in" "${root}${initdir}/init-updater" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
# BusyBox's rcS runs /etc/init.d/S??*; sysvinit ignores the link.
file(CREATE_LINK init-updater "${root}${initdir}/S20init-updater" SYMBOLIC)
message(STATUS "Installing: ${root}${unitdir}/init-updater.service")
message(STATUS "Installing: ${root}${initdir}/init-updater (and S20init-updater)")
