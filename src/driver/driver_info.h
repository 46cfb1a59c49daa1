// The driver's description: GetDriverInfo (code 14), short name and banner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

inline constexpr std::size_t kBannerSize = 316;

// "General Purpose".
extern const char kShortName[];
// 316 bytes of code page 437 text and a terminating NUL.
const char* Banner();

std::int32_t GetDriverInfo(DriverInfo& info);  // code 14

}  // namespace zelqd
