# zelqd_version.h: the project's version for the programs (--version), made
# from project() at configure time. Link zelqd_version to include it.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/zelqd_version.h
               @ONLY)
add_library(zelqd_version INTERFACE)
target_include_directories(zelqd_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
