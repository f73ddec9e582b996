# Reads KEY with the build's key reader: `cmake -DKEY=FILE -P signing-key.cmake`
# prints the key number, or fails as a configuration with that key would.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SigningKey.cmake)
updater_signing_key("${KEY}" KEY)
message(STATUS "key number ${KEY_NUMBER}")
