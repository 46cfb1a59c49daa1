# Install rules (GNUInstallDirs), in four components:
#   runtime  the shared library libzelqd.so.N.N.N and its soname link
#   dev      the header, the libzelqd.so link, zelqd.pc, the CMake package
#            (find_package(zelqd) -> zelqd::zelqd), the library's man page
#   tools    zelpoll, zelsim, their man pages, and the host library stand-in
#            libdravun in the private directory <libdir>/zelqd
#   doc      license, changelog and README of an installation from source
#            (the Debian packages carry their own copyright and changelog)
# The man pages are installed by docs/man/. Packaging: cmake/packaging.cmake.
include(CMakePackageConfigHelpers)

set(ZELQD_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelqd)

install(TARGETS zelqd EXPORT zelqdTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/zelqd/zelqd.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelqd COMPONENT dev)

# CMake package: zelqdConfig.cmake, its version file and the exported target.
install(EXPORT zelqdTargets NAMESPACE zelqd:: DESTINATION ${ZELQD_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zelqdConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/zelqdConfig.cmake
                              INSTALL_DESTINATION ${ZELQD_CMAKE_PACKAGE_DIR})
# A new major version changes the interface; a 32-bit project does not take
# the 64-bit library (the version file compares the pointer size).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zelqdConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zelqdConfig.cmake ${PROJECT_BINARY_DIR}/zelqdConfigVersion.cmake
        DESTINATION ${ZELQD_CMAKE_PACKAGE_DIR} COMPONENT dev)

# pkg-config: zelqd.pc.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(ZELQD_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(ZELQD_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zelqd.pc.in ${PROJECT_BINARY_DIR}/zelqd.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zelqd.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tools, and the host library stand-in that zelpoll links, where only
# the tools' run-time path leads (cmake/runtime_paths.cmake).
if(ZELQD_BUILD_TOOLS)
  install(TARGETS zelpoll zelsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(TARGETS dravun LIBRARY DESTINATION ${ZELQD_PRIVATE_LIBDIR} COMPONENT tools)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
