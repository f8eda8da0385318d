# cmake -DROOT=<src> -DFOLDER=<folder> -DLAYERS=<layers> [-DNO_WINDOWS=ON] [-DSTAMP=<file>]
#       -P OlvCheckLayers.cmake
#
# Fails when a file of ROOT/FOLDER (any depth: .h, .cpp, .rc) includes a file of another folder of
# ROOT that FOLDER may not use: one of a higher layer, or a peer of its own layer. LAYERS lists the
# layers lowest first, separated by '|'; the folders of one layer are separated by ','. Includes
# are "folder/..." (from ROOT) or relative to the including file ("../x/y.h"); an include that
# names no folder of ROOT (a system or third-party header) is not judged. Each refusal names the
# file, the line and both folders. On success STAMP (when given) is written, so the build runs
# the check again only when a file of the folder changes.
#
# With NO_WINDOWS the folder is one of the core's, which opens no window, box or dialog of its own
# (the front end opens them from the texts the core builds): a call of the UI port that opens one
# (a message box, a file or folder dialog, a view or progress window, Explorer, the clipboard,
# the summary's font) is refused too, and so is an include of a window's handles (view_port.h).
# Comments are not judged.

foreach(required ROOT FOLDER LAYERS)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "OlvCheckLayers: ${required} is not set")
    endif()
endforeach()

# The layer of each folder, and the list of all folders.
string(REPLACE "|" ";" layer_list "${LAYERS}")
set(rank 0)
set(folders "")
foreach(layer IN LISTS layer_list)
    string(REPLACE "," ";" members "${layer}")
    foreach(member IN LISTS members)
        set(layer_of_${member} ${rank})
        list(APPEND folders ${member})
    endforeach()
    math(EXPR rank "${rank} + 1")
endforeach()
if(NOT DEFINED layer_of_${FOLDER})
    message(FATAL_ERROR "OlvCheckLayers: the folder ${FOLDER} is in no layer (${LAYERS})")
endif()
set(own ${layer_of_${FOLDER}})
get_filename_component(root "${ROOT}" ABSOLUTE)

# The UI port's calls that open a window, box or dialog (or act for one: the clipboard's owner,
# the font of the windows).
set(window_calls "UiMessageBox|UiOpenFileDialog|UiSaveFileDialog|UiSaveFileDialogTyped|"
                 "UiFolderDialog|UiOpenTreeWindow|UiOpenTextWindow|UiOpenListWindow|"
                 "UiOpenDetailsWindow|UiMakeSummaryFont|UiBeginProgress|UiShellExecute|"
                 "UiSetClipboardText")
string(REPLACE ";" "" window_calls "${window_calls}")

file(GLOB_RECURSE files LIST_DIRECTORIES false "${root}/${FOLDER}/*.h" "${root}/${FOLDER}/*.cpp"
     "${root}/${FOLDER}/*.rc")
list(SORT files)

set(refusals "")
foreach(file IN LISTS files)
    file(READ "${file}" content)
    # Only files that include something with a folder in its name can point anywhere.
    if(NOT NO_WINDOWS AND NOT content MATCHES "#[ \t]*include[ \t]*\"[^\"\n]*/")
        continue()
    endif()
    get_filename_component(dir "${file}" DIRECTORY)
    # One list element per line: characters with a meaning in lists become harmless first.
    string(REPLACE "\\" "/" content "${content}")
    string(REPLACE ";" "," content "${content}")
    string(REPLACE "[" "(" content "${content}")
    string(REPLACE "]" ")" content "${content}")
    string(REPLACE "\n" ";" lines "${content}")
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(NO_WINDOWS)
            string(REGEX REPLACE "//.*" "" code "${line}")
            if(code MATCHES "(^|[^A-Za-z0-9_])(${window_calls})[ \t]*\\(")
                string(APPEND refusals "${file}:${number}: ${FOLDER} may not call ${CMAKE_MATCH_2}: "
                                       "the core opens no window, box or dialog\n")
            endif()
            if(code MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*/)?view_port\\.h\"")
                string(APPEND refusals "${file}:${number}: ${FOLDER} may not include a window's "
                                       "handles: the core opens no window, box or dialog\n")
            endif()
        endif()
        if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*/[^\"]*)\"")
            continue()
        endif()
        set(included "${CMAKE_MATCH_1}")
        set(target "")
        if(EXISTS "${dir}/${included}")
            get_filename_component(resolved "${dir}/${included}" ABSOLUTE)
            string(FIND "${resolved}" "${root}/" at)
            if(at EQUAL 0)
                file(RELATIVE_PATH relative "${root}" "${resolved}")
                string(REGEX REPLACE "/.*" "" target "${relative}")
            endif()
        else()
            string(REGEX REPLACE "/.*" "" target "${included}")
        endif()
        if(target STREQUAL "" OR target STREQUAL FOLDER OR NOT DEFINED layer_of_${target})
            continue()
        endif()
        set(theirs ${layer_of_${target}})
        if(theirs LESS own)
            continue()
        endif()
        if(theirs EQUAL own)
            set(why "${target} is in the same layer as ${FOLDER}")
        else()
            set(why "${target} is in a layer above ${FOLDER}")
        endif()
        string(APPEND refusals
               "${file}:${number}: ${FOLDER} may not include \"${included}\": ${why}\n")
    endforeach()
endforeach()

if(refusals)
    # Printed as they are (an error message would be wrapped), one "file:line: ..." a line.
    string(REPLACE "," ", " drawn "${LAYERS}")
    string(REPLACE "|" " < " drawn "${drawn}")
    message(NOTICE "${refusals}The layers, lowest first: ${drawn}")
    message(FATAL_ERROR "${FOLDER}: includes point up or across the layers, or the core opens a window")
endif()
if(DEFINED STAMP)
    file(TOUCH "${STAMP}")
endif()
