# One replay test that expects a failure (cmake -P), set up by OlvScenarios.cmake: runs
# REPLAY (under EMULATOR, items joined by "|") with ARGS (joined by "|") in the folder WORKDIR,
# then checks that the exit status is STATUS and that standard output and error together match
# the regular expression EXPECT.
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} "${REPLAY}" ${args} WORKING_DIRECTORY "${WORKDIR}"
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc STREQUAL "${STATUS}")
    message(FATAL_ERROR "exit status ${rc}, expected ${STATUS}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(NOT "${out}${err}" MATCHES "${EXPECT}")
    message(FATAL_ERROR "output does not match \"${EXPECT}\"\nstdout:\n${out}\nstderr:\n${err}")
endif()
