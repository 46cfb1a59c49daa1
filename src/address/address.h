// Address texts: "$" and five digits for a numeric variable, "$STOP" for
// the STOP variable.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

// The access kind that ParseAddress tells apart.
inline constexpr std::int32_t kAccessKindStop = 6;

// Code 3: validates the text and fills the block's description fields.
std::int32_t ParseAddress(AddressRequest& request);

// Code 4: as ParseAddress, for numeric variables only.
std::int32_t CheckAddress(AddressRequest& request);

}  // namespace zelqd
