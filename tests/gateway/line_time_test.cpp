// The line's time: transfer costs, the cheapest block plan against every
// plan and against merging up to a fixed gap, the measured turnaround, the
// poll order over ten simulated minutes, and the --check sentence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/cycle_plan.h"
#include "core/fair_schedule.h"
#include "core/line_check.h"
#include "core/turnaround.h"
#include "core/value_cache.h"

namespace zelgw::linetime {
namespace {

LineTiming Timing(int baud, int data, int parity, int stop, double turnaroundMs = 0) {
  return {baud, data, parity, stop, turnaroundMs, 0};
}

TEST(LineTime, TransferCostsAndTurnaround) {
  struct Case {
    LineTiming timing;
    int count;  // values read; 0: a write, -1: a write with the short reply
    double ms;
    const char* framing;
  } cases[] = {
      {Timing(9600, 8, 0, 0), 1, 26 / 0.96, "8N1"},
      {Timing(9600, 8, 0, 0), 106, 866 / 0.96, "8N1"},
      {Timing(9600, 8, 0, 0), 0, 28 / 0.96, "8N1"},
      {Timing(9600, 8, 0, 0), -1, 25 / 0.96, "8N1"},
      {Timing(38400, 8, 0, 0, 20), 10, 98 / 3.84 + 20, "8N1"},
      {Timing(9600, 7, 2, 0), 1, 26 / 0.96, "7E1"},
      {Timing(9600, 8, 0, 2), 1, 26 * 1.1 / 0.96, "8N2"},
      {Timing(9600, 8, 1, 1, 5), 2, 34 * 1.2 / 0.96 + 5, "8O1.5"},
  };
  for (const Case& c : cases) {
    const double ms =
        c.count > 0 ? ReadTransferMs(c.timing, c.count) : WriteTransferMs(c.timing, c.count < 0);
    EXPECT_NEAR(ms, c.ms, 1e-9) << c.framing << " at " << c.timing.baud << ", count " << c.count;
    EXPECT_EQ(FramingText(c.timing), c.framing);
  }
  // The request (14 characters) and the first reply byte take 15.625 ms.
  const std::uint64_t sent = 5'000'000'000;
  EXPECT_NEAR(TurnaroundSampleMs(sent, sent + 35'625'000, 14, cases[0].timing), 20, 1e-9);
  EXPECT_EQ(TurnaroundSampleMs(sent, sent + 10'000'000, 14, cases[0].timing), 0);
  EXPECT_EQ(TurnaroundSampleMs(sent, 0, 14, cases[0].timing), 0);

  TurnaroundFigure figure;
  for (int i = 0; i < 40; ++i) figure.Add(i % 10 == 3 ? 900 : 20 + i % 3);  // odd slow ones
  EXPECT_EQ(figure.ms(), 21);
  for (int i = 0; i < 32 + 15; ++i) figure.Add(i < 32 ? 20 + i % 3 : 60);
  EXPECT_EQ(figure.ms(), 22);  // a change not yet half the window long
  figure.Add(60), figure.Add(60);
  EXPECT_EQ(figure.ms(), 60);
  TurnaroundHistogram h;
  for (const double ms : {0.0, 1.0, 1.5, 999.0, 1000.0, 5000.0}) h.Observe(ms);
  const std::uint64_t cumulative[] = {2, 3, 3, 3, 3, 3, 3, 3, 3, 5, 6};
  for (std::size_t i = 0; i < TurnaroundHistogram::kBuckets; ++i)
    EXPECT_EQ(h.CumulativeCount(i), cumulative[i]) << "bucket " << i;

  for (const auto& [from, to, replan] : {std::tuple{20.0, 23.9, false},
                                         {20.0, 24.1, true},
                                         {20.0, 15.9, true},
                                         {0.0, 0.19, false},
                                         {0.0, 0.21, true}})
    EXPECT_EQ(NeedsReplan(from, to), replan) << from << " -> " << to;
}

// The least line time over every way of cutting the sorted variables into
// runs that respect the block limits.
double BruteForceMs(const std::vector<int>& v, const LineTiming& timing,
                    std::optional<int> maxGap) {
  double best = INFINITY;
  for (std::uint32_t cuts = 0; cuts < (1u << (v.size() - 1)); ++cuts) {
    double ms = 0;
    for (std::size_t start = 0, i = 1; i <= v.size(); ++i) {
      const bool cut = i == v.size() || (cuts >> (i - 1) & 1);
      if (!cut && v[i] - v[i - 1] - 1 > maxGap.value_or(106)) ms = INFINITY;
      if (cut) {
        const int span = v[i - 1] - v[start] + 1;
        ms += span <= 106 ? ReadTransferMs(timing, span) : INFINITY;
        start = i;
      }
    }
    best = std::min(best, ms);
  }
  return best;
}

// Every variable in exactly one block, each block from one wanted variable
// to another, within 106 values and the gap bound.
void ExpectCovers(const std::vector<Block>& blocks, const std::vector<int>& v, int maxGap) {
  std::size_t i = 0;
  for (const Block& b : blocks) {
    ASSERT_TRUE(b.count <= 106 && i < v.size() && b.first == v[i]);
    for (++i; i < v.size() && v[i] < b.end(); ++i) ASSERT_LE(v[i] - v[i - 1] - 1, maxGap);
    ASSERT_EQ(b.end() - 1, v[i - 1]);
  }
  ASSERT_EQ(i, v.size());
}

TEST(CyclePlan, CheapestIsTheOptimumAndNeverWorseThanFixedGap) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 400; ++round) {
    std::vector<int> v;
    for (std::size_t n = 1 + random() % 12; v.size() < n;) {
      v.push_back(static_cast<int>(random() % (round % 2 ? 320 : 40)));  // 320: beyond 106
      std::sort(v.begin(), v.end());
      v.erase(std::unique(v.begin(), v.end()), v.end());
    }
    const LineTiming timing = Timing(round % 3 ? 9600 : 38400, 8, 0, 0, (round % 4) * 15.0);
    const std::optional<int> maxGap =
        round % 5 ? std::optional<int>(static_cast<int>(random() % 8)) : std::nullopt;
    SCOPED_TRACE("round " + std::to_string(round));
    const std::vector<Block> dp = PlanCheapest(v, timing, maxGap);
    ExpectCovers(dp, v, maxGap.value_or(106));
    EXPECT_NEAR(PlanLineMs(dp, timing), BruteForceMs(v, timing, maxGap), 1e-6);
    const std::vector<Block> fixed = FixedGapPlan(v);
    ExpectCovers(fixed, v, 4);
    EXPECT_LE(PlanLineMs(PlanCheapest(v, timing, 4), timing), PlanLineMs(fixed, timing) + 1e-9);
  }

  std::map<std::string, std::vector<int>> layouts;
  for (int v = 0; v < 2000; ++v) {
    if (v < 200) layouts["adjacent"].push_back(v), layouts["every 3rd"].push_back(3 * v);
    if (v < 200) layouts["every 10th"].push_back(10 * v);
    if (random() % 6 == 0) layouts["random"].push_back(v);
  }
  for (const auto& [name, v] : layouts) {
    for (const LineTiming& timing : {Timing(9600, 8, 0, 0, 10), Timing(9600, 8, 0, 0, 100),
                                     Timing(38400, 8, 0, 0, 10), Timing(38400, 8, 0, 0, 100)}) {
      const std::vector<Block> dp = PlanCheapest(v, timing), fixed = FixedGapPlan(v);
      const double dpMs = PlanLineMs(dp, timing), fixedMs = PlanLineMs(fixed, timing);
      std::printf(
          "%-10s %zu vars at %5d, turnaround %3.0f ms: cheapest %3zu blocks %7.0f ms, "
          "fixed gap %3zu blocks %7.0f ms (%3.0f %%)\n",
          name.c_str(), v.size(), timing.baud, timing.turnaroundMs, dp.size(), dpMs, fixed.size(),
          fixedMs, 100 * dpMs / fixedMs);
      EXPECT_LE(dpMs, fixedMs + 1e-9) << name;
    }
  }
}

// The remote's variable v as a writer changes it: every 7 + v % 13 ms.
// What the remote holds in variable v at a time: each variable its own
// value, changing at its own pace.
std::uint32_t Written(int v, double atMs) {
  return static_cast<std::uint32_t>(v) * 1'000'000u +
         static_cast<std::uint32_t>(atMs / (7 + v % 13));
}

// Ten minutes with a virtual clock, three interval groups, on a line with
// time to spare and on one that needs twice its time.
TEST(FairSchedule, TenMinutes) {
  {  // a block a whole interval behind owes no burst of reads once it is served
    const IntervalGroup one[] = {{100, 1, {{0, 1}}}};
    FairSchedule s(one, 0);
    s.Done(s.Next(0), 0);
    ASSERT_EQ(s.Next(1000), 0);
    s.Done(0, 1000);
    EXPECT_EQ(s.Next(1050), -1);
    EXPECT_EQ(s.NextDueMs(), 1100);
  }
  std::map<int, int> wished;  // interval by variable
  for (int v = 0; v < 60; ++v) wished[2000 + 2 * v] = 5000, wished[400 + 11 * (v % 6)] = 1000;
  for (int v = 0; v < 4; ++v) wished[100 + 3 * v] = 500;
  for (const double load : {0.5, 2.0}) {
    SCOPED_TRACE("load " + std::to_string(load));
    LineTiming timing = Timing(19200, 8, 0, 0, 20);
    std::vector<IntervalGroup> plan;
    for (const int interval : {500, 1000, 5000}) {
      std::vector<int> vars;
      for (const auto& [v, i] : wished)
        if (i == interval) vars.push_back(v);
      plan.push_back({interval, static_cast<int>(vars.size()), PlanCheapest(vars, timing)});
    }
    // The turnaround that gives these blocks this load (the load grows
    // linearly with it).
    const double at0 = CycleLineTime(plan, Timing(19200, 8, 0, 0, 0)).load;
    timing.turnaroundMs =
        (load - at0) / (CycleLineTime(plan, Timing(19200, 8, 0, 0, 1)).load - at0);
    ASSERT_GT(timing.turnaroundMs, 0);
    ASSERT_NEAR(CycleLineTime(plan, timing).load, load, 1e-9);

    // The replies go into the line's value cache as the line stores them;
    // each tag read back must hold what its variable held when answered.
    ValueCache cache("north");
    std::vector<PlantTag> tags;
    for (const auto& [v, interval] : wished) {
      PlantTag tag;
      tag.name = "T" + std::to_string(v);
      tag.line = "north";
      tag.variable = v;
      tag.type = zeltools::ValueType::Uint32;
      tag.pollMs = interval;
      tags.push_back(tag);
    }
    cache.Replace(std::move(tags));

    FairSchedule schedule(plan, 0);
    std::map<int, std::vector<double>> reads;  // by variable
    double now = 0, busy = 0;
    int wrong = 0;
    while (now < 10 * 60 * 1000) {
      const int next = schedule.Next(now);
      if (next < 0) {
        now = schedule.NextDueMs();
        continue;
      }
      const FairSchedule::Entry& e = schedule.entries()[static_cast<std::size_t>(next)];
      const Block block = e.block;
      const double answeredMs = now + 14 * CharacterMs(timing) + timing.turnaroundMs;
      std::uint32_t reply[106];
      for (int k = 0; k < block.count; ++k) reply[k] = Written(block.first + k, answeredMs);
      cache.StoreRead(block.first, block.count, reply, ValueCache::Clock::now());
      for (auto it = wished.lower_bound(block.first); it != wished.end() && it->first < block.end();
           ++it) {
        if (it->second != e.intervalMs) continue;
        std::uint32_t got = 0;
        const int variable = it->first;
        wrong += !cache.ReadCached({&variable, 1}, &got) || got != Written(variable, answeredMs);
        reads[variable].push_back(now);
      }
      schedule.Done(next, now);
      busy += ReadTransferMs(timing, block.count);
      now += ReadTransferMs(timing, block.count);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(busy / now, std::min(load, 1.0) * 0.98) << "the line idled";

    // Per group, the least and the most of its tags' mean period after the
    // first minute, over the interval.
    std::map<int, std::pair<double, double>> spread;
    for (const auto& [v, interval] : wished) {
      const std::vector<double>& r = reads[v];
      const auto from = std::lower_bound(r.begin(), r.end(), 60'000.0);
      ASSERT_GE(r.end() - from, 10) << "variable " << v << " starved";
      const double ratio = (r.back() - *from) / static_cast<double>(r.end() - from - 1) / interval;
      auto [it, fresh] = spread.try_emplace(interval, ratio, ratio);
      it->second = {std::min(it->second.first, ratio), std::max(it->second.second, ratio)};
    }
    const double expected = std::max(load, 1.0), margin = load > 1 ? 0.15 : 0.001;
    double slowest = 0;
    for (const auto& [interval, range] : spread) {
      std::printf("load %.1f: tags at %4d ms read every %.3f..%.3f of their interval\n", load,
                  interval, range.first, range.second);
      EXPECT_GT(range.first, expected * (1 - margin)) << interval;
      EXPECT_LT(range.second, expected * (1 + margin)) << interval;
      EXPECT_GT(range.first * interval, slowest) << "tags at " << interval << " ms overtaken";
      slowest = range.second * interval;
    }
    for (const FairSchedule::Entry& e : schedule.entries())
      EXPECT_NEAR(e.averageMs / e.intervalMs, expected, 0.15 * expected) << e.block.first;
  }
}

TEST(LineCheck, Sentences) {
  struct Case {
    LineTiming timing;
    std::vector<IntervalGroup> groups;
    const char* text;
    int percent;
  } cases[] = {
      {Timing(9600, 8, 0, 0, 25),
       {{1000, 2, {{7, 2}}}},
       "boiler: 1 block, 2 tags, 0.06 s of line time per 1000 ms cycle at 9600 8N1: 6 % of the "
       "line",
       6},
      {Timing(9600, 8, 0, 0, 25),
       {{1000, 41, {{0, 40}, {100, 40}, {200, 46}}}},
       "boiler: 3 blocks, 41 tags, 1.18 s of line time per 1000 ms cycle at 9600 8N1: 118 % of "
       "the line — tags at 1000 ms will be read every 1.2 s",
       118},
      {Timing(4800, 8, 0, 2),
       {{2000, 3, {{50, 20}}}, {500, 12, {{0, 10}, {20, 10}}}, {0, 4, {{90, 4}}}},
       "boiler: 3 blocks, 15 tags, 0.55 s of line time per 500 ms cycle at 4800 8N2: 110 % of the "
       "line — tags at 500 ms will be read every 0.6 s, tags at 2000 ms every 2.2 s",
       110},
  };
  for (const Case& c : cases) {
    const LineCheck check = CheckLine("boiler", c.groups, c.timing);
    EXPECT_EQ(check.text, c.text);
    EXPECT_EQ(check.percent, c.percent);
    EXPECT_EQ(check.overloaded, c.percent > 100);
  }
}

}  // namespace
}  // namespace zelgw::linetime
