# Reads KEYS, a list of key files, with the build's key reader:
# `cmake -DKEYS="a.pub;b.pub" -P signing-key.cmake` prints the key numbers, or
# fails as a configuration with those keys would.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SigningKey.cmake)
updater_signing_keys("${KEYS}" KEY)
message(STATUS "key numbers ${KEY_NUMBERS}")
