#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>

#include "zelqd/zelqd.h"

extern "C" {
std::size_t CLayoutRowCount(void);
int CLayoutRowAt(std::size_t i, const char** name, std::size_t* offset, std::size_t* width);
std::size_t CRecordSize(const char* record);
int CHostInstanceSize(void);
}

namespace {

#define ROW(type, field)                                                                    \
  {                                                                                         \
#type "." #field, { offsetof(type, field), sizeof(static_cast<type*>(nullptr)->field) } \
  }

const std::map<std::string, std::pair<std::size_t, std::size_t>> kCxxRows = {
    ROW(DriverCall, instance),
    ROW(DriverCall, code),
    ROW(DriverCall, params),
    ROW(DriverInstance, replyTimeout),
    ROW(DriverInstance, port),
    ROW(DriverInstance, active),
    ROW(DriverInstance, sequence),
    ROW(DriverInstance, leadByte),
    ROW(DriverInstance, stopped),
    ROW(DriverInstance, portSpec),
    ROW(PortSpec, settings),
    ROW(PortSpec, controlFlags),
    ROW(LineSettings, dataBits),
    ROW(LineSettings, stopBits),
    ROW(LineSettings, parity),
    ROW(DriverInfo, shortName),
    ROW(DriverInfo, banner),
    ROW(DriverInfo, instanceSize),
    ROW(DriverInfo, infoFlagA),
    ROW(DriverInfo, reserved20),
    ROW(DriverInfo, infoFlagB),
    ROW(AddressRequest, accessKind),
    ROW(AddressRequest, presetZero),
    ROW(AddressRequest, variableNumber),
    ROW(AddressRequest, presetThirtyTwo),
    ROW(OpenRequest, active),
    ROW(OpenRequest, replyTimeout),
    ROW(OpenRequest, settings),
    ROW(PortChangeRequest, settings),
    ROW(TransferRequest, variableNumber),
    ROW(TransferRequest, variableClass),
    ROW(TransferRequest, valueCount),
    ROW(TransferRequest, values),
};

TEST(CApi, CAndCxxSeeTheSameLayout) {
  ASSERT_EQ(CLayoutRowCount(), kCxxRows.size());
  for (std::size_t i = 0; i < CLayoutRowCount(); ++i) {
    const char* name = nullptr;
    std::size_t offset = 0, width = 0;
    ASSERT_TRUE(CLayoutRowAt(i, &name, &offset, &width));
    SCOPED_TRACE(name);
    const auto it = kCxxRows.find(name);
    ASSERT_NE(it, kCxxRows.end());
    EXPECT_EQ(offset, it->second.first);
    EXPECT_EQ(width, it->second.second);
  }
  EXPECT_EQ(CRecordSize("DriverCall"), sizeof(DriverCall));
  EXPECT_EQ(CRecordSize("DriverInstance"), sizeof(DriverInstance));
  EXPECT_EQ(CRecordSize("DriverInfo"), sizeof(DriverInfo));
  EXPECT_EQ(CRecordSize("AddressRequest"), sizeof(AddressRequest));
  EXPECT_EQ(CRecordSize("OpenRequest"), sizeof(OpenRequest));
  EXPECT_EQ(CRecordSize("PortChangeRequest"), sizeof(PortChangeRequest));
  EXPECT_EQ(CRecordSize("TransferRequest"), sizeof(TransferRequest));
}

TEST(CApi, CHostReachesTheDriver) { EXPECT_EQ(CHostInstanceSize(), ZELQD_INSTANCE_SIZE); }

}  // namespace
