# Test executables: one doctest executable per folder under tests/.
#
#   tests/support/*.cpp   shared builders and fakes (a static library, so a
#                         *_win32 suite only pulls what it uses) plus the doctest
#                         main in tests/support/test_main.cpp
#   tests/<dir>/**.cpp    olv_test_<dir>, linking every folder's library + the stand-ins
#                         (olv_sim + olv_headless)
#   tests/<dir>_win32/    windows build only, linking one of (OLV_WIN32_SUITE_PLATFORM):
#                         real     the real Windows code (olv_win32_real) and nothing else
#                         windows  the real windows (olv_win32_shell) on the stand-ins of
#                                  trace, launcher and drives (olv_sim)
#                         none     only the core: a driver of other programs
#   tests/fuzz/           the libFuzzer target, fuzz preset only
#
# Tests find data files through OLV_SOURCE_DIR (the repository root).

find_path(OLV_DOCTEST_INCLUDE_DIR NAMES doctest.h
          HINTS /usr/include/doctest /usr/local/include/doctest
          PATH_SUFFIXES doctest
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT OLV_DOCTEST_INCLUDE_DIR)
    message(FATAL_ERROR "doctest.h not found: install doctest-dev (Debian) or "
                        "mingw-w64-x86_64-doctest (MSYS2), or set OLV_DOCTEST_INCLUDE_DIR")
endif()

# Under Wine a Unix path is reachable through drive Z:.
if(WIN32 AND CMAKE_HOST_UNIX)
    set(OLV_TEST_SOURCE_DIR "Z:${PROJECT_SOURCE_DIR}")
else()
    set(OLV_TEST_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
endif()

# Settings every test compile unit shares.
add_library(olv_test_settings INTERFACE)
target_include_directories(olv_test_settings INTERFACE "${OLV_TESTS}" "${OLV_SRC}"
                                                     "${PROJECT_SOURCE_DIR}/tools")
target_include_directories(olv_test_settings SYSTEM INTERFACE "${OLV_DOCTEST_INCLUDE_DIR}")
target_compile_definitions(olv_test_settings INTERFACE "OLV_SOURCE_DIR=\"${OLV_TEST_SOURCE_DIR}\"")
target_link_libraries(olv_test_settings INTERFACE olv_json)

add_library(olv_test_main OBJECT "${OLV_TESTS}/support/test_main.cpp")
target_link_libraries(olv_test_main PUBLIC olv_test_settings)

olv_glob_recurse(support_sources "${OLV_TESTS}/support")
list(REMOVE_ITEM support_sources "${OLV_TESTS}/support/test_main.cpp")
# Shared helpers: headers today; a library as soon as one of them has a .cpp file.
if(support_sources)
    olv_add_library(olv_test_support "${support_sources}")
    target_link_libraries(olv_test_support PUBLIC olv_test_settings)
else()
    add_library(olv_test_support INTERFACE)
    target_link_libraries(olv_test_support INTERFACE olv_test_settings)
endif()

# What each Windows-only suite links below the core (see above). Suites that open windows or
# start programs with windows hold the "desktop" lock, so no two of them look for each other's
# windows.
# The real windows are spread over several suites (the main window, the keyboard, the list's tools,
# the Sigma window), so each has a watchdog of its own.
set(OLV_WIN32_SUITE_PLATFORM_app_win32 windows)
set(OLV_WIN32_SUITE_PLATFORM_keys_win32 windows)
set(OLV_WIN32_SUITE_PLATFORM_list_win32 windows)
set(OLV_WIN32_SUITE_PLATFORM_sigma_win32 windows)
set(OLV_WIN32_SUITE_PLATFORM_program_win32 none)
set(OLV_WIN32_SUITE_PLATFORM_demo_win32 none)
set(OLV_WIN32_SUITE_PLATFORM_cli_win32 none)
set(OLV_WIN32_DESKTOP_SUITES app_win32 keys_win32 list_win32 sigma_win32 program_win32 demo_win32)

# Environment of every test run.
set(OLV_TEST_ENV "")
if(OLV_SANITIZE MATCHES "address" OR OLV_FUZZ)
    list(APPEND OLV_TEST_ENV "ASAN_OPTIONS=abort_on_error=0:detect_stack_use_after_return=1:strict_string_checks=1")
endif()
if(OLV_SANITIZE MATCHES "undefined" OR OLV_FUZZ)
    list(APPEND OLV_TEST_ENV "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()
if(OLV_SANITIZE MATCHES "thread")
    list(APPEND OLV_TEST_ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
endif()

# Windows build: the tests run under Wine in a prefix of their own
# (build/<preset>/wine), so nothing else using Wine on the machine shares their
# session. Before the first test, the wine_prefix step creates the prefix (once;
# parallel first starts would race) and the display step starts one Xvfb for the
# whole run: every test gets its DISPLAY, so Wine's desktop process, which the
# first program of a session starts, can always open windows. After the last
# test the session is ended and Xvfb stopped.
set(OLV_TEST_FIXTURES "")
if(WIN32 AND CMAKE_CROSSCOMPILING)
    set(OLV_TEST_WINEPREFIX "${PROJECT_BINARY_DIR}/wine" CACHE PATH "Wine prefix of the Windows tests")
    list(APPEND OLV_TEST_ENV "WINEDEBUG=-all" "WINEPREFIX=${OLV_TEST_WINEPREFIX}"
                             "OLV_XVFB_STATE=${PROJECT_BINARY_DIR}")
    if(CMAKE_CROSSCOMPILING_EMULATOR AND OLV_WINE)
        get_filename_component(wine_dir "${OLV_WINE}" DIRECTORY)
        find_program(OLV_WINESERVER NAMES wineserver wineserver64
                     HINTS "${wine_dir}" /usr/lib/wine /usr/lib/wine64 /opt/wine-stable/bin)
        add_test(NAME wine_prefix
                 COMMAND "${CMAKE_COMMAND}" "-DWINE=${OLV_WINE}" -DUNMANAGED=ON
                         "-DLOG=${PROJECT_BINARY_DIR}/wineboot.log"
                         -P "${PROJECT_SOURCE_DIR}/cmake/OlvWinePrefix.cmake")
        set(script "${PROJECT_SOURCE_DIR}/cmake/xvfb-fixture.sh")
        add_test(NAME display_start COMMAND /bin/sh "${script}" start "${PROJECT_BINARY_DIR}")
        add_test(NAME display_stop COMMAND /bin/sh "${script}" stop "${PROJECT_BINARY_DIR}")
        set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300
                             ENVIRONMENT "${OLV_TEST_ENV}")
        set_tests_properties(display_start PROPERTIES FIXTURES_SETUP display TIMEOUT 30
                             ENVIRONMENT "${OLV_TEST_ENV}")
        set_tests_properties(display_stop PROPERTIES FIXTURES_CLEANUP display TIMEOUT 30
                             ENVIRONMENT "${OLV_TEST_ENV};WINESERVER=${OLV_WINESERVER}")
        set(OLV_TEST_FIXTURES wine_prefix display)
        if(OLV_WINESERVER)
            # cmake/wine-run.sh starts the session's server itself, so its crash reaches one log.
            list(APPEND OLV_TEST_ENV "OLV_WINESERVER=${OLV_WINESERVER}")
        endif()
    else()
        message(WARNING "No Wine found: the Windows tests build but ctest cannot run them")
    endif()
endif()

# cmake/wine-run.sh tells a start Wine lost (status 0, no output at all) from a result: run once
# more, and a failure naming it when that start is lost too. Checked with /bin/sh standing in for
# Wine and a program whose first starts are lost (tests/scenarios/lose_starts.sh).
if(CMAKE_HOST_UNIX)
    foreach(lost 1 2)
        set(counter "${PROJECT_BINARY_DIR}/wine-run-lost-${lost}")
        add_test(NAME wine_run.lost_start_${lost}
                 COMMAND /bin/sh -c "rm -f \"$1\" && exec /bin/sh \"$2\" /bin/sh \"$3\" \"$1\" $4 echo ran"
                         sh "${counter}" "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh"
                         "${PROJECT_SOURCE_DIR}/tests/scenarios/lose_starts.sh" ${lost})
        set_tests_properties(wine_run.lost_start_${lost} PROPERTIES TIMEOUT 30)
    endforeach()
    set_tests_properties(wine_run.lost_start_1 PROPERTIES
        PASS_REGULAR_EXPRESSION "a lost start\\).*running it once more\nran\n")
    # Lost twice: it fails (125), naming the lost start (this test passes on that message).
    set_tests_properties(wine_run.lost_start_2 PROPERTIES
        PASS_REGULAR_EXPRESSION "lost the start of [^ ]*lose_starts.sh twice")
endif()

# A crash of the session's server seen only in the server's own log (the suite beside the one
# that started it waited on it) is Wine's fault and run once more, unless the run passed all the
# same; a watchdog's report fails the run even when Wine returns status 0 for it.
if(CMAKE_HOST_UNIX)
    foreach(fault crash_elsewhere crash_elsewhere_passed watchdog_status_0)
        set(state "${PROJECT_BINARY_DIR}/wine-run-${fault}")
        add_test(NAME wine_run.${fault}
                 COMMAND /bin/sh -c "rm -rf \"$1\" && mkdir -p \"$1\" && WINEPREFIX=\"$1\" OLV_WINESERVER=/bin/true /bin/sh \"$2\" /bin/sh \"$3\" \"$1/counter\" $4; echo \"status $?\""
                         sh "${state}" "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh"
                         "${PROJECT_SOURCE_DIR}/tests/scenarios/wine_faults.sh" ${fault})
        set_tests_properties(wine_run.${fault} PROPERTIES TIMEOUT 30)
    endforeach()
    set_tests_properties(wine_run.crash_elsewhere PROPERTIES PASS_REGULAR_EXPRESSION
        "the Wine server crashed while it ran \\(see [^)]*olv-wineserver.log\\).*running it once more\nran \\(run 2\\)\nstatus 0\n")
    # A run that passed stands, though the server crashed meanwhile.
    set_tests_properties(wine_run.crash_elsewhere_passed PROPERTIES PASS_REGULAR_EXPRESSION
        "^ran \\(run 1\\)\nstatus 0\n$")
    set_tests_properties(wine_run.watchdog_status_0 PROPERTIES PASS_REGULAR_EXPRESSION
        "its watchdog ended it, with a status of 0 from Wine\n\nwatchdog: [^\n]*\nstatus 3\n")
endif()

# Folders holding test sources; each one becomes an executable.
olv_glob_recurse(all_test_sources "${OLV_TESTS}")
set(test_dirs "")
foreach(file IN LISTS all_test_sources)
    file(RELATIVE_PATH rel "${OLV_TESTS}" "${file}")
    if(rel MATCHES "^([^/]+)/")
        list(APPEND test_dirs "${CMAKE_MATCH_1}")
    else()
        message(WARNING "tests/${rel} is outside a suite folder and is not built")
    endif()
endforeach()
list(REMOVE_DUPLICATES test_dirs)
list(REMOVE_ITEM test_dirs support fuzz)

foreach(dir IN LISTS test_dirs)
    set(windows_only OFF)
    if(dir MATCHES "_win32$")
        set(windows_only ON)
        if(NOT WIN32)
            continue()
        endif()
    endif()

    if(dir MATCHES "^(replay|cli)$" AND NOT TARGET olv_scenario)
        continue()
    endif()
    olv_glob_recurse(suite_sources "${OLV_TESTS}/${dir}")
    # A helper/ folder holds programs that a suite starts, not sources of the suite.
    list(FILTER suite_sources EXCLUDE REGEX "^${OLV_TESTS}/${dir}/helper/")
    set(target olv_test_${dir})
    # A Windows suite may carry resources (an application manifest) of its own.
    set(suite_resources "")
    if(WIN32)
        olv_glob(suite_resources "${OLV_TESTS}/${dir}" "*.rc")
    endif()
    add_executable(${target} ${suite_sources} ${suite_resources})
    target_link_libraries(${target} PRIVATE olv_test_main olv_test_support)
    # The scenario reader's suite tests the replay tool's library (built with the tools).
    if(dir STREQUAL "replay")
        target_link_libraries(${target} PRIVATE olv_scenario)
    endif()
    # The console program's suite runs its front end in-process on scenarios.
    if(dir STREQUAL "cli")
        target_link_libraries(${target} PRIVATE olv_cli_pacer olv_scenario)
    endif()
    if(windows_only)
        set(kind real)
        if(DEFINED OLV_WIN32_SUITE_PLATFORM_${dir})
            set(kind ${OLV_WIN32_SUITE_PLATFORM_${dir}})
        endif()
        if(kind STREQUAL "real")
            olv_link_platform(${target} olv_win32_real)
        elseif(kind STREQUAL "windows")
            olv_link_platform(${target} olv_win32_shell olv_sim)
        else()
            olv_link_platform(${target})
        endif()
        target_link_libraries(${target} PRIVATE ${OLV_WIN32_SYSTEM_LIBS})
    else()
        if(dir STREQUAL "cli")
            olv_link_platform(${target} olv_cli olv_sim olv_headless)
        else()
            olv_link_platform(${target} olv_sim olv_headless)
        endif()
    endif()

    if(dir IN_LIST OLV_WIN32_DESKTOP_SUITES AND CMAKE_CROSSCOMPILING_EMULATOR)
        # Suites with windows run under the screenshot script: what they show a person is
        # written to build/<preset>/screenshots/<suite>/.
        add_test(NAME ${dir}
                 COMMAND /bin/sh "${PROJECT_SOURCE_DIR}/cmake/gui-screenshots.sh"
                         "${PROJECT_BINARY_DIR}/screenshots/${dir}"
                         ${CMAKE_CROSSCOMPILING_EMULATOR} "$<TARGET_FILE:${target}>")
        set_tests_properties(${dir} PROPERTIES RESOURCE_LOCK desktop)
    else()
        add_test(NAME ${dir} COMMAND ${target})
    endif()
    # The test main's watchdog ends a hung suite, naming its test case and step, before ctest's
    # time-out would kill it without a word. Suites that drive windows wait longer per step.
    # Under Wine each run is also bounded a little above the watchdog (cmake/wine-run.sh), and run
    # once more when Wine itself failed under it; ctest's time-out leaves room for both runs.
    set(watchdog 90)
    if(dir IN_LIST OLV_WIN32_DESKTOP_SUITES)
        set(watchdog 240)
    endif()
    math(EXPR wine_seconds "${watchdog} + 15")
    set(timeout 120)
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        math(EXPR timeout "2 * ${wine_seconds} + 20")
    endif()
    set_tests_properties(${dir} PROPERTIES TIMEOUT ${timeout} LABELS "${dir}"
                         ENVIRONMENT "${OLV_TEST_ENV};OLV_TEST_WATCHDOG_SECONDS=${watchdog};OLV_WINE_SECONDS=${wine_seconds}")
    if(OLV_TEST_FIXTURES)
        set_tests_properties(${dir} PROPERTIES FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
    endif()
endforeach()

# The watchdog of the test main, on a suite made to hang (cases skipped in its normal run): it names
# the test case and step, what the suite wrote before the hang reaches the log, and the process
# ends itself with status 3, in a test case and in the runtime's exit after the last one.
if(TARGET olv_test_base AND CMAKE_HOST_UNIX)
    set(emulator "")
    set(timeout 30)
    if(WIN32 AND CMAKE_CROSSCOMPILING)
        set(emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
        set(timeout 140)
    endif()
    set(hung_in_test "the watchdog names a hung test case and step")
    set(hung_in_exit "the watchdog names a hang in the process's exit")
    foreach(where in_test in_exit)
        add_test(NAME watchdog.hung_${where}
                 COMMAND /bin/sh -c "\"$@\"; echo \"status $?\"" sh ${emulator}
                         "$<TARGET_FILE:olv_test_base>" --no-skip "--test-case=${hung_${where}}")
        set_tests_properties(watchdog.hung_${where} PROPERTIES TIMEOUT ${timeout} LABELS base
            ENVIRONMENT "${OLV_TEST_ENV};OLV_TEST_WATCHDOG_SECONDS=3;OLV_WINE_SECONDS=60")
        if(OLV_TEST_FIXTURES)
            set_tests_properties(watchdog.hung_${where} PROPERTIES
                                 FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
        endif()
    endforeach()
    set(said "\nwatchdog: the suite did not finish within 3 s\n  test case: ")
    set_tests_properties(watchdog.hung_in_test PROPERTIES PASS_REGULAR_EXPRESSION
        "written before the hang\r?\n${said}${hung_in_test}\n  last step: sleeping past the watchdog\nstatus 3\n")
    set_tests_properties(watchdog.hung_in_exit PROPERTIES PASS_REGULAR_EXPRESSION
        "Status: SUCCESS!\r?\n${said}${hung_in_exit}\n  last step: the process ending after the last test case\nstatus 3\n")
endif()

# The program the real launcher's suite starts: olv_launcher_helper.exe, built beside the
# suite's executable, where the suite looks for it.
if(TARGET olv_test_launcher_win32)
    olv_glob_recurse(launcher_helper_sources "${OLV_TESTS}/launcher_win32/helper")
    if(launcher_helper_sources)
        add_executable(olv_launcher_helper ${launcher_helper_sources})
        add_dependencies(olv_test_launcher_win32 olv_launcher_helper)
    endif()
endif()

if(TARGET olv_test_program_win32)
    add_dependencies(olv_test_program_win32 Olvetta)
    target_link_libraries(olv_test_program_win32 PRIVATE version)
endif()
# The console programs' suite: it starts them, and olv_cli_args_echo.exe (which prints the
# arguments it was given) to check the quoting of the examined program's command line.
if(TARGET olv_test_cli_win32)
    add_executable(olv_cli_args_echo "${OLV_TESTS}/cli_win32/helper/args_echo.cpp")
    target_link_libraries(olv_cli_args_echo PRIVATE shell32)
    target_link_options(olv_cli_args_echo PRIVATE -municode)
    add_dependencies(olv_test_cli_win32 olvetta-cli olvetta-cli-demo olv_cli_args_echo)
    target_link_libraries(olv_test_cli_win32 PRIVATE olv_cli advapi32)
    # A folder nobody may write into (an immutable one when the tests run as root, whom the
    # permission bits do not stop), made before the suite and given back after it.
    set(readonly "${PROJECT_BINARY_DIR}/cli-readonly")
    add_test(NAME cli_readonly_setup
             COMMAND /bin/sh -c "chattr -i '${readonly}' 2>/dev/null; rm -rf '${readonly}' && mkdir -p '${readonly}' && chmod 555 '${readonly}' && (chattr +i '${readonly}' 2>/dev/null || true)")
    add_test(NAME cli_readonly_cleanup
             COMMAND /bin/sh -c "chattr -i '${readonly}' 2>/dev/null; chmod 755 '${readonly}' 2>/dev/null; rm -rf '${readonly}'")
    set_tests_properties(cli_readonly_setup PROPERTIES FIXTURES_SETUP cli_readonly TIMEOUT 30)
    set_tests_properties(cli_readonly_cleanup PROPERTIES FIXTURES_CLEANUP cli_readonly TIMEOUT 30)
    set_tests_properties(cli_win32 PROPERTIES FIXTURES_REQUIRED "${OLV_TEST_FIXTURES};cli_readonly")
    set_property(TEST cli_win32 APPEND PROPERTY ENVIRONMENT "OLV_READONLY_DIR=Z:${readonly}")
    # The suite's cases that are skipped by default (the session's end, the rights) as a run of
    # their own, each run well inside its watchdog.
    get_test_property(cli_win32 ENVIRONMENT cli_env)
    add_test(NAME cli_win32_ending COMMAND olv_test_cli_win32 --no-skip
             "--test-case=without administrator rights*,log-off and shut-down*")
    set_tests_properties(cli_win32_ending PROPERTIES TIMEOUT 250 LABELS cli_win32
                         ENVIRONMENT "${cli_env}" FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
    # The folder and rules cases, for the same reason.
    add_test(NAME cli_win32_folders COMMAND olv_test_cli_win32 --no-skip
             "--test-case=one run per folder*,--out past MAX_PATH*,output folders*,rules and JSON Lines*")
    set_tests_properties(cli_win32_folders PROPERTIES TIMEOUT 250 LABELS cli_win32
                         ENVIRONMENT "${cli_env}"
                         FIXTURES_REQUIRED "${OLV_TEST_FIXTURES};cli_readonly")
    # The runs share the current folder and the demonstration program's folder, which some cases
    # write into, so they take turns.
    set_tests_properties(cli_win32 cli_win32_ending cli_win32_folders PROPERTIES
                         RESOURCE_LOCK cli_win32_folders)
    # The real self-test and the window's check switch the script logging policy in the
    # prefix's registry for their recording, and the policy's own suite reads it: they take turns.
    foreach(test cli_win32 app_win32 facts_win32)
        if(TEST ${test})
            set_property(TEST ${test} APPEND PROPERTY RESOURCE_LOCK script_policy)
        endif()
    endforeach()
endif()
# Ctrl+C (once, twice) during a recording of the console demonstration under Wine.
if(TARGET olvetta-cli-demo AND WIN32 AND CMAKE_CROSSCOMPILING AND OLV_WINE)
    foreach(presses 1 2)
        add_test(NAME cli_interrupt_${presses}
                 COMMAND /bin/sh "${PROJECT_SOURCE_DIR}/cmake/cli-interrupt.sh" "${OLV_WINE}"
                         "$<TARGET_FILE:olvetta-cli-demo>"
                         "$<TARGET_FILE_DIR:olvetta-cli-demo>/until_exit.jsonl"
                         "${PROJECT_BINARY_DIR}/cli-interrupt-${presses}" ${presses})
        set_tests_properties(cli_interrupt_${presses} PROPERTIES TIMEOUT 150 LABELS cli_win32
                             ENVIRONMENT "${OLV_TEST_ENV}")
        if(OLV_TEST_FIXTURES)
            set_tests_properties(cli_interrupt_${presses} PROPERTIES
                                 FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
        endif()
    endforeach()
endif()
# Ctrl+C pressed in the recorder's terminal while the examined console program runs (the real
# launcher under Wine): the program has a console of its own and runs on until Stop.
if(TARGET olv_test_launcher_win32 AND CMAKE_CROSSCOMPILING AND OLV_WINE)
    add_test(NAME launcher_interrupt
             COMMAND /bin/sh "${PROJECT_SOURCE_DIR}/cmake/launcher-interrupt.sh" "${OLV_WINE}"
                     "$<TARGET_FILE:olv_test_launcher_win32>"
                     "${PROJECT_BINARY_DIR}/launcher-interrupt")
    set_tests_properties(launcher_interrupt PROPERTIES TIMEOUT 150 LABELS launcher_win32
                         ENVIRONMENT "${OLV_TEST_ENV}")
    if(OLV_TEST_FIXTURES)
        set_tests_properties(launcher_interrupt PROPERTIES FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
    endif()
endif()
if(TARGET olv_test_demo_win32)
    add_dependencies(olv_test_demo_win32 olvetta-demo olvetta-replay)
endif()

# The manifests' declarations (long paths everywhere; per-monitor DPI for the windows), read from
# the files, in every build.
add_test(NAME manifests_declare
         COMMAND "${CMAKE_COMMAND}" "-DSOURCE=${PROJECT_SOURCE_DIR}"
                 -P "${PROJECT_SOURCE_DIR}/cmake/OlvCheckManifests.cmake")
set_tests_properties(manifests_declare PROPERTIES TIMEOUT 30)

# The layer check that guards every library's build, run on small trees with includes pointing
# down, up and across.
add_test(NAME layers_check
         COMMAND "${CMAKE_COMMAND}" "-DSCRIPT=${PROJECT_SOURCE_DIR}/cmake/OlvCheckLayers.cmake"
                 "-DWORK=${PROJECT_BINARY_DIR}/layers-check-test"
                 -P "${PROJECT_SOURCE_DIR}/cmake/OlvCheckLayersTest.cmake")
set_tests_properties(layers_check PROPERTIES TIMEOUT 30)

# Olvetta.exe links the real platform and no stand-in: the simulated trace service and trace
# data, the scripted launcher and drives, and the headless UI are for tests and tools only.
if(TARGET Olvetta AND CMAKE_NM)
    add_test(NAME olvetta_links_real_platform
             COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DEXE=$<TARGET_FILE:Olvetta>"
                     "-DFORBID=(SimTrace|SimEvent|SimProcess|SimDrive|Simulated(Registry|ProcessToken|FileTrust)|Headless|olv::replay)"
                     "-DREQUIRE=__imp_TdhGetProperty;__imp_StartTraceW;__imp_CreateProcessW;__imp_GetSaveFileNameW;__imp_QueryDosDeviceW"
                     -P "${PROJECT_SOURCE_DIR}/cmake/OlvCheckLinked.cmake")
    set_tests_properties(olvetta_links_real_platform PROPERTIES TIMEOUT 30)
endif()

# olvetta-cli.exe too: the real platform and no stand-in. Its UI port is the real one with no
# window behind any handle.
if(TARGET olvetta-cli AND CMAKE_NM)
    add_test(NAME olvetta_cli_links_real_platform
             COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DEXE=$<TARGET_FILE:olvetta-cli>"
                     "-DFORBID=(SimTrace|SimEvent|SimProcess|SimDrive|Simulated(Registry|ProcessToken|FileTrust)|Headless|olv::replay|olv::clidemo)"
                     "-DREQUIRE=__imp_TdhGetProperty;__imp_StartTraceW;__imp_CreateProcessW;__imp_SetConsoleCtrlHandler;__imp_RegCreateKeyExW"
                     -P "${PROJECT_SOURCE_DIR}/cmake/OlvCheckLinked.cmake")
    set_tests_properties(olvetta_cli_links_real_platform PROPERTIES TIMEOUT 30)
endif()

# The programs' manifests ask for the rights each needs, and the resource scripts embed them:
# the window records, so it asks for administrator rights; the console program runs as the
# caller and checks the rights before record and selftest; the demonstration needs none. Checked
# in every build from the sources, and in the Windows build also in the programs themselves.
foreach(check "olvetta-cli|src/cli/win32/olvetta-cli.manifest|src/cli/win32/olvetta-cli.rc|asInvoker"
              "Olvetta|src/app/win32/olvetta.manifest|src/app/win32/olvetta.rc|requireAdministrator"
              "olvetta-demo|src/app/win32/olvetta-asinvoker.manifest|tools/demo/demo.rc|asInvoker")
    string(REPLACE "|" ";" check "${check}")
    list(GET check 0 program)
    list(GET check 1 manifest)
    list(GET check 2 rc)
    list(GET check 3 level)
    set(exe "")
    if(TARGET ${program} AND WIN32)
        set(exe "$<TARGET_FILE:${program}>")
    endif()
    string(TOLOWER "manifest_${program}" name)
    string(REPLACE "-" "_" name "${name}")
    add_test(NAME ${name}
             COMMAND "${CMAKE_COMMAND}" "-DMANIFEST=${PROJECT_SOURCE_DIR}/${manifest}"
                     "-DRC=${PROJECT_SOURCE_DIR}/${rc}" "-DLEVEL=${level}" "-DEXE=${exe}"
                     -P "${PROJECT_SOURCE_DIR}/cmake/OlvCheckManifest.cmake")
    set_tests_properties(${name} PROPERTIES TIMEOUT 60 LABELS manifest)
endforeach()

# libFuzzer targets (fuzz preset): tests/fuzz/<name>_fuzz.cpp becomes olv_fuzz_<name>, and
# ctest replays its checked-in corpus tests/corpus/<name> (no fuzzing in ctest).
if(OLV_FUZZ)
    olv_glob(fuzz_sources "${OLV_TESTS}/fuzz" "*_fuzz.cpp")
    foreach(source IN LISTS fuzz_sources)
        get_filename_component(stem "${source}" NAME_WE)
        string(REGEX REPLACE "_fuzz$" "" name "${stem}")
        set(target olv_fuzz_${name})
        add_executable(${target} "${source}")
        target_link_libraries(${target} PRIVATE olv_test_support)
        olv_link_platform(${target} olv_sim olv_headless)
        target_link_options(${target} PRIVATE -fsanitize=fuzzer)
        if(IS_DIRECTORY "${OLV_TESTS}/corpus/${name}")
            add_test(NAME fuzz_${name}_corpus
                     COMMAND ${target} -runs=0 "${OLV_TESTS}/corpus/${name}")
        else()
            add_test(NAME fuzz_${name}_corpus COMMAND ${target} -runs=500 -seed=1)
        endif()
        set_tests_properties(fuzz_${name}_corpus PROPERTIES TIMEOUT 120
                             ENVIRONMENT "${OLV_TEST_ENV}")
    endforeach()
endif()
