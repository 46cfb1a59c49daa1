# The Win32 package for integrators, zelqd-<version>-win32.zip, made by
# CPack: `cmake --build --preset win32 --target package` (scripts/test.sh
# does it and lists the archive).
#
#   bin/zelqd.dll             the driver, stripped
#   include/zelqd/zelqd.h     the header
#   lib/zelqd.lib             import library for Microsoft's linker
#   lib/libzelqd.dll.a        import library for MinGW-w64
#   lib/zelqd.def             the module definition both were made from
#   test-host/DRAVUN.DLL      the stand-in host library, for testing only
#   README.txt, LICENSE.txt   with Windows line ends
#
# Included from the top-level CMakeLists.txt for WIN32 builds, after the
# driver and the stand-in host library are defined.

install(TARGETS zelqd RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES $<TARGET_PROPERTY:zelqd,ZELQD_MSVC_IMPORT_LIB> ${PROJECT_SOURCE_DIR}/src/driver/zelqd.def
        DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/zelqd/zelqd.h DESTINATION include/zelqd)
# The stand-in goes to a folder of its own, so that nobody takes it for the
# host application's DRAVUN.DLL; its import library is not shipped.
install(TARGETS dravun RUNTIME DESTINATION test-host ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)

# Text files with CR LF line ends, for the editors of old Windows.
foreach(_text IN ITEMS packaging/win32/README.txt LICENSE)
  get_filename_component(_name ${_text} NAME_WE)
  configure_file(${PROJECT_SOURCE_DIR}/${_text} ${PROJECT_BINARY_DIR}/win32-package/${_name}.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/win32-package/${_name}.txt DESTINATION .)
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME zelqd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zelqd-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
