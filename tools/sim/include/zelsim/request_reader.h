// Reassembles request frames from the bytes of the line.
//
// Requests may arrive in pieces, and noise may come before them. The reader
// looks for the lead byte, takes the frame length from the command letter
// that follows it, and hands out the frame once all its bytes are there.
// Whatever cannot start a frame is handed out as junk: bytes before a lead
// byte, a lead byte followed by no command letter, and a frame start that
// another lead byte interrupts (no request carries a second 0x04, so the
// first start was noise, or the rest of its frame was lost on the line).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "zelsim/frame.h"

namespace zelsim {

struct ReaderItem {
  enum class Kind { Junk, Frame };
  Kind kind;
  Bytes bytes;
};

class RequestReader {
 public:
  // Adds bytes received from the line.
  void Push(std::span<const std::uint8_t> bytes);

  // The next junk run or complete frame, or nothing while the bytes held are
  // the unfinished start of a frame (or no bytes are held).
  std::optional<ReaderItem> Next();

  // Bytes held: the unfinished start of a frame.
  std::size_t pending() const { return buffer_.size(); }

 private:
  ReaderItem Take(ReaderItem::Kind kind, std::size_t count);

  Bytes buffer_;
};

}  // namespace zelsim
