// Fault rules: how they are written and which requests they hit.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "zelsim/faults.h"

namespace zelsim {
namespace {

// The request numbers 1 to 12 that the rule hits, for requests that concern
// variable 40 + ordinal.
std::vector<int> Hits(const std::string& rule) {
  const Trigger t = Trigger::Parse(rule);
  std::vector<int> out;
  for (int n = 1; n <= 12; ++n) {
    if (t.Hits(static_cast<std::uint64_t>(n), 40 + n, 40 + n, 0.5)) out.push_back(n);
  }
  return out;
}

TEST(Trigger, RulesHitTheRequestsTheyName) {
  EXPECT_EQ(Hits("never"), std::vector<int>{});
  EXPECT_EQ(Hits("always").size(), 12u);
  EXPECT_EQ(Hits("req:2,5-6,11-"), (std::vector<int>{2, 5, 6, 11, 12}));
  EXPECT_EQ(Hits("every:4"), (std::vector<int>{4, 8, 12}));
  EXPECT_EQ(Hits("var:42,48-49"), (std::vector<int>{2, 8, 9}));
  // Against the draw of 0.5: below the probability hits.
  EXPECT_EQ(Hits("0.6").size(), 12u);
  EXPECT_EQ(Hits("50%").size(), 0u);
  EXPECT_EQ(Hits("0"), std::vector<int>{});
}

TEST(Trigger, VariableRuleHitsABlockThatCoversIt) {
  const Trigger t = Trigger::Parse("var:100");
  EXPECT_TRUE(t.Hits(1, 95, 104, 0));
  EXPECT_TRUE(t.Hits(1, 100, 100, 0));
  EXPECT_FALSE(t.Hits(1, 101, 110, 0));
  EXPECT_FALSE(t.Hits(1, 90, 99, 0));
  EXPECT_FALSE(t.Hits(1, 100, 99, 0));  // a read of no values concerns none
  EXPECT_FALSE(t.Hits(1, -1, -1, 0));   // variable not readable
}

TEST(Trigger, DescribesItselfAsWritten) {
  for (const char* rule : {"never", "always", "req:3,5-7,10-", "every:4", "var:42,100-110"})
    EXPECT_EQ(Trigger::Parse(rule).Describe(), rule);
  EXPECT_EQ(Trigger::Parse("0.25").Describe(), "25%");
}

TEST(Trigger, RefusesMalformedRules) {
  for (const char* rule : {"", "sometimes", "req:", "req:5-3", "req:a", "req:-3", "every:0",
                           "every:x", "var:1,,2", "1.5", "-0.1", "150%", "x:1", "0.5x"}) {
    EXPECT_THROW(Trigger::Parse(rule), std::invalid_argument) << rule;
  }
}

}  // namespace
}  // namespace zelsim
