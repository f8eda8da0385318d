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

# olv_link_platform(<target> <provider>...) - links the core with the libraries that implement
# the interfaces it calls (UI port, trace data and sessions, launched program) as one group that
# the linker rescans: the core calls the providers and the providers call the core, and no order
# of archives on the command line may decide whether, or which, symbol is found. Each provider
# set holds exactly one implementation of every interface.
function(olv_link_platform target)
    list(JOIN ARGN "," providers)
    set(group "olv_core,olv_platform,olv_base")
    if(providers)
        string(APPEND group ",${providers}")
    endif()
    target_link_libraries(${target} PRIVATE "$<LINK_GROUP:RESCAN,${group}>")
endfunction()
