// Code page 437 text, as the driver's banner is written, drawn in UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace zelpoll {

// Bytes below 0x80 stay as they are; each byte from 0x80 on becomes the
// UTF-8 form of the character code page 437 draws for it.
std::string Cp437ToUtf8(std::string_view text);

}  // namespace zelpoll
