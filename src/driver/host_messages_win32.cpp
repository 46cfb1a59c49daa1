// Messages to the host on Windows.
//
// The host's library DRAVUN.DLL exports err by name. The driver imports it
// through an import library made from dravun.def, so the loader binds it
// when the host loads the driver, exactly as for any system DLL; the host
// has DRAVUN.DLL loaded already.
#include "driver/host_messages.h"

extern "C" __declspec(dllimport) int err(int code, const char* format, ...);

namespace zelqd {

HostErrFunction HostErr() { return err; }

}  // namespace zelqd
