# One run of olvetta-replay for the scenario scripts (OlvScenarioTest.cmake, OlvReplayExpect.cmake),
# told apart from a start that Wine lost.
#
# Under load Wine now and then ends a program with status 0 before any of it ran: no output, none
# of its files. A replay that ran always writes something: each export and each failure says so
# in a message box echoed on standard output, or on standard error. So a run with no output at all
# and without the file it was asked to write is a lost start, not a result: it is said and run
# again, a few times a little apart (as the window driver's Process does with a start Wine fails),
# and when every try is lost the test fails saying so, rather than comparing what never ran.
#
# olv_replay_run(COMMAND <command...> [WORKING_DIRECTORY <dir>]
#                (OUTPUT_FILE <file> | OUTPUT_VARIABLE <var>) [MADE <file>])
# MADE is the file the run writes when it runs (removed before each try). Sets replay_status and
# replay_errors (standard error), and <var> with OUTPUT_VARIABLE, in the caller's scope.
# OLV_REPLAY_TRIES (default 4) bounds the tries.

function(olv_replay_run)
    cmake_parse_arguments(R "" "WORKING_DIRECTORY;OUTPUT_FILE;OUTPUT_VARIABLE;MADE" "COMMAND"
                          ${ARGN})
    set(tries 4)
    if(OLV_REPLAY_TRIES)
        set(tries ${OLV_REPLAY_TRIES})
    endif()
    set(where "")
    if(R_WORKING_DIRECTORY)
        set(where WORKING_DIRECTORY "${R_WORKING_DIRECTORY}")
    endif()
    foreach(try RANGE 1 ${tries})
        set(out "")
        if(R_MADE)
            file(REMOVE "${R_MADE}")
        endif()
        if(R_OUTPUT_FILE)
            file(REMOVE "${R_OUTPUT_FILE}")
            execute_process(COMMAND ${R_COMMAND} ${where} OUTPUT_FILE "${R_OUTPUT_FILE}"
                            ERROR_VARIABLE err RESULT_VARIABLE rc)
            if(EXISTS "${R_OUTPUT_FILE}")
                file(READ "${R_OUTPUT_FILE}" out LIMIT 1)
            endif()
        else()
            execute_process(COMMAND ${R_COMMAND} ${where} OUTPUT_VARIABLE out
                            ERROR_VARIABLE err RESULT_VARIABLE rc)
        endif()
        set(lost FALSE)
        if("${out}${err}" STREQUAL "" AND (NOT R_MADE OR NOT EXISTS "${R_MADE}"))
            set(lost TRUE)
        endif()
        if(NOT lost)
            break()
        endif()
        set(missing "")
        if(R_MADE)
            get_filename_component(made_name "${R_MADE}" NAME)
            set(missing ", no ${made_name}")
        endif()
        message("olvetta-replay (try ${try} of ${tries}) ended with status ${rc} having written "
                "nothing at all (no output${missing}): a start Wine lost, not a result")
        if(try LESS tries)
            execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 1)
        endif()
    endforeach()
    if(lost)
        # On one line (a fatal error's text is wrapped), then the failure.
        message("olvetta-replay wrote nothing at all in each of ${tries} tries (last status "
                "${rc}): its start was lost every time, so there is no result to check. A Wine "
                "session under heavy load loses program starts; run the test again when the "
                "machine is quieter.")
        message(FATAL_ERROR "every start of olvetta-replay was lost")
    endif()
    set(replay_status "${rc}" PARENT_SCOPE)
    set(replay_errors "${err}" PARENT_SCOPE)
    if(R_OUTPUT_VARIABLE)
        set(${R_OUTPUT_VARIABLE} "${out}" PARENT_SCOPE)
    endif()
endfunction()
