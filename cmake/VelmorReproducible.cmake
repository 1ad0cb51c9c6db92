# The same sources give the same bytes, whatever directory they are built in
# and whenever:
#   - SOURCE_DATE_EPOCH, the time written into the packages: the
#     environment's when set, else the time of the last commit, else (outside
#     a git checkout) 00:00 UTC of the newest CHANGELOG.md release date;
#   - -ffile-prefix-map (VELMOR_PATH_MAP_FLAGS, for the project's own
#     targets): the source and build directories read "." in debug
#     information and __FILE__ (not in coverage builds, whose counters find
#     the sources by those paths);
#   - static archives without time stamps, owners or modes (ar D, ranlib -D).
# Needs VELMOR_RELEASE_EPOCH (cmake/VelmorChangelog.cmake). Sets
# VELMOR_SOURCE_DATE_EPOCH, and says where it came from.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(VELMOR_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(_velmor_epoch_from "the environment")
else()
  set(VELMOR_SOURCE_DATE_EPOCH "${VELMOR_RELEASE_EPOCH}")
  set(_velmor_epoch_from "the release date in CHANGELOG.md")
  find_package(Git QUIET)
  if(GIT_FOUND)
    # Only the project's own repository counts, not one it was unpacked in.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _velmor_top
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _velmor_git_status)
    if(_velmor_git_status EQUAL 0 AND _velmor_top)
      get_filename_component(_velmor_top "${_velmor_top}" REALPATH)
      get_filename_component(_velmor_source "${PROJECT_SOURCE_DIR}" REALPATH)
    endif()
    if(_velmor_git_status EQUAL 0 AND _velmor_top STREQUAL _velmor_source)
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _velmor_commit_time
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(_velmor_commit_time MATCHES "^[0-9]+$")
        set(VELMOR_SOURCE_DATE_EPOCH ${_velmor_commit_time})
        set(_velmor_epoch_from "the last commit")
        # A new commit configures again, so the packages take its time. The
        # path may be relative to the source directory (git before 2.31 has
        # no --path-format=absolute).
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path logs/HEAD
          WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _velmor_reflog
          OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(_velmor_reflog)
          get_filename_component(_velmor_reflog "${_velmor_reflog}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
        endif()
        if(_velmor_reflog AND EXISTS "${_velmor_reflog}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_velmor_reflog}")
        endif()
      endif()
    endif()
  endif()
endif()
if(NOT VELMOR_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: ${VELMOR_SOURCE_DATE_EPOCH}")
endif()
# For the scripts that build the packages a second time elsewhere.
set(VELMOR_SOURCE_DATE_EPOCH ${VELMOR_SOURCE_DATE_EPOCH} CACHE INTERNAL "time stamp of the packages")
message(STATUS "velmor_lic SOURCE_DATE_EPOCH: ${VELMOR_SOURCE_DATE_EPOCH} (from ${_velmor_epoch_from})")

# For velmor_own_target(): the project's own targets only.
set(VELMOR_PATH_MAP_FLAGS "")
if(NOT VELMOR_COVERAGE)
  set(VELMOR_PATH_MAP_FLAGS
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
endif()

foreach(_velmor_lang IN ITEMS C CXX)
  set(CMAKE_${_velmor_lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_velmor_lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${_velmor_lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
