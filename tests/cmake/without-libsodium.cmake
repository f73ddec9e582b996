# A build machine without libsodium, as with a vendor SDK whose sysroot has
# none: the project's find calls are kept out of IGNORE, the directories of
# libsodium's header and library. Run as
#   cmake -DSOURCE=DIR -DWORK=DIR -DGENERATOR=G -DCOMPILER=CXX -DIGNORE=DIRS -P without-libsodium.cmake
# A build naming no key configures with one warning that the signed tests are
# left out, and builds the tool; with UPDATER_REQUIRE_SIGNED_TESTS=ON the
# configuration fails, saying what is missing; with BUILD_TESTING=OFF there
# are no tests and no such warning.
file(REMOVE_RECURSE ${WORK})

function(configure name expected_status expected_output)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/${name} -G ${GENERATOR}
            -DCMAKE_CXX_COMPILER=${COMPILER} "-DCMAKE_IGNORE_PATH=${IGNORE}" ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT (status EQUAL 0) STREQUAL (expected_status EQUAL 0))
    message(FATAL_ERROR "${name}: configuring exited with ${status}:\n${output}")
  endif()
  string(REGEX REPLACE "[ \n]+" " " flat "${output}")
  if(NOT flat MATCHES "${expected_output}")
    message(FATAL_ERROR "${name}: the output lacks '${expected_output}':\n${output}")
  endif()
  set(output "${flat}" PARENT_SCOPE)
endfunction()

set(left_out "Signed updates are not tested in this build: there is no libsodium")
configure(tested 0 "${left_out}")
string(FIND "${output}" "${left_out}" first)
string(FIND "${output}" "${left_out}" last REVERSE)
if(NOT first EQUAL last)
  message(FATAL_ERROR "tested: the warning is given more than once")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/tested --target init-updater
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the tool does not build without libsodium:\n${output}")
endif()
configure(required 1 "Signed updates must be tested here .* but there is no libsodium"
          -DUPDATER_REQUIRE_SIGNED_TESTS=ON)
configure(no-tests 0 "Generating done" -DBUILD_TESTING=OFF)
if(output MATCHES "Signed updates" OR EXISTS ${WORK}/no-tests/tests)
  message(FATAL_ERROR "no-tests: BUILD_TESTING=OFF still configured the tests")
endif()
# A key needs libsodium, and says so.
configure(keyed 1 "A build with a signing key needs libsodium" -DBUILD_TESTING=OFF
          -DUPDATER_SIGNING_KEY=${KEY})
file(REMOVE_RECURSE ${WORK})
message(STATUS "without libsodium: as expected")
