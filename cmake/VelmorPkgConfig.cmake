# Run at install time by the install rule that sets the VELMOR_PC_* inputs:
# writes velmor_lic.pc (links the shared library) and velmor_lic-static.pc
# (links the archive by its file name, -l:libvelmor_lic.a) for the prefix
# being installed into. `prefix=` is that prefix; the other paths are
# written from ${prefix} unless the install directories were given as
# absolute paths outside it.
set(VELMOR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")

# `dir` as the .pc file writes it, in `out`.
function(_velmor_pc_path dir out)
  if(NOT IS_ABSOLUTE "${dir}")
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  else()
    # A path outside the prefix starts with "..".
    file(RELATIVE_PATH relative "${VELMOR_PC_PREFIX}" "${dir}")
    if(relative MATCHES "^\\.\\.(/|$)" OR IS_ABSOLUTE "${relative}")
      set(${out} "${dir}" PARENT_SCOPE)
    else()
      set(${out} "\${prefix}/${relative}" PARENT_SCOPE)
    endif()
  endif()
endfunction()
_velmor_pc_path("${VELMOR_PC_LIBDIR}" VELMOR_PC_LIBDIR)
_velmor_pc_path("${VELMOR_PC_INCLUDEDIR}" VELMOR_PC_INCLUDEDIR)

set(VELMOR_PC_NAME velmor_lic)
set(VELMOR_PC_FORM "shared library")
set(VELMOR_PC_LINK -lvelmor_lic)
configure_file(${VELMOR_PC_TEMPLATE} ${VELMOR_PC_OUTPUT_DIR}/velmor_lic.pc @ONLY)
set(VELMOR_PC_NAME velmor_lic-static)
set(VELMOR_PC_FORM "static library")
# Its users link the thread library too (libpthread before glibc 2.32).
set(VELMOR_PC_LINK "-l:libvelmor_lic.a -pthread")
configure_file(${VELMOR_PC_TEMPLATE} ${VELMOR_PC_OUTPUT_DIR}/velmor_lic-static.pc @ONLY)
