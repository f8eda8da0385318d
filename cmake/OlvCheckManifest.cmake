# Checks an application manifest and its embedding (run with cmake -P):
#   -DMANIFEST=<file.manifest>  the manifest's source
#   -DLEVEL=<asInvoker|requireAdministrator|highestAvailable>  the execution level it must ask
#   -DRC=<file.rc>              the resource script that must embed it as the manifest
#   -DEXE=<file.exe>            optional: the built program, whose embedded manifest must ask
#                               the same level
# The system reads only resource 1 of type 24 (RT_MANIFEST) of an executable, and only the
# first execution level inside the asm.v3 trustInfo; a second level, a commented-out one or a
# manifest that is not embedded would leave the program with rights nobody chose.

cmake_minimum_required(VERSION 3.20)

foreach(var MANIFEST LEVEL RC)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "OlvCheckManifest: ${var} not given")
    endif()
endforeach()

function(olv_strip_comments text out)
    set(result "")
    set(rest "${text}")
    while(TRUE)
        string(FIND "${rest}" "<!--" open)
        if(open EQUAL -1)
            break()
        endif()
        string(SUBSTRING "${rest}" 0 ${open} before)
        string(APPEND result "${before}")
        string(SUBSTRING "${rest}" ${open} -1 rest)
        string(FIND "${rest}" "-->" close)
        if(close EQUAL -1)
            message(FATAL_ERROR "${MANIFEST}: a comment is never closed")
        endif()
        math(EXPR after "${close} + 3")
        string(SUBSTRING "${rest}" ${after} -1 rest)
    endwhile()
    string(APPEND result "${rest}")
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

# The execution levels the text asks for, in order.
function(olv_levels text out)
    string(REGEX MATCHALL "<requestedExecutionLevel[^>]*>" elements "${text}")
    set(levels "")
    foreach(element IN LISTS elements)
        if(NOT element MATCHES "level=\"([A-Za-z]+)\"")
            message(FATAL_ERROR "an execution level without a level: ${element}")
        endif()
        list(APPEND levels "${CMAKE_MATCH_1}")
        if(NOT element MATCHES "uiAccess=\"false\"")
            message(FATAL_ERROR "${element}: uiAccess must be false")
        endif()
    endforeach()
    set(${out} "${levels}" PARENT_SCOPE)
endfunction()

file(READ "${MANIFEST}" raw)
olv_strip_comments("${raw}" manifest)
olv_levels("${manifest}" levels)
list(LENGTH levels count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "${MANIFEST}: ${count} execution levels (${levels}), expected one")
endif()
if(NOT levels STREQUAL LEVEL)
    message(FATAL_ERROR "${MANIFEST}: asks for ${levels}, expected ${LEVEL}")
endif()
if(NOT manifest MATCHES "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">[ \t\r\n]*<security>[ \t\r\n]*<requestedPrivileges>[ \t\r\n]*<requestedExecutionLevel")
    message(FATAL_ERROR "${MANIFEST}: the execution level is not inside an asm.v3 trustInfo")
endif()
# Windows 7, 8, 8.1 and 10/11: without the later ones the version checks report 6.2.
foreach(id 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38
           1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a)
    string(FIND "${manifest}" "<supportedOS Id=\"{${id}}\"/>" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${MANIFEST}: supportedOS {${id}} is missing")
    endif()
endforeach()

get_filename_component(name "${MANIFEST}" NAME)
file(STRINGS "${RC}" embeds REGEX "^[ \t]*1[ \t]+24[ \t]+\"[^\"]*${name}\"")
if(NOT embeds)
    message(FATAL_ERROR "${RC} does not embed ${name} as resource 1 of type 24")
endif()

if(DEFINED EXE AND NOT EXE STREQUAL "")
    # The embedded manifest is the source's bytes: found by its root element, read as text up to
    # the root's end.
    file(READ "${EXE}" binary HEX)
    string(HEX "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\"" marker)
    string(FIND "${binary}" "${marker}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${EXE}: no manifest is embedded")
    endif()
    math(EXPR offset "${at} / 2")
    file(READ "${EXE}" embedded OFFSET ${offset} LIMIT 16384)
    string(FIND "${embedded}" "</assembly>" end)
    if(end EQUAL -1)
        message(FATAL_ERROR "${EXE}: the embedded manifest has no end")
    endif()
    string(SUBSTRING "${embedded}" 0 ${end} embedded)
    olv_strip_comments("${embedded}" embedded)
    olv_levels("${embedded}" built)
    if(NOT built STREQUAL LEVEL)
        message(FATAL_ERROR "${EXE}: its embedded manifest asks for '${built}', expected ${LEVEL}")
    endif()
endif()

message(STATUS "${name}: ${LEVEL}, embedded by ${RC}")
