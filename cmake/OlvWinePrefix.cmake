# Creates the Wine prefix once (ctest fixture "wine_prefix", also used by the
# scripts). Usage: cmake -DWINE=/usr/bin/wine -P OlvWinePrefix.cmake
# The prefix is $WINEPREFIX, or ~/.wine when that is unset.
if(NOT WINE)
    set(WINE wine)
endif()
set(ENV{WINEDEBUG} "-all")

if(DEFINED ENV{WINEPREFIX} AND NOT "$ENV{WINEPREFIX}" STREQUAL "")
    set(prefix "$ENV{WINEPREFIX}")
else()
    set(prefix "$ENV{HOME}/.wine")
endif()

if(EXISTS "${prefix}/system.reg" AND EXISTS "${prefix}/dosdevices/z:")
    message(STATUS "Wine prefix ready: ${prefix}")
    return()
endif()

message(STATUS "Creating Wine prefix ${prefix} (first start takes a while)")
get_filename_component(wine_dir "${WINE}" DIRECTORY)
find_program(OLV_WINESERVER NAMES wineserver wineserver64
             HINTS "${wine_dir}" /usr/lib/wine /usr/lib/wine64 /opt/wine-stable/bin)
execute_process(COMMAND "${WINE}" wineboot -i
                RESULT_VARIABLE boot_result
                OUTPUT_QUIET ERROR_QUIET)
if(OLV_WINESERVER)
    execute_process(COMMAND "${OLV_WINESERVER}" -w OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT boot_result EQUAL 0 OR NOT EXISTS "${prefix}/system.reg")
    message(FATAL_ERROR "wineboot failed (${boot_result}); prefix ${prefix} not created")
endif()
message(STATUS "Wine prefix created: ${prefix}")
