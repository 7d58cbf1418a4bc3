#include "platform/clock/clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace keld::clock {
namespace {

class VirtualClockTest : public ::testing::Test {
 protected:
  void SetUp() override { useVirtualClock(5000, 0); }
  void TearDown() override { useRealClock(); }
};

TEST_F(VirtualClockTest, PausesAndStallsMoveTimeWithoutWaiting) {
  EXPECT_EQ(now(), 5000u);
  sleepFor(seconds(20));
  stallFor(10);
  EXPECT_EQ(now(), 5000u + seconds(20) + 10);
}

TEST_F(VirtualClockTest, ReadStepAdvancesEveryReading) {
  useVirtualClock(0, milliseconds(1));
  EXPECT_EQ(now(), 1000u);
  EXPECT_EQ(now(), 2000u);
}

TEST_F(VirtualClockTest, ScheduledActionsRunInOrderWhenTimePassesThem) {
  std::vector<int> ran;
  scheduleAt(7000, [&] { ran.push_back(2); });
  scheduleAt(6000, [&] { ran.push_back(1); });
  scheduleAt(9000, [&] { ran.push_back(3); });
  advance(1500);
  EXPECT_EQ(ran, (std::vector<int>{1}));
  sleepFor(2000);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  advance(10000);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(VirtualClockTest, AnActionMayScheduleAnother) {
  int runs = 0;
  scheduleAt(6000, [&] {
    ++runs;
    scheduleAt(now() + 100, [&] { ++runs; });
  });
  advance(1000);
  advance(100);
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace keld::clock
