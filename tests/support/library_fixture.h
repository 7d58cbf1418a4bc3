#pragma once
// Fixture for tests of the CT-API library: a fresh library state, the
// virtual clock, an empty message queue and fake reader devices.

#include <gtest/gtest.h>

#include "ctapi/state/library_state.h"
#include "platform/clock/clock.h"
#include "platform/win32/message_queue.h"
#include "support/fake_device.h"

namespace keld::test {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keld::clock::useVirtualClock(keld::clock::seconds(1000), keld::clock::milliseconds(1));
    keldapi::resetLibraryState();
    win32::resetMessageQueue();
  }
  void TearDown() override {
    keldapi::resetLibraryState();
    win32::resetMessageQueue();
    keld::clock::useRealClock();
  }

  // Milliseconds on the virtual clock.
  static std::uint64_t nowMs() { return keld::clock::now() / 1000; }

  FakeDevices devices;
};

}  // namespace keld::test
