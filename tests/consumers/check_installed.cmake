# Installs the build tree BUILD into the scratch prefix PREFIX (as a plain
# `cmake --install` does), then checks what is there:
#   - the expected files, the version VERSION in the man page, the changelog
#     and the library's names; the exported targets hold no path of the
#     source tree SOURCE; machine_info is TOOL, static;
#   - libvelmor_lic.so.<major> with its SONAME and no execute bit, exporting
#     only names that the installed public headers declare (no test seam);
#   - the CMake package takes any request of its major version up to its own.
cmake_minimum_required(VERSION 3.13)

set(CHECK_LABEL "installed tree")
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} -DCMAKE_INSTALL_PREFIX=${PREFIX} -P ${BUILD}/cmake_install.cmake
  OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("the install failed")
endif()

file(GLOB archive ${PREFIX}/lib/*-linux-gnu/libvelmor_lic.a ${PREFIX}/lib64/libvelmor_lic.a ${PREFIX}/lib/libvelmor_lic.a)
if(NOT archive)
  fail("libvelmor_lic.a not installed under lib/")
endif()
get_filename_component(libdir ${archive} DIRECTORY)
file(RELATIVE_PATH libdir ${PREFIX} ${libdir})
string(REGEX MATCH "^[0-9]+" major ${VERSION})
set(so ${PREFIX}/${libdir}/libvelmor_lic.so.${major})
foreach(file bin/machine_info
    include/velmor_lic/lic_func.h include/velmor_lic/str_buffer.h include/velmor_lic/popen_cmd.h
    include/velmor_lic/run_cmd.h
    ${libdir}/libvelmor_lic.so ${libdir}/libvelmor_lic.so.${major} ${libdir}/libvelmor_lic.so.${VERSION}
    ${libdir}/cmake/velmor_lic/velmor_licConfig.cmake ${libdir}/cmake/velmor_lic/velmor_licConfigVersion.cmake
    ${libdir}/cmake/velmor_lic/velmor_licTargets.cmake
    ${libdir}/pkgconfig/velmor_lic.pc ${libdir}/pkgconfig/velmor_lic-static.pc
    share/man/man1/machine_info.1.gz share/doc/machine-info/copyright share/doc/machine-info/changelog.gz)
  if(NOT EXISTS ${PREFIX}/${file})
    fail("missing from the install: ${file}")
  endif()
endforeach()
file(READ ${PREFIX}/${libdir}/cmake/velmor_lic/velmor_licTargets.cmake targets)
string(FIND "${targets}" "${SOURCE}" at)
if(at GREATER -1)
  fail("the exported targets point into the source tree")
endif()

# The version written once in CMakeLists.txt reaches the man page and the changelog.
output_of(man gzip -dc ${PREFIX}/share/man/man1/machine_info.1.gz)
string(FIND "${man}" "machine_info ${VERSION}\"" at)
output_of(changelog gzip -dc ${PREFIX}/share/doc/machine-info/changelog.gz)
if(at EQUAL -1 OR NOT changelog MATCHES "^machine-info \\(${VERSION}\\) ")
  fail("the man page or the changelog does not carry version ${VERSION}")
endif()

# The tool installed is the one built and tested, static: no program
# interpreter, no needed library.
file(SHA256 ${PREFIX}/bin/machine_info installed)
file(SHA256 ${TOOL} built)
output_of(segments readelf -lW ${PREFIX}/bin/machine_info)
output_of(dynamic readelf -dW ${PREFIX}/bin/machine_info)
if(NOT installed STREQUAL built OR segments MATCHES "INTERP" OR dynamic MATCHES "\\(NEEDED\\)")
  fail("bin/machine_info is not the static tool built")
endif()

# --- the shared library -----------------------------------------------------------
output_of(dynamic readelf -dW ${so})
output_of(mode stat -L -c %a ${so})
if(NOT dynamic MATCHES "Library soname: \\[libvelmor_lic\\.so\\.${major}\\]" OR NOT mode STREQUAL "644\n")
  fail("libvelmor_lic.so.${major} lacks its SONAME or is not mode 644 (${mode})")
endif()
# Every name it exports is a velmor_lic name declared in a public header;
# the seams the tests use and template copies are not among them.
output_of(symbols nm -DC --defined-only ${so})
string(REGEX REPLACE "(^|\n)[0-9a-f]* [A-Za-z] " "\\1" symbols "${symbols}")
string(REGEX REPLACE "\n$" "" symbols "${symbols}")
string(REPLACE ";" "," symbols "${symbols}")
string(REPLACE "\n" ";" symbols "${symbols}")
file(GLOB headers ${PREFIX}/include/velmor_lic/*.h)
set(declared "")
foreach(header IN LISTS headers)
  file(READ ${header} text)
  string(APPEND declared "${text}")
endforeach()
set(has_execute_cmd OFF)
foreach(symbol IN LISTS symbols)
  if(NOT symbol MATCHES "^((vtable|typeinfo|typeinfo name) for )?velmor_lic::(detail::)?([A-Za-z_0-9~]+)")
    fail("libvelmor_lic.so exports a name of others: ${symbol}")
  endif()
  set(name ${CMAKE_MATCH_4})
  if(NOT declared MATCHES "[^A-Za-z_0-9]${name}[^A-Za-z_0-9]" OR name MATCHES "RunnerAccess")
    fail("libvelmor_lic.so exports a name outside the public headers: ${symbol}")
  endif()
  if(symbol MATCHES "^velmor_lic::ExecuteCmd\\(")
    set(has_execute_cmd ON)
  endif()
endforeach()
if(NOT has_execute_cmd)
  fail("libvelmor_lic.so does not export ExecuteCmd")
endif()

# --- the CMake package's version ----------------------------------------------------
set(probe ${PREFIX}-version-probe)
file(WRITE ${probe}/CMakeLists.txt "cmake_minimum_required(VERSION 3.13...4.3)
project(probe LANGUAGES NONE)
find_package(velmor_lic \${WANT} CONFIG REQUIRED)\n")
string(REGEX MATCH "^[0-9]+\\.[0-9]+" minor ${VERSION})
string(REGEX REPLACE "^[0-9]+\\." "" next_minor ${minor})
math(EXPR next_minor "${next_minor} + 1")
math(EXPR next_major "${major} + 1")
foreach(want ${major} ${major}.0 ${minor} ${VERSION} ${major}.${next_minor} ${next_major})
  file(REMOVE_RECURSE ${probe}/build)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${probe} -B ${probe}/build -DWANT=${want}
    -Dvelmor_lic_DIR=${PREFIX}/${libdir}/cmake/velmor_lic OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE status)
  if(want VERSION_LESS_EQUAL VERSION AND NOT status EQUAL 0)
    fail("the CMake package ${VERSION} refuses a request for ${want}")
  elseif(want VERSION_GREATER VERSION AND status EQUAL 0)
    fail("the CMake package ${VERSION} accepts a request for ${want}")
  endif()
endforeach()
