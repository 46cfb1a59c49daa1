# Where a tool finds its libraries.
#
# Installed: the host library stand-in in the private directory
# <libdir>/zelqd (never where a host's own libdravun.so would be found), and
# the driver in <libdir>, both relative to the program ($ORIGIN), so that an
# installed tree needs no build tree and works under any prefix. A tool that
# loads the driver with dlopen asks the loader for its soname, which searches
# the program's run-time path too.
#
# In the build tree: the driver's soname beside the program links to the
# driver built with it, so that the program takes that one first (a dlopen
# called through a sanitizer's interceptor would not search the program's
# run-time path).
#
#   zelqd_tool_paths(TARGET)
set(ZELQD_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zelqd)

function(zelqd_tool_paths target)
  file(RELATIVE_PATH _to_private ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/zelqd)
  file(RELATIVE_PATH _to_libdir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_to_private};$ORIGIN/${_to_libdir}")
  add_dependencies(${target} zelqd)
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:zelqd>
            $<TARGET_FILE_DIR:${target}>/$<TARGET_SONAME_FILE_NAME:zelqd>
    VERBATIM)
endfunction()
