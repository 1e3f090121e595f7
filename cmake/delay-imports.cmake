# virelo_delay_import_libraries(TARGET OUT_VAR NAME...): for each system DLL
# NAME, a delay-import library made from MinGW-w64's import library lib<NAME>.a
# (see delay-import-library.cmake), listed in OUT_VAR and made by the custom
# target TARGET, which the linking program must depend on. A program linked with them imports nothing from
# those DLLs at start: each is loaded on the first call into it, after the
# program has restricted where DLLs may come from.
find_program(VIRELO_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool x86_64-w64-mingw32-dlltool REQUIRED)
find_program(VIRELO_NM NAMES x86_64-w64-mingw32-nm REQUIRED)

function(virelo_delay_import_libraries target out)
  set(libraries "")
  set(folder "${CMAKE_CURRENT_BINARY_DIR}/delay-imports")
  file(MAKE_DIRECTORY "${folder}")
  foreach(name IN LISTS ARGN)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=lib${name}.a
                    OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${import_library}" OR NOT EXISTS "${import_library}")
      message(FATAL_ERROR "no import library lib${name}.a in the MinGW-w64 toolchain")
    endif()
    set(output "${folder}/lib${name}-delay.a")
    add_custom_command(
      OUTPUT "${output}"
      COMMAND ${CMAKE_COMMAND} -DNM=${VIRELO_NM} -DDLLTOOL=${VIRELO_DLLTOOL}
              -DIMPORT_LIBRARY=${import_library} -DDLL=${name}.dll -DDEF=${folder}/${name}.def
              -DOUTPUT=${output} -P ${CMAKE_SOURCE_DIR}/cmake/delay-import-library.cmake
      DEPENDS "${import_library}" "${CMAKE_SOURCE_DIR}/cmake/delay-import-library.cmake"
      COMMENT "Delay-import library of ${name}.dll"
      VERBATIM)
    list(APPEND libraries "${output}")
  endforeach()
  add_custom_target(${target} DEPENDS ${libraries})
  set(${out} ${libraries} PARENT_SCOPE)
endfunction()
