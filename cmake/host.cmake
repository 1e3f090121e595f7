# The host side: native tests of the portable core with sanitizers, the
# publisher's release tool and the fuzzers.
set(VIRELO_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all)

# The libraries of the publisher's tool, found here so that the fuzz targets,
# which build its parts again, see them too.
find_package(OpenSSL 3 REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(BZip2 REQUIRED)
# Debian's cpp-httplib is a compiled library; its pkg-config flags
# (CPPHTTPLIB_OPENSSL_SUPPORT and friends) must match how it was built.
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

add_subdirectory(src)
add_subdirectory(tools/virelo-release)
if(VIRELO_BUILD_TESTS)
  add_subdirectory(tests/unit)
  add_subdirectory(tests/tool)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_subdirectory(tests/fuzz)
  endif()
endif()
