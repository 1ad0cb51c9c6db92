# Checks the build directory DIR of a project that took the library in
# (the consumer tests; scripts/check_install.sh against the packages):
#   SHARED, STATIC  its programs (comma-separated) print "ok", and load
#                   libvelmor_lic.so.<major> or, linked statically, no
#                   libvelmor_lic at all; run with ENV (VAR=value,...) if given;
#   ISOLATION=ON    the library keeps to itself: the consumer's build holds
#                   none of the project's tests, benchmarks, fuzzers, tool,
#                   packaging or install rules, and no build type; src/ is
#                   not on its include path; the compile line of its own
#                   target `consumer` holds no flag beyond the one it asks
#                   for (-Wall) and the library's interface (include
#                   directories, C++17), its link line none beyond the
#                   library's one declared requirement (the thread library,
#                   where the C library lacks it). What the consumer's CMake writes on every such
#                   line (CMake 3.31's -Wl,--dependency-file=...) is not
#                   ours: it is taken from the same target in a project that
#                   uses nothing of ours.
cmake_minimum_required(VERSION 3.13)

set(CHECK_LABEL ${DIR})
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)

string(REPLACE "," ";" env "${ENV}")
foreach(form SHARED STATIC)
  string(REPLACE "," ";" programs "${${form}}")
  foreach(program IN LISTS programs)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} ${DIR}/${program}
      OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT out STREQUAL "ok\n")
      fail("${program} failed (${status}): ${out}${err}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} ldd ${DIR}/${program} OUTPUT_VARIABLE libraries)
    if(form STREQUAL "SHARED" AND NOT libraries MATCHES "libvelmor_lic\\.so\\.[0-9]+ => /")
      fail("${program} does not load libvelmor_lic.so.<major>: ${libraries}")
    elseif(form STREQUAL "STATIC" AND libraries MATCHES "libvelmor_lic")
      fail("${program}, linked statically, loads libvelmor_lic.so: ${libraries}")
    endif()
  endforeach()
endforeach()
if(NOT ISOLATION)
  return()
endif()

# Lines of a command's output, in `out`.
function(lines_of out)
  output_of(text ${ARGN})
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# --- none of the project's targets, files, install rules or build type ---------
file(STRINGS ${DIR}/CMakeCache.txt make REGEX "^CMAKE_MAKE_PROGRAM:")
string(REGEX REPLACE "^[^=]*=" "" make "${make}")
lines_of(targets ${make} -C ${DIR} -t targets all)
list(FILTER targets INCLUDE REGEX
  "^([^:]*/)?([a-z_]+_tests?|child_helper|[a-z_]+_benchmark|static_empty|report_floor|fuzz_[a-z]+):")
if(targets)
  fail("the build holds the project's test, benchmark or fuzz targets: ${targets}")
endif()
file(GLOB_RECURSE found ${DIR}/*/CTestTestfile.cmake ${DIR}/*/CPackConfig.cmake ${DIR}/*/machine_info)
if(found)
  fail("the build has the project's tests, packaging or tool: ${found}")
endif()
set(install_check ${DIR}/install-check)
file(REMOVE_RECURSE ${install_check})
execute_process(COMMAND ${CMAKE_COMMAND} -DCMAKE_INSTALL_PREFIX=${install_check} -P ${DIR}/cmake_install.cmake
  OUTPUT_QUIET RESULT_VARIABLE status)
file(GLOB_RECURSE installed ${install_check}/*)
if(NOT status EQUAL 0 OR installed)
  fail("installing the consumer failed (${status}) or installs the project's files: ${installed}")
endif()
file(STRINGS ${DIR}/CMakeCache.txt build_type REGEX "^CMAKE_BUILD_TYPE:[A-Z]*=.")
if(build_type)
  fail("the consumer's build type was set: ${build_type}")
endif()

# --- the consumer's own compile and link lines ------------------------------------
# The words of a command line that are none of the named kinds.
function(flags_beyond line kinds out)
  # Ninja writes a link as ": && <command> && :".
  string(REGEX REPLACE "^: && | && :$" "" line "${line}")
  separate_arguments(words UNIX_COMMAND "${line}")
  list(REMOVE_AT words 0)  # the compiler
  set(rest "")
  set(skip OFF)
  foreach(word IN LISTS words)
    if(skip)
      set(skip OFF)
    elseif(word MATCHES "^-(o|c|MT|MF)$" OR ("includes" IN_LIST kinds AND word STREQUAL "-isystem"))
      set(skip ON)
    elseif(NOT (word STREQUAL "-MD"
        OR ("includes" IN_LIST kinds AND word MATCHES "^-I")
        OR ("std" IN_LIST kinds AND word MATCHES "^-std=(c|gnu)\\+\\+17$")
        OR ("objects" IN_LIST kinds AND word MATCHES "\\.o$")
        OR ("libraries" IN_LIST kinds AND word MATCHES "(\\.a|\\.so|\\.so\\..*)$|^-Wl,-rpath,")
        OR ("threads" IN_LIST kinds AND word MATCHES "^-l?pthread$")))
      list(APPEND rest "${word}")
    endif()
  endforeach()
  set(${out} "${rest}" PARENT_SCOPE)
endfunction()

# The compile and link lines of `target` in the build directory `dir`.
function(lines_of_target dir target source compile link)
  lines_of(commands ${make} -C ${dir} -t commands ${target})
  set(found_compile "")
  set(found_link "")
  foreach(command IN LISTS commands)
    if(command MATCHES " -c [^ ]*${source}$")
      set(found_compile "${command}")
    elseif(command MATCHES " -o ${target}( |$)")
      set(found_link "${command}")
    endif()
  endforeach()
  if(found_compile STREQUAL "" OR found_link STREQUAL "")
    fail("no compile or link command of ${target} in ${dir}")
  endif()
  set(${compile} "${found_compile}" PARENT_SCOPE)
  set(${link} "${found_link}" PARENT_SCOPE)
endfunction()

# The reference: the same target, asking for -Wall, in a project of its own,
# built with the same CMake, generator, compiler (CXX) and flags (CXX_FLAGS).
set(reference ${DIR}/reference)
file(WRITE ${reference}/main.cpp "int main() { return 0; }\n")
file(WRITE ${reference}/CMakeLists.txt "cmake_minimum_required(VERSION 3.13...4.3)
project(reference LANGUAGES CXX)
add_executable(consumer main.cpp)
target_compile_options(consumer PRIVATE -Wall)\n")
file(STRINGS ${DIR}/CMakeCache.txt generator REGEX "^CMAKE_GENERATOR:")
string(REGEX REPLACE "^[^=]*=" "" generator "${generator}")
execute_process(COMMAND ${CMAKE_COMMAND} -G ${generator} -DCMAKE_MAKE_PROGRAM=${make}
  -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  -S ${reference} -B ${reference}/build OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("the reference project does not configure")
endif()
lines_of_target(${reference}/build consumer "main\\.cpp" reference_compile reference_link)
flags_beyond("${reference_compile}" "includes;std" own_compile)
flags_beyond("${reference_link}" "objects;libraries" own_link)

lines_of_target(${DIR} consumer "run_and_buffer\\.cpp" compile link)
# The library's users see its public headers alone, never its sources.
if(compile MATCHES "(-I|-isystem )[^ ]*/src( |$)")
  fail("the consumer's include path holds the library's src/: ${compile}")
endif()
foreach(kind compile link)
  if(kind STREQUAL "compile")
    flags_beyond("${compile}" "includes;std" left)
  else()
    flags_beyond("${link}" "objects;libraries;threads" left)
  endif()
  foreach(word IN LISTS own_${kind})
    list(FIND left "${word}" index)
    if(index GREATER -1)
      list(REMOVE_AT left ${index})
    endif()
  endforeach()
  if(left)
    fail("the consumer's ${kind} line has flags it did not ask for: '${left}' in: ${${kind}}")
  endif()
endforeach()
