// A fresh process for the trace tests, run with an environment of their
// choosing.
//   trace_probe transfer       one write to a silent peer: five attempts
//   trace_probe open           an OpenPort that fails (no such device) as
//                              the first call
//   trace_probe load LIBRARY   loads the driver library, looks up ZelMain,
//                              and calls nothing
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "support/recording_platform.h"
#include "zelqd/zelqd.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "transfer") == 0) {
    zelqd::testing::RecordingPlatform platform;
    DriverInstance instance{};
    instance.port = platform.DoOpen("line");
    instance.leadByte = 4;
    ValueSlot slot{0, 0x64};
    TransferRequest request{};
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = &slot;
    DriverCall call{};
    call.instance = &instance;
    call.code = CodeWriteValue;
    call.params = &request;
    return ZelMain(&call) == ResultFailed && platform.Count(zelqd::testing::Op::Write) == 5 ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "open") == 0) {
    zelqd::testing::RecordingPlatform platform;
    platform.FailOn(zelqd::testing::Op::Open);
    platform.error = 2;
    DriverInstance instance{};
    OpenRequest request{};
    std::strcpy(request.name, "ttyUSB9");
    request.active = 1;
    DriverCall call{};
    call.instance = &instance;
    call.code = CodeOpenPort;
    call.params = &request;
    return ZelMain(&call) == ResultFailed ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
    void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr || dlsym(library, "ZelMain") == nullptr) {
      std::fprintf(stderr, "cannot load %s\n", argv[2]);
      return 1;
    }
    dlclose(library);
    return 0;
  }
  std::fprintf(stderr, "usage: trace_probe transfer | open | load LIBRARY\n");
  return 2;
}
