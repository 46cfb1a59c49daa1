# 64-bit Windows with the MinGW-w64 cross compiler (g++-mingw-w64-x86-64-posix):
# the same backend and driver as the 32-bit target, for the machines whose
# kernel cannot execute 32-bit programs (32-bit Wine cannot run there; the
# 64-bit loader, wine64, can). The shipped DLL stays the 32-bit one.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELQD_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/i686-mingw.cmake)
# Test programs run under wine64, in a 64-bit prefix of the build's own.
set(ZELQD_WINE_LOADER /usr/lib/wine/wine64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR} --loader ${ZELQD_WINE_LOADER})
