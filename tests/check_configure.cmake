# The project configured by this CMake into DIR, Boost found through its own
# CMake package, or (BOOST=FindBoost) through CMake's FindBoost, with the
# directories of Boost's package left out of the search (the tests
# configure_boost_*). The test fails on any warning CMake prints.
cmake_minimum_required(VERSION 3.13)
set(ignore "")
if(BOOST STREQUAL "FindBoost")
  foreach(lib /usr/lib /lib)
    file(GLOB found LIST_DIRECTORIES true ${lib}/cmake/Boost-* ${lib}/cmake/boost_headers-*
      ${lib}/*/cmake/Boost-* ${lib}/*/cmake/boost_headers-*)
    list(APPEND packages ${found})
  endforeach()
  string(REPLACE ";" "\\;" ignore "-DCMAKE_IGNORE_PATH=${packages}")
endif()
file(REMOVE_RECURSE ${DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${DIR} -G ${GENERATOR} -DCMAKE_MAKE_PROGRAM=${MAKE}
  -DCMAKE_CXX_COMPILER=${CXX} -DVELMOR_BUILD_BENCHMARKS=ON ${ignore} RESULT_VARIABLE status)
file(STRINGS ${DIR}/CMakeCache.txt boost_dir REGEX "^Boost_DIR:PATH=/")
if(NOT status EQUAL 0 OR (BOOST STREQUAL "FindBoost" AND boost_dir))
  message(FATAL_ERROR "configure failed, or Boost's own package was found: ${boost_dir}")
endif()
