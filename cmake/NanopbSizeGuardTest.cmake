# cmake -DGENERATOR=<nanopb_generator> -DPROTO_DIR=<dir> -DWORK=<scratch dir> -DSTEP="<command>" -P NanopbSizeGuardTest.cmake
#
# Runs the build's guard-removal step (STEP, "@FILE@" standing for the generated file) on fresh
# generator output and on edited copies of it: only the known ProxyFrame guard may go,
# anything else must stop the build.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
foreach(_base control config)
  execute_process(COMMAND ${GENERATOR} -q -I ${PROTO_DIR} -D ${WORK} -f ${PROTO_DIR}/${_base}.options
                          ${PROTO_DIR}/${_base}.proto RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "nanopb generator failed on ${_base}.proto")
  endif()
endforeach()
file(READ "${WORK}/control.pb.c" _control)
file(READ "${WORK}/config.pb.c" _config)
set(_file "${WORK}/case.pb.c")
string(REPLACE "@FILE@" "${_file}" _step "${STEP}")
separate_arguments(_step UNIX_COMMAND "${_step}")

# case name; expected result (pass/fail); file content
set(_other "${_control}")
string(REPLACE "size: ProxyFrame" "size: ProxyFrame, Other" _other "${_other}")
set(_reshaped "${_control}")
string(REPLACE "#ifndef PB_FIELD_32BIT" "#if !defined(PB_FIELD_32BIT)" _reshaped "${_reshaped}")
set(_cases "generated control|pass|_control" "generated config|pass|_config"
           "another message flagged|fail|_other" "guard in another form|fail|_reshaped")
foreach(_row IN LISTS _cases)
  string(REPLACE "|" ";" _case "${_row}")
  list(GET _case 0 _name)
  list(GET _case 1 _want)
  list(GET _case 2 _var)
  file(WRITE "${_file}" "${${_var}}")
  execute_process(COMMAND ${_step} RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
  file(READ "${_file}" _after)
  if(_want STREQUAL "pass")
    if(NOT _rc EQUAL 0 OR _after MATCHES "#error Enable PB_FIELD_32BIT" OR NOT _after MATCHES "PB_BIND")
      message(FATAL_ERROR "${_name}: expected the guard step to succeed and leave compilable code (rc ${_rc})")
    endif()
  elseif(_rc EQUAL 0)
    message(FATAL_ERROR "${_name}: expected the guard step to stop the build, it succeeded")
  endif()
  message(STATUS "${_name}: ok")
endforeach()
