# yaml-cpp (rule files) and PCRE2 (the `re` values of rules), as two targets every binary that
# links the core gets: olv_yaml_cpp and olv_pcre2 (the 8- and 16-bit PCRE2 libraries).
#
# Native builds use the system's packages (Debian: libyaml-cpp-dev, libpcre2-dev). The MinGW
# cross build links static libraries built from Debian's source packages by
# tools/deps/mingw-deps.sh into OLV_MINGW_DEPS (build/deps/mingw by default), so Olvetta.exe stays
# one file; MSYS2 users install mingw-w64-x86_64-yaml-cpp and mingw-w64-x86_64-pcre2 and point
# OLV_MINGW_DEPS at their prefix (/mingw64).

if(WIN32)
    set(OLV_MINGW_DEPS "${PROJECT_SOURCE_DIR}/build/deps/mingw" CACHE PATH
        "Prefix holding the static yaml-cpp and PCRE2 of the cross build")
    set(_olv_deps_libs
        "${OLV_MINGW_DEPS}/lib/libyaml-cpp.a"
        "${OLV_MINGW_DEPS}/lib/libpcre2-8.a"
        "${OLV_MINGW_DEPS}/lib/libpcre2-16.a")
    foreach(lib IN LISTS _olv_deps_libs)
        if(NOT EXISTS "${lib}")
            message(FATAL_ERROR "${lib} is missing: run tools/deps/mingw-deps.sh first "
                                "(or set OLV_MINGW_DEPS to a prefix that has it)")
        endif()
    endforeach()
    add_library(olv_yaml_cpp STATIC IMPORTED GLOBAL)
    set_target_properties(olv_yaml_cpp PROPERTIES
        IMPORTED_LOCATION "${OLV_MINGW_DEPS}/lib/libyaml-cpp.a"
        INTERFACE_INCLUDE_DIRECTORIES "${OLV_MINGW_DEPS}/include"
        INTERFACE_COMPILE_DEFINITIONS "YAML_CPP_STATIC_DEFINE")
    add_library(olv_pcre2_8 STATIC IMPORTED GLOBAL)
    set_target_properties(olv_pcre2_8 PROPERTIES
        IMPORTED_LOCATION "${OLV_MINGW_DEPS}/lib/libpcre2-8.a"
        INTERFACE_INCLUDE_DIRECTORIES "${OLV_MINGW_DEPS}/include"
        INTERFACE_COMPILE_DEFINITIONS "PCRE2_STATIC")
    add_library(olv_pcre2_16 STATIC IMPORTED GLOBAL)
    set_target_properties(olv_pcre2_16 PROPERTIES
        IMPORTED_LOCATION "${OLV_MINGW_DEPS}/lib/libpcre2-16.a"
        INTERFACE_INCLUDE_DIRECTORIES "${OLV_MINGW_DEPS}/include"
        INTERFACE_COMPILE_DEFINITIONS "PCRE2_STATIC")
else()
    find_path(OLV_YAML_CPP_INCLUDE yaml-cpp/yaml.h)
    find_library(OLV_YAML_CPP_LIB yaml-cpp)
    find_path(OLV_PCRE2_INCLUDE pcre2.h)
    find_library(OLV_PCRE2_8_LIB pcre2-8)
    find_library(OLV_PCRE2_16_LIB pcre2-16)
    if(NOT OLV_YAML_CPP_INCLUDE OR NOT OLV_YAML_CPP_LIB OR NOT OLV_PCRE2_INCLUDE
       OR NOT OLV_PCRE2_8_LIB OR NOT OLV_PCRE2_16_LIB)
        message(FATAL_ERROR "yaml-cpp or PCRE2 not found: install libyaml-cpp-dev and libpcre2-dev")
    endif()
    add_library(olv_yaml_cpp INTERFACE IMPORTED GLOBAL)
    target_include_directories(olv_yaml_cpp SYSTEM INTERFACE "${OLV_YAML_CPP_INCLUDE}")
    target_link_libraries(olv_yaml_cpp INTERFACE "${OLV_YAML_CPP_LIB}")
    add_library(olv_pcre2_8 INTERFACE IMPORTED GLOBAL)
    target_include_directories(olv_pcre2_8 SYSTEM INTERFACE "${OLV_PCRE2_INCLUDE}")
    target_link_libraries(olv_pcre2_8 INTERFACE "${OLV_PCRE2_8_LIB}")
    add_library(olv_pcre2_16 INTERFACE IMPORTED GLOBAL)
    target_include_directories(olv_pcre2_16 SYSTEM INTERFACE "${OLV_PCRE2_INCLUDE}")
    target_link_libraries(olv_pcre2_16 INTERFACE "${OLV_PCRE2_16_LIB}")
endif()
add_library(olv_pcre2 INTERFACE)
target_link_libraries(olv_pcre2 INTERFACE olv_pcre2_16 olv_pcre2_8)

# libyara (the pe and hash modules read the facts of image files: src/facts), as olv_libyara,
# which defines OLV_HAVE_LIBYARA to 1 or 0. Native builds use the system's (Debian:
# libyara-dev). The cross build links the static libyara tools/deps/mingw-deps.sh built, with the
# Windows crypto API for its digests; a prefix without it (its source could not be fetched)
# builds a program that reads no file facts and says so, with a warning here.
add_library(olv_libyara INTERFACE)
if(WIN32)
    if(EXISTS "${OLV_MINGW_DEPS}/lib/libyara.a")
        add_library(olv_libyara_static STATIC IMPORTED GLOBAL)
        set_target_properties(olv_libyara_static PROPERTIES
            IMPORTED_LOCATION "${OLV_MINGW_DEPS}/lib/libyara.a"
            INTERFACE_INCLUDE_DIRECTORIES "${OLV_MINGW_DEPS}/include")
        target_link_libraries(olv_libyara INTERFACE olv_libyara_static crypt32 advapi32)
        target_compile_definitions(olv_libyara INTERFACE OLV_HAVE_LIBYARA=1)
    else()
        message(WARNING "${OLV_MINGW_DEPS}/lib/libyara.a is missing: this build reads no file "
                        "facts (tools/deps/mingw-deps.sh builds it when libyara's source can be fetched)")
        target_compile_definitions(olv_libyara INTERFACE OLV_HAVE_LIBYARA=0)
    endif()
else()
    find_path(OLV_YARA_INCLUDE yara.h)
    find_library(OLV_YARA_LIB yara)
    if(NOT OLV_YARA_INCLUDE OR NOT OLV_YARA_LIB)
        message(FATAL_ERROR "libyara not found: install libyara-dev")
    endif()
    target_include_directories(olv_libyara SYSTEM INTERFACE "${OLV_YARA_INCLUDE}")
    target_link_libraries(olv_libyara INTERFACE "${OLV_YARA_LIB}")
    target_compile_definitions(olv_libyara INTERFACE OLV_HAVE_LIBYARA=1)
endif()
