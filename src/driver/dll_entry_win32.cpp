// The entry point of zelqd.dll.
//
// Loading and unloading the driver do no work of its own: it keeps no
// global state that needs setting up, starts no thread and holds nothing
// that must be released at unload. The DLL is therefore linked without the
// compiler's start-up files, and the loader calls this function instead;
// it only says yes. (msvcrt.dll, whose functions the driver calls, is
// initialised by its own entry point before this one runs.)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI ZelqdDllEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }
