#include "platform/clock/clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

namespace keld::clock {
namespace {

// In a fresh process (the death test re-runs the binary), KELD_VIRTUAL_TIME=1
// puts the clock in virtual mode on its first use.
TEST(ClockEnvironment, VirtualTimeFromTheEnvironmentOnFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("KELD_VIRTUAL_TIME", "1", 1);
        const Microseconds before = now();
        if (!isVirtual()) std::exit(1);
        sleepFor(seconds(60));  // instant on the virtual clock
        std::exit(now() - before >= seconds(60) ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace keld::clock
