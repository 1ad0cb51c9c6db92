# The packages, packed by cpack from the components of the install rules:
#   cpack -G DEB   machine-info, libvelmor-lic<major>, libvelmor-lic-dev
#   cpack -G RPM   machine-info, velmor-lic, velmor-lic-devel (as the RPM
#                  family names libraries), from a tree configured with
#                  -DVELMOR_PACKAGE_FAMILY=rpm (lib64, the family's layout)
#   cpack -G TGZ   machine-info-<version>-x86_64-linux.tar.gz: the component
#                  "tool" for a distribution with neither package manager,
#                  laid out as a prefix (bin/, share/man/man1/,
#                  share/doc/machine-info/) so that one tar command installs
#                  it into /usr/local or ~/.local.
# Each generator's own settings are in VelmorCPackOptions.cmake.in.
# Needs VELMOR_DEB_PACKAGES, VELMOR_RPM_PACKAGES, VELMOR_SOURCE_DATE_EPOCH
# and VELMOR_RPM_RELEASE.
set(CPACK_PACKAGE_NAME machine-info)
set(CPACK_PACKAGE_VENDOR "velmor")
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL tool runtime dev)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Staged with DESTDIR, so that the install sees the packages' own prefix
# (the pkg-config files write it).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Every time stamp in the packages is SOURCE_DATE_EPOCH (the configured one
# unless cpack's environment sets it), and the archive is stripped of debug
# information as Debian's packages are.
set(CPACK_VELMOR_SOURCE_DATE_EPOCH ${VELMOR_SOURCE_DATE_EPOCH})
configure_file(cmake/VelmorCPackOptions.cmake.in VelmorCPackOptions.cmake.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/VelmorCPackOptions.cmake
  INPUT ${CMAKE_CURRENT_BINARY_DIR}/VelmorCPackOptions.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/VelmorCPackOptions.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/VelmorCPackStage.cmake)

# --- .deb packages -----------------------------------------------------------
# One build gives the three packages; their version is the project's.
list(GET VELMOR_DEB_PACKAGES 1 _velmor_deb_runtime)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ${VELMOR_CHANGELOG_SOURCE})
# xz writes no time stamp into its stream; control files 0644 as dpkg-deb makes them.
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME machine-info)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "print the hardware identity of a Linux x86-64 machine
machine_info prints a three-line report: the CPU vendor and brand read
through the CPUID instruction, the firmware identity that the kernel
publishes in /sys/class/dmi/id/modalias, and the serial number of every
block device under /sys/block.

The binary is linked statically: it runs on any x86-64 Linux system
without shared libraries.")
if(NOT VELMOR_STATIC_TOOL)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
endif()

set(_velmor_library_summary "velmor_lic is a small C++17 utility library: a growable byte buffer, file
and descriptor helpers, a reader for /proc/<pid>/stat, a runner that starts
a shell command as a child process over pipes and watches it, a function
that runs a command to its end and explains its failure, and string
utilities.")

# The runtime package: dependencies from dpkg-shlibdeps when cpack starts
# (VelmorCPackOptions.cmake.in); a shlibs file
# (programs built against X.Y need X.Y or later of the same major version)
# and an ldconfig trigger, instead of the maintainer scripts calling
# ldconfig that CPack would write.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_velmor_deb_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
file(CONFIGURE OUTPUT packaging/runtime/shlibs
  CONTENT "libvelmor_lic ${PROJECT_VERSION_MAJOR} ${_velmor_deb_runtime} (>= ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})\n")
file(CONFIGURE OUTPUT packaging/runtime/triggers CONTENT "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/runtime/shlibs
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "C++ byte buffer, string helpers and command runner (shared library)
${_velmor_library_summary}

This package holds the shared library libvelmor_lic.so.${PROJECT_VERSION_MAJOR}.")

list(GET VELMOR_DEB_PACKAGES 2 CPACK_DEBIAN_DEV_PACKAGE_NAME)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_velmor_deb_runtime} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "C++ byte buffer, string helpers and command runner (development files)
${_velmor_library_summary}

This package holds the headers (included as <velmor_lic/...>), the link to
the shared library, the static library, the CMake package and the
pkg-config files velmor_lic and velmor_lic-static.")

# --- RPMs ----------------------------------------------------------------------
set(CPACK_RPM_COMPONENT_INSTALL ON)
# Staged with DESTDIR for /usr, as the .deb packages: not relocatable.
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${VELMOR_RPM_RELEASE})
set(CPACK_RPM_PACKAGE_LICENSE "Proprietary")
set(CPACK_RPM_PACKAGE_VENDOR "velmor")
set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/changelog)
# Data compressed as in the .deb, a format every rpm of the family reads.
set(CPACK_RPM_COMPRESSION_TYPE xz)
# Directories that belong to the system, not to these packages.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/man /usr/share/man/man1 /usr/share/licenses
  /usr/${CMAKE_INSTALL_LIBDIR}/cmake /usr/${CMAKE_INSTALL_LIBDIR}/pkgconfig)
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

# Each package's name and licence (marked %license); the summary is the
# Debian description's first line, capitalised, the description the rest.
foreach(_velmor_index RANGE 2)
  list(GET VELMOR_COMPONENTS ${_velmor_index} _velmor_component)
  list(GET VELMOR_RPM_PACKAGES ${_velmor_index} _velmor_package)
  string(TOUPPER ${_velmor_component} _velmor_upper)
  set(CPACK_RPM_${_velmor_upper}_PACKAGE_NAME ${_velmor_package})
  set(CPACK_RPM_${_velmor_upper}_USER_FILELIST
    "%license ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/licenses/${_velmor_package}/copyright")
  set(_velmor_description "${CPACK_DEBIAN_${_velmor_upper}_DESCRIPTION}")
  string(FIND "${_velmor_description}" "\n" _velmor_end)
  string(SUBSTRING "${_velmor_description}" 0 1 _velmor_first)
  string(TOUPPER "${_velmor_first}" _velmor_first)
  math(EXPR _velmor_length "${_velmor_end} - 1")
  string(SUBSTRING "${_velmor_description}" 1 ${_velmor_length} _velmor_summary)
  set(CPACK_RPM_${_velmor_upper}_PACKAGE_SUMMARY "${_velmor_first}${_velmor_summary}")
  math(EXPR _velmor_end "${_velmor_end} + 1")
  string(SUBSTRING "${_velmor_description}" ${_velmor_end} -1 CPACK_RPM_${_velmor_upper}_PACKAGE_DESCRIPTION)
endforeach()
set(CPACK_RPM_TOOL_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_RUNTIME_PACKAGE_GROUP "System Environment/Libraries")
set(CPACK_RPM_DEV_PACKAGE_GROUP "Development/Libraries")

# The static tool needs nothing; rpmbuild would still ask for the loader's
# GNU hash support (rtld(GNU_HASH)), which a static PIE never uses.
set(CPACK_RPM_TOOL_PACKAGE_AUTOREQ no)
# The library's Provides and Requires come from rpmbuild's ELF dependency
# generator; the loader's cache is refreshed after install and removal.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/ldconfig "/sbin/ldconfig\n")
set(CPACK_RPM_RUNTIME_POST_INSTALL_SCRIPT_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/ldconfig)
set(CPACK_RPM_RUNTIME_POST_UNINSTALL_SCRIPT_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/rpm/ldconfig)
# The headers and the .so link are of use only with this very build's library.
list(GET VELMOR_RPM_PACKAGES 1 _velmor_rpm_runtime)
set(CPACK_RPM_DEV_PACKAGE_REQUIRES "${_velmor_rpm_runtime} = %{version}-%{release}")

# --- the tarball -----------------------------------------------------------------
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}-${CMAKE_SYSTEM_NAME}" _velmor_platform)
set(VELMOR_TARBALL_NAME machine-info-${PROJECT_VERSION}-${_velmor_platform})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_TOOL_FILE_NAME ${VELMOR_TARBALL_NAME})
# The archive's one top directory has this name (the .deb and RPM files are
# named by their own generators).
set(CPACK_PACKAGE_FILE_NAME ${VELMOR_TARBALL_NAME})

include(CPack)
