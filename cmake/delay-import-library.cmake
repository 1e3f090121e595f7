# cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIBRARY=... -DDLL=... -DDEF=... -DOUTPUT=... -P delay-import-library.cmake
#
# Turns one of MinGW-w64's import libraries into a delay-import library of the
# same functions: the function entries of IMPORT_LIBRARY (a code stub "T name"
# beside its "__imp_name" pointer) become a module definition file, and
# dlltool writes the delay-import library from it. Data entries are left out:
# they cannot be delay-loaded, and a use of one then resolves from the plain
# import library, which `check-imports` reports as a load at start.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${NM}" "${IMPORT_LIBRARY}" OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} ${IMPORT_LIBRARY} failed")
endif()

string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(pointers "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ T ([A-Za-z_][A-Za-z0-9_@?$]*)$")
    set("code:${CMAKE_MATCH_1}" TRUE)
  elseif(line MATCHES "^[0-9a-fA-F]+ I __imp_([A-Za-z_][A-Za-z0-9_@?$]*)$")
    list(APPEND pointers "${CMAKE_MATCH_1}")
  endif()
endforeach()

set(definition "LIBRARY \"${DLL}\"\nEXPORTS\n")
set(count 0)
list(REMOVE_DUPLICATES pointers)
foreach(name IN LISTS pointers)
  if(DEFINED "code:${name}")
    string(APPEND definition "  ${name}\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no functions found in ${IMPORT_LIBRARY}")
endif()
file(WRITE "${DEF}" "${definition}")

execute_process(COMMAND "${DLLTOOL}" --input-def "${DEF}" --dllname "${DLL}" --output-delaylib "${OUTPUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} could not write ${OUTPUT}")
endif()
