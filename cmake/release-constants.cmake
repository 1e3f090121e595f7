# Builds the two release constants into the program: the default release site
# and the public half of the release signing key. A wrong value stops the build
# here rather than producing a setup program that can never accept a release.

if(NOT VIRELO_RELEASE_SITE MATCHES "^https://[^/]+.*/$")
  message(FATAL_ERROR
    "VIRELO_RELEASE_SITE must be an https URL ending in \"/\" (got \"${VIRELO_RELEASE_SITE}\")")
endif()
if(VIRELO_RELEASE_SITE MATCHES "[\"\\\\ ]")
  message(FATAL_ERROR "VIRELO_RELEASE_SITE must not contain quotes, backslashes or spaces")
endif()

if(NOT EXISTS "${VIRELO_SIGNING_KEY}")
  message(FATAL_ERROR "VIRELO_SIGNING_KEY: no such file: ${VIRELO_SIGNING_KEY}")
endif()
file(SIZE "${VIRELO_SIGNING_KEY}" key_size)
if(NOT key_size EQUAL 72)
  message(FATAL_ERROR
    "VIRELO_SIGNING_KEY must be a 72-byte ECDSA P-256 public key blob; ${VIRELO_SIGNING_KEY} has ${key_size} bytes")
endif()
file(READ "${VIRELO_SIGNING_KEY}" key_hex HEX)
# "ECS1" followed by the key length 32, little-endian.
string(SUBSTRING "${key_hex}" 0 16 key_header)
if(NOT key_header STREQUAL "4543533120000000")
  message(FATAL_ERROR
    "VIRELO_SIGNING_KEY is not a P-256 public key blob (expected magic ECS1 and length 32): ${VIRELO_SIGNING_KEY}")
endif()

file(READ "${CMAKE_SOURCE_DIR}/keys/demo/demo-signing-key.pub" demo_hex HEX)
if(key_hex STREQUAL demo_hex)
  if(VIRELO_PUBLISHER_RELEASE)
    message(FATAL_ERROR
      "VIRELO_PUBLISHER_RELEASE is on but VIRELO_SIGNING_KEY is the repository's demo key, "
      "whose private half is public. Make your own key with 'virelo-release keygen'.")
  endif()
  message(WARNING
    "This build embeds the DEMO release signing key. Anyone can sign releases it accepts. "
    "Never ship it: set VIRELO_SIGNING_KEY to your own key (see docs/publishing.md).")
endif()

string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," key_bytes "${key_hex}")
set(VIRELO_SIGNING_KEY_BYTES "${key_bytes}")
set(VIRELO_DEFAULT_SITE "${VIRELO_RELEASE_SITE}")
configure_file("${CMAKE_SOURCE_DIR}/src/release/release_constants.cpp.in"
               "${CMAKE_BINARY_DIR}/generated/release_constants.cpp" @ONLY)
# A changed key file must rebuild the program.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VIRELO_SIGNING_KEY}")
