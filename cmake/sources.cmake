# Each folder under src/ names its own files; the libraries are assembled from
# the collected lists once every folder has been read.
#
#   virelo_portable_sources(...)  code without <windows.h>: built on both sides
#   virelo_windows_sources(...)   the Windows layer: built for Windows only

function(virelo_portable_sources)
  foreach(f IN LISTS ARGN)
    set_property(GLOBAL APPEND PROPERTY VIRELO_PORTABLE_SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/${f}")
  endforeach()
endfunction()

function(virelo_windows_sources)
  foreach(f IN LISTS ARGN)
    set_property(GLOBAL APPEND PROPERTY VIRELO_WINDOWS_SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/${f}")
  endforeach()
endfunction()

# virelo_core_library(NAME [options...]): the portable core compiled with the
# given compile and link options (plain, sanitized, instrumented for fuzzing).
function(virelo_core_library name)
  get_property(sources GLOBAL PROPERTY VIRELO_PORTABLE_SOURCES)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}/src")
  # The download decoders inflate with zlib; the program links it statically.
  target_link_libraries(${name} PUBLIC ZLIB::ZLIB)
  if(ARGN)
    target_compile_options(${name} PUBLIC ${ARGN})
    target_link_options(${name} PUBLIC ${ARGN})
  endif()
endfunction()
