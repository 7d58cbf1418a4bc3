#include "platform/wdm/port_bus.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/wdm/hal.h"

namespace keld::wdm {
namespace {

// Remembers every access and answers reads with offset + 0x10.
class RecordingDevice : public PortDevice {
 public:
  std::uint8_t readPort(std::uint16_t offset) override {
    reads.push_back(offset);
    return static_cast<std::uint8_t>(offset + 0x10);
  }
  void writePort(std::uint16_t offset, std::uint8_t value) override { writes.push_back({offset, value}); }

  std::vector<std::uint16_t> reads;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;
};

PUCHAR portAddress(std::uintptr_t port) { return reinterpret_cast<PUCHAR>(port); }

class PortBusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    releasePorts(reader);
    releasePorts(other);
    setPortTrace({});
  }
  RecordingDevice reader;
  RecordingDevice other;
};

TEST_F(PortBusTest, AccessesInAClaimedRangeReachTheModelAsOffsets) {
  ASSERT_TRUE(claimPorts(0x300, 4, reader));
  EXPECT_EQ(READ_PORT_UCHAR(portAddress(0x300 + 1)), 0x11);
  WRITE_PORT_UCHAR(portAddress(0x300 + 3), 0xA5);
  EXPECT_EQ(reader.reads, (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(reader.writes, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{3, 0xA5}}));
}

TEST_F(PortBusTest, UnclaimedPortsReadAsFFAndDropWrites) {
  ASSERT_TRUE(claimPorts(0x300, 4, reader));
  EXPECT_EQ(READ_PORT_UCHAR(portAddress(0x2FF)), 0xFF);
  EXPECT_EQ(READ_PORT_UCHAR(portAddress(0x304)), 0xFF);
  WRITE_PORT_UCHAR(portAddress(0x304), 0x01);
  EXPECT_TRUE(reader.reads.empty());
  EXPECT_TRUE(reader.writes.empty());
}

struct ClaimCase {
  const char* name;
  PortNumber base;
  std::uint32_t length;
  bool accepted;
};

class PortClaimTest : public PortBusTest, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(PortClaimTest, SecondClaimBesideOneAt0x300Length4) {
  ASSERT_TRUE(claimPorts(0x300, 4, reader));
  EXPECT_EQ(claimPorts(GetParam().base, GetParam().length, other), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Ranges, PortClaimTest,
                         ::testing::Values(ClaimCase{"JustBelow", 0x2FC, 4, true},
                                           ClaimCase{"JustAbove", 0x304, 4, true},
                                           ClaimCase{"OverlapsLastPort", 0x303, 4, false},
                                           ClaimCase{"OverlapsFirstPort", 0x2FD, 4, false},
                                           ClaimCase{"Inside", 0x301, 1, false},
                                           ClaimCase{"Around", 0x200, 0x200, false},
                                           ClaimCase{"Empty", 0x320, 0, false},
                                           ClaimCase{"BeyondTheIoSpace", 0xFFFE, 4, false},
                                           ClaimCase{"UpToTheLastPort", 0xFFFC, 4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortBusTest, ReleaseFreesTheRangeForTheNextModel) {
  ASSERT_TRUE(claimPorts(0x300, 4, reader));
  EXPECT_FALSE(releasePorts(0x301));
  EXPECT_TRUE(releasePorts(0x300));
  EXPECT_EQ(READ_PORT_UCHAR(portAddress(0x300)), 0xFF);
  ASSERT_TRUE(claimPorts(0x300, 4, other));
  READ_PORT_UCHAR(portAddress(0x302));
  EXPECT_TRUE(reader.reads.empty());
  EXPECT_EQ(other.reads, (std::vector<std::uint16_t>{2}));
}

TEST_F(PortBusTest, TraceSeesEveryAccessWithItsValue) {
  ASSERT_TRUE(claimPorts(0x300, 4, reader));
  std::vector<PortAccess> trace;
  setPortTrace([&](const PortAccess& access) { trace.push_back(access); });
  WRITE_PORT_UCHAR(portAddress(0x301), 0x01);
  READ_PORT_UCHAR(portAddress(0x302));
  READ_PORT_UCHAR(portAddress(0x400));
  setPortTrace({});
  READ_PORT_UCHAR(portAddress(0x300));
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_TRUE(trace[0].write && trace[0].claimed && trace[0].port == 0x301 && trace[0].value == 0x01);
  EXPECT_TRUE(!trace[1].write && trace[1].claimed && trace[1].port == 0x302 && trace[1].value == 0x12);
  EXPECT_TRUE(!trace[2].write && !trace[2].claimed && trace[2].value == 0xFF);
}

TEST(PortBusDeathTest, AMemoryPointerUsedAsAPortStopsTheSystem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  UCHAR byte = 0;
  EXPECT_DEATH(READ_PORT_UCHAR(&byte), "outside the I/O space");
}

}  // namespace
}  // namespace keld::wdm
