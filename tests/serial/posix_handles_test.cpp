// The handle table: values that fit the port field, never 0 or the failure
// value, and stale handles that never reach a later port.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "serial/posix/handles.h"

namespace zelqd::serial::posix {
namespace {

TEST(PortTable, FillsUpAndStaleHandlesStayDead) {
  std::vector<std::uint32_t> slots;
  std::set<Handle> handles;
  std::uint32_t slot = 0;
  while (Port* port = ClaimPort(&slot)) {
    EXPECT_EQ(port->fd, -1);
    port->fd = static_cast<int>(slot) + 1000;
    const Handle h = PublishPort(slot);
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, kInvalidHandle);
    EXPECT_EQ(SlotOf(h), slot);
    EXPECT_EQ(FindPort(h), port);
    handles.insert(h);
    slots.push_back(slot);
  }
  // Every slot but those other tests of this process hold open.
  EXPECT_GE(slots.size(), kSlotCount - 8);
  EXPECT_EQ(handles.size(), slots.size());

  // A freed slot is claimed again under a new handle; the old one is dead.
  const Handle old = *handles.begin();
  ReleasePort(SlotOf(old));
  EXPECT_EQ(FindPort(old), nullptr);
  Port* again = ClaimPort(&slot);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(slot, SlotOf(old));
  EXPECT_EQ(FindPort(old), nullptr);  // claimed, not yet published
  const Handle fresh = PublishPort(slot);
  EXPECT_NE(fresh, old);
  EXPECT_EQ(FindPort(old), nullptr);
  EXPECT_EQ(FindPort(fresh), again);
  handles.erase(old);
  handles.insert(fresh);

  for (const Handle h : handles) ReleasePort(SlotOf(h));
  for (const Handle h : handles) EXPECT_EQ(FindPort(h), nullptr);
}

TEST(PortTable, ASlotReusedManyTimesNeverRepeatsAHandle) {
  // Hold every other slot so that each claim comes back to ours.
  std::vector<std::uint32_t> others;
  std::uint32_t slot = 0;
  while (ClaimPort(&slot) != nullptr) others.push_back(slot);
  ASSERT_FALSE(others.empty());
  const std::uint32_t ours = others.back();
  others.pop_back();
  ReleasePort(ours);
  std::set<Handle> seen;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_NE(ClaimPort(&slot), nullptr);
    ASSERT_EQ(slot, ours);
    const Handle h = PublishPort(slot);
    ASSERT_NE(h, kInvalidHandle);
    ASSERT_TRUE(seen.insert(h).second) << "handle repeated after " << i << " reuses";
    ReleasePort(slot);
    ASSERT_EQ(FindPort(h), nullptr);
  }
  for (const std::uint32_t o : others) ReleasePort(o);
}

TEST(PortTable, ZeroAndTheFailureValueFindNothing) {
  EXPECT_EQ(FindPort(0), nullptr);
  EXPECT_EQ(FindPort(kInvalidHandle), nullptr);
}

}  // namespace
}  // namespace zelqd::serial::posix
