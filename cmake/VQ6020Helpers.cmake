# Globbed sources appear in an existing build tree after a re-glob, but AUTOMOC/AUTOUIC
# keep the result of their last scan and would miss a new Q_OBJECT header or form.
# When a target's file list changed since the last configure, its autogen stamp is
# dropped so the next build rescans.
function(vq_autogen_follows target)
  string(MD5 _sum "${ARGN}")
  set(_var VQ_AUTOGEN_FILES_${target})
  if(DEFINED ${_var} AND NOT "${${_var}}" STREQUAL "${_sum}")
    file(REMOVE ${CMAKE_CURRENT_BINARY_DIR}/${target}_autogen/timestamp)
  endif()
  set(${_var} "${_sum}" CACHE INTERNAL "")
endfunction()

# vq_add_subsystem(<name> [DEPENDS <targets>...])
# One static library per folder of src/, made of every .cpp/.h/.ui/.qrc in it
# (main.cpp excepted), so adding a class never means editing a list.
function(vq_add_subsystem name)
  cmake_parse_arguments(S "" "" "DEPENDS;SOURCES" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/*.ui ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  list(FILTER _srcs EXCLUDE REGEX "/main\\.cpp$")
  list(APPEND _srcs ${S_SOURCES})
  set(_tgt vq6020_${name})
  set(_has_cpp FALSE)
  foreach(_s IN LISTS _srcs)
    if(_s MATCHES "\\.(cpp|c)$")
      set(_has_cpp TRUE)
    endif()
  endforeach()
  if(_has_cpp)
    add_library(${_tgt} STATIC ${_srcs})
    target_include_directories(${_tgt} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${_tgt} PUBLIC ${S_DEPENDS})
    vq_autogen_follows(${_tgt} ${_srcs})
  else()
    add_library(${_tgt} INTERFACE)
    target_include_directories(${_tgt} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${_tgt} INTERFACE ${S_DEPENDS})
  endif()
  set_property(GLOBAL APPEND PROPERTY VQ_SUBSYSTEMS ${_tgt})
endfunction()

set(VQ_NETNS_LAUNCHER ${PROJECT_SOURCE_DIR}/tests/netns-run)
set(VQ_QTEST_RUNNER ${PROJECT_SOURCE_DIR}/tests/qtest-run)
set(VQ_SKIP_CODE 77)

# vq_add_test(<name> SOURCES ... LIBS ... [LABELS unit|e2e|interop ...]
#             [TIMEOUT s] [NETNS] [ENV k=v ...])
# Every test runs offscreen with its own settings and data folders under the
# build tree, so nothing a test does reaches the user's real settings. NETNS
# puts the test into a fresh network namespace: it may bind the fixed ports
# (4242, 1337, 5353) while other tests run in parallel. A test that skipped
# anything and failed nothing shows as skipped (tests/qtest-run); in CI
# (CI=true) an interop-labelled test that skips fails instead.
function(vq_add_test name)
  cmake_parse_arguments(T "NETNS" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt5::Test testsupport ${T_LIBS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  set(_home ${CMAKE_BINARY_DIR}/testhome/${name})
  set(_sanenv "")
  if(VQ_SANITIZE)
    # Qt's offscreen platform plugin keeps allocations until exit; those are not ours.
    set(_sanenv "ASAN_OPTIONS=detect_leaks=0")
  endif()
  if(T_NETNS)
    add_test(NAME ${name} COMMAND ${VQ_QTEST_RUNNER} ${VQ_NETNS_LAUNCHER} $<TARGET_FILE:${name}> ${T_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${VQ_QTEST_RUNNER} $<TARGET_FILE:${name}> ${T_ARGS})
  endif()
  string(REPLACE ";" "," _labels "${T_LABELS}")
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    SKIP_RETURN_CODE ${VQ_SKIP_CODE}
    ENVIRONMENT "VQ6020_TEST_LABELS=${_labels};QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software;HOME=${_home};XDG_CONFIG_HOME=${_home}/config;XDG_DATA_HOME=${_home}/data;XDG_RUNTIME_DIR=${_home}/run;VQ6020_SIM=$<TARGET_FILE:vq6020-sim>;VQ6020_APP=$<TARGET_FILE:VQ6020>;VQ6020_SOURCE_DIR=${PROJECT_SOURCE_DIR};VQ6020_BINARY_DIR=${CMAKE_BINARY_DIR};${_sanenv};${T_ENV}")
  file(MAKE_DIRECTORY ${_home}/run)
endfunction()
