#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock/clock.h"
#include "platform/wdm/wdm.h"

namespace {

using keld::clock::Microseconds;

class VirtualTimeTest : public ::testing::Test {
 protected:
  void SetUp() override { keld::clock::useVirtualClock(0, 0); }
  void TearDown() override { keld::clock::useRealClock(); }
};

LARGE_INTEGER relative(LONGLONG hundredNanoseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -hundredNanoseconds;
  return interval;
}

TEST_F(VirtualTimeTest, DelayAndStallBothMoveTheSharedClock) {
  LARGE_INTEGER fiveMilliseconds = relative(10000 * 5);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &fiveMilliseconds), STATUS_SUCCESS);
  EXPECT_EQ(keld::clock::now(), 5000u);
  KeStallExecutionProcessor(10);
  EXPECT_EQ(keld::clock::now(), 5010u);
}

TEST_F(VirtualTimeTest, DelayRoundsPartMicrosecondsUpAndHonoursAbsoluteTimes) {
  LARGE_INTEGER tiny = relative(1);
  KeDelayExecutionThread(KernelMode, FALSE, &tiny);
  EXPECT_EQ(keld::clock::now(), 1u);
  LARGE_INTEGER at;
  at.QuadPart = 10 * 2000;  // 2 ms on the shared clock
  KeDelayExecutionThread(KernelMode, FALSE, &at);
  EXPECT_EQ(keld::clock::now(), 2000u);
  KeDelayExecutionThread(KernelMode, FALSE, &at);  // already past
  EXPECT_EQ(keld::clock::now(), 2000u);
}

TEST_F(VirtualTimeTest, StallingAtDispatchLevelIsAllowed) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (int i = 0; i < 500; ++i) KeStallExecutionProcessor(10);
  KeLowerIrql(old);
  EXPECT_EQ(keld::clock::now(), 5000u);
}

TEST(KernelDeathTest, SleepingAtDispatchLevelStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER interval = relative(10000);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
      },
      "KeDelayExecutionThread at DISPATCH_LEVEL");
}

TEST(KernelDeathTest, WaitingAtDispatchLevelStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "KeWaitForSingleObject at DISPATCH_LEVEL");
}

TEST(KernelDeathTest, TakingAHeldSpinLockAgainStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL first;
        KIRQL second;
        KeAcquireSpinLock(&lock, &first);
        KeAcquireSpinLock(&lock, &second);
      },
      "acquired again");
}

TEST(KernelDeathTest, LoweringIrqlAboveTheCurrentLevelStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "KeLowerIrql");
}

TEST(IrqlTest, SpinLockRaisesToDispatchLevelAndRestoresTheCallersLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = HIGH_LEVEL;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST(IrqlTest, IrqlBelongsToTheThread) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL other = HIGH_LEVEL;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  KeLowerIrql(old);
  EXPECT_EQ(other, PASSIVE_LEVEL);
}

TEST(SpinLockTest, KeepsTwoThreadsApart) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  int counter = 0;  // unsynchronised but for the lock; the sanitizer build would see a race
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(EventTest, WaitBlocksUntilAnotherThreadSetsTheEvent) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    released = true;
  });
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_FALSE(released.load());
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  waiter.join();
  EXPECT_TRUE(released.load());
  // A notification event stays signalled until cleared.
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  KeClearEvent(&event);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST(EventTest, SynchronizationEventReleasesOneWaitAndClearsItself) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(VirtualTimeTest, TimedWaitRunsOutOnTheVirtualClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER twoSeconds = relative(10 * keld::clock::seconds(2));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &twoSeconds), STATUS_TIMEOUT);
  EXPECT_EQ(keld::clock::now(), keld::clock::seconds(2));
}

TEST_F(VirtualTimeTest, TimedWaitEndsWhenTheEventIsSetOnTheWay) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  keld::clock::scheduleAt(keld::clock::milliseconds(30), [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  LARGE_INTEGER oneSecond = relative(10 * keld::clock::seconds(1));
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneSecond), STATUS_SUCCESS);
  EXPECT_LT(keld::clock::now(), keld::clock::milliseconds(40));
}

TEST(InterlockedTest, CompareExchangeStoresOnlyOverTheExpectedValue) {
  int first = 0;
  int second = 0;
  PVOID slot = nullptr;
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &first, nullptr), nullptr);
  EXPECT_EQ(slot, &first);
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &second, nullptr), &first);
  EXPECT_EQ(slot, &first);
  EXPECT_EQ(InterlockedExchangePointer(&slot, nullptr), &first);
  EXPECT_EQ(slot, nullptr);
}

TEST(StatusTest, SuccessCoversInformationalButNotWarningsOrErrors) {
  EXPECT_TRUE(NT_SUCCESS(STATUS_SUCCESS));
  EXPECT_TRUE(NT_SUCCESS(STATUS_PENDING));
  EXPECT_TRUE(NT_SUCCESS(STATUS_OBJECT_NAME_EXISTS));
  EXPECT_FALSE(NT_SUCCESS(STATUS_DEVICE_BUSY));
  EXPECT_FALSE(NT_SUCCESS(STATUS_IO_DEVICE_ERROR));
  static_assert(STATUS_MORE_PROCESSING_REQUIRED == static_cast<NTSTATUS>(0xC0000016));
}

}  // namespace
