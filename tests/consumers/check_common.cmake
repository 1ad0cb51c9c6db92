# Shared by the check scripts here. Each sets CHECK_LABEL, which starts its
# messages, before it includes this file.

# Fails the check with the text of the arguments.
function(fail)
  string(REPLACE ";" "" text "${ARGN}")
  message(FATAL_ERROR "${CHECK_LABEL}: ${text}")
endfunction()
# A command's output in `out`; it must succeed.
function(output_of out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    fail("${ARGN} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
