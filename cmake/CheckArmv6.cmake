# Post-link check: fails, and removes FILE, unless the build attributes of the
# linked executable FILE say ARMv6 code for the target devices: Tag_CPU_arch
# v6 (v6K and v6KZ are ARMv6 too), no Thumb-2, VFPv2, arguments in VFP
# registers. READELF is the target's readelf.
# Usage: cmake -DREADELF=<readelf> -DFILE=<executable> -P CheckArmv6.cmake

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
  message(FATAL_ERROR
    "${FILE} is not ARMv6 code for the target devices: ${problems}. It would die with "
    "SIGILL on an ARM1176 CPU. The usual cause is linking against an ARMv7 runtime, such "
    "as Debian's armhf start files, libgcc and libstdc++. Fix: build the ARMv6 runtime "
    "with scripts/build-armv6-runtime.sh and configure with "
    "-DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabihf.cmake (or the armv6 preset); "
    "with a vendor SDK, set CMAKE_SYSROOT to its ARMv6 sysroot.")
endif()
message(STATUS "${FILE}: ARMv6 (${arch}), ARM/Thumb-1 only, VFPv2, hard-float")
