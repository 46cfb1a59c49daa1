#include "driver/driver_info.h"

#include <array>
#include <string_view>

namespace zelqd {
namespace {

constexpr std::size_t kInner = 59;  // bytes between the two border characters
constexpr std::size_t kLine = 62;   // a line without its newline

constexpr std::string_view kTitle = " Z E L Q D C ";
constexpr std::string_view kClient = "ZELQD - Client WIN95 installed,";
constexpr std::string_view kMaker = "zelqd open serial driver (2026) ";
constexpr std::string_view kVersion = "- Version 5.30";
static_assert(kMaker.size() == 32);
static_assert(kMaker.size() + kVersion.size() == 46);

class BannerWriter {
 public:
  constexpr void Put(char c, std::size_t times = 1) {
    for (std::size_t i = 0; i < times; ++i) text_[at_++] = c;
  }
  constexpr void Put(std::string_view s) {
    for (char c : s) Put(c);
  }
  constexpr void Raw(unsigned code, std::size_t times = 1) { Put(static_cast<char>(code), times); }
  constexpr std::size_t At() const { return at_; }
  constexpr const std::array<char, kBannerSize + 1>& Text() const { return text_; }

 private:
  std::array<char, kBannerSize + 1> text_{};
  std::size_t at_ = 0;
};

constexpr BannerWriter MakeBanner() {
  BannerWriter w;
  w.Put('\n');
  // Top edge.
  w.Put(' ');
  w.Raw(0xC9);
  w.Raw(0xCD, kInner);
  w.Raw(0xBB);
  w.Put('\n');
  // Shaded bar with the title.
  w.Put(' ');
  w.Raw(0xBA);
  w.Put(' ');
  w.Raw(0xDB, 5);
  w.Raw(0xB2, 6);
  w.Raw(0xB1, 6);
  w.Raw(0xB0, 4);
  w.Put(kTitle);
  w.Raw(0xB0, 6);
  w.Raw(0xB1, 6);
  w.Raw(0xB2, 6);
  w.Raw(0xDB, 5);
  w.Put(' ');
  w.Raw(0xBA);
  w.Put('\n');
  // Client line.
  w.Put(' ');
  w.Raw(0xBA);
  w.Put(' ', 14);
  w.Put(kClient);
  w.Put(' ', 14);
  w.Raw(0xBA);
  w.Put('\n');
  // Maker and version.
  w.Put(' ');
  w.Raw(0xBA);
  w.Put(' ', 8);
  w.Put(kMaker);
  w.Put(kVersion);
  w.Put(' ', 5);
  w.Raw(0xBA);
  w.Put('\n');
  // Bottom edge.
  w.Put(' ');
  w.Raw(0xC8);
  w.Raw(0xCD, kInner);
  w.Raw(0xBC);
  w.Put('\n');
  return w;
}

constexpr BannerWriter kBannerWriter = MakeBanner();
static_assert(kBannerWriter.At() == kBannerSize);
static_assert(kLine + 1 == (kBannerSize - 1) / 5);
constexpr std::array<char, kBannerSize + 1> kBannerText = kBannerWriter.Text();

}  // namespace

const char kShortName[] = "General Purpose";

const char* Banner() { return kBannerText.data(); }

std::int32_t GetDriverInfo(DriverInfo& info) {
  info.infoTag = 70;
  info.shortName = kShortName;
  info.banner = Banner();
  info.instanceSize = ZELQD_INSTANCE_SIZE;
  info.infoFlagA = 1;
  info.infoFlagB = 1;
  return ResultOk;
}

}  // namespace zelqd
