# The Windows side: the setup program, the stand-in application and the tests
# that run under Wine.
enable_language(RC)

include(cmake/release-constants.cmake)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0A00 WINVER=0x0A00)

# Tests run in the build's private Wine prefix through this wrapper.
set(VIRELO_WINE_STATE "${CMAKE_BINARY_DIR}/wine")
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_SOURCE_DIR}/tests/harness/wine-run;${VIRELO_WINE_STATE}")

# Static everything, so the program imports system DLLs only.
set(VIRELO_WIN_LINK_OPTIONS -static -static-libgcc -static-libstdc++)

add_subdirectory(src)
add_subdirectory(res)
if(VIRELO_BUILD_TESTS)
  add_subdirectory(tools/standin)
  add_subdirectory(tools/demo)
  add_subdirectory(tests/wine)
endif()
