# Creates the Wine prefix once (ctest fixture "wine_prefix", also used by the
# scripts). Usage: cmake -DWINE=/usr/bin/wine [-DUNMANAGED=ON] -P OlvWinePrefix.cmake
# The prefix is $WINEPREFIX, or ~/.wine when that is unset.
if(NOT WINE)
    set(WINE wine)
endif()
set(ENV{WINEDEBUG} "-all")
# No Mono / Gecko installer prompts: nothing here needs .NET or HTML.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

if(DEFINED ENV{WINEPREFIX} AND NOT "$ENV{WINEPREFIX}" STREQUAL "")
    set(prefix "$ENV{WINEPREFIX}")
else()
    set(prefix "$ENV{HOME}/.wine")
endif()

get_filename_component(wine_dir "${WINE}" DIRECTORY)
find_program(OLV_WINESERVER NAMES wineserver wineserver64
             HINTS "${wine_dir}" /usr/lib/wine /usr/lib/wine64 /opt/wine-stable/bin)

# With UNMANAGED (the tests' prefix): the tests' X server has no window manager. Wine then waits up to two seconds, each time a
# managed window is hidden or destroyed, for a manager to acknowledge it; every message box and
# test window would cost that. Unmanaged windows are not waited for.
function(olv_unmanaged_windows)
    if(NOT UNMANAGED)
        return()
    endif()
    set(marker "${prefix}/olvetta-unmanaged-windows")
    if(EXISTS "${marker}")
        return()
    endif()
    execute_process(COMMAND "${WINE}" reg add "HKCU\\Software\\Wine\\X11 Driver" /v Managed
                            /t REG_SZ /d N /f
                    RESULT_VARIABLE reg_result
                    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
    # That Wine session has no display: let it end before any test starts one with windows.
    if(OLV_WINESERVER)
        execute_process(COMMAND "${OLV_WINESERVER}" -w
                        INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
    endif()
    if(reg_result EQUAL 0)
        file(WRITE "${marker}" "HKCU\\Software\\Wine\\X11 Driver: Managed=N\n")
    else()
        message(WARNING "Could not set unmanaged windows (${reg_result}): window tests run slower")
    endif()
endfunction()

if(EXISTS "${prefix}/system.reg" AND EXISTS "${prefix}/dosdevices/z:")
    olv_unmanaged_windows()
    message(STATUS "Wine prefix ready: ${prefix}")
    return()
endif()

message(STATUS "Creating Wine prefix ${prefix} (first start takes a while)")
# Output goes to files, not pipes: Wine's background processes inherit it and
# would keep a pipe open for as long as the wineserver lives.
if(NOT LOG)
    set(LOG "/tmp/olv-wineboot.log")
endif()
set(log "${LOG}")
execute_process(COMMAND "${WINE}" wineboot -i
                RESULT_VARIABLE boot_result
                INPUT_FILE /dev/null OUTPUT_FILE "${log}" ERROR_FILE "${log}")
if(OLV_WINESERVER)
    # Wait until the session has shut down, so the prefix is complete on disk.
    execute_process(COMMAND "${OLV_WINESERVER}" -w
                    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
endif()
if(NOT boot_result EQUAL 0 OR NOT EXISTS "${prefix}/system.reg")
    message(FATAL_ERROR "wineboot failed (${boot_result}); prefix ${prefix} not created; see ${log}")
endif()
olv_unmanaged_windows()
message(STATUS "Wine prefix created: ${prefix}")
