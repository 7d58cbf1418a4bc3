#include "driver_fixture.h"

#include <vector>

#include "driver/registers.h"
#include "platform/wdm/port_bus.h"

namespace keld::test {

void PortFixture::SetUp() {
  clock::useVirtualClock(0, 0);
  reader = {};
  reader.IoBase = TEST_IO_BASE;
  reader.PollLimit = keldrin::DEFAULT_POLL_LIMIT;
}

void PortFixture::TearDown() {
  wdm::releasePorts(TEST_IO_BASE);
  clock::useRealClock();
}

void PortFixture::attach(keld::PortDevice& device) {
  ASSERT_TRUE(wdm::claimPorts(TEST_IO_BASE, keld::reader_registers::REG_COUNT, device));
}

AtDispatchLevel::AtDispatchLevel() { KeRaiseIrql(DISPATCH_LEVEL, &previous_); }
AtDispatchLevel::~AtDispatchLevel() { KeLowerIrql(previous_); }

}  // namespace keld::test
