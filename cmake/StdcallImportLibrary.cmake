# Writes the 32-bit import library of a DLL whose .def names its stdcall exports plainly.
#
#   cmake -DNM= -DDLLTOOL= -DDEF=plain.def -DOBJECTS=obj;... -DDECORATED_DEF=out.def
#         -DDLL=name.dll -DIMPLIB=out.dll.a -P StdcallImportLibrary.cmake
#
# OBJECTS refer to every export as a client compiled against the interface header does,
# so their undefined symbols carry the decorations a client uses (_name for cdecl,
# _name@N for stdcall). Each entry of DEF is written to DECORATED_DEF under its
# decorated name with the rest of its line unchanged (ordinal, flags); dlltool
# --kill-at then makes an import library whose decorated symbols import the plain names.
foreach(v NM DLLTOOL DEF OBJECTS DECORATED_DEF DLL IMPLIB)
  if(NOT DEFINED ${v} OR "${${v}}" STREQUAL "")
    message(FATAL_ERROR "StdcallImportLibrary: ${v} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} --undefined-only ${OBJECTS}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "StdcallImportLibrary: ${NM} failed on ${OBJECTS}")
endif()

file(STRINGS ${DEF} lines)
set(out "")
set(missing "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*([A-Za-z_][A-Za-z0-9_]*)([ \t]+@[0-9]+.*)$")
    set(name ${CMAKE_MATCH_1})
    set(rest "${CMAKE_MATCH_2}")
    if(symbols MATCHES "U _(${name}(@[0-9]+)?)\n")
      string(APPEND out "    ${CMAKE_MATCH_1}${rest}\n")
    else()
      list(APPEND missing ${name})
    endif()
  else()
    string(APPEND out "${line}\n")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "StdcallImportLibrary: no reference to ${missing} in ${OBJECTS}; "
                      "is it declared in the interface header?")
endif()

file(WRITE ${DECORATED_DEF} "; Generated from ${DEF} with the decorations of the interface header.\n${out}")
execute_process(COMMAND ${DLLTOOL} --kill-at --input-def ${DECORATED_DEF} --dllname ${DLL}
                        --output-lib ${IMPLIB}
    RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "StdcallImportLibrary: ${DLLTOOL} failed")
endif()
