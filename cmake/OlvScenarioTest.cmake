# One scenario test (cmake -P), set up by OlvScenarios.cmake:
#   REPLAY    olvetta-replay          EMULATOR  runner for it, items joined by "|" (may be empty)
#   SCENARIO  the .jsonl file         NAME      test name (golden files are GOLDEN/NAME.*)
#   OUT       scratch folder          ZONE      TZ for the run
#   ARGS      further replay options, joined by "|"
#   STATUS    the exit status expected
#   ROUNDTRIP OFF skips step 2 (a start that failed leaves no recording whose session could
#             reopen to the same header)
#   RULES     set when ARGS load Sigma rules: the replay runs in the scenarios' folder (ARGS
#             name the rule folder relative to it) and the JSON Lines export is compared too
#
# 1. Records the scenario, writing CSV, JSON and a session file and printing the summary; the
#    exit status must be STATUS and the CSV, the JSON and standard output (message boxes and the
#    summary) must equal the golden files byte for byte.
# 2. Opens the saved session with the same view options; its CSV must equal the first one.
# With the environment variable OLV_UPDATE_GOLDEN set, step 1 rewrites the golden files instead.
# A run that wrote nothing at all (no output, no CSV) is a start Wine lost, not a result: it is run
# again (OlvReplayRun.cmake).

string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")

set(csv "${OUT}/${NAME}.csv")
set(json "${OUT}/${NAME}.json")
set(text "${OUT}/${NAME}.txt")
set(session "${OUT}/${NAME}.ols")
set(reopened "${OUT}/${NAME}.reopened.csv")

get_filename_component(scenario_dir "${SCENARIO}" DIRECTORY)
set(kinds csv json txt)
set(jsonl_args "")
if(RULES)
    list(APPEND kinds jsonl)
    set(jsonl_args --jsonl "${OUT}/${NAME}.jsonl")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/OlvReplayRun.cmake")

# A run writing standard output to output and the CSV to made (a start Wine lost is run again).
function(run_replay output made)
    olv_replay_run(COMMAND "${CMAKE_COMMAND}" -E env "TZ=${ZONE}" ${emulator} "${REPLAY}" ${ARGN}
                   WORKING_DIRECTORY "${scenario_dir}" OUTPUT_FILE "${output}" MADE "${made}")
    set(replay_status "${replay_status}" PARENT_SCOPE)
    set(replay_errors "${replay_errors}" PARENT_SCOPE)
endfunction()

run_replay("${text}" "${csv}" "${SCENARIO}" ${args} --csv "${csv}" --json "${json}" ${jsonl_args}
           --session "${session}" --summary)
if(NOT replay_status STREQUAL "${STATUS}")
    file(READ "${text}" out)
    message(FATAL_ERROR "olvetta-replay ended with ${replay_status}, expected ${STATUS}\n"
                        "stdout:\n${out}\nstderr:\n${replay_errors}")
endif()

set(failed "")
foreach(kind IN LISTS kinds)
    set(golden "${GOLDEN}/${NAME}.${kind}")
    set(produced "${OUT}/${NAME}.${kind}")
    if(DEFINED ENV{OLV_UPDATE_GOLDEN})
        file(COPY_FILE "${produced}" "${golden}")
        message(STATUS "updated ${golden}")
        continue()
    endif()
    execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${golden}" "${produced}"
                    RESULT_VARIABLE different)
    if(different)
        list(APPEND failed "${NAME}.${kind}")
        find_program(diff_tool diff)
        if(diff_tool AND NOT kind STREQUAL "csv")
            execute_process(COMMAND "${diff_tool}" -u "${golden}" "${produced}"
                            OUTPUT_VARIABLE delta)
            string(SUBSTRING "${delta}" 0 4000 delta)
            message("${NAME}.${kind} differs from ${golden}:\n${delta}")
        else()
            message("${produced} differs from ${golden}")
        endif()
    endif()
endforeach()

# The saved session, opened again with the same view, gives the same CSV.
if(ROUNDTRIP STREQUAL "OFF")
    set(skip_roundtrip TRUE)
endif()
if(NOT skip_roundtrip)
run_replay("${OUT}/${NAME}.reopened.txt" "${reopened}"
           --open "${session}" ${args} --csv "${reopened}")
if(NOT replay_status STREQUAL "0")
    file(READ "${OUT}/${NAME}.reopened.txt" out)
    message(FATAL_ERROR "olvetta-replay --open ended with ${replay_status}\n${out}\n"
                        "${replay_errors}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${csv}" "${reopened}"
                RESULT_VARIABLE different)
if(different)
    list(APPEND failed "the CSV of the reopened session")
endif()
endif()

if(failed)
    message(FATAL_ERROR "differences: ${failed}\n(OLV_UPDATE_GOLDEN=1 ctest -R scenario "
                        "rewrites the golden files; read them before you commit them)")
endif()
# The session files are large; the rest is kept for a look after a failure.
file(REMOVE "${session}")
