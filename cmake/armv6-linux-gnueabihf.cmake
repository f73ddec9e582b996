# Toolchain file for the target devices: 32-bit ARM Linux, ARMv6 with VFPv2,
# hard-float EABI, glibc (ARM1176JZF-S class).
#
# The compiler is a GCC for arm-linux-gnueabihf (Debian's g++-arm-linux-gnueabihf
# by default; ARMV6_CROSS_PREFIX names another). What it links against is one
# of:
#   ARMV6_RUNTIME=<dir>   the ARMv6 runtime built by scripts/build-armv6-runtime.sh
#                         (default: where that script puts it). Headers, start
#                         files and libraries are taken from it alone.
#   CMAKE_SYSROOT=<dir>   a device vendor's SDK sysroot, used as it is.
#   ARMV6_RUNTIME=distro  Debian's own armhf runtime. It is ARMv7/Thumb-2 and
#                         does not run on the device: only for showing that the
#                         checks catch it.
# Where qemu-arm-static is installed, tests run under it with the ARM1176 CPU.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ARMV6_CROSS_PREFIX "arm-linux-gnueabihf-" CACHE STRING "Prefix of the cross tools")
set(CMAKE_C_COMPILER ${ARMV6_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${ARMV6_CROSS_PREFIX}g++)

# Settings that try_compile projects must see too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMV6_RUNTIME ARMV6_CROSS_PREFIX)

set(cpu_flags "-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm")

if(NOT ARMV6_RUNTIME AND NOT CMAKE_SYSROOT)
  if(DEFINED ENV{KESTRAN_ARMV6_CACHE})
    set(ARMV6_RUNTIME "$ENV{KESTRAN_ARMV6_CACHE}/runtime")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(ARMV6_RUNTIME "$ENV{XDG_CACHE_HOME}/kestran-armv6/runtime")
  else()
    set(ARMV6_RUNTIME "$ENV{HOME}/.cache/kestran-armv6/runtime")
  endif()
endif()
set(ARMV6_RUNTIME "${ARMV6_RUNTIME}" CACHE STRING "ARMv6 runtime directory, or 'distro'")

set(emulator_root "${CMAKE_SYSROOT}")
if(ARMV6_RUNTIME STREQUAL "distro")
  set(emulator_root "/usr/arm-linux-gnueabihf")
elseif(ARMV6_RUNTIME)
  if(NOT EXISTS "${ARMV6_RUNTIME}/kestran-armv6-runtime")
    message(FATAL_ERROR
      "No ARMv6 runtime in ${ARMV6_RUNTIME}. Build it with scripts/build-armv6-runtime.sh "
      "or point ARMV6_RUNTIME (or CMAKE_SYSROOT, for a vendor SDK) at one.")
  endif()
  set(CMAKE_SYSROOT "${ARMV6_RUNTIME}")
  set(emulator_root "${ARMV6_RUNTIME}")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpversion
    OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE "\\..*" "" gcc_major "${gcc_major}")
  set(r "${ARMV6_RUNTIME}")
  # --sysroot alone would still let the compiler's own ARMv7 start files,
  # libgcc and headers in: name the runtime's first, and only its headers.
  set(c_includes "-nostdinc -isystem ${gcc_include} -isystem ${r}/usr/include")
  set(cxx_dir "${r}/usr/include/c++/${gcc_major}")
  set(cxx_includes "-nostdinc -isystem ${cxx_dir} -isystem ${cxx_dir}/arm-linux-gnueabihf \
-isystem ${cxx_dir}/backward ${c_includes}")
  set(link_dirs "-B${r}/usr/lib/gcc/arm-linux-gnueabihf/${gcc_major}/ -B${r}/usr/lib/ -B${r}/lib/")
  set(cpu_flags "${cpu_flags} ${link_dirs}")
  set(CMAKE_C_FLAGS_INIT "${c_includes}")
  set(CMAKE_CXX_FLAGS_INIT "${cxx_includes}")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${r}/lib:${r}/usr/lib")
endif()

set(CMAKE_C_FLAGS_INIT "${cpu_flags} ${CMAKE_C_FLAGS_INIT}")
set(CMAKE_CXX_FLAGS_INIT "${cpu_flags} ${CMAKE_CXX_FLAGS_INIT}")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The binary's build attributes must say ARMv6 (see cmake/CheckArmv6.cmake).
set(UPDATER_REQUIRE_ARMV6 ON CACHE BOOL "Check that linked executables are ARMv6 code")

find_program(ARMV6_QEMU qemu-arm-static)
if(ARMV6_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ARMV6_QEMU};-cpu;arm1176;-L;${emulator_root}")
endif()
