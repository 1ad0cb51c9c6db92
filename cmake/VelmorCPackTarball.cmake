# machine-info-<version>-x86_64-linux.tar.gz, for a distribution with
# neither package manager: the static tool, its man page, the README's usage
# section as USAGE.txt and the licence, laid out as a prefix
# (bin/, share/man/man1/, share/doc/machine-info/) so that one tar command
# installs it into /usr/local or ~/.local. The component "tarball" is left
# out of a plain `cmake --install`; cpack -G TGZ packs only it
# (VelmorCPackOptions.cmake.in). Needs VELMOR_MAN_PAGE and velmor_read_lines
# (VelmorChangelog.cmake).
velmor_read_lines(${PROJECT_SOURCE_DIR}/README.md _velmor_readme_lines)
set(_velmor_usage "")
set(_velmor_in_usage OFF)
foreach(_velmor_line IN LISTS _velmor_readme_lines)
  if(_velmor_line MATCHES "^## ")
    if(_velmor_line STREQUAL "## Usage")
      set(_velmor_in_usage ON)
    else()
      set(_velmor_in_usage OFF)
    endif()
  endif()
  if(_velmor_in_usage)
    string(APPEND _velmor_usage "${_velmor_line}\n")
  endif()
endforeach()
if(_velmor_usage STREQUAL "")
  message(FATAL_ERROR "README.md has no \"## Usage\" section for the tarball's USAGE.txt")
endif()
string(STRIP "${_velmor_usage}" _velmor_usage)
velmor_text_restore(_velmor_usage)
set(_velmor_usage_file ${CMAKE_CURRENT_BINARY_DIR}/packaging/tarball/USAGE.txt)
file(WRITE ${_velmor_usage_file}.new "${_velmor_usage}\n")
configure_file(${_velmor_usage_file}.new ${_velmor_usage_file} COPYONLY)

install(TARGETS machine_info RUNTIME DESTINATION bin COMPONENT tarball EXCLUDE_FROM_ALL)
install(FILES ${VELMOR_MAN_PAGE} DESTINATION share/man/man1 COMPONENT tarball EXCLUDE_FROM_ALL)
install(FILES ${_velmor_usage_file} DESTINATION share/doc/machine-info COMPONENT tarball EXCLUDE_FROM_ALL)
install(FILES packaging/copyright DESTINATION share/doc/machine-info RENAME LICENSE
  COMPONENT tarball EXCLUDE_FROM_ALL)

string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}-${CMAKE_SYSTEM_NAME}" _velmor_platform)
set(VELMOR_TARBALL_NAME machine-info-${PROJECT_VERSION}-${_velmor_platform})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_TARBALL_FILE_NAME ${VELMOR_TARBALL_NAME})
# The archive's one top directory has this name (the .deb and RPM files are
# named by their own generators).
set(CPACK_PACKAGE_FILE_NAME ${VELMOR_TARBALL_NAME})
