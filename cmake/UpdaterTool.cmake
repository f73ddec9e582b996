# The tool and its build options, for the top-level CMakeLists.txt and the
# tests, which build several variants of it. Needs updater_core (and, for
# signing keys, updater_signify) and cmake/SigningKey.cmake.

# add_updater_tool(TARGET [KEYS FILE...] [COMPATIBLE STRING] [ROLLBACK_PROTECTION]
#                  [TRIAL_BOOTS N] [IMAGE_CHECK none|squashfs] [INSTALL copy|rename]
#                  [EVENT_LOG]):
# the tool as executable TARGET, and kestran-boot-image for it as
# TARGET-boot-image in the build tree. With KEYS, 1 to 8 public key files, it
# installs only updates signed with one of their secret keys; with KEYS and
# COMPATIBLE, only those whose signed manifest names STRING; with KEYS and
# ROLLBACK_PROTECTION, none whose signed version is below the device's
# version floor; with
# TRIAL_BOOTS N > 0 a new image is on trial until confirmed and is given up
# after N unconfirmed boots; with IMAGE_CHECK squashfs it installs only whole
# squashfs images; with INSTALL rename it writes the update once and keeps the
# current image as the fallback image by a rename; with EVENT_LOG it and
# kestran-boot-image record what happened in /mnt/imgpart/kestran_events.log.
# The version string names each (it is a plain string in
# the binary: see src/version.cpp.in).
# updater_choice(VAR OPTION DEFAULT OTHER...): VAR, the value given for
# OPTION, set to DEFAULT when empty; any value but those a configuration
# error.
function(updater_choice var option default)
  set(value "${${var}}")
  set(allowed ${default} ${ARGN})
  if(value STREQUAL "")
    set(${var} ${default} PARENT_SCOPE)
  elseif(NOT value IN_LIST allowed)
    list(JOIN allowed " or " allowed)
    message(FATAL_ERROR "${option} must be ${allowed}, not '${value}'")
  endif()
endfunction()

function(add_updater_tool target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ROLLBACK_PROTECTION;EVENT_LOG" "TRIAL_BOOTS;IMAGE_CHECK;COMPATIBLE;INSTALL"
    "KEYS")
  if(arg_COMPATIBLE AND NOT arg_KEYS)
    message(FATAL_ERROR "UPDATER_COMPATIBLE needs UPDATER_SIGNING_KEY: the compatible string is "
      "read from the update's signed manifest")
  endif()
  if(arg_ROLLBACK_PROTECTION AND NOT arg_KEYS)
    message(FATAL_ERROR "UPDATER_ROLLBACK_PROTECTION needs UPDATER_SIGNING_KEY: the version is "
      "read from the update's signed manifest")
  endif()
  if(arg_COMPATIBLE AND NOT arg_COMPATIBLE MATCHES "^[A-Za-z0-9._+-]+$")
    message(FATAL_ERROR "UPDATER_COMPATIBLE must be 1 to 64 of A-Z a-z 0-9 . _ + -, "
      "not '${arg_COMPATIBLE}'")
  endif()
  string(LENGTH "${arg_COMPATIBLE}" compatible_length)
  if(compatible_length GREATER 64)
    message(FATAL_ERROR "UPDATER_COMPATIBLE must be at most 64 characters, not "
      "${compatible_length}")
  endif()
  updater_choice(arg_IMAGE_CHECK UPDATER_IMAGE_CHECK none squashfs)
  updater_choice(arg_INSTALL UPDATER_INSTALL copy rename)
  if(NOT arg_TRIAL_BOOTS)
    set(arg_TRIAL_BOOTS 0)
  endif()
  if(NOT arg_TRIAL_BOOTS MATCHES "^(0|[1-9][0-9]?[0-9]?)$")
    message(FATAL_ERROR "UPDATER_TRIAL_BOOTS must be a number of boots from 1 to 999, or 0 "
      "for no trial boots, not '${arg_TRIAL_BOOTS}'")
  endif()
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}-generated)
  set(UPDATER_VERSION_STRING "init-updater ${PROJECT_VERSION}")
  set(modes "")
  set(sources ${PROJECT_SOURCE_DIR}/src/init-updater.cpp ${generated}/version.cpp)
  if(arg_KEYS)
    updater_signing_keys("${arg_KEYS}" KEY)
    if(NOT TARGET updater_signify)
      message(FATAL_ERROR "A build with a signing key needs libsodium (Debian: libsodium-dev; "
        "a vendor SDK: sodium.h and libsodium in its sysroot, or SODIUM_INCLUDE_DIR and "
        "SODIUM_LIBRARY)")
    endif()
    list(JOIN KEY_NUMBERS " " KEY_NUMBERS)
    list(LENGTH arg_KEYS key_count)
    if(key_count EQUAL 1)
      list(APPEND modes "signed updates, key ${KEY_NUMBERS}")
    else()
      list(APPEND modes "signed updates, keys ${KEY_NUMBERS}")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/src/signing_key.cpp.in ${generated}/signing_key.cpp @ONLY)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${arg_KEYS})
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/authenticity_signify.cpp
      ${generated}/signing_key.cpp)
  else()
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/authenticity_none.cpp)
  endif()
  if(arg_COMPATIBLE)
    list(APPEND modes "compatible ${arg_COMPATIBLE}")
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/compatible_string.cpp)
  else()
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/compatible_none.cpp)
  endif()
  if(arg_ROLLBACK_PROTECTION)
    list(APPEND modes "rollback protection")
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/rollback_floor.cpp)
  else()
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/rollback_none.cpp)
  endif()
  if(arg_TRIAL_BOOTS GREATER 0)
    list(APPEND modes "trial boots ${arg_TRIAL_BOOTS}")
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/trial_boots.cpp)
  else()
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/trial_none.cpp)
  endif()
  if(arg_IMAGE_CHECK STREQUAL squashfs)
    list(APPEND modes "image check squashfs")
  endif()
  list(APPEND sources ${PROJECT_SOURCE_DIR}/src/image_check_${arg_IMAGE_CHECK}.cpp)
  if(arg_INSTALL STREQUAL rename)
    list(APPEND modes "install rename")
  endif()
  list(APPEND sources ${PROJECT_SOURCE_DIR}/src/install_${arg_INSTALL}.cpp)
  set(event_log 0)
  if(arg_EVENT_LOG)
    set(event_log 1)
    list(APPEND modes "event log")
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/event_log_file.cpp)
  else()
    list(APPEND sources ${PROJECT_SOURCE_DIR}/src/event_log_none.cpp)
  endif()
  if(modes)
    list(JOIN modes "; " modes)
    string(APPEND UPDATER_VERSION_STRING " (${modes})")
  endif()
  # kestran-boot-image counts trial boots itself: N is written into it.
  file(READ ${PROJECT_SOURCE_DIR}/dist/sbin/kestran-boot-image boot_image)
  string(REPLACE "\ntrial_boots=0\n" "\ntrial_boots=${arg_TRIAL_BOOTS}\n" configured "${boot_image}")
  if(arg_TRIAL_BOOTS GREATER 0 AND configured STREQUAL boot_image)
    message(FATAL_ERROR "dist/sbin/kestran-boot-image has no line 'trial_boots=0' to set")
  endif()
  # ... and writes the event log where the build has it.
  string(REPLACE "\nevent_log=0\n" "\nevent_log=${event_log}\n" configured "${configured}")
  if(arg_EVENT_LOG AND NOT configured MATCHES "\nevent_log=1\n")
    message(FATAL_ERROR "dist/sbin/kestran-boot-image has no line 'event_log=0' to set")
  endif()
  set(boot_image "${configured}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}-boot-image "${boot_image}")
  file(CHMOD ${CMAKE_CURRENT_BINARY_DIR}/${target}-boot-image PERMISSIONS OWNER_READ OWNER_WRITE
    OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/dist/sbin/kestran-boot-image)
  configure_file(${PROJECT_SOURCE_DIR}/src/version.cpp.in ${generated}/version.cpp @ONLY)
  add_executable(${target} ${sources})
  if(arg_COMPATIBLE)
    target_compile_definitions(${target} PRIVATE UPDATER_COMPATIBLE="${arg_COMPATIBLE}")
  endif()
  target_link_libraries(${target} PRIVATE updater_core)
  if(arg_KEYS)
    target_link_libraries(${target} PRIVATE updater_signify)
  endif()
  if(UPDATER_STATIC)
    target_link_options(${target} PRIVATE -static)
  endif()
  if(NOT UPDATER_SANITIZE AND NOT UPDATER_FUZZ)
    target_link_options(${target} PRIVATE -Wl,--gc-sections)
  endif()
  if(UPDATER_REQUIRE_ARMV6)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DREADELF=${CMAKE_READELF} -DFILE=$<TARGET_FILE:${target}>
              -DCOMPILER=${CMAKE_CXX_COMPILER} -DSYSROOT=${UPDATER_VENDOR_SYSROOT}
              -P ${PROJECT_SOURCE_DIR}/cmake/CheckArmv6.cmake
      VERBATIM)
  endif()
endfunction()
