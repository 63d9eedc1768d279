# Runs the command in CMD (a ;-list) and prints its output only when it fails; for tools that
# list every file they handle.
execute_process(COMMAND ${CMD} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CMD} failed (${rc}):\n${out}")
endif()
