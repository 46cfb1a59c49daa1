# 32-bit Windows with the MinGW-w64 cross compiler (g++-mingw-w64-i686).
# The C++ runtime, libgcc and winpthread are linked statically, so that the
# DLL and the test programs import only system DLLs (and the host library).
# x86_64-mingw.cmake includes this file with its own prefix and processor.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT ZELQD_MINGW_PREFIX)
  set(CMAKE_SYSTEM_PROCESSOR i686)
  set(ZELQD_MINGW_PREFIX i686-w64-mingw32)
endif()

# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# of GCC 12 lacks; winpthread is linked statically with the rest.
foreach(_tool gcc g++)
  find_program(_zelqd_${_tool} NAMES ${ZELQD_MINGW_PREFIX}-${_tool}-posix ${ZELQD_MINGW_PREFIX}-${_tool}
               REQUIRED)
endforeach()
set(CMAKE_C_COMPILER ${_zelqd_gcc})
set(CMAKE_CXX_COMPILER ${_zelqd_g++})
set(CMAKE_RC_COMPILER ${ZELQD_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELQD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_zelqd_static_runtime "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_zelqd_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_zelqd_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_zelqd_static_runtime}")

# Test programs run under Wine, in a prefix of the build's own.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh
                       ABSOLUTE)
