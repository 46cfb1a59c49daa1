#include "zelsim/request_reader.h"

#include <algorithm>

namespace zelsim {

void RequestReader::Push(std::span<const std::uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

ReaderItem RequestReader::Take(ReaderItem::Kind kind, std::size_t count) {
  const auto end = buffer_.begin() + static_cast<std::ptrdiff_t>(count);
  ReaderItem item{kind, Bytes(buffer_.begin(), end)};
  buffer_.erase(buffer_.begin(), end);
  return item;
}

std::optional<ReaderItem> RequestReader::Next() {
  if (buffer_.empty()) return std::nullopt;
  // Position of the next lead byte from `from` on, or the end of the buffer.
  const auto nextLead = [this](std::size_t from) {
    const auto it =
        std::find(buffer_.begin() + static_cast<std::ptrdiff_t>(from), buffer_.end(), kLeadByte);
    return static_cast<std::size_t>(it - buffer_.begin());
  };

  if (buffer_[0] != kLeadByte) return Take(ReaderItem::Kind::Junk, nextLead(0));
  if (buffer_.size() < 2) return std::nullopt;

  const std::size_t size = RequestSize(buffer_[1]);
  if (size == 0) return Take(ReaderItem::Kind::Junk, nextLead(1));

  const std::size_t held = std::min(size, buffer_.size());
  const std::size_t interruption = nextLead(1);
  if (interruption < held) return Take(ReaderItem::Kind::Junk, interruption);
  if (buffer_.size() < size) return std::nullopt;
  return Take(ReaderItem::Kind::Frame, size);
}

}  // namespace zelsim
