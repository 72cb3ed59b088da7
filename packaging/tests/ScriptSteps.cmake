# What the package tests' scripts share: the variables a script needs, and
# running one step of it.

# Stops the script unless each variable is set (-DNAME=...).
function(needs)
  foreach(var ${ARGN})
    if(NOT ${var})
      get_filename_component(script "${CMAKE_SCRIPT_MODE_FILE}" NAME)
      message(FATAL_ERROR "${script} needs -D${var}=...")
    endif()
  endforeach()
endfunction()

# Runs a command; stops the script with its output when it fails, else
# leaves its standard output in `said`.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}):\n${output}${errors}")
  endif()
  set(said "${output}" PARENT_SCOPE)
endfunction()
