# The key pair built into the library, as cache variables of 32 hex digits:
#   ZQ_CRYPTO_KEY  the AES-128 key of the keyless buffer cipher and the
#                  Blowfish-CBC key of the full-form container;
#   ZQ_LIGHT_KEY   the 16-byte pattern of the light scramble.
# Containers and blobs written by one build read only under the same pair, so
# an organisation that has its own data builds with its own pair:
#   cmake -S . -B build -DZQ_CRYPTO_KEY=<32 hex digits> -DZQ_LIGHT_KEY=<32 hex digits>
# The bytes go into a generated private header (BuiltInKeys.h in the build
# tree), which is never installed.
set(ZQ_DEFAULT_CRYPTO_KEY 5b55ee72a5b620747a12cf24cd8083b5)
set(ZQ_DEFAULT_LIGHT_KEY 570cdd2df84a85d63a84916e40847eea)
set(ZQ_CRYPTO_KEY ${ZQ_DEFAULT_CRYPTO_KEY} CACHE STRING
    "Container and buffer cipher key built into libzqutils: 32 hex digits")
set(ZQ_LIGHT_KEY ${ZQ_DEFAULT_LIGHT_KEY} CACHE STRING
    "Light scramble pattern built into libzqutils: 32 hex digits")

# zq_key_initializer(<variable name> <C initializer out>): checks the cache
# variable and turns it into "0x5b, 0x55, ...".
function(zq_key_initializer name out)
  set(hex "${${name}}")
  string(LENGTH "${hex}" length)
  if(NOT length EQUAL 32 OR NOT hex MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "${name} must be 32 hex digits (16 bytes), for example "
                        "-D${name}=00112233445566778899aabbccddeeff; it is \"${hex}\"")
  endif()
  string(TOLOWER "${hex}" hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out} "${bytes}" PARENT_SCOPE)
  set(${out}_HEX "${hex}" PARENT_SCOPE)
endfunction()

zq_key_initializer(ZQ_CRYPTO_KEY ZQ_CRYPTO_KEY_BYTES)
zq_key_initializer(ZQ_LIGHT_KEY ZQ_LIGHT_KEY_BYTES)
if(ZQ_CRYPTO_KEY_BYTES_HEX STREQUAL ZQ_DEFAULT_CRYPTO_KEY AND
   ZQ_LIGHT_KEY_BYTES_HEX STREQUAL ZQ_DEFAULT_LIGHT_KEY)
  set(ZQ_KEY_PAIR_IS_DEFAULT true)
else()
  set(ZQ_KEY_PAIR_IS_DEFAULT false)
  message(STATUS "libzqutils is built with a custom key pair")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/BuiltInKeys.h.in
               ${PROJECT_BINARY_DIR}/generated/utils/crypto/BuiltInKeys.h @ONLY)
# The private headers of the sources, tests, fuzzers and benchmarks include it
# as "utils/crypto/BuiltInKeys.h".
include_directories(${PROJECT_BINARY_DIR}/generated)
