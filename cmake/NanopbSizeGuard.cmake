# cmake -DFILE=<x.pb.c> -DALLOWED=<Message;...> -P NanopbSizeGuard.cmake
#
# The nanopb generator guards messages it estimates at 64 kB or more with
#   #ifndef PB_FIELD_32BIT / #error ... / #endif
# Its estimate is generous (a bytes field of 65500 counts as 65504, each optional
# field 4 more, every member rounded up to 8), so it flags ProxyFrame, whose real
# struct is 65528 bytes. Defining PB_FIELD_32BIT is not an option: Debian's
# libprotobuf-nanopb is built with 16-bit pb_size_t, and our structs and its
# decoder must agree. The guard is therefore removed, which is safe only because
# protocol/Messages.h asserts the real sizeof(ProxyFrame) < 65536 at compile time,
# so the 16-bit descriptors provably hold every offset. No generator option or
# .options entry lowers the estimate without changing the struct or the wire.
#
# Only the messages named in ALLOWED have that compile-time check; any other
# message the generator flags, or a guard that no longer looks as expected,
# stops the build here instead of being edited blindly.
cmake_minimum_required(VERSION 3.25)

if(NOT FILE OR NOT EXISTS "${FILE}")
  message(FATAL_ERROR "NanopbSizeGuard: no generated file '${FILE}'")
endif()
file(READ "${FILE}" _src)

string(REGEX MATCH "/\\* The following messages exceed 64kB in size: ([^*]*) \\*/" _comment "${_src}")
if(NOT _comment)
  if(_src MATCHES "PB_FIELD_32BIT")
    message(FATAL_ERROR "NanopbSizeGuard: ${FILE} mentions PB_FIELD_32BIT in a form this script does not know; "
                        "check the generator's output by hand")
  endif()
  return() # nothing flagged, nothing to remove
endif()

string(REPLACE ", " ";" _flagged "${CMAKE_MATCH_1}")
foreach(_msg IN LISTS _flagged)
  if(NOT _msg IN_LIST ALLOWED)
    message(FATAL_ERROR "NanopbSizeGuard: the generator flags ${_msg} in ${FILE} as 64 kB or more; "
                        "only ${ALLOWED} have a static_assert that their real size fits 16-bit descriptors")
  endif()
endforeach()

set(_guard "#ifndef PB_FIELD_32BIT\n#error Enable PB_FIELD_32BIT to support messages exceeding 64kB in size: ${CMAKE_MATCH_1}\n#endif\n")
string(FIND "${_src}" "${_guard}" _at)
if(_at EQUAL -1)
  message(FATAL_ERROR "NanopbSizeGuard: the PB_FIELD_32BIT guard in ${FILE} no longer has the expected form; "
                      "the nanopb generator changed, check its output by hand")
endif()
string(REPLACE "${_guard}" "/* PB_FIELD_32BIT guard removed by NanopbSizeGuard.cmake: see protocol/Messages.h */\n"
               _src "${_src}")
if(_src MATCHES "#error Enable PB_FIELD_32BIT")
  message(FATAL_ERROR "NanopbSizeGuard: ${FILE} still holds a PB_FIELD_32BIT guard after the edit")
endif()
file(WRITE "${FILE}" "${_src}")
