# The RPMs, from the same build as the .deb packages: machine-info (the
# tool), velmor-lic (the shared library) and velmor-lic-devel, as the RPM
# family names libraries. Their libraries live in /usr/lib64, so they are
# installed by rules of their own, components rpm_tool, rpm_runtime and
# rpm_devel, left out of a plain `cmake --install` (EXCLUDE_FROM_ALL): the
# CMake package and the .pc files are written for that directory, not for
# the Debian one. cpack -G RPM packs only these components
# (VelmorCPackOptions.cmake.in).
#
# Needs the tool's and the library's targets, VELMOR_MAN_PAGE,
# VELMOR_LIC_PUBLIC_HEADERS, VELMOR_SOURCE_DATE_EPOCH, VELMOR_RPM_RELEASE and
# the Debian descriptions (their first line is the summary).
set(VELMOR_RPM_LIBDIR lib64)
set(VELMOR_RPM_CMAKE_DIR ${VELMOR_RPM_LIBDIR}/cmake/velmor_lic)
set(VELMOR_RPM_RUNTIME_PACKAGE velmor-lic)
set(_velmor_rpm_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm)

# --- files -------------------------------------------------------------------
install(TARGETS machine_info RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT rpm_tool EXCLUDE_FROM_ALL)
install(FILES ${VELMOR_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT rpm_tool EXCLUDE_FROM_ALL)

# The RPM family keeps the execute bits of shared libraries (0755), which
# CMake leaves off on Debian (CMAKE_INSTALL_SO_NO_EXE).
install(TARGETS velmor_lic_shared EXPORT velmor_licRpmTargets
  LIBRARY DESTINATION ${VELMOR_RPM_LIBDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
    COMPONENT rpm_runtime NAMELINK_COMPONENT rpm_devel EXCLUDE_FROM_ALL)
install(TARGETS velmor_lic_static EXPORT velmor_licRpmTargets
  ARCHIVE DESTINATION ${VELMOR_RPM_LIBDIR} COMPONENT rpm_devel EXCLUDE_FROM_ALL)
install(FILES ${VELMOR_LIC_PUBLIC_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velmor_lic COMPONENT rpm_devel EXCLUDE_FROM_ALL)
install(EXPORT velmor_licRpmTargets NAMESPACE velmor_lic:: FILE velmor_licTargets.cmake
  DESTINATION ${VELMOR_RPM_CMAKE_DIR} COMPONENT rpm_devel EXCLUDE_FROM_ALL)
# The config file finds its prefix from its own directory, which is one
# level less deep here than in lib/<triplet>.
configure_package_config_file(cmake/velmor_licConfig.cmake.in
  ${_velmor_rpm_dir}/velmor_licConfig.cmake
  INSTALL_DESTINATION ${VELMOR_RPM_CMAKE_DIR})
install(FILES ${_velmor_rpm_dir}/velmor_licConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/velmor_licConfigVersion.cmake
  DESTINATION ${VELMOR_RPM_CMAKE_DIR} COMPONENT rpm_devel EXCLUDE_FROM_ALL)
install(CODE "
  set(VELMOR_PC_TEMPLATE [[${CMAKE_CURRENT_SOURCE_DIR}/cmake/velmor_lic.pc.in]])
  set(VELMOR_PC_OUTPUT_DIR [[${_velmor_rpm_dir}/pkgconfig]])
  set(VELMOR_PC_LIBDIR [[${VELMOR_RPM_LIBDIR}]])
  set(VELMOR_PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  include([[${CMAKE_CURRENT_SOURCE_DIR}/cmake/VelmorPkgConfig.cmake]])
" COMPONENT rpm_devel EXCLUDE_FROM_ALL)
install(FILES ${_velmor_rpm_dir}/pkgconfig/velmor_lic.pc ${_velmor_rpm_dir}/pkgconfig/velmor_lic-static.pc
  DESTINATION ${VELMOR_RPM_LIBDIR}/pkgconfig COMPONENT rpm_devel EXCLUDE_FROM_ALL)

# The licence of each package, marked %license below.
foreach(_velmor_pair IN ITEMS rpm_tool:machine-info rpm_runtime:velmor-lic rpm_devel:velmor-lic-devel)
  string(REPLACE ":" ";" _velmor_pair "${_velmor_pair}")
  list(GET _velmor_pair 0 _velmor_component)
  list(GET _velmor_pair 1 _velmor_package)
  string(TOUPPER ${_velmor_component} _velmor_upper)
  install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/${_velmor_package}
    COMPONENT ${_velmor_component} EXCLUDE_FROM_ALL)
  set(CPACK_RPM_${_velmor_upper}_PACKAGE_NAME ${_velmor_package})
  set(CPACK_RPM_${_velmor_upper}_USER_FILELIST
    "%license ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/licenses/${_velmor_package}/copyright")
endforeach()

# --- the packages --------------------------------------------------------------
set(CPACK_RPM_COMPONENT_INSTALL ON)
# Staged with DESTDIR for /usr, as the .deb packages: not relocatable.
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${VELMOR_RPM_RELEASE})
set(CPACK_RPM_PACKAGE_LICENSE "Proprietary")
set(CPACK_RPM_PACKAGE_VENDOR "velmor")
set(CPACK_RPM_CHANGELOG_FILE ${_velmor_rpm_dir}/changelog)
# Data compressed as in the .deb, a format every rpm of the family reads.
set(CPACK_RPM_COMPRESSION_TYPE xz)
# Directories that belong to the system, not to these packages.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/man /usr/share/man/man1 /usr/share/licenses
  /usr/${VELMOR_RPM_LIBDIR}/cmake /usr/${VELMOR_RPM_LIBDIR}/pkgconfig)
# The packager's name; the build host and time, fixed; every file's time at
# most SOURCE_DATE_EPOCH (the stage script sets them all to it already).
# CPack has stripped the binaries and compressed the man page, so rpmbuild's
# own strip and compress steps would only change them: the tarball's tool
# must stay the .deb's, byte for byte. No /usr/lib/.build-id links: they
# would tie the packages to others' build ids.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none
%define __spec_install_post %{nil}")

# Summary: the Debian description's first line, capitalised; then the rest.
macro(_velmor_rpm_describe component debian_description)
  string(FIND "${debian_description}" "\n" _velmor_end)
  string(SUBSTRING "${debian_description}" 0 ${_velmor_end} _velmor_summary)
  math(EXPR _velmor_end "${_velmor_end} + 1")
  string(SUBSTRING "${debian_description}" ${_velmor_end} -1 CPACK_RPM_${component}_PACKAGE_DESCRIPTION)
  string(SUBSTRING "${_velmor_summary}" 0 1 _velmor_first)
  string(SUBSTRING "${_velmor_summary}" 1 -1 _velmor_summary)
  string(TOUPPER "${_velmor_first}" _velmor_first)
  set(CPACK_RPM_${component}_PACKAGE_SUMMARY "${_velmor_first}${_velmor_summary}")
endmacro()
_velmor_rpm_describe(RPM_TOOL "${CPACK_DEBIAN_TOOL_DESCRIPTION}")
_velmor_rpm_describe(RPM_RUNTIME "${CPACK_DEBIAN_RUNTIME_DESCRIPTION}")
_velmor_rpm_describe(RPM_DEVEL "${CPACK_DEBIAN_DEV_DESCRIPTION}")
set(CPACK_RPM_RPM_TOOL_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_RPM_RUNTIME_PACKAGE_GROUP "System Environment/Libraries")
set(CPACK_RPM_RPM_DEVEL_PACKAGE_GROUP "Development/Libraries")

# The static tool needs nothing; rpmbuild would still ask for the loader's
# GNU hash support (rtld(GNU_HASH)), which a static PIE never uses.
set(CPACK_RPM_RPM_TOOL_PACKAGE_AUTOREQ no)
# The library's Provides and Requires come from rpmbuild's ELF dependency
# generator; the loader's cache is refreshed after install and removal.
file(WRITE ${_velmor_rpm_dir}/ldconfig "/sbin/ldconfig\n")
set(CPACK_RPM_RPM_RUNTIME_POST_INSTALL_SCRIPT_FILE ${_velmor_rpm_dir}/ldconfig)
set(CPACK_RPM_RPM_RUNTIME_POST_UNINSTALL_SCRIPT_FILE ${_velmor_rpm_dir}/ldconfig)
# The headers and the .so link are of use only with this very build's library.
set(CPACK_RPM_RPM_DEVEL_PACKAGE_REQUIRES "${VELMOR_RPM_RUNTIME_PACKAGE} = %{version}-%{release}")
