# The ABI guard, run by the test "abi" and the target abi_baseline:
#   cmake -DLIBRARY=<libvelmor_lic.so.X.Y.Z> -DSOURCE=<source dir> [-DUPDATE=ON] -P VelmorAbi.cmake
# compares the library, built with -g, with the ABI recorded at the last
# release, abi/<SONAME>.abi (abidw's dump, without paths or line numbers,
# so that it changes only when the ABI does):
#   - a removed or changed function or variable, or a changed type they
#     reach, fails, unless the SONAME changed too (a new major version);
#   - added functions and variables pass, and are listed (a new minor version).
# With UPDATE=ON it records the library as the baseline (at a release).
# Header-only template copies are not exported (cmake/velmor_lic.map), so the
# build type does not change what is compared.
cmake_minimum_required(VERSION 3.13)
find_program(ABIDW abidw)
find_program(ABIDIFF abidiff)
if(NOT ABIDW OR NOT ABIDIFF)
  # The test reports this as a skip.
  message(FATAL_ERROR "abigail-tools missing (Debian package abigail-tools)")
endif()

function(output_of out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "ABI: ${ARGN} failed")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
output_of(dynamic readelf -dW ${LIBRARY})
output_of(sections readelf -SW ${LIBRARY})
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
  message(FATAL_ERROR "ABI: ${LIBRARY} has no SONAME")
endif()
set(soname ${CMAKE_MATCH_1})
if(NOT sections MATCHES "\\.debug_info")
  message(FATAL_ERROR "ABI: ${LIBRARY} has no debug information: compare a build with -g (RelWithDebInfo or Debug)")
endif()

set(dump_options --no-corpus-path --no-comp-dir-path --no-show-locs)
if(UPDATE)
  file(GLOB old ${SOURCE}/abi/libvelmor_lic.so.*.abi)
  if(old)
    file(REMOVE ${old})
  endif()
  output_of(ignored ${ABIDW} ${dump_options} --out-file ${SOURCE}/abi/${soname}.abi ${LIBRARY})
  message("ABI: abi/${soname}.abi recorded from ${LIBRARY}; commit it")
  return()
endif()

file(GLOB baseline ${SOURCE}/abi/libvelmor_lic.so.*.abi)
list(LENGTH baseline count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "ABI: not one baseline in abi/ (${baseline}): record one with the target abi_baseline")
endif()
file(STRINGS ${baseline} first LIMIT_COUNT 1)
string(REGEX REPLACE ".* soname='([^']*)'.*" "\\1" base_soname "${first}")
get_filename_component(current ${LIBRARY} DIRECTORY)
set(current ${current}/abi-current.abi)
output_of(ignored ${ABIDW} ${dump_options} --out-file ${current} ${LIBRARY})
# Private functions that no public inline code calls may go (abi/private_members.suppr).
execute_process(COMMAND ${ABIDIFF} --suppressions ${SOURCE}/abi/private_members.suppr ${baseline} ${current}
  OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
get_filename_component(name ${baseline} NAME)
set(summary "${name} against ${LIBRARY}")
# abidiff's status is a bit set: 1 error, 2 usage, 4 ABI change, 8 incompatible.
math(EXPR failed "${status} & 3")
math(EXPR incompatible "${status} & 8")
if(NOT failed EQUAL 0)
  message(FATAL_ERROR "ABI: abidiff could not compare ${summary} (status ${status}):\n${report}")
elseif(status EQUAL 0)
  message("ABI: unchanged (${summary})")
  return()
endif()
message("${report}")
if(NOT soname STREQUAL base_soname)
  message("ABI: changed, but the SONAME did too (${base_soname} -> ${soname}): allowed for a new major version;"
    " record the new baseline with the target abi_baseline")
  return()
endif()
# Removed or changed interface (even where abidiff leaves the judgement to a
# person, as for a changed type) breaks programs built against the baseline.
string(REGEX MATCHALL "changes summary:[^\n]*" counts "${report}")
string(REGEX MATCHALL "[1-9][0-9]* (Removed|Changed)( \\([0-9]+ filtered out\\))?" broken "${counts}")
if(NOT incompatible EQUAL 0 OR broken)
  message(FATAL_ERROR "ABI: incompatible change (${summary}, SONAME still ${soname}): ${broken}."
    " Keep the interface, or raise the major version (and with it the SONAME)")
endif()
string(REGEX MATCHALL "[1-9][0-9]* Added (function|variable)s?( symbols?)?" added "${counts}")
message("ABI: compatible, added: ${added} (${summary}); adding needs a new minor version")
