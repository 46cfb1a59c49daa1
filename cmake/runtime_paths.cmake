# Where an installed tool finds its libraries: the host library stand-in in
# the private directory <libdir>/zelqd (never where a host's own libdravun.so
# would be found), and the driver in <libdir>, both relative to the program
# ($ORIGIN), so that an installed tree needs no build tree and works under any
# prefix. A tool that loads the driver with dlopen asks for its soname; the
# loader searches the program's run-time path for it too.
#
# In the build tree the program's run-time path holds the driver's build
# directory instead, so that it loads the driver built with it.
#
#   zelqd_tool_runpath(TARGET)
set(ZELQD_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zelqd)

function(zelqd_tool_runpath target)
  file(RELATIVE_PATH _to_private ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/zelqd)
  file(RELATIVE_PATH _to_libdir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(
    ${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_to_private};$ORIGIN/${_to_libdir}"
                         BUILD_RPATH "$<TARGET_FILE_DIR:zelqd>")
endfunction()
