# Read by cpack: each package's description comes from its row in
# cmake/packaging.cmake alone.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
