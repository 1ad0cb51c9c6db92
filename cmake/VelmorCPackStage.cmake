# Run by cpack after it staged the packages' files and before it archives
# them (CPACK_PRE_BUILD_SCRIPTS): what would differ between two builds of the
# same sources goes.
#   - Static archives lose their debug information, as Debian's dh_strip
#     leaves them (CPack strips only programs and shared libraries).
#   - Every file, directory and link takes SOURCE_DATE_EPOCH as its time.
find_program(VELMOR_STRIP NAMES strip REQUIRED)
find_program(VELMOR_TOUCH NAMES touch REQUIRED)
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not set for cpack")
endif()
file(GLOB_RECURSE archives LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a")
foreach(archive IN LISTS archives)
  execute_process(COMMAND ${VELMOR_STRIP} --strip-debug --enable-deterministic-archives "${archive}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
if(entries)
  execute_process(COMMAND ${VELMOR_TOUCH} --no-dereference --date=@${epoch} ${entries}
    COMMAND_ERROR_IS_FATAL ANY)
endif()
