# The pkg-config files as a project without CMake uses them (the pkg_config
# test; scripts/check_install.sh against the packages). With PKG_CONFIG,
# searching PC_DIR (empty: the system's directories alone) under SYSROOT:
#   - velmor_lic.pc and velmor_lic-static.pc say prefix=PREFIX, make every
#     other path from ${prefix}, and carry VERSION;
#   - examples/run_and_buffer.cpp (under SOURCE), compiled by CXX with
#     CXX_FLAGS and what each file gives, into OUT, prints "ok" (run with
#     ENV), loading libvelmor_lic.so.<major> or, through velmor_lic-static,
#     no libvelmor_lic at all;
#   - code written before <velmor_lic/...> still finds the bare "popen_cmd.h".
cmake_minimum_required(VERSION 3.13)
if(NOT PKG_CONFIG)
  # The test reports this as a skip.
  message(FATAL_ERROR "pkg-config missing (Debian package pkg-config)")
endif()

set(CHECK_LABEL pkg-config)
include(${CMAKE_CURRENT_LIST_DIR}/check_common.cmake)
# The output of pkg-config with `arguments`, without its last newline, in `out`.
set(pc_env PKG_CONFIG_PATH=${PC_DIR} PKG_CONFIG_SYSROOT_DIR=${SYSROOT})
function(pkg_config out)
  output_of(text ${CMAKE_COMMAND} -E env ${pc_env} ${PKG_CONFIG} ${ARGN})
  string(STRIP "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
file(MAKE_DIRECTORY ${OUT})
foreach(module velmor_lic velmor_lic-static)
  pkg_config(dir --variable=pcfiledir ${module})
  file(STRINGS ${dir}/${module}.pc lines)
  list(GET lines 0 first)
  list(FILTER lines INCLUDE REGEX "^[a-z]+dir=")
  list(FILTER lines EXCLUDE REGEX "=\\\${prefix}/")
  pkg_config(version --modversion ${module})
  if(NOT first STREQUAL "prefix=${PREFIX}" OR lines OR NOT version STREQUAL VERSION)
    fail("${module}.pc does not say prefix=${PREFIX}, has a path not made from \${prefix} (${lines}),"
      " or carries version ${version}, not ${VERSION}")
  endif()

  pkg_config(flags --cflags --libs ${module})
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND ${CXX} ${cxx_flags} -std=c++17 -Wall -Wextra -Werror -o ${OUT}/${module}
      ${SOURCE}/examples/run_and_buffer.cpp ${flags}
    RESULT_VARIABLE status)
  string(REPLACE ";" "," env "${ENV}")
  set(form SHARED)
  if(module STREQUAL "velmor_lic-static")
    set(form STATIC)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DDIR=${OUT} -D${form}=${module} -DENV=${env}
      -P ${CMAKE_CURRENT_LIST_DIR}/check_consumer.cmake
    RESULT_VARIABLE check)
  if(NOT status EQUAL 0 OR NOT check EQUAL 0)
    fail("run_and_buffer.cpp built with ${module}'s flags (${flags}) does not build or run")
  endif()
endforeach()

pkg_config(cflags --cflags velmor_lic)
separate_arguments(cflags UNIX_COMMAND "${cflags}")
file(WRITE ${OUT}/bare.cpp "#include \"popen_cmd.h\"\n")
execute_process(COMMAND ${CXX} ${cxx_flags} -std=c++17 -fsyntax-only ${OUT}/bare.cpp ${cflags} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("the bare header names are no longer found")
endif()
