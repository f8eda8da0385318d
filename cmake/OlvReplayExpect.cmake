# One replay test that expects a failure (cmake -P), set up by OlvScenarios.cmake: runs
# REPLAY (under EMULATOR, items joined by "|") with ARGS (joined by "|") in the folder WORKDIR,
# then checks that the exit status is STATUS and that standard output and error together match
# the regular expression EXPECT.
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
include("${CMAKE_CURRENT_LIST_DIR}/OlvReplayRun.cmake")
# Every run it expects says something, so one with no output at all is a start Wine lost.
olv_replay_run(COMMAND ${emulator} "${REPLAY}" ${args} WORKING_DIRECTORY "${WORKDIR}"
               OUTPUT_VARIABLE out)
set(rc "${replay_status}")
set(err "${replay_errors}")
if(NOT rc STREQUAL "${STATUS}")
    message(FATAL_ERROR "exit status ${rc}, expected ${STATUS}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT}")
    message(FATAL_ERROR "output does not match \"${EXPECT}\"\nstdout:\n${out}\nstderr:\n${err}")
endif()
