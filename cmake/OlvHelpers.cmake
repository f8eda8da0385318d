# Small helpers for the folder-driven build.

# olv_glob(<out> <dir> [pattern]) - the files directly in <dir> (default *.cpp), sorted.
function(olv_glob out dir)
    set(pattern "*.cpp")
    if(ARGC GREATER 2)
        set(pattern "${ARGV2}")
    endif()
    file(GLOB found CONFIGURE_DEPENDS LIST_DIRECTORIES false "${dir}/${pattern}")
    list(SORT found)
    set(${out} "${found}" PARENT_SCOPE)
endfunction()

# olv_glob_recurse(<out> <dir> [pattern]) - the files anywhere under <dir>, sorted.
function(olv_glob_recurse out dir)
    set(pattern "*.cpp")
    if(ARGC GREATER 2)
        set(pattern "${ARGV2}")
    endif()
    file(GLOB_RECURSE found CONFIGURE_DEPENDS LIST_DIRECTORIES false "${dir}/${pattern}")
    list(SORT found)
    set(${out} "${found}" PARENT_SCOPE)
endfunction()

# olv_add_library(<name> <sources>) - a static library of a folder's sources. A folder without
# sources is a mistake in the layout, not something to paper over: configuring fails.
function(olv_add_library name sources)
    if(NOT sources)
        message(FATAL_ERROR "${name} has no sources")
    endif()
    add_library(${name} STATIC ${sources})
endfunction()

# olv_layer_folders(<out> <layers>) - the folders of the layers (lowest first; a layer's peers
# separated by ','). Every folder of src/ must be in a layer, so that its includes are judged.
function(olv_layer_folders out layers)
    string(REPLACE "," ";" folders "${layers}")
    file(GLOB children LIST_DIRECTORIES true RELATIVE "${OLV_SRC}" "${OLV_SRC}/*")
    foreach(child IN LISTS children)
        if(IS_DIRECTORY "${OLV_SRC}/${child}" AND NOT child IN_LIST folders)
            message(FATAL_ERROR "src/${child} is in no layer: add it to OLV_LAYERS")
        endif()
    endforeach()
    set(${out} "${folders}" PARENT_SCOPE)
endfunction()

# olv_link_layer_below(<target> <folder> <layers>) - links the libraries of the layer right below
# the folder's (which link the lower ones).
function(olv_link_layer_below target folder layers)
    set(below "")
    foreach(layer IN LISTS layers)
        string(REPLACE "," ";" members "${layer}")
        if(folder IN_LIST members)
            break()
        endif()
        set(below "${members}")
    endforeach()
    foreach(member IN LISTS below)
        target_link_libraries(${target} PUBLIC olv_${member})
    endforeach()
endfunction()

# olv_check_layers(<target> <folder> <layers> [NO_WINDOWS]) - runs cmake/OlvCheckLayers.cmake
# over the folder's files before the target is compiled, and again whenever one of them changes; a
# stamp in the build tree records a passed check. NO_WINDOWS: the folder opens no window either.
function(olv_check_layers target folder layers)
    set(windows "")
    if("NO_WINDOWS" IN_LIST ARGN)
        set(windows "-DNO_WINDOWS=ON")
    endif()
    set(files "")
    foreach(pattern "*.h" "*.cpp" "*.rc")
        olv_glob_recurse(found "${OLV_SRC}/${folder}" "${pattern}")
        list(APPEND files ${found})
    endforeach()
    list(JOIN layers "|" joined)
    set(script "${PROJECT_SOURCE_DIR}/cmake/OlvCheckLayers.cmake")
    set(stamp "${PROJECT_BINARY_DIR}/layers/${folder}.checked")
    add_custom_command(OUTPUT "${stamp}"
                       COMMAND "${CMAKE_COMMAND}" "-DROOT=${OLV_SRC}" "-DFOLDER=${folder}"
                               "-DLAYERS=${joined}" ${windows} "-DSTAMP=${stamp}" -P "${script}"
                       DEPENDS ${files} "${script}"
                       COMMENT "Checking the includes of src/${folder}"
                       VERBATIM)
    target_sources(${target} PRIVATE "${stamp}")
endfunction()

# olv_link_platform(<target> <provider>...) - links the folders' libraries with the libraries
# that implement the interfaces they call (UI port, trace data and sessions, launched program) as
# one group that the linker rescans: the folders call the providers and the providers call the
# folders (the shell, the console front end), and no order of archives on the command line may
# decide whether, or which, symbol is found. Each provider set holds exactly one implementation
# of every interface. The console program's library (olv_cli) is a provider of its binaries.
function(olv_link_platform target)
    set(group "")
    foreach(folder IN LISTS OLV_FOLDERS)
        if(NOT folder STREQUAL "cli")
            list(APPEND group olv_${folder})
        endif()
    endforeach()
    list(APPEND group ${ARGN})
    list(JOIN group "," group)
    target_link_libraries(${target} PRIVATE "$<LINK_GROUP:RESCAN,${group}>")
endfunction()
