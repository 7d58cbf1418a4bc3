#include "platform/win32/host_protocol.h"

#include <gtest/gtest.h>

#include "support/hex.h"

namespace keld::test {
namespace {

using namespace keld::hostproto;

TEST(HostProtocol, FramesCarryMagicVersionTypeLengthAndSequence) {
  const Bytes payload = hex("01 02 03");
  const Bytes frame = encodeFrame(replyType(MessageType::Control), 0x01020304, payload);
  EXPECT_EQ(toHex(frame), "4B 45 4C 44 01 00 03 80 03 00 00 00 04 03 02 01 01 02 03");
  const FrameHeader header = decodeHeader(std::span<const std::uint8_t, 16>(frame.data(), 16));
  EXPECT_EQ(checkHeader(header), HeaderProblem::None);
}

TEST(HostProtocol, HeaderChecksTellMagicVersionAndLength) {
  FrameHeader good{FRAME_MAGIC, PROTOCOL_VERSION, 1, 8, 1};
  FrameHeader magic = good, version = good, length = good, largest = good;
  magic.magic = 0x4B454C44;
  version.version = PROTOCOL_VERSION + 1;
  length.length = MAX_PAYLOAD + 1;
  largest.length = MAX_PAYLOAD;
  EXPECT_EQ(checkHeader(magic), HeaderProblem::BadMagic);
  EXPECT_EQ(checkHeader(version), HeaderProblem::BadVersion);
  EXPECT_EQ(checkHeader(length), HeaderProblem::TooLong);
  EXPECT_EQ(checkHeader(largest), HeaderProblem::None);
}

struct ControlCase {
  const char* name;
  ControlRequest record;
  std::size_t tailBytes;
  bool accepted;
};

class ControlRequestDecoding : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlRequestDecoding, AcceptsOnlyConsistentLengthsWithinLimits) {
  const ControlCase& c = GetParam();
  const Bytes payload = encodePayload(c.record, Bytes(c.tailBytes, 0xAA));
  EXPECT_EQ(decodeControlRequest(payload).has_value(), c.accepted);
}

constexpr std::uint32_t MAX = MAX_CONTROL_BUFFER;
INSTANTIATE_TEST_SUITE_P(
    Cases, ControlRequestDecoding,
    ::testing::Values(ControlCase{"Exact", {1, 0x00312000, 5, 270}, 5, true},
                      ControlCase{"NoInput", {1, 0x00312010, 0, 8}, 0, true},
                      ControlCase{"LargestBuffers", {1, 0, MAX, MAX}, MAX, true},
                      ControlCase{"TailShorterThanSaid", {1, 0, 5, 8}, 4, false},
                      ControlCase{"TailLongerThanSaid", {1, 0, 5, 8}, 6, false},
                      ControlCase{"InputTooLarge", {1, 0, MAX + 1, 8}, MAX + 1, false},
                      ControlCase{"OutputTooLarge", {1, 0, 0, MAX + 1}, 0, false}),
    [](const auto& info) { return info.param.name; });

TEST(HostProtocol, ShortPayloadsAreRefused) {
  EXPECT_FALSE(decodeControlRequest(hex("01 00 00 00 00 20 31")).has_value());
  EXPECT_FALSE(decodeOpenRequest(hex("03 00 00")).has_value());
  EXPECT_FALSE(decodeCommandRequest(hex("")).has_value());
}

TEST(HostProtocol, ControlReplyMayNotCarryMoreThanTheCallerAskedFor) {
  const Bytes reply = encodePayload(ControlReply{0, 3}, hex("90 00 11"));
  EXPECT_TRUE(decodeControlReply(reply, 3).has_value());
  EXPECT_FALSE(decodeControlReply(reply, 2).has_value());
}

TEST(HostProtocol, OpenNamesAreLimited) {
  const std::string longest(MAX_NAME_LENGTH, 'K');
  const std::string tooLong(MAX_NAME_LENGTH + 1, 'K');
  auto payloadFor = [](const std::string& name) {
    return encodePayload(OpenRequest{static_cast<std::uint32_t>(name.size())},
                         std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
  };
  EXPECT_TRUE(decodeOpenRequest(payloadFor(longest)).has_value());
  EXPECT_FALSE(decodeOpenRequest(payloadFor(tooLong)).has_value());
  EXPECT_FALSE(decodeOpenRequest(payloadFor("")).has_value());
}

TEST(HostProtocol, UserModeDeviceNamesMapIntoTheNamespace) {
  EXPECT_EQ(namespaceName("\\\\.\\KELDCT_0"), "\\DosDevices\\KELDCT_0");
  EXPECT_EQ(namespaceName("\\Device\\KELDCT1"), "\\Device\\KELDCT1");
  EXPECT_EQ(namespaceName("\\\\.\\"), std::nullopt);
  EXPECT_EQ(namespaceName("\\\\.\\A\\B"), std::nullopt);
  EXPECT_EQ(namespaceName("KELDCT_0"), std::nullopt);
  EXPECT_EQ(namespaceName("\\\\server\\share"), std::nullopt);
}

}  // namespace
}  // namespace keld::test
