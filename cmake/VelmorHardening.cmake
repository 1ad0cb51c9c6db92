# The project's hardening flags, in VELMOR_HARDENING_FLAGS (compile) and
# VELMOR_HARDENING_LINK_FLAGS (link), which velmor_own_target() gives each
# of the project's own targets (library, tool, tests, benchmarks) and
# nothing else:
#   -fstack-protector-strong, -fcf-protection, -Wformat -Werror=format-security,
#   -D_FORTIFY_SOURCE=2 when the build type optimises,
#   -Wl,-z,relro -Wl,-z,now for executables and shared objects.
# None in sanitizer builds (VELMOR_SANITIZERS) and coverage builds
# (VELMOR_COVERAGE): the runtimes there do their own checking, and the
# flags would change what is measured.
#
# A packager's flags come first: when CMAKE_CXX_FLAGS (with the build type's
# flags) or the linker flags already decide one of these (dpkg-buildflags
# passes -fstack-protector-strong, -D_FORTIFY_SOURCE=2 through CPPFLAGS,
# -Wl,-z,relro ...), either way, the project adds nothing for it: no
# duplicate, no -U/-D contest, no redefinition warning. The same holds for a
# compiler that defines _FORTIFY_SOURCE by itself.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)

set(VELMOR_HARDENING_FLAGS "")
set(VELMOR_HARDENING_LINK_FLAGS "")
if(VELMOR_SANITIZERS OR VELMOR_COVERAGE)
  message(STATUS "velmor_lic hardening: off (sanitizer or coverage build)")
  return()
endif()

string(TOUPPER "${CMAKE_BUILD_TYPE}" _velmor_config)
set(_velmor_cxx " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_velmor_config}} ")
set(_velmor_ld " ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${_velmor_config}} ${CMAKE_SHARED_LINKER_FLAGS_${_velmor_config}} ")
set(_velmor_given "")

# Adds `flag` unless the given flags match `already` (a regex).
macro(_velmor_harden list flag already)
  if(_velmor_cxx MATCHES "${already}" OR _velmor_ld MATCHES "${already}")
    list(APPEND _velmor_given "${flag}")
  else()
    list(APPEND ${list} "${flag}")
  endif()
endmacro()

_velmor_harden(VELMOR_HARDENING_FLAGS -fstack-protector-strong "[ ]-f(no-)?stack-protector")
check_cxx_compiler_flag(-fcf-protection VELMOR_HAS_CF_PROTECTION)
if(VELMOR_HAS_CF_PROTECTION)
  _velmor_harden(VELMOR_HARDENING_FLAGS -fcf-protection "[ ]-f(no-)?cf-protection")
endif()
_velmor_harden(VELMOR_HARDENING_FLAGS -Wformat "[ ]-W(no-)?format[ =]")
_velmor_harden(VELMOR_HARDENING_FLAGS -Werror=format-security "-W(no-)?error=format-security")

# _FORTIFY_SOURCE works only with optimisation: the last -O given decides.
string(REGEX MATCHALL "[ ]-O[^ ]*" _velmor_levels "${_velmor_cxx}")
set(_velmor_optimised OFF)
if(_velmor_levels)
  list(GET _velmor_levels -1 _velmor_level)
  if(NOT _velmor_level STREQUAL " -O0")
    set(_velmor_optimised ON)
  endif()
endif()
if(_velmor_optimised AND NOT _velmor_cxx MATCHES "_FORTIFY_SOURCE")
  set(CMAKE_REQUIRED_FLAGS "${CMAKE_CXX_FLAGS_${_velmor_config}}")
  check_cxx_source_compiles("
#ifdef _FORTIFY_SOURCE
#error the compiler defines _FORTIFY_SOURCE itself
#endif
int main() { return 0; }" VELMOR_FORTIFY_NOT_PREDEFINED)
  unset(CMAKE_REQUIRED_FLAGS)
  if(VELMOR_FORTIFY_NOT_PREDEFINED)
    list(APPEND VELMOR_HARDENING_FLAGS -D_FORTIFY_SOURCE=2)
  else()
    list(APPEND _velmor_given "_FORTIFY_SOURCE (the compiler's own)")
  endif()
elseif(_velmor_optimised)
  list(APPEND _velmor_given -D_FORTIFY_SOURCE=2)
endif()

_velmor_harden(VELMOR_HARDENING_LINK_FLAGS "LINKER:-z,relro" "-z[ ,]?(no)?relro")
_velmor_harden(VELMOR_HARDENING_LINK_FLAGS "LINKER:-z,now" "-z[ ,]?(now|lazy)")

list(JOIN VELMOR_HARDENING_FLAGS " " _velmor_added)
list(JOIN VELMOR_HARDENING_LINK_FLAGS " " _velmor_added_ld)
list(JOIN _velmor_given ", " _velmor_given)
message(STATUS "velmor_lic hardening: ${_velmor_added} ${_velmor_added_ld}")
if(_velmor_given)
  message(STATUS "velmor_lic hardening: already in the given flags, not added: ${_velmor_given}")
endif()
