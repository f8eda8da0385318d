# Checks what the application manifests declare (cmake -P, run by ctest in every build):
#   every manifest under src/          longPathAware true
#   the window programs' (app/win32/)   per-monitor v2 DPI awareness with the dpiAware fallback
# -DSOURCE=<repository root>. Windows reads a manifest only when the program starts, and Wine
# ignores most of it, so a declaration lost in an edit would go unseen by every other test.
cmake_minimum_required(VERSION 3.24)

if(NOT SOURCE)
    message(FATAL_ERROR "OlvCheckManifests: -DSOURCE=<repository root> is required")
endif()

set(settings "http://schemas.microsoft.com/SMI/2016/WindowsSettings")
set(legacy "http://schemas.microsoft.com/SMI/2005/WindowsSettings")
file(GLOB_RECURSE manifests "${SOURCE}/src/*.manifest")
set(windows "")
foreach(manifest IN LISTS manifests)
    if(manifest MATCHES "/src/app/win32/")
        list(APPEND windows "${manifest}")
    endif()
endforeach()
list(LENGTH manifests count)
list(LENGTH windows windowCount)
# Olvetta.exe's, the demonstration's and the console program's.
if(count LESS 3 OR windowCount LESS 2)
    message(FATAL_ERROR "OlvCheckManifests: expected 3 manifests (2 of windows), found: ${manifests}")
endif()

set(failures "")
foreach(manifest IN LISTS manifests)
    file(READ "${manifest}" text)
    # Comments do not count: only what Windows reads.
    string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" text "${text}")
    file(RELATIVE_PATH name "${SOURCE}" "${manifest}")
    if(NOT text MATCHES "<longPathAware xmlns=\"${settings}\">true</longPathAware>")
        list(APPEND failures "${name}: no longPathAware true")
    endif()
    if(manifest IN_LIST windows)
        if(NOT text MATCHES "<dpiAwareness xmlns=\"${settings}\">PerMonitorV2(, *PerMonitor)?</dpiAwareness>")
            list(APPEND failures "${name}: no dpiAwareness PerMonitorV2")
        endif()
        if(NOT text MATCHES "<dpiAware xmlns=\"${legacy}\">true/pm</dpiAware>")
            list(APPEND failures "${name}: no dpiAware true/pm fallback")
        endif()
    endif()
    # Both settings live in the one windowsSettings element of the asm.v3 application element.
    string(REGEX MATCHALL "<windowsSettings>" blocks "${text}")
    list(LENGTH blocks blockCount)
    if(NOT blockCount EQUAL 1)
        list(APPEND failures "${name}: ${blockCount} windowsSettings elements, not one")
    endif()
endforeach()

if(failures)
    list(JOIN failures "\n  " text)
    message(FATAL_ERROR "Manifests:\n  ${text}")
endif()
message(STATUS "Manifests: ${count} checked")
