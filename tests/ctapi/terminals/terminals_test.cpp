// Opening and closing terminals: which reader device a port number picks,
// what reaches the device, the terminal table's limits and the close wait.

#include <gtest/gtest.h>

#include <cstring>

#include "ctapi/front/terminals.h"
#include "ctapi/include/keldapi.h"
#include "driver/ioctl/reader_ioctl.h"
#include "platform/win32/message_queue.h"
#include "support/library_fixture.h"

namespace keld::test {
namespace {

using namespace keld::ioctl;
using keldapi::lib;

class TerminalsTest : public LibraryTest {};

std::vector<std::uint32_t> codesOf(const FakeDevice& device) {
  std::vector<std::uint32_t> codes;
  for (const ControlRequest& r : device.requests()) codes.push_back(r.code);
  return codes;
}

TEST_F(TerminalsTest, OpeningAsksForTheIoBaseAndHandsTheDriverTheBlockWaitingTime) {
  auto reader = devices.addReader(0, 0x300);
  ASSERT_EQ(CT_init(1, 1), OK);

  auto requests = reader->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].code, IOCTL_READER_GET_CONFIG);
  EXPECT_TRUE(requests[0].input.empty());
  EXPECT_EQ(requests[0].outputSize, 8u);
  EXPECT_EQ(requests[1].code, IOCTL_READER_TIMEOUT);
  EXPECT_EQ(toHex(requests[1].input), "20 4E 00 00");  // 20000, little-endian
  EXPECT_EQ(requests[1].outputSize, 4u);
  EXPECT_EQ(reader->timeoutValue(), 20000u);
  EXPECT_TRUE(reader->transmitted().empty());  // nothing reaches the firmware yet

  const int slot = keldapi::findOpenSlot(1);
  ASSERT_EQ(slot, 0);
  EXPECT_EQ(lib.links[slot].linkIndex, 0);
  EXPECT_EQ(lib.links[slot].state, keldapi::LINK_UNUSED);
  EXPECT_EQ(lib.links[slot].ioBase, 0x300);
  EXPECT_EQ(lib.links[slot].ctWaitingTime, 3000);
  EXPECT_EQ(lib.links[slot].blockWaitingTime, 20000);
  EXPECT_EQ(lib.terminals[slot].busy, 0);
}

TEST_F(TerminalsTest, APortNumberPicksTheReaderAtItsBase) {
  auto first = devices.addReader(0, 0x300);
  auto second = devices.addReader(1, 0x320);
  ASSERT_EQ(CT_init(7, 2), OK);
  EXPECT_EQ(first->openCount(), 0);  // tried, found at 0x300 and closed again
  EXPECT_EQ(codesOf(*first), std::vector<std::uint32_t>{IOCTL_READER_GET_CONFIG});
  EXPECT_EQ(second->openCount(), 1);
  EXPECT_EQ(codesOf(*second), (std::vector<std::uint32_t>{IOCTL_READER_GET_CONFIG, IOCTL_READER_TIMEOUT}));
}

TEST_F(TerminalsTest, NoReaderAtThePortsBaseGivesTransmissionError) {
  auto first = devices.addReader(0, 0x300);
  auto second = devices.addReader(1, 0x320);
  EXPECT_EQ(CT_init(1, 3), ERR_TRANS);  // 0x340: neither
  EXPECT_EQ(first->openCount() + second->openCount(), 0);
  EXPECT_EQ(keldapi::findOpenSlot(1), -1);
  EXPECT_EQ(CT_init(1, 2), OK);  // the failed attempt left the slot free
}

TEST_F(TerminalsTest, AMissingFirstNameEndsTheSearchAtOnce) {
  auto second = devices.addReader(1, 0x300);
  EXPECT_EQ(CT_init(1, 1), ERR_TRANS);
  EXPECT_TRUE(second->requests().empty());
}

TEST_F(TerminalsTest, AReaderInUseByAnotherTerminalIsSkipped) {
  devices.addReader(0, 0x300);
  auto second = devices.addReader(1, 0x320);
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(CT_init(2, 2), OK);
  EXPECT_EQ(second->openCount(), 1);
  // Port 0 takes the first reader that answers: the free one.
  ASSERT_EQ(CT_close(2), OK);
  EXPECT_EQ(CT_init(3, 0), OK);
  EXPECT_EQ(second->openCount(), 1);
}

TEST_F(TerminalsTest, PortZeroTakesTheFirstReaderWhoseConfigurationAnswers) {
  auto first = devices.addReader(0, 0x300);
  auto second = devices.addReader(1, 0x3A0);
  first->failCode(IOCTL_READER_GET_CONFIG, STATUS_DEVICE_BUSY);
  ASSERT_EQ(CT_init(1, 0), OK);
  EXPECT_EQ(second->openCount(), 1);
  EXPECT_EQ(lib.links[0].ioBase, 0x3A0);
}

TEST_F(TerminalsTest, PortZeroWithAReaderAtBaseZeroFailsWithoutTryingFurther) {
  devices.addReader(0, 0);
  auto second = devices.addReader(1, 0x320);
  EXPECT_EQ(CT_init(1, 0), ERR_TRANS);
  EXPECT_TRUE(second->requests().empty());
}

TEST_F(TerminalsTest, PortAboveSevenIsInvalid) {
  auto reader = devices.addReader(0, 0x300);
  EXPECT_EQ(CT_init(1, 8), ERR_INVALID);
  EXPECT_TRUE(reader->requests().empty());
}

TEST_F(TerminalsTest, ARefusedWaitingTimeStillOpensTheTerminal) {
  auto reader = devices.addReader(0, 0x300);
  reader->failCode(IOCTL_READER_TIMEOUT, STATUS_DEVICE_BUSY);
  EXPECT_EQ(CT_init(1, 1), OK);
  EXPECT_GE(keldapi::findOpenSlot(1), 0);
}

TEST_F(TerminalsTest, SevenTerminalsFillTheTableAndAFreedSlotIsReused) {
  auto reader = devices.addReader(0, 0x300);
  reader->setExclusive(false);
  for (std::uint16_t ctn = 10; ctn < 17; ++ctn) ASSERT_EQ(CT_init(ctn, 1), OK) << ctn;
  EXPECT_EQ(CT_init(99, 1), ERR_INVALID);
  EXPECT_EQ(CT_init(10, 1), ERR_INVALID);

  ASSERT_EQ(CT_close(12), OK);
  EXPECT_EQ(CT_init(99, 1), OK);
  EXPECT_EQ(keldapi::findOpenSlot(99), 2);
  EXPECT_EQ(keldapi::findOpenSlot(13), 3);  // slots are not compacted
}

TEST_F(TerminalsTest, AnOpenNumberIsRefusedAndTheOpenTerminalKeepsWorking) {
  auto reader = devices.addReader(0, 0x300);
  ASSERT_EQ(CT_init(5, 1), OK);
  EXPECT_EQ(CT_init(5, 1), ERR_INVALID);
  EXPECT_EQ(reader->openCount(), 1);
  EXPECT_EQ(lib.links[keldapi::findOpenSlot(5)].linkIndex, 0);
}

TEST_F(TerminalsTest, ClosingAnUnknownOrClosedTerminalIsInvalid) {
  devices.addReader(0, 0x300);
  EXPECT_EQ(CT_close(4), ERR_INVALID);
  ASSERT_EQ(CT_init(4, 1), OK);
  EXPECT_EQ(CT_close(4), OK);
  EXPECT_EQ(CT_close(4), ERR_INVALID);
}

TEST_F(TerminalsTest, ClosingReleasesTheDeviceAndTheSharedLinkOnlyForItsOwner) {
  auto reader = devices.addReader(0, 0x300);
  reader->setExclusive(false);
  ASSERT_EQ(CT_init(1, 1), OK);
  ASSERT_EQ(CT_init(2, 1), OK);
  lib.linkOwner = 1;
  lib.linkPhase = 6;
  lib.links[1].ctWaitingTime = 1234;

  ASSERT_EQ(CT_close(1), OK);
  EXPECT_EQ(lib.linkOwner, 1);
  EXPECT_EQ(lib.linkPhase, 6);
  EXPECT_EQ(lib.links[1].linkIndex, 1);
  EXPECT_EQ(lib.links[1].ctWaitingTime, 1234);
  EXPECT_EQ(lib.links[0].linkIndex, -1);
  EXPECT_EQ(lib.terminals[0].ctn, keldapi::NO_CTN);

  ASSERT_EQ(CT_close(2), OK);
  EXPECT_EQ(lib.linkOwner, -1);
  EXPECT_EQ(lib.linkPhase, 0);
  EXPECT_EQ(reader->openCount(), 0);
}

TEST_F(TerminalsTest, LinkOperationsKeepAnOpenLinkAsItIs) {
  lib.links[3].linkIndex = 3;
  lib.links[3].state = keldapi::LINK_RESPONSE_READY;
  lib.edcMode = 0;
  EXPECT_EQ(keldapi::openTerminalLink(3, 0x320), 3);
  EXPECT_EQ(lib.edcMode, 0);
  EXPECT_EQ(lib.links[3].state, keldapi::LINK_RESPONSE_READY);
  EXPECT_TRUE(keldapi::linkValid(3));
  EXPECT_FALSE(keldapi::linkValid(7));
  EXPECT_FALSE(keldapi::linkValid(-1));
  EXPECT_FALSE(keldapi::linkValid(2));
}

// The close waits for a busy terminal, pumping the thread's messages.
class CloseWaitTest : public TerminalsTest {
 protected:
  void SetUp() override {
    TerminalsTest::SetUp();
    reader = devices.addReader(0, 0x300);
    ASSERT_EQ(CT_init(1, 1), OK);
    slot = keldapi::findOpenSlot(1);
    lib.terminals[slot].busy = 1;  // another call works on the terminal
  }
  std::shared_ptr<FakeDevice> reader;
  int slot = -1;
};

TEST_F(CloseWaitTest, WaitsUntilTheTerminalIsFreeAndDispatchesMessagesMeanwhile) {
  int dispatched = 0;
  win32::setMessageHandler(WM_USER, [&](const MSG&) { return LRESULT{++dispatched}; });
  PostMessageA(nullptr, WM_USER, 0, 0);
  const std::uint64_t start = nowMs();
  keld::clock::scheduleAt(keld::clock::now() + keld::clock::seconds(5),
                          [this] { lib.terminals[slot].busy = 0; });
  EXPECT_EQ(CT_close(1), OK);
  EXPECT_EQ(dispatched, 1);
  EXPECT_GE(nowMs() - start, 5000u);
  EXPECT_LT(nowMs() - start, 6000u);
  EXPECT_EQ(reader->openCount(), 0);
  EXPECT_EQ(lib.callArrived, 1);
}

TEST_F(CloseWaitTest, GivesUpAfterTwentySeconds) {
  const std::uint64_t start = nowMs();
  EXPECT_EQ(CT_close(1), ERR_CT);
  EXPECT_GE(nowMs() - start, 20000u);
  EXPECT_LT(nowMs() - start, 20100u);
  EXPECT_EQ(keldapi::findOpenSlot(1), slot);
  EXPECT_EQ(reader->openCount(), 1);
}

TEST_F(CloseWaitTest, AQuitMessageEndsTheWaitAndIsConsumed) {
  PostMessageA(nullptr, WM_USER, 0, 0);
  PostQuitMessage(0);
  PostMessageA(nullptr, WM_USER + 1, 0, 0);
  EXPECT_EQ(CT_close(1), ERR_HOST);
  EXPECT_EQ(lib.quitSeen, 1);
  EXPECT_EQ(win32::pendingMessages(), 1u);  // the message behind the quit stays
  EXPECT_EQ(keldapi::findOpenSlot(1), slot);
  EXPECT_EQ(reader->openCount(), 1);

  // CT_init clears the quit mark again.
  devices.addReader(1, 0x320);
  ASSERT_EQ(CT_init(2, 2), OK);
  EXPECT_EQ(lib.quitSeen, 0);
}

TEST_F(CloseWaitTest, AnEventWaitAloneHoldsTheCloseForTwentySecondsOnly) {
  lib.terminals[slot].busy = 0;
  lib.eventWaitActive = 1;
  const std::uint64_t start = nowMs();
  EXPECT_EQ(CT_close(1), OK);
  EXPECT_GE(nowMs() - start, 20000u);
  EXPECT_EQ(lib.terminals[slot].ctn, keldapi::NO_CTN);
}

TEST(VersionString, OnlySelectorsOneToThreeCopyTheText) {
  for (int selector : {1, 2, 3}) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Get_VersionString(buffer, static_cast<int16_t>(selector)), 1);
    EXPECT_STREQ(buffer, "Version V3.54-W2K XP");
    EXPECT_EQ(buffer[21], 'x');
  }
  for (int selector : {0, 4, -1}) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(Get_VersionString(buffer, static_cast<int16_t>(selector)), 0);
    EXPECT_EQ(buffer[0], 'x');
  }
}

TEST(IccStatus, IsNotSupported) {
  EXPECT_EQ(CT_IccStatus(0, 0, 0), ERR_HTSI);
  EXPECT_EQ(CT_IccStatus(1, -1, 7), ERR_HTSI);
}

}  // namespace
}  // namespace keld::test
