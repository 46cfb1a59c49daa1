# zelqd.dll: linked as C, without the start-up files and without the C++
# runtime, so that nothing of libstdc++ or winpthread (exceptions, thread
# support, their locks and thread-local storage) can end up in it: a driver
# change that needs them fails to link instead of growing the DLL and its
# imports. What it may import is listed in win32-allowed-imports.txt and
# checked by scripts/check-win32-dll.sh.
#
# Included from src/CMakeLists.txt for WIN32 builds, after the zelqd target.

# Sections per function and per object, so that the linker drops what no
# path from ZelMain reaches.
target_compile_options(zelqd_objects PRIVATE -ffunction-sections -fdata-sections)

target_sources(zelqd PRIVATE driver/dll_entry_win32.cpp)
set_target_properties(zelqd PROPERTIES LINKER_LANGUAGE C)
# -nostdlib drops the start-up files and every default library; the DLL
# gets back exactly the three it needs: msvcrt.dll and KERNEL32.DLL (import
# libraries) and libgcc (64-bit division and the stack probe, linked in).
# No auto-import: every imported object must be declared dllimport, so that
# no run-time relocation code is needed. Linker warnings are errors, so that
# a missing entry point cannot pass as a warning. No time stamps: the same
# sources give the same DLL.
# The entry symbol carries the stdcall decoration on 32-bit Windows only.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_zelqd_entry ZelqdDllEntry)
else()
  set(_zelqd_entry _ZelqdDllEntry@12)
endif()
target_link_options(zelqd PRIVATE -nostdlib -Wl,--entry,${_zelqd_entry} -Wl,--fatal-warnings
                    -Wl,--gc-sections -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
                    -Wl,--no-insert-timestamp)
target_link_libraries(zelqd PRIVATE msvcrt kernel32 gcc)

# Smaller code: the driver waits on a serial line, never on its own
# instructions.
target_compile_options(zelqd_objects PRIVATE $<$<NOT:$<CONFIG:Debug>>:-Os>)

# The version resource, with the project's version.
enable_language(RC)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/driver/version_win32.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/zelqd_version.rc @ONLY)
target_sources(zelqd PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/zelqd_version.rc)

# Import libraries, both made from zelqd.def: the decorated _ZelMain@4 that
# a caller's __stdcall declaration references binds to the plain export
# ZelMain. The linker's own import library would name the symbol _ZelMain,
# so dlltool -k replaces it: libzelqd.dll.a for MinGW, and zelqd.lib, in
# the short import format of Microsoft's linker, by LLVM's dlltool.
find_program(ZELQD_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
set(ZELQD_DEF_FILE ${CMAKE_CURRENT_SOURCE_DIR}/driver/zelqd.def)
set(_zelqd_dlltool_machine i386)
# 64-bit Windows has one calling convention and no decorated names: the
# .def's ZelMain@4 becomes ZelMain there, in a copy in the build tree that
# takes the place of the source one.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  file(READ ${ZELQD_DEF_FILE} _zelqd_def)
  string(REPLACE "ZelMain@4" "ZelMain" _zelqd_def "${_zelqd_def}")
  set(ZELQD_DEF_FILE ${CMAKE_CURRENT_BINARY_DIR}/zelqd64.def)
  file(WRITE ${ZELQD_DEF_FILE} "${_zelqd_def}")
  get_target_property(_zelqd_sources zelqd SOURCES)
  list(TRANSFORM _zelqd_sources REPLACE "^driver/zelqd\\.def$" "${ZELQD_DEF_FILE}")
  set_property(TARGET zelqd PROPERTY SOURCES ${_zelqd_sources})
  set(_zelqd_dlltool_machine i386:x86-64)
endif()
set(ZELQD_MSVC_IMPORT_LIB ${CMAKE_CURRENT_BINARY_DIR}/zelqd.lib)
add_custom_command(TARGET zelqd POST_BUILD
                   COMMAND ${ZELQD_DLLTOOL} -k -d ${ZELQD_DEF_FILE} -l $<TARGET_LINKER_FILE:zelqd>
                   COMMAND ${ZELQD_LLVM_DLLTOOL} -m ${_zelqd_dlltool_machine} -k -d ${ZELQD_DEF_FILE} -l ${ZELQD_MSVC_IMPORT_LIB}
                   BYPRODUCTS ${ZELQD_MSVC_IMPORT_LIB}
                   VERBATIM)
set_target_properties(zelqd PROPERTIES ZELQD_MSVC_IMPORT_LIB ${ZELQD_MSVC_IMPORT_LIB})
