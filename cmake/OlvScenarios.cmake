# Scenario tests: every scenario of tests/scenarios is recorded by olvetta-replay and its CSV,
# JSON and standard output (message boxes and summary) are compared byte for byte with the
# files in tests/scenarios/golden; the saved session is then opened again and must give the
# same CSV. In the windows build the replay runs under the cross-compiling emulator (Wine).
#
# OLV_UPDATE_GOLDEN=1 ctest -R scenario   rewrites the golden files from the current outputs.

if(NOT TARGET olvetta-replay)
    return()
endif()
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/scenarios")

set(OLV_SCENARIOS "${PROJECT_SOURCE_DIR}/tests/scenarios")
set(OLV_SCENARIO_EMULATOR "")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" OLV_SCENARIO_EMULATOR)
endif()

# olv_scenario_test(<test name> SCENARIO <file> [TZ <zone>] [STATUS <exit status>]
#                   [NO_ROUNDTRIP] [RULES <folder>] [ARGS <replay options>...])
# RULES loads the Sigma rules of tests/scenarios/<folder> (named relative to tests/scenarios, so
# the folder the outputs name is the same on every machine) and also writes and compares the
# JSON Lines export.
function(olv_scenario_test name)
    cmake_parse_arguments(S "NO_ROUNDTRIP" "SCENARIO;TZ;STATUS;RULES" "ARGS" ${ARGN})
    if(NOT S_TZ)
        set(S_TZ "UTC")
    endif()
    # Under Wine the Windows build takes its UTC bias from GetTimeZoneInformation, whose
    # daylight state follows the real date rather than the replay's clock: zones with daylight
    # time are checked natively only.
    if(CMAKE_CROSSCOMPILING AND NOT S_TZ STREQUAL "UTC")
        return()
    endif()
    if(NOT S_STATUS)
        set(S_STATUS 0)
    endif()
    if(S_RULES)
        list(PREPEND S_ARGS --rules "${S_RULES}")
    endif()
    list(JOIN S_ARGS "|" args)
    set(roundtrip ON)
    if(S_NO_ROUNDTRIP)
        set(roundtrip OFF)
    endif()
    add_test(NAME scenario.${name}
             COMMAND "${CMAKE_COMMAND}"
                     "-DREPLAY=$<TARGET_FILE:olvetta-replay>"
                     "-DEMULATOR=${OLV_SCENARIO_EMULATOR}"
                     "-DSCENARIO=${OLV_SCENARIOS}/${S_SCENARIO}"
                     "-DNAME=${name}"
                     "-DGOLDEN=${OLV_SCENARIOS}/golden"
                     "-DOUT=${PROJECT_BINARY_DIR}/scenarios/${name}"
                     "-DZONE=${S_TZ}"
                     "-DARGS=${args}"
                     "-DSTATUS=${S_STATUS}"
                     "-DROUNDTRIP=${roundtrip}"
                     "-DRULES=${S_RULES}"
                     -P "${PROJECT_SOURCE_DIR}/cmake/OlvScenarioTest.cmake")
    set_tests_properties(scenario.${name} PROPERTIES LABELS scenario TIMEOUT 600
                         ENVIRONMENT "${OLV_TEST_ENV}")
    if(OLV_TEST_FIXTURES)
        set_tests_properties(scenario.${name} PROPERTIES FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
    endif()
endfunction()

olv_scenario_test(benign SCENARIO benign.jsonl)
olv_scenario_test(dropper SCENARIO dropper.jsonl TZ "CET-1CEST,M3.5.0,M10.5.0/3")
olv_scenario_test(dropper_suspicious SCENARIO dropper.jsonl TZ "CET-1CEST,M3.5.0,M10.5.0/3"
                  ARGS --suspicious --hide process)
olv_scenario_test(downloader SCENARIO downloader.jsonl TZ "EST5EDT,M3.2.0,M11.1.0")
olv_scenario_test(downloader_network SCENARIO downloader.jsonl TZ "EST5EDT,M3.2.0,M11.1.0"
                  ARGS --operation "DNS query" --filter .TK)
olv_scenario_test(children_outlive SCENARIO children_outlive.jsonl)
# 65,545 rows: the files compared show the process rows only (the notes still count the drops).
olv_scenario_test(file_storm SCENARIO file_storm.jsonl ARGS --hide file)
olv_scenario_test(unreadable_record SCENARIO unreadable_record.jsonl)
olv_scenario_test(kernel_taken_over SCENARIO kernel_taken_over.jsonl)
# Start fails: the empty record has no header of its own, so its session cannot reopen the same.
olv_scenario_test(kernel_in_use_answer_no SCENARIO kernel_taken_over.jsonl NO_ROUNDTRIP
                  ARGS --answer-no)
olv_scenario_test(no_job_object SCENARIO no_job_object.jsonl)
olv_scenario_test(windows8_paths SCENARIO windows8_paths.jsonl)
olv_scenario_test(dropper_sigma SCENARIO dropper.jsonl RULES sigma-rules)
olv_scenario_test(downloader_sigma SCENARIO downloader.jsonl RULES sigma-rules)
olv_scenario_test(downloader_sigma_suspicious SCENARIO downloader.jsonl RULES sigma-rules
                  ARGS --suspicious)
olv_scenario_test(long_names SCENARIO long_names.jsonl)
olv_scenario_test(long_names_sigma SCENARIO long_names.jsonl RULES sigma-rules-names)
olv_scenario_test(channels SCENARIO channels.jsonl)
olv_scenario_test(channels_sigma SCENARIO channels.jsonl RULES sigma-rules-channels)
olv_scenario_test(scripts SCENARIO scripts.jsonl)
olv_scenario_test(scripts_sigma SCENARIO scripts.jsonl RULES sigma-rules-scripts)
olv_scenario_test(opens SCENARIO opens.jsonl)
olv_scenario_test(opens_sigma SCENARIO opens.jsonl RULES sigma-rules-opens)
olv_scenario_test(threads SCENARIO threads.jsonl)
olv_scenario_test(threads_sigma SCENARIO threads.jsonl RULES sigma-rules-threads)

# A start Wine loses (status 0, nothing written) is told from a result and run again; one lost on
# every try fails, saying so. The emulator here loses the first starts of the run, counted in a
# file of the test's output folder, which the test script empties first.
foreach(lost 2 99)
    set(name lost_start_${lost})
    set(out "${PROJECT_BINARY_DIR}/scenarios/${name}")
    set(emulator "/bin/sh|${OLV_SCENARIOS}/lose_starts.sh|${out}/starts-lost|${lost}")
    if(OLV_SCENARIO_EMULATOR)
        string(APPEND emulator "|${OLV_SCENARIO_EMULATOR}")
    endif()
    add_test(NAME scenario.${name}
             COMMAND "${CMAKE_COMMAND}"
                     "-DREPLAY=$<TARGET_FILE:olvetta-replay>"
                     "-DEMULATOR=${emulator}"
                     "-DSCENARIO=${OLV_SCENARIOS}/benign.jsonl"
                     "-DNAME=benign"
                     "-DGOLDEN=${OLV_SCENARIOS}/golden"
                     "-DOUT=${out}"
                     "-DZONE=UTC"
                     "-DSTATUS=0"
                     "-DROUNDTRIP=ON"
                     -P "${PROJECT_SOURCE_DIR}/cmake/OlvScenarioTest.cmake")
    set_tests_properties(scenario.${name} PROPERTIES LABELS scenario TIMEOUT 120
                         ENVIRONMENT "${OLV_TEST_ENV}")
    if(OLV_TEST_FIXTURES)
        set_tests_properties(scenario.${name} PROPERTIES FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
    endif()
endforeach()
# Two starts lost, the third runs: the test passes, having said so twice.
set_tests_properties(scenario.lost_start_2 PROPERTIES
    PASS_REGULAR_EXPRESSION "try 2 of 4\\) ended with status 0 having written nothing at all \\(no output, no benign"
    FAIL_REGULAR_EXPRESSION "CMake Error|try 3 of 4")
# Lost on every try: the test script fails, saying so (this test passes on that message).
set_tests_properties(scenario.lost_start_99 PROPERTIES
    PASS_REGULAR_EXPRESSION "in each of 4 tries \\(last status 0\\): its start was lost every time")

# olv_replay_expect(<test name> STATUS <exit status> EXPECT <regex> ARGS <replay arguments>...)
# Runs in the build's scenarios folder (files it might write stay out of the sources).
function(olv_replay_expect name)
    cmake_parse_arguments(S "" "STATUS;EXPECT" "ARGS" ${ARGN})
    list(JOIN S_ARGS "|" args)
    add_test(NAME scenario.${name}
             COMMAND "${CMAKE_COMMAND}"
                     "-DREPLAY=$<TARGET_FILE:olvetta-replay>"
                     "-DEMULATOR=${OLV_SCENARIO_EMULATOR}"
                     "-DWORKDIR=${PROJECT_BINARY_DIR}/scenarios"
                     "-DARGS=${args}"
                     "-DSTATUS=${S_STATUS}"
                     "-DEXPECT=${S_EXPECT}"
                     -P "${PROJECT_SOURCE_DIR}/cmake/OlvReplayExpect.cmake")
    set_tests_properties(scenario.${name} PROPERTIES LABELS scenario TIMEOUT 120
                         ENVIRONMENT "${OLV_TEST_ENV}")
    if(OLV_TEST_FIXTURES)
        set_tests_properties(scenario.${name} PROPERTIES FIXTURES_REQUIRED "${OLV_TEST_FIXTURES}")
    endif()
endfunction()

# Scenarios the reader refuses, with the line it names.
foreach(bad
        "unknown_field\\.jsonl:3: unknown field \"colour\""
        "unknown_kind\\.jsonl:3: unknown kind \"teleport\""
        "fraction\\.jsonl:2: numbers must be whole"
        "duplicate_field\\.jsonl:2: field \"afterEvent\" appears twice"
        "bad_pointer\\.jsonl:2: property \"KeyHandle\": ptr takes"
        "no_program\\.jsonl: no \"program\" line"
        "open_repeat\\.jsonl:2: the repeat block takes more event lines"
        "astr_code_page\\.jsonl:2: .*code page"
        "trailing_comma\\.jsonl:2: .*unexpected '}'; expected string literal"
        "unknown_provider\\.jsonl:2: provider must be")
    string(REGEX MATCH "^[a-z_]+" file "${bad}")
    olv_replay_expect(bad.${file} STATUS 2 EXPECT "${bad}"
                      ARGS "${OLV_SCENARIOS}/bad/${file}.jsonl" --csv never.csv)
endforeach()
olv_replay_expect(usage.no_scenario STATUS 2 EXPECT "give either a scenario or --open"
                  ARGS --csv never.csv)
olv_replay_expect(usage.bad_category STATUS 2 EXPECT "--hide takes file, registry"
                  ARGS "${OLV_SCENARIOS}/benign.jsonl" --hide disk)
olv_replay_expect(usage.missing_file STATUS 2 EXPECT "absent\\.jsonl: cannot be opened"
                  ARGS absent.jsonl)
olv_replay_expect(operation_not_recorded STATUS 1 EXPECT "no row has the operation \"Renamed file\""
                  ARGS "${OLV_SCENARIOS}/benign.jsonl" --operation "Renamed file" --csv never.csv)
olv_replay_expect(open_damaged_session STATUS 1 EXPECT "^\\[error\\] The session file is damaged\\."
                  ARGS --open "${PROJECT_SOURCE_DIR}/tests/corpus/session/damaged_block_size.ols"
                       --csv never.csv)

# The downloader with its kernel session taken over after event 30: the 12 events Windows
# reported lost while the session ran must still be in the notes, although the ended session
# answers no more queries and its stop fails.
set(kernel_ends "${PROJECT_BINARY_DIR}/scenarios/downloader_kernel_ends.jsonl")
file(READ "${OLV_SCENARIOS}/downloader.jsonl" downloader_text)
file(WRITE "${kernel_ends}"
     "${downloader_text}{\"kind\":\"traceEnds\",\"session\":\"kernel\",\"afterEvent\":30,\"status\":0}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${OLV_SCENARIOS}/downloader.jsonl")
olv_replay_expect(downloader_kernel_ends STATUS 0
                  EXPECT "took the Windows kernel trace session.*12 event\\(s\\) were dropped by Windows.*1 whole buffer"
                  ARGS "${kernel_ends}" --json downloader_kernel_ends.json --summary)
