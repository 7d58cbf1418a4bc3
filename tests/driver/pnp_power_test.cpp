// Devices, names, plug and play and power through the kernel stand-in.

#include <gtest/gtest.h>

#include "driver/ioctl/reader_ioctl.h"
#include "driver_fixture.h"

namespace keld::test {
namespace {

using namespace keldrin;

class PnpTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    attach(model);
  }
  Pdo startedReader() {
    const Pdo pdo = createPdo();
    EXPECT_EQ(addDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(start(pdo, 0x300, 5), STATUS_SUCCESS);
    return pdo;
  }
  ScriptedReader model;
};

TEST_F(PnpTest, TwoDevicesAreNamedAndAThirdIsRefused) {
  const Pdo first = createPdo();
  const Pdo second = createPdo();
  const Pdo third = createPdo();
  EXPECT_EQ(addDevice(first), STATUS_SUCCESS);
  EXPECT_EQ(addDevice(second), STATUS_SUCCESS);
  EXPECT_EQ(addDevice(third), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(objectExists("\\Device\\KELDCT0"));
  EXPECT_TRUE(objectExists("\\Device\\KELDCT1"));
  EXPECT_TRUE(objectExists("\\DosDevices\\KELDCT_0"));
  EXPECT_TRUE(objectExists("\\DosDevices\\KELDCT_1"));
  EXPECT_FALSE(objectExists("\\Device\\KELDCT2"));
  EXPECT_EQ(functionDevice(third), nullptr);
  EXPECT_EQ(extension(first)->SlotIndex, 0u);
  EXPECT_EQ(extension(second)->SlotIndex, 1u);
  EXPECT_EQ(extension(first)->Reader.PowerState, POWER_STATE_D0);
  EXPECT_EQ(extension(first)->Reader.PollLimit, 0u);
  EXPECT_NE(functionDevice(first)->Flags & DO_BUFFERED_IO, 0u);
  EXPECT_EQ(functionDevice(first)->Flags & DO_DEVICE_INITIALIZING, 0u);
}

TEST_F(PnpTest, RemovalFreesTheNumberAndNamesForTheNextReader) {
  const Pdo first = createPdo();
  const Pdo second = createPdo();
  ASSERT_EQ(addDevice(first), STATUS_SUCCESS);
  ASSERT_EQ(addDevice(second), STATUS_SUCCESS);
  bool linkGoneBelow = false;
  onLowerRequest(first, [&](UCHAR major, UCHAR minor) {
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) linkGoneBelow = !objectExists("\\DosDevices\\KELDCT_0");
  });
  EXPECT_EQ(pnp(first, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(linkGoneBelow) << "the link is deleted before the request reaches the lower driver";
  EXPECT_FALSE(objectExists("\\Device\\KELDCT0"));
  EXPECT_FALSE(objectExists("\\DosDevices\\KELDCT_0"));

  const Pdo next = createPdo();
  ASSERT_EQ(addDevice(next), STATUS_SUCCESS);
  EXPECT_EQ(extension(next)->SlotIndex, 0u);
  EXPECT_TRUE(objectExists("\\Device\\KELDCT0"));
  EXPECT_TRUE(objectExists("\\DosDevices\\KELDCT_0"));
}

TEST_F(PnpTest, StartWithoutAPortIsRefusedWithoutTouchingThePorts) {
  const Pdo pdo = createPdo();
  ASSERT_EQ(addDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(start(pdo, std::nullopt, 5), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(model.portAccesses(), 0);
  EXPECT_EQ(extension(pdo)->Reader.InterruptVector, 5u);
  EXPECT_EQ(open("\\\\.\\KELDCT_0"), nullptr);
}

TEST_F(PnpTest, StartFailsWithTheResetStatus) {
  const Pdo pdo = createPdo();
  ASSERT_EQ(addDevice(pdo), STATUS_SUCCESS);
  model.setIdentification(hex("56 4E 52 20 4B 65 6C 64 6D 61 74 69 63 20 32 2E 33"));
  EXPECT_EQ(start(pdo, 0x300, 0), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(extension(pdo)->Reader.IoBase, 0x300u);

  model.setIdentification(hex("56 4E 52 20 4B 65 6C 64 6D 61 74 69 63 20 32 2E 00"));
  model.respond([](const Bytes& block) -> std::optional<Bytes> {
    if (block.size() > 4 && block[3] == 0x20 && block[4] == 0x10) return ScriptedReader::answer(hex("01 64 A1"));
    return std::nullopt;
  });
  EXPECT_EQ(start(pdo, 0x300, 0), STATUS_NO_MEDIA);

  model.respond(nullptr);
  EXPECT_EQ(start(pdo, 0x300, 0), STATUS_SUCCESS);
  EXPECT_EQ(extension(pdo)->Reader.PollLimit, DEFAULT_POLL_LIMIT);
  EXPECT_EQ(extension(pdo)->Reader.FwMinor, 0x32);
}

TEST_F(PnpTest, OpenIsExclusiveAndEveryOpenFlushesThePendingBlock) {
  startedReader();
  model.offer(hex("21 00 05 30 00 01 00 00 15"));
  Handle handle = open("\\\\.\\KELDCT_0");
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(model.holdsBlock());
  EXPECT_EQ(open("\\\\.\\KELDCT_0"), nullptr);
  close(handle);
  model.offer(hex("21 00 05 30 00 01 00 00 15"));
  handle = open("\\\\.\\KELDCT_0");
  EXPECT_NE(handle, nullptr);
  EXPECT_FALSE(model.holdsBlock());
  close(handle);
}

TEST_F(PnpTest, QueryStopRefusesSleepUntilCancelled) {
  const Pdo pdo = startedReader();
  ASSERT_EQ(pnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  const auto below = lowerRequests(pdo).size();
  EXPECT_EQ(systemPower(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_DEVICE_BUSY);
  EXPECT_EQ(lowerRequests(pdo).size(), below);
  EXPECT_EQ(systemPower(pdo, IRP_MN_QUERY_POWER, PowerSystemWorking), STATUS_SUCCESS);

  ASSERT_EQ(pnp(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(extension(pdo)->StopPending, 0);
  EXPECT_EQ(systemPower(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(lowerRequests(pdo).back(), (LowerRequest{IRP_MJ_POWER, IRP_MN_QUERY_POWER}));
}

// A stop that was carried out and followed by a new start leaves nothing
// pending: the device may sleep again.
TEST_F(PnpTest, NewStartAfterAStopAllowsSleepAgain) {
  const Pdo pdo = startedReader();
  ASSERT_EQ(pnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(pnp(pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(systemPower(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_DEVICE_BUSY);
  ASSERT_EQ(start(pdo, 0x300, 5), STATUS_SUCCESS);
  EXPECT_EQ(systemPower(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
}

TEST_F(PnpTest, SurpriseRemovalKeepsThePortsUntouched) {
  const Pdo pdo = startedReader();
  ASSERT_EQ(pnp(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  const int accesses = model.portAccesses();
  EXPECT_EQ(open("\\\\.\\KELDCT_0"), nullptr);
  EXPECT_EQ(pnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(model.portAccesses(), accesses);
}

class PowerTest : public PnpTest {};

TEST_F(PowerTest, WorkingStateInD0IsCompletedWithoutPassingDown) {
  const Pdo pdo = startedReader();
  const auto below = lowerRequests(pdo).size();
  EXPECT_EQ(systemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(lowerRequests(pdo).size(), below);
}

TEST_F(PowerTest, SleepThenWakeGoesThroughD3AndD0AndResetsTheReaderStalling) {
  const Pdo pdo = startedReader();
  const int resets = model.resets();
  EXPECT_EQ(systemPower(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(extension(pdo)->Reader.PowerState, POWER_STATE_D3);
  EXPECT_EQ(model.resets(), resets);

  // Asleep already: passed down without a device request.
  auto below = lowerRequests(pdo).size();
  EXPECT_EQ(systemPower(pdo, IRP_MN_SET_POWER, PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(lowerRequests(pdo).size(), below + 1);

  (void)model.takeHighestIrql();
  EXPECT_EQ(systemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(extension(pdo)->Reader.PowerState, POWER_STATE_D0);
  EXPECT_EQ(model.resets(), resets + 1);
  // The reset ran in the completion routine at DISPATCH_LEVEL, where a sleep
  // would have stopped the process: it stalled.
  EXPECT_EQ(model.takeHighestIrql(), DISPATCH_LEVEL);
  below = lowerRequests(pdo).size();
  EXPECT_EQ(systemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(lowerRequests(pdo).size(), below);
}

TEST_F(PowerTest, DeviceD0BeforeStartDoesNotTouchThePorts) {
  const Pdo pdo = createPdo();
  ASSERT_EQ(addDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(devicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(devicePower(pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(extension(pdo)->Reader.PowerState, POWER_STATE_D0);
  EXPECT_EQ(model.portAccesses(), 0);
}

}  // namespace
}  // namespace keld::test
