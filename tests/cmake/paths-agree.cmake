# The image partition's paths stand in src/constants.hpp for the tool and in
# dist/sbin/kestran-boot-image for the start-up: fails unless both name the
# same files. Run as `cmake -DSOURCE=DIR -P paths-agree.cmake`.
file(READ ${SOURCE}/src/constants.hpp constants)
file(READ ${SOURCE}/dist/sbin/kestran-boot-image script)
set(failed FALSE)
# constant in constants.hpp | variable in kestran-boot-image
foreach(pair current_image:current fallback_image:fallback install_marker:marker
    trial_state:trial current_version:installed_version version_floor:version_floor
    event_log:events)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 constant)
  list(GET pair 1 variable)
  if(NOT constants MATCHES "const char\\* ${constant} = \"([^\"]+)\";")
    message(SEND_ERROR "src/constants.hpp has no constant ${constant}")
    continue()
  endif()
  set(tool_path "${CMAKE_MATCH_1}")
  if(NOT script MATCHES "\n${variable}=([^\n]+)\n")
    message(SEND_ERROR "kestran-boot-image sets no ${variable}")
    continue()
  endif()
  set(script_path "${CMAKE_MATCH_1}")
  if(NOT tool_path STREQUAL script_path)
    message(SEND_ERROR "${constant} is ${tool_path} in the tool, but ${variable} is "
      "${script_path} in kestran-boot-image")
  else()
    message(STATUS "${constant}: ${tool_path}")
  endif()
endforeach()
