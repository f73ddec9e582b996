# Post-link check: fails, and removes FILE, unless the build attributes of the
# linked executable FILE say ARMv6 code for the target devices: Tag_CPU_arch
# v6 (v6K and v6KZ are ARMv6 too), no Thumb-2, VFPv2, arguments in VFP
# registers. READELF is the target's readelf; COMPILER the compiler that
# linked it; SYSROOT the CMAKE_SYSROOT given for a vendor SDK, if any (empty
# when the project's ARMv6 runtime is used), for advice that fits.
# Usage: cmake -DREADELF=<readelf> -DFILE=<executable> [-DCOMPILER=<c++>]
#              [-DSYSROOT=<dir>] -P CheckArmv6.cmake

execute_process(COMMAND "${READELF}" -A "${FILE}"
  OUTPUT_VARIABLE attributes RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Cannot read the build attributes of ${FILE} with ${READELF}.")
endif()

set(problems "")
string(REGEX MATCH "Tag_CPU_arch: ([^\n]*)" _ "${attributes}")
set(arch "${CMAKE_MATCH_1}")
if(NOT arch MATCHES "^v6(K|KZ)?$")
  list(APPEND problems "Tag_CPU_arch is '${arch}', not v6")
endif()
if(attributes MATCHES "Tag_THUMB_ISA_use: Thumb-2")
  list(APPEND problems "it holds Thumb-2 code")
endif()
string(REGEX MATCH "Tag_FP_arch: ([^\n]*)" _ "${attributes}")
if(NOT CMAKE_MATCH_1 STREQUAL "VFPv2")
  list(APPEND problems "Tag_FP_arch is '${CMAKE_MATCH_1}', not VFPv2")
endif()
if(NOT attributes MATCHES "Tag_ABI_VFP_args: VFP registers")
  list(APPEND problems "arguments are not passed in VFP registers (not hard-float)")
endif()

if(problems)
  file(REMOVE "${FILE}")
  list(JOIN problems "; " problems)
  set(cause "${FILE} is not ARMv6 code for the target devices: ${problems}. It would die with \
SIGILL on an ARM1176 CPU.")
  if(SYSROOT AND COMPILER)
    # A proper ARMv6 sysroot does not help a compiler whose own start files
    # and libgcc are ARMv7: --sysroot does not replace those.
    execute_process(COMMAND ${COMPILER} -print-libgcc-file-name
      OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${COMPILER} -print-file-name=crtbegin.o
      OUTPUT_VARIABLE crtbegin OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND "${READELF}" -A "${libgcc}" OUTPUT_VARIABLE libgcc_attributes)
    string(REGEX MATCH "Tag_CPU_arch: ([^\n]*)" _ "${libgcc_attributes}")
    set(libgcc_arch "${CMAKE_MATCH_1}")
  endif()
  if(SYSROOT AND COMPILER AND NOT libgcc_arch MATCHES "^v6")
    message(FATAL_ERROR "${cause} The sysroot (CMAKE_SYSROOT=${SYSROOT}) was used, but not \
for everything: the compiler ${COMPILER} links its own start files and libgcc, which come \
with the compiler, not the sysroot, and are the ARMv7 part: ${crtbegin} and ${libgcc} \
(Tag_CPU_arch ${libgcc_arch}). Fix: with a vendor SDK, use the SDK's own compiler, whose \
start files and libgcc are ARMv6, by naming its prefix: \
-DARMV6_CROSS_PREFIX=<sdk>/bin/<its triple>- (with CMAKE_SYSROOT as now). Without one, \
build the project's ARMv6 runtime with scripts/build-armv6-runtime.sh and configure without \
CMAKE_SYSROOT (the armv6 presets do), so that the toolchain file takes the start files, \
libgcc and headers from that runtime.")
  endif()
  message(FATAL_ERROR "${cause} The usual cause is linking against an ARMv7 runtime, such \
as Debian's armhf start files, libgcc and libstdc++. Fix: build the ARMv6 runtime \
with scripts/build-armv6-runtime.sh and configure with \
-DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake (or the armv6 preset); \
with a vendor SDK, set CMAKE_SYSROOT to its ARMv6 sysroot and ARMV6_CROSS_PREFIX to \
the prefix of the SDK's compiler.")
endif()
message(STATUS "${FILE}: ARMv6 (${arch}), ARM/Thumb-1 only, VFPv2, hard-float")
