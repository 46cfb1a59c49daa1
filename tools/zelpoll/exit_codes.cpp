#include "exit_codes.h"

#include "zelqd/zelqd.h"

namespace zelpoll {
namespace {

int Rank(int code) {
  switch (code) {
    case kExitOk:
      return 0;
    case kExitRefused:
      return 1;
    case kExitFailed:
      return 2;
    case kExitInterrupted:
      return 3;
    case kExitSetup:
      return 4;
    default:
      return 5;
  }
}

}  // namespace

int ExitFor(std::int32_t result) {
  switch (result) {
    case ResultOk:
      return kExitOk;
    case ResultRefused:
      return kExitRefused;
    default:
      return kExitFailed;
  }
}

int Graver(int a, int b) { return Rank(a) >= Rank(b) ? a : b; }

const char* ResultText(std::int32_t result) {
  switch (result) {
    case ResultOk:
      return "ok";
    case ResultRefused:
      return "refused";
    case ResultFailed:
      return "failed";
    default:
      return "unknown";
  }
}

}  // namespace zelpoll
