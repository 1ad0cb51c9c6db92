# CHANGELOG.md, newest release first, is the one record of the releases; the
# Debian changelog of the packages and the release date are made from it:
#
#   ## <version> - <YYYY-MM-DD>
#
#   - one item, continued on lines
#     indented by two spaces
#
# Sets VELMOR_RELEASE_DATE (YYYY-MM-DD of the newest entry),
# VELMOR_RELEASE_EPOCH (its 00:00 UTC in seconds), VELMOR_RELEASE_MONTH
# ("December 2026", for the man page) and writes packaging/changelog (Debian)
# and packaging/rpm/changelog (the RPMs' %changelog, for release
# VELMOR_RPM_RELEASE, 1 unless set) into the build tree. The newest entry must
# carry the project's version: a version is not released without saying what
# it changed.
# The lines of text file `path` as a list in `out`, a configure depending on
# it. The text's own ";" and "[" "]" are kept out of CMake's way as markers,
# which velmor_text_restore turns back.
function(velmor_read_lines path out)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
  file(READ ${path} text)
  string(REPLACE ";" "@SEMICOLON@" text "${text}")
  string(REPLACE "[" "@LBRACKET@" text "${text}")
  string(REPLACE "]" "@RBRACKET@" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(velmor_text_restore var)
  string(REPLACE "@SEMICOLON@" ";" text "${${var}}")
  string(REPLACE "@LBRACKET@" "[" text "${text}")
  string(REPLACE "@RBRACKET@" "]" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

set(_velmor_changelog_md ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
if(NOT DEFINED VELMOR_RPM_RELEASE)
  set(VELMOR_RPM_RELEASE 1)
endif()
velmor_read_lines(${_velmor_changelog_md} _velmor_lines)

# A YYYY-MM-DD day at 00:00 UTC in date(1)'s `format` (-R: RFC 5322), in `out`.
function(_velmor_date day format out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -d "${day} 00:00:00 UTC" "${format}"
    OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "CHANGELOG.md: ${day} is not a date")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(_velmor_debian "")
set(_velmor_rpm "")
set(_velmor_entry_open OFF)
set(VELMOR_RELEASE_DATE "")
foreach(_line IN LISTS _velmor_lines)
  if(_line MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
    set(_version ${CMAKE_MATCH_1})
    set(_day ${CMAKE_MATCH_2})
    if(_velmor_entry_open)
      string(APPEND _velmor_debian "${_velmor_trailer}\n")
    elseif(NOT _version VERSION_EQUAL PROJECT_VERSION)
      message(FATAL_ERROR "CHANGELOG.md: the newest entry is ${_version}, the project is ${PROJECT_VERSION}: add its entry")
    else()
      set(VELMOR_RELEASE_DATE ${_day})
    endif()
    _velmor_date(${_day} -R _rfc_date)
    set(_velmor_trailer "\n -- ${CPACK_PACKAGE_CONTACT}  ${_rfc_date}\n")
    string(APPEND _velmor_debian "${VELMOR_CHANGELOG_SOURCE} (${_version}) unstable; urgency=medium\n\n")
    # RPM: "* Tue Dec 08 2026 name <mail> - version-release", one blank line between entries.
    _velmor_date(${_day} "+%a %b %d %Y" _rpm_date)
    if(_velmor_entry_open)
      string(APPEND _velmor_rpm "\n")
    endif()
    string(APPEND _velmor_rpm "* ${_rpm_date} ${CPACK_PACKAGE_CONTACT} - ${_version}-${VELMOR_RPM_RELEASE}\n")
    set(_velmor_entry_open ON)
  elseif(_velmor_entry_open AND _line MATCHES "^- (.*)$")
    string(APPEND _velmor_debian "  * ${CMAKE_MATCH_1}\n")
    string(APPEND _velmor_rpm "- ${CMAKE_MATCH_1}\n")
  elseif(_velmor_entry_open AND _line MATCHES "^  +([^ ].*)$")
    string(APPEND _velmor_debian "    ${CMAKE_MATCH_1}\n")
    string(APPEND _velmor_rpm "  ${CMAKE_MATCH_1}\n")
  elseif(_line MATCHES "^## ")
    message(FATAL_ERROR "CHANGELOG.md: a release heading reads \"## X.Y.Z - YYYY-MM-DD\", not: ${_line}")
  endif()
endforeach()
if(NOT _velmor_entry_open)
  message(FATAL_ERROR "CHANGELOG.md has no release entry")
endif()
string(APPEND _velmor_debian "${_velmor_trailer}")
# An RPM changelog is read by rpmbuild, which expands macros in it: "%" is "%%".
string(REPLACE "%" "%%" _velmor_rpm "${_velmor_rpm}")
# Rewritten only when they change, so that a configure rebuilds nothing.
velmor_text_restore(_velmor_debian)
velmor_text_restore(_velmor_rpm)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.new "${_velmor_debian}")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.new
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog COPYONLY)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/changelog.new "${_velmor_rpm}")
configure_file(${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/changelog.new
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/changelog COPYONLY)

_velmor_date(${VELMOR_RELEASE_DATE} +%s VELMOR_RELEASE_EPOCH)
_velmor_date(${VELMOR_RELEASE_DATE} "+%B %Y" VELMOR_RELEASE_MONTH)
