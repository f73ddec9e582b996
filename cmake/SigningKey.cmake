# Signed updates: the signing key a build trusts, and libsodium, which checks
# signatures.
#
# updater_signing_key(FILE PREFIX) reads FILE, a signify Ed25519 public key
# file (what `signify-openbsd -G` writes as the .pub: an "untrusted comment:"
# line and a line of base64 holding "Ed", the 8-byte key number and the
# 32-byte key), and fails the configuration with a clear message if it is
# not one. It sets PREFIX_NUMBER (the key number, 16 hexadecimal digits),
# PREFIX_NUMBER_BYTES and PREFIX_KEY_BYTES (the key number's 8 bytes and the
# key's 32, each as a C initialiser list).
#
# updater_signing_keys(FILES PREFIX) reads each of FILES, a list of 1 to 8
# such files, with updater_signing_key, and fails the configuration with a
# clear message for an empty or longer list, or for two keys of the same key
# number (the same key given twice). It sets PREFIX_NUMBERS (the key numbers,
# a list) and PREFIX_INITIALISERS (a C++ initialiser of a SignifyPublicKey
# per key, one a line).
#
# updater_find_sodium() finds libsodium's header and library and makes the
# imported target Sodium::sodium. They are looked for where find_path and
# find_library look: the system's directories on the build machine, the
# sysroot (CMAKE_SYSROOT, as with a vendor SDK or the project's ARMv6
# runtime) in a cross build. SODIUM_INCLUDE_DIR and SODIUM_LIBRARY name them
# directly.

function(updater_signing_key file prefix)
  set(what "UPDATER_SIGNING_KEY=${file} is not a signify Ed25519 public key file")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${what}: there is no such file")
  endif()
  file(READ "${file}" text)
  if(NOT text MATCHES "^untrusted comment: [^\n]*\n([A-Za-z0-9+/]+)\n$")
    message(FATAL_ERROR "${what}: it must be two lines, \"untrusted comment: ...\" and the "
      "key in base64, as `signify-openbsd -G -p KEY.pub -s KEY.sec` writes it")
  endif()
  set(base64 "${CMAKE_MATCH_1}")
  string(LENGTH "${base64}" length)
  if(NOT length EQUAL 56)
    message(FATAL_ERROR "${what}: its key line has ${length} characters, not 56")
  endif()
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(bits 0)
  set(pending 0)
  set(bytes "")
  set(hex "")
  foreach(i RANGE 55)
    string(SUBSTRING "${base64}" ${i} 1 char)
    string(FIND "${alphabet}" "${char}" value)
    math(EXPR bits "((${bits} << 6) | ${value}) & 4095")
    math(EXPR pending "${pending} + 6")
    if(pending GREATER_EQUAL 8)
      math(EXPR pending "${pending} - 8")
      math(EXPR byte "(${bits} >> ${pending}) & 255")
      math(EXPR high "${byte} >> 4")
      math(EXPR low "${byte} & 15")
      string(SUBSTRING "0123456789abcdef" ${high} 1 high)
      string(SUBSTRING "0123456789abcdef" ${low} 1 low)
      list(APPEND bytes "0x${high}${low}")
      string(APPEND hex "${high}${low}")
    endif()
  endforeach()
  list(SUBLIST bytes 0 2 algorithm)
  if(NOT algorithm STREQUAL "0x45;0x64")
    message(FATAL_ERROR "${what}: it is not an Ed25519 key (its algorithm bytes are not \"Ed\")")
  endif()
  list(SUBLIST bytes 2 8 number_bytes)
  list(SUBLIST bytes 10 32 key_bytes)
  string(REPLACE ";" ", " number_bytes "${number_bytes}")
  string(REPLACE ";" ", " key_bytes "${key_bytes}")
  string(SUBSTRING "${hex}" 4 16 number)
  set(${prefix}_NUMBER "${number}" PARENT_SCOPE)
  set(${prefix}_NUMBER_BYTES "${number_bytes}" PARENT_SCOPE)
  set(${prefix}_KEY_BYTES "${key_bytes}" PARENT_SCOPE)
endfunction()

function(updater_signing_keys files prefix)
  list(LENGTH files count)
  if(count LESS 1 OR count GREATER 8)
    message(FATAL_ERROR "UPDATER_SIGNING_KEY names ${count} key files; a build trusts 1 to 8 "
      "keys (a CMake list: -DUPDATER_SIGNING_KEY=\"a.pub;b.pub\")")
  endif()
  set(numbers "")
  set(initialisers "")
  foreach(file IN LISTS files)
    updater_signing_key("${file}" KEY)
    list(FIND numbers ${KEY_NUMBER} found)
    if(NOT found EQUAL -1)
      message(FATAL_ERROR "UPDATER_SIGNING_KEY names key ${KEY_NUMBER} twice (again in ${file}): "
        "each key may be given once")
    endif()
    list(APPEND numbers ${KEY_NUMBER})
    string(APPEND initialisers "    {{${KEY_NUMBER_BYTES}}, {${KEY_KEY_BYTES}}},\n")
  endforeach()
  set(${prefix}_NUMBERS "${numbers}" PARENT_SCOPE)
  set(${prefix}_INITIALISERS "${initialisers}" PARENT_SCOPE)
endfunction()

function(updater_find_sodium)
  if(TARGET Sodium::sodium)
    return()
  endif()
  find_path(SODIUM_INCLUDE_DIR sodium.h)
  find_library(SODIUM_LIBRARY NAMES sodium)
  if(SODIUM_INCLUDE_DIR AND SODIUM_LIBRARY)
    add_library(Sodium::sodium UNKNOWN IMPORTED GLOBAL)
    set_target_properties(Sodium::sodium PROPERTIES
      IMPORTED_LOCATION "${SODIUM_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")
  endif()
endfunction()
