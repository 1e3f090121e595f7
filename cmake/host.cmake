# The host side: native tests of the portable core with sanitizers, the
# publisher's release tool and the fuzzers.
set(VIRELO_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all)

add_subdirectory(src)
add_subdirectory(tools/virelo-release)
if(VIRELO_BUILD_TESTS)
  add_subdirectory(tests/unit)
  add_subdirectory(tests/tool)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_subdirectory(tests/fuzz)
  endif()
endif()
