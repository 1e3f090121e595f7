# Builds the release constants into the program: the default release site and
# the public keys a release may be signed with (the signing key and, during a
# key rotation, the next key). A wrong value stops the build here rather than
# producing a setup program that can never accept a release.
#
# A build with tests always embeds the demo keys: the tests sign their
# releases with them, whatever key the publisher's release build uses
# (`make release` configures a build of its own, without tests).

set(demo_key "${CMAKE_SOURCE_DIR}/keys/demo/demo-signing-key.pub")
set(demo_next_key "${CMAKE_SOURCE_DIR}/keys/demo/demo-next-signing-key.pub")

if(NOT VIRELO_RELEASE_SITE MATCHES "^https://[^/]+.*/$")
  message(FATAL_ERROR
    "VIRELO_RELEASE_SITE must be an https URL ending in \"/\" (got \"${VIRELO_RELEASE_SITE}\")")
endif()
if(VIRELO_RELEASE_SITE MATCHES "[\"\\\\ ]")
  message(FATAL_ERROR "VIRELO_RELEASE_SITE must not contain quotes, backslashes or spaces")
endif()
string(LENGTH "${VIRELO_RELEASE_SITE}" site_length)
if(site_length GREATER_EQUAL 512)
  message(FATAL_ERROR "VIRELO_RELEASE_SITE must be shorter than 512 characters")
endif()

# Reads a 72-byte P-256 public key blob into <out>_hex and its fingerprint
# (the first 16 hex digits of the file's SHA-256) into <out>_fingerprint.
function(virelo_read_public_key variable path out)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "${variable}: no such file: ${path}")
  endif()
  file(SIZE "${path}" size)
  file(READ "${path}" hex HEX)
  if(NOT size EQUAL 72)
    set(hint "")
    if(hex MATCHES "^2d2d2d2d2d")  # "-----": a PEM file
      set(hint " It is a PEM file: give the .pub file that 'virelo-release keygen' wrote beside the .pem.")
    endif()
    message(FATAL_ERROR
      "${variable} must be a 72-byte ECDSA P-256 public key blob; ${path} has ${size} bytes.${hint}")
  endif()
  # "ECS1" followed by the key length 32, little-endian.
  string(SUBSTRING "${hex}" 0 16 header)
  if(NOT header STREQUAL "4543533120000000")
    message(FATAL_ERROR
      "${variable} is not a P-256 public key blob (expected magic ECS1 and length 32): ${path}")
  endif()
  file(SHA256 "${path}" digest)
  string(SUBSTRING "${digest}" 0 16 fingerprint)
  set(${out}_hex "${hex}" PARENT_SCOPE)
  set(${out}_fingerprint "${fingerprint}" PARENT_SCOPE)
endfunction()

virelo_read_public_key(VIRELO_SIGNING_KEY "${VIRELO_SIGNING_KEY}" key)
virelo_read_public_key("the demo key" "${demo_key}" demo)
virelo_read_public_key("the demo next key" "${demo_next_key}" demo_next)
set(key_count 1)
set(next_hex "")
set(next_label "none")
if(VIRELO_NEXT_SIGNING_KEY)
  virelo_read_public_key(VIRELO_NEXT_SIGNING_KEY "${VIRELO_NEXT_SIGNING_KEY}" next)
  set(next_label "${next_fingerprint} (fingerprint of ${VIRELO_NEXT_SIGNING_KEY})")
  if(next_hex STREQUAL key_hex)
    message(FATAL_ERROR "VIRELO_NEXT_SIGNING_KEY is the same key as VIRELO_SIGNING_KEY")
  endif()
  set(key_count 2)
endif()

if(VIRELO_BUILD_TESTS)
  if(NOT key_hex STREQUAL demo_hex OR (VIRELO_NEXT_SIGNING_KEY AND NOT next_hex STREQUAL demo_next_hex))
    message(FATAL_ERROR
      "A build with tests embeds the demo keys, which the tests sign with; it cannot take "
      "VIRELO_SIGNING_KEY=${VIRELO_SIGNING_KEY} or VIRELO_NEXT_SIGNING_KEY=${VIRELO_NEXT_SIGNING_KEY}. "
      "Build the program for your users with 'make release' (VIRELO_BUILD_TESTS=OFF, a build folder of its own).")
  endif()
  # The tests also check that a release signed by the next key verifies.
  set(next_hex "${demo_next_hex}")
  set(next_label "${demo_next_fingerprint} (fingerprint of ${demo_next_key})")
  set(key_count 2)
endif()

foreach(hex IN ITEMS "${key_hex}" "${next_hex}")
  if(hex STREQUAL demo_hex OR hex STREQUAL demo_next_hex)
    if(VIRELO_PUBLISHER_RELEASE)
      message(FATAL_ERROR
        "VIRELO_PUBLISHER_RELEASE is on but a signing key is one of the repository's demo keys, "
        "whose private half is public. Make your own key with 'virelo-release keygen'.")
    endif()
    set(embeds_demo_key TRUE)
  endif()
endforeach()
if(embeds_demo_key)
  message(WARNING
    "This build embeds a DEMO release signing key. Anyone can sign releases it accepts. "
    "Never ship its VireloSetup.exe: build the one for your users with 'make release' and "
    "your own key (see docs/publishing.md).")
endif()

if(next_hex STREQUAL "")
  set(next_hex "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," VIRELO_SIGNING_KEY_BYTES "${key_hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," VIRELO_NEXT_SIGNING_KEY_BYTES "${next_hex}")
set(VIRELO_KEY_COUNT ${key_count})
# A site named by its IP address works on Windows, but Wine never matches a
# certificate's IP address entry, so a trial under Wine fails; say so early.
set(site_note "")
if(VIRELO_RELEASE_SITE MATCHES "^https://([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?/")
  set(site_note "warning:          the site's host is an IP address. Windows matches it against the certificate, "
                "Wine does not (docs/wine.md): for a trial under Wine, build for https://localhost:PORT/ instead\n")
  string(JOIN "" site_note ${site_note})
  message(WARNING "${site_note}")
endif()
set(VIRELO_DEFAULT_SITE "${VIRELO_RELEASE_SITE}")
configure_file("${CMAKE_SOURCE_DIR}/src/release/release_constants.cpp.in"
               "${CMAKE_BINARY_DIR}/generated/release_constants.cpp" @ONLY)

# What went into the program, in the words of `virelo-release inspect`;
# `make release` prints it after the build.
file(WRITE "${CMAKE_BINARY_DIR}/release-constants.txt"
  "signing key:      ${key_fingerprint} (fingerprint of ${VIRELO_SIGNING_KEY})\n"
  "next signing key: ${next_label}\n"
  "release site:     ${VIRELO_RELEASE_SITE}\n"
  "${site_note}")

# A changed key file must rebuild the program.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VIRELO_SIGNING_KEY}")
if(VIRELO_NEXT_SIGNING_KEY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VIRELO_NEXT_SIGNING_KEY}")
endif()
