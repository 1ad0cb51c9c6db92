# Run by cpack -G TGZ after it wrote the tarball (CPACK_POST_BUILD_SCRIPTS,
# set for that generator alone): the archive is written again from the same
# staged tree with GNU tar, so that it holds nothing of the build machine or
# the user: files in byte-wise name order, owner and group root (0), every
# time SOURCE_DATE_EPOCH, modes without group or world write, and a gzip
# header without name or time. CPack's own archive records the builder's
# owner. (A sorted file list rather than --sort=name: older GNU tar has no
# --sort.)
find_program(VELMOR_TAR NAMES tar)
find_program(VELMOR_GZIP NAMES gzip)
if(NOT VELMOR_TAR OR NOT VELMOR_GZIP)
  message(FATAL_ERROR "cpack -G TGZ needs tar and gzip")
endif()
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set for cpack")
endif()
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(top "${archive}" NAME)
  string(REGEX REPLACE "\\.tar\\.gz$" "" top "${top}")
  # The staged tree of the one component: <temporary dir>/<component>/<top>.
  file(GLOB staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*/${top}")
  list(LENGTH staged count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "no single staged tree for ${archive}: ${staged}")
  endif()
  get_filename_component(stage_root "${staged}" DIRECTORY)
  # Files and links only: extracted into an existing prefix (/usr/local),
  # directory entries would reset its directories' owners and modes.
  file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE "${stage_root}" "${staged}/*")
  # Debian's lintian override, in the tool's component, is the .deb's alone.
  list(FILTER entries EXCLUDE REGEX "/share/lintian/")
  list(SORT entries)
  string(REPLACE ";" "\n" entries "${entries}")
  file(WRITE "${stage_root}.list" "${entries}\n")
  execute_process(
    COMMAND ${VELMOR_TAR} --create --format=ustar --no-recursion --numeric-owner
      --owner=0 --group=0 --mtime=@${epoch} --mode=u+rw,go-w
      -C "${stage_root}" -T "${stage_root}.list" -f -
    COMMAND ${VELMOR_GZIP} -9n
    OUTPUT_FILE "${archive}"
    RESULTS_VARIABLE status)
  if(NOT status STREQUAL "0;0")
    message(FATAL_ERROR "tar or gzip failed on ${archive}: ${status}")
  endif()
endforeach()
