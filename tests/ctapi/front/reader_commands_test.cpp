// The library's own reader commands byte for byte, the data-object walk and
// the values the answers set.

#include "ctapi/front/reader_commands.h"

#include <gtest/gtest.h>

#include "scripted_reader.h"

namespace keld::test {
namespace {

using keldapi::lib;

class ReaderCommandsTest : public LibraryTest {
 protected:
  static constexpr int TERMINAL = 0;
  void SetUp() override {
    LibraryTest::SetUp();
    device = devices.addReader(0, 0x300);
    ASSERT_EQ(CT_init(1, 1), OK);
    device->clearRecords();
  }
  std::vector<std::string> sent() const {
    std::vector<std::string> blocks;
    for (const Bytes& b : device->transmitted()) blocks.push_back(toHex(b));
    return blocks;
  }
  keldapi::LinkState& link() { return lib.links[TERMINAL]; }
  std::shared_ptr<FakeDevice> device;
  ScriptedReader reader;
};

TEST_F(ReaderCommandsTest, EachCommandSendsItsBlock) {
  reader.attach(*device);
  struct Case {
    const char* name;
    std::function<void()> run;
    std::vector<std::string> blocks;
  };
  const std::vector<Case> cases = {
      {"master file", [] { keldapi::selectMasterFile(TERMINAL); }, {"12 00 07 00 A4 00 00 02 3F 00 8C"}},
      {"info file", [] { keldapi::readReaderInfoFile(TERMINAL); },
       {"12 00 07 00 A4 00 00 02 00 20 93", "12 00 05 00 B0 00 00 00 A7"}},
      {"status file", [] { keldapi::readIccStatusFile(TERMINAL); },
       {"12 00 07 00 A4 00 00 02 70 21 E2", "12 00 05 00 B0 00 00 00 A7"}},
      {"status byte", [] { keldapi::getIccStatusByte(TERMINAL); }, {"12 00 05 20 13 00 80 00 A4"}},
      {"deactivate", [] { keldapi::sendDeactivateIcc(TERMINAL); }, {"12 00 05 20 14 01 00 00 22"}},
      {"reset", [] { keldapi::sendResetIcc(TERMINAL); }, {"12 00 05 20 10 01 00 00 26"}},
      {"resynch", [] { keldapi::resynchronise(TERMINAL); }, {"00 C0 00 C0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    device->clearRecords();
    c.run();
    EXPECT_EQ(sent(), c.blocks);
  }
}

TEST_F(ReaderCommandsTest, FirmwareVersionIsReadOnceAtLinkStart) {
  struct Case {
    const char* infoFile;
    std::int16_t version;
  };
  for (const Case& c : {Case{"0F 05 32 2E 32 37 6B", 0x227}, Case{"0F 04 34 2E 30 30", 0x400},
                        Case{"01 01 00 0F 04 31 2E 32 34", 0x124}}) {
    SCOPED_TRACE(c.infoFile);
    lib.firmwareVersion = 0;
    reader.set(c.infoFile, "21 01 00");
    reader.attach(*device);
    device->clearRecords();
    EXPECT_EQ(keldapi::openLink(TERMINAL), 0);
    EXPECT_EQ(lib.firmwareVersion, c.version);
    EXPECT_EQ(sent(), (std::vector<std::string>{"12 00 07 00 A4 00 00 02 00 20 93", "12 00 05 00 B0 00 00 00 A7",
                                                "12 00 07 00 A4 00 00 02 3F 00 8C",
                                                "12 00 05 20 14 01 00 00 22"}));
    EXPECT_EQ(lib.linkPhase, 1);
    EXPECT_EQ(lib.answerNad, 0x21);
    EXPECT_EQ(lib.edcMode, 1);
  }
  device->clearRecords();
  keldapi::openLink(TERMINAL);
  EXPECT_EQ(sent(), std::vector<std::string>{"12 00 05 20 14 01 00 00 22"});
}

TEST_F(ReaderCommandsTest, ShortOrMissingVersionTextLeavesTheVersionUnread) {
  for (const char* info : {"0F 02 32 2E", "0F 09 32 2E", ""}) {
    SCOPED_TRACE(info);
    lib.firmwareVersion = 0;
    reader.set(info, "");
    reader.attach(*device);
    keldapi::openLink(TERMINAL);
    EXPECT_EQ(lib.firmwareVersion, 0);
  }
}

TEST_F(ReaderCommandsTest, CardParametersComeFromTheStatusFile) {
  struct Case {
    const char* file;
    int result;
    std::uint8_t protocol;
    std::int16_t ifsc;
  };
  for (const Case& c : {Case{"21 01 01 22 01 02 03 02 00 FE", 254, 2, 254},
                        Case{"21 01 01 22 01 02 03 02 00 00", 0, 2, 32}, Case{"21 01 01", 32, 0, 32},
                        Case{"", 32, 0, 32}}) {
    SCOPED_TRACE(c.file);
    reader.set("", c.file);
    reader.attach(*device);
    link().cardProtocol = 9;
    link().ifsc = 7;
    EXPECT_EQ(keldapi::readCardParameters(TERMINAL), c.result);
    EXPECT_EQ(link().cardProtocol, c.protocol);
    EXPECT_EQ(link().ifsc, c.ifsc);
  }
}

TEST_F(ReaderCommandsTest, CardParametersNeedAnOpenLinkAndTheMasterFile) {
  EXPECT_EQ(keldapi::readCardParameters(5), 0);
  // No answers at all: the status file read fails and so does the selection.
  EXPECT_EQ(keldapi::readCardParameters(TERMINAL), 0);
  EXPECT_EQ(link().ifsc, 32);
}

TEST_F(ReaderCommandsTest, StatusByteMapping) {
  reader.attach(*device);
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> cases = {
      {0x05, 0x01}, {0x00, 0x03}, {0x42, 0x42}, {0x03, 0x01}, {0x10, 0x13}, {0xFF, 0xFF}, {0x01, 0x01}};
  for (auto [reported, mapped] : cases) {
    reader.setStatusByte(reported);
    EXPECT_EQ(keldapi::getIccStatusByte(TERMINAL), mapped) << int(reported);
  }
}

TEST_F(ReaderCommandsTest, StatusByteWithoutAnswerIsFF) {
  device->queueAnswer(terminalAnswer(hex("05 90 00")));
  EXPECT_EQ(keldapi::getIccStatusByte(TERMINAL), 0x01);
  // Silent reader: the previous block must not be taken for a new answer.
  EXPECT_EQ(keldapi::getIccStatusByte(TERMINAL), 0xFF);
}

TEST_F(ReaderCommandsTest, ResynchAndIfsRequests) {
  reader.attach(*device);
  link().retriesLeft = 0;
  EXPECT_EQ(keldapi::resynchronise(TERMINAL), 1);
  EXPECT_EQ(link().retriesLeft, 3);
  EXPECT_EQ(link().state, keldapi::LINK_IDLE);

  device->clearRecords();
  link().cardProtocol = 0;
  EXPECT_EQ(keldapi::requestIfs(TERMINAL, 254), 0);
  EXPECT_TRUE(sent().empty());
  link().cardProtocol = 2;
  EXPECT_EQ(keldapi::requestIfs(TERMINAL, 254), 0);
  EXPECT_EQ(sent(), std::vector<std::string>{"00 C1 01 FE 3E"});
  EXPECT_EQ(lib.lastBlock[1], 0xE1);

  link().state = keldapi::LINK_UNUSED;
  EXPECT_EQ(keldapi::requestIfs(TERMINAL, 254), -6);
  EXPECT_EQ(keldapi::requestIfs(6, 254), -1);
}

TEST_F(ReaderCommandsTest, ResynchFailsOnOtherAnswers) {
  device->queueAnswer(terminalAnswer(hex("90 00")));
  EXPECT_EQ(keldapi::resynchronise(TERMINAL), 0);
  EXPECT_EQ(keldapi::resynchronise(TERMINAL), 0);  // no answer
}

TEST_F(ReaderCommandsTest, IfsRequestWithASilentReaderEnds) {
  link().cardProtocol = 2;
  EXPECT_LT(keldapi::requestIfs(TERMINAL, 254), 0);
  EXPECT_LE(device->transmitted().size(), 4u);
}

std::vector<std::string> walk(const Bytes& block) {
  std::vector<std::string> seen;
  keldapi::walkDataObjects(block, [&seen](std::uint8_t tag, std::span<const std::uint8_t> value) {
    seen.push_back(toHex(std::span<const std::uint8_t>(&tag, 1)) + ":" + toHex(value));
  });
  return seen;
}

TEST(WalkDataObjects, StopsWithinWhatArrived) {
  struct Case {
    const char* block;
    std::vector<std::string> seen;
  };
  const std::vector<Case> cases = {
      {"21 00 0C 21 01 01 22 01 02 03 02 00 FE 90 00", {"21:01", "22:02", "03:00 FE"}},
      {"21 00 02 90 00", {"90:"}},
      // LEN claims more than arrived; the object running past is dropped.
      {"21 00 20 21 01 01 22 08 02", {"21:01"}},
      // An object longer than the information field.
      {"21 00 05 21 05 01 90 00", {}},
      {"21 00", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    EXPECT_EQ(walk(hex(c.block)), c.seen);
  }
}

TEST(WalkDataObjects, NeverReadsPastTheBlockBuffer) {
  // A full-size block whose objects lead to its very end.
  Bytes block(keldapi::BLOCK_BUFFER_SIZE, 0x00);
  block[2] = 0xFF;
  for (std::size_t p = 3; p + 1 < block.size(); p += 2) block[p] = 0x11;
  block[block.size() - 2] = 0x11;
  block[block.size() - 1] = 0x05;  // a last object claiming five bytes beyond
  const auto seen = walk(block);
  EXPECT_FALSE(seen.empty());
  for (const std::string& s : seen) EXPECT_EQ(s, "11:");
}

TEST(ParseFirmwareVersion, DigitsZeroTwoAndThree) {
  EXPECT_EQ(keldapi::parseFirmwareVersion(hex("32 2E 33 32")), 0x232);
  EXPECT_EQ(keldapi::parseFirmwareVersion(hex("32 2E 33")), 0);
}

}  // namespace
}  // namespace keld::test
