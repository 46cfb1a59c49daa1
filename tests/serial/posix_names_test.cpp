// Device names to POSIX paths.
#include <gtest/gtest.h>

#include <string>

#include "serial/posix/device_path.h"

namespace zelqd::serial::posix {
namespace {

struct NameCase {
  const char* name;
  const char* path;  // nullptr: refused
};

class DevicePathTable : public ::testing::TestWithParam<NameCase> {};

TEST_P(DevicePathTable, Maps) {
  char path[kDevicePathSize];
  const bool ok = DevicePath(GetParam().name, path, sizeof path);
  if (GetParam().path == nullptr) {
    EXPECT_FALSE(ok) << GetParam().name;
    EXPECT_STREQ(path, "");
  } else {
    ASSERT_TRUE(ok) << GetParam().name;
    EXPECT_STREQ(path, GetParam().path);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePathTable,
    ::testing::Values(
        NameCase{"NUL", "/dev/null"}, NameCase{"nul", "/dev/nul"}, NameCase{"Nul", "/dev/Nul"},
        NameCase{"COM1", "/dev/ttyS0"}, NameCase{"COM2", "/dev/ttyS1"},
        NameCase{"COM10", "/dev/ttyS9"}, NameCase{"COM256", "/dev/ttyS255"},
        NameCase{"com3", "/dev/ttyS2"}, NameCase{"Com4", "/dev/ttyS3"},
        NameCase{"\\\\.\\COM12", "/dev/ttyS11"}, NameCase{"\\\\.\\ttyUSB1", "/dev/ttyUSB1"},
        NameCase{"COM999999999", "/dev/ttyS999999998"},
        // Not COMn: taken relative to /dev
        NameCase{"COM0", "/dev/COM0"}, NameCase{"COM01", "/dev/COM01"}, NameCase{"COM", "/dev/COM"},
        NameCase{"COM1:", "/dev/COM1:"}, NameCase{"COM-1", "/dev/COM-1"},
        NameCase{"COM1000000000", "/dev/COM1000000000"}, NameCase{"ttyUSB0", "/dev/ttyUSB0"},
        NameCase{"pts/3", "/dev/pts/3"}, NameCase{"ttyACM0", "/dev/ttyACM0"},
        // Absolute paths as they stand
        NameCase{"/dev/ttyS4", "/dev/ttyS4"}, NameCase{"/dev/pts/12", "/dev/pts/12"},
        NameCase{"/COM1", "/COM1"},
        // Refused
        NameCase{"", nullptr}, NameCase{"\\\\.\\", nullptr}));

TEST(DevicePath, RefusesWhatDoesNotFitAndNullArguments) {
  char path[kDevicePathSize];
  const std::string longName(kDevicePathSize, 'a');
  EXPECT_FALSE(DevicePath(longName.c_str(), path, sizeof path));
  EXPECT_STREQ(path, "");
  const std::string longPath = "/" + longName;
  EXPECT_FALSE(DevicePath(longPath.c_str(), path, sizeof path));
  // The last name that still fits: "/dev/" and 58 characters.
  const std::string fits(kDevicePathSize - 6, 'b');
  EXPECT_TRUE(DevicePath(fits.c_str(), path, sizeof path));
  EXPECT_EQ(std::string(path), "/dev/" + fits);

  char small[11];  // "/dev/ttyS0" and its terminator
  EXPECT_TRUE(DevicePath("COM1", small, sizeof small));
  EXPECT_FALSE(DevicePath("COM11", small, sizeof small));
  EXPECT_FALSE(DevicePath(nullptr, path, sizeof path));
  EXPECT_FALSE(DevicePath("COM1", nullptr, 8));
  EXPECT_FALSE(DevicePath("COM1", path, 0));
}

TEST(IsNullDeviceName, ExactlyNul) {
  EXPECT_TRUE(IsNullDeviceName("NUL"));
  EXPECT_FALSE(IsNullDeviceName("nul"));
  EXPECT_FALSE(IsNullDeviceName("NUL "));
  EXPECT_FALSE(IsNullDeviceName("NULL"));
  EXPECT_FALSE(IsNullDeviceName("/dev/null"));
  EXPECT_FALSE(IsNullDeviceName(nullptr));
}

}  // namespace
}  // namespace zelqd::serial::posix
