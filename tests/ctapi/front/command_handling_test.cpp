// CT_data and the commands the library answers itself, through the exported
// call against a scripted reader on the virtual clock.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "ctapi/front/reader_commands.h"
#include "platform/clock/clock.h"
#include "platform/win32/message_beep.h"
#include "platform/win32/message_queue.h"
#include "scripted_reader.h"

namespace keld::test {
namespace {

using keldapi::lib;

constexpr std::uint16_t CTN = 1;

struct Reply {
  std::int8_t result;
  std::uint8_t dad;
  std::uint8_t sad;
  std::string response;
};

class CtDataTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    win32::resetMessageBeeps();
    device = devices.addReader(0, 0x300);
    ASSERT_EQ(CT_init(CTN, 1), OK);
    lib.firmwareVersion = 0x232;
    reader.attach(*device);
  }
  void TearDown() override {
    win32::resetMessageBeeps();
    LibraryTest::TearDown();
  }

  static Reply send(std::string_view commandHex, std::uint8_t dad = 1, std::uint8_t sad = 2,
                    std::uint16_t capacity = 300, std::uint16_t ctn = CTN) {
    Bytes command = hex(commandHex);
    std::array<std::uint8_t, 300> response{};
    std::uint16_t lenr = capacity;
    const std::int8_t result = CT_data(ctn, &dad, &sad, static_cast<std::uint16_t>(command.size()),
                                       command.data(), &lenr, response.data());
    return {result, dad, sad, toHex(std::span<const std::uint8_t>(response.data(), lenr))};
  }

  keldapi::TerminalSlot& slot() { return lib.terminals[0]; }
  void arm(std::uint8_t code) {
    slot().eventArmed = 1;
    lib.eventCode = code;
    lib.eventCommandCopy[7] = code;
  }

  std::shared_ptr<FakeDevice> device;
  ScriptedReader reader;
};

std::string fileFF10Hex() {
  const std::string_view text = "CT K4-PCMCIA CT-API W2KXP, V3.54, for Keldmatic card readers.";
  Bytes file = {0x01, 0x3D};
  file.insert(file.end(), text.begin(), text.end());
  for (std::uint8_t b : hex("02 01 01 02 01 10 02 01 40")) file.push_back(b);
  return toHex(file);
}

TEST_F(CtDataTest, FileFF10IsReadWholeAndInParts) {
  const Reply selected = send("00 A4 00 00 02 FF 10");
  EXPECT_EQ(selected.result, OK);
  EXPECT_EQ(selected.response, "00 48 00 48 08 00 00 00 00 00 90 00");
  EXPECT_EQ(selected.dad, 2);
  EXPECT_EQ(selected.sad, 1);

  const Reply whole = send("00 B0 00 00 00");
  EXPECT_EQ(whole.result, OK);
  EXPECT_EQ(whole.response, fileFF10Hex() + " 90 00");
  EXPECT_EQ(hex(whole.response).size(), 74u);

  struct Case {
    const char* command;
    std::string response;
  };
  const std::string file = fileFF10Hex();
  const std::vector<Case> cases = {
      {"00 B0 00 40 10", file.substr(64 * 3) + " 62 82"},
      {"00 B0 00 40 08", file.substr(64 * 3) + " 90 00"},
      {"00 B0 00 02 03", "43 54 20 90 00"},
      {"00 B0 00 48 00", "6B 00"},
      {"00 B0 01 00 00", "6B 00"},
      {"00 B0 00 00 00 00", "67 00"},
      {"00 B0 00 00", "67 00"},
      {"00 B0 00 46 00 00 00", "01 40 90 00"},
      // Errors of a later selection leave FF10 selected.
      {"00 A4 01 00 02 FF 10", "6B 00"},
      {"00 A4 00 00 03 FF 10", "67 00"},
      {"00 B0 00 47 01", "40 90 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const Reply reply = send(c.command);
    EXPECT_EQ(reply.result, OK);
    EXPECT_EQ(reply.response, c.response);
  }
  EXPECT_TRUE(device->transmitted().empty());
}

TEST_F(CtDataTest, FileFF11HoldsTheTerminalsNumbers) {
  auto other = devices.addReader(1, 0x340);
  ASSERT_EQ(CT_init(0x0102, 3), OK);
  EXPECT_EQ(send("00 A4 00 00 02 FF 11", 1, 2, 300, 0x0102).response, "00 08 00 08 08 00 00 00 00 00 90 00");
  EXPECT_EQ(send("00 B0 00 00 00", 1, 2, 300, 0x0102).response, "0E 03 02 03 03 1D 01 FE 90 00");
  // FF10 chosen afterwards wins; FF11 stays selected beneath it.
  send("00 A4 00 00 02 FF 10", 1, 2, 300, 0x0102);
  EXPECT_EQ(send("00 B0 00 00 02", 1, 2, 300, 0x0102).response, "01 3D 90 00");
  EXPECT_EQ(lib.selectedFF11, 1);
}

TEST_F(CtDataTest, OwnAnswersNeverWritePastTheResponseBuffer) {
  send("00 A4 00 00 02 FF 10");
  Bytes command = hex("00 B0 00 00 00");
  std::array<std::uint8_t, 20> response{};
  response.fill(0xEE);
  std::uint8_t dad = 1;
  std::uint8_t sad = 2;
  std::uint16_t lenr = 10;
  EXPECT_EQ(CT_data(CTN, &dad, &sad, 5, command.data(), &lenr, response.data()), ERR_MEMORY);
  EXPECT_EQ(lenr, 0);
  for (std::size_t i = 10; i < response.size(); ++i) EXPECT_EQ(response[i], 0xEE) << i;
  EXPECT_EQ(send("00 B0 00 00 08", 1, 2, 10).response, "01 3D 43 54 20 4B 34 2D 90 00");
}

TEST_F(CtDataTest, GetStatusFromTheReadersFiles) {
  struct Case {
    const char* info;
    const char* icc;
    const char* command;
    std::string response;
  };
  const std::vector<Case> cases = {
      {"", "21 01 00", "20 13 00 80", "00 90 00"},
      {"", "21 01 02", "20 13 00 80 00", "05 90 00"},
      {"", "21 01 01", "20 13 01 80", "03 90 00"},
      {"", "21 01 07", "20 13 00 80", "01 90 00"},
      {"", "22 01 02", "20 13 00 80", "00 90 00"},  // no status object: no card
      {"", "21 01 00", "20 13 02 80", "6B 00"},
      {"", "21 01 00", "20 13 00 81", "6B 00"},
      {"", "21 01 00", "20 13 00 80 00 00", "67 00"},
      {"0F 04 32 2E 33 32", "", "20 13 00 46", "44 45 56 4E 52 20 20 51 54 56 20 32 2E 33 32 90 00"},
      {"0F 05 32 2E 32 37 6B", "", "20 13 00 46", "44 45 56 4E 52 20 20 51 54 56 32 2E 32 37 6B 90 00"},
      {"0F 07 32 2E 32 37 6B 2D 62", "", "20 13 00 46", "44 45 56 4E 52 20 20 51 54 56 32 2E 32 37 6B 90 00"},
      {"", "", "20 13 00 46", "44 45 56 4E 52 20 20 51 54 56 20 20 20 20 20 90 00"},
      {"", "", "20 13 01 46", "6B 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    reader.set(c.info, c.icc);
    const Reply reply = send(c.command);
    EXPECT_EQ(reply.result, OK);
    EXPECT_EQ(reply.response, c.response);
  }
}

TEST_F(CtDataTest, GetStatusWithASilentReaderIs6F00) {
  device->setResponder({});
  EXPECT_EQ(send("20 13 00 80").response, "6F 00");
  EXPECT_EQ(send("20 13 00 46").response, "6F 00");
}

TEST_F(CtDataTest, RequestIccWithoutCardAfterOnePassAndOnePause) {
  reader.set("", "21 01 00");
  const std::uint64_t start = nowMs();
  const Reply reply = send("20 12 01 00 00");
  EXPECT_EQ(reply.result, OK);
  EXPECT_EQ(reply.response, "62 00");
  EXPECT_EQ(reader.statusFileReads(), 1);
  EXPECT_GE(nowMs() - start, 100u);
  EXPECT_LT(nowMs() - start, 200u);

  reader.set("", "21 01 02");
  EXPECT_EQ(send("20 12 01 00 01 00").response, "62 01");
  EXPECT_EQ(send("20 12 02 00").response, "6B 00");
  EXPECT_EQ(send("20 12 01 10").response, "6B 00");
  EXPECT_EQ(send("20 12 01").response, "67 00");
}

TEST_F(CtDataTest, RequestIccWaitsForItsTimeOut) {
  reader.set("", "21 01 00");
  const std::uint64_t start = nowMs();
  // Time-out 3 s from a data object; the card stays away.
  EXPECT_EQ(send("20 12 01 00 03 80 01 03").response, "62 00");
  EXPECT_GE(nowMs() - start, 3000u);
  EXPECT_LT(nowMs() - start, 3300u);
}

TEST_F(CtDataTest, EjectWithBeepsEndsWhenTheCardIsTakenOut) {
  reader.set("", "21 01 01");
  const std::uint64_t start = nowMs();
  std::size_t beepsWhenTaken = 0;
  clock::scheduleAt(clock::milliseconds(start + 2000), [&] {
    beepsWhenTaken = win32::messageBeepCount();
    reader.setIccStatus("21 01 00");
  });
  const Reply reply = send("20 15 01 01 01 05");
  EXPECT_EQ(reply.result, OK);
  EXPECT_EQ(reply.response, "90 01");
  EXPECT_EQ(beepsWhenTaken, 3u);
  EXPECT_EQ(win32::messageBeepCount(), 4u);
  EXPECT_GE(nowMs() - start, 2000u);
  EXPECT_LT(nowMs() - start, 2300u);
  EXPECT_EQ(toHex(device->transmitted().front()), "12 00 05 20 14 01 00 00 22");
}

TEST_F(CtDataTest, EjectWithoutBeepsTimesOutWithTheCardStillIn) {
  reader.set("", "21 01 01");
  EXPECT_EQ(send("20 15 01 00 01 01").response, "90 00");
  EXPECT_EQ(win32::messageBeepCount(), 0u);
  EXPECT_EQ(send("20 15 01 08").response, "6B 00");
  EXPECT_EQ(send("20 15 00 00").response, "6B 00");
}

TEST_F(CtDataTest, QuitDuringAPauseEndsTheWait) {
  reader.set("", "21 01 00");
  PostQuitMessage(0);
  const Reply reply = send("20 12 01 00 01 05");
  EXPECT_EQ(reply.result, ERR_HOST);
  EXPECT_EQ(reply.dad, 2);
  EXPECT_EQ(reply.sad, 1);
  EXPECT_EQ(lib.quitSeen, 1);
}

TEST_F(CtDataTest, EventWaitNeedsAnArmedTerminal) {
  EXPECT_EQ(send("80 71 00 05").response, "64 F0");
}

TEST_F(CtDataTest, EventWaitTimesOutAndCanBeSentAgain) {
  arm(1);
  reader.setStatusByte(0x00);  // no card
  const std::uint64_t start = nowMs();
  const Reply reply = send("80 71 00 05");
  EXPECT_EQ(reply.result, OK);
  EXPECT_EQ(reply.response, "62 F0");
  EXPECT_GE(nowMs() - start, 5000u);
  EXPECT_LT(nowMs() - start, 5100u);
  EXPECT_EQ(slot().eventArmed, 1);
  EXPECT_EQ(lib.eventWaitActive, 0);
  EXPECT_EQ(send("80 71 00 01").response, "62 F0");
}

TEST_F(CtDataTest, EventWaitSeesTheCardArrive) {
  struct Case {
    std::int16_t firmware;
    std::function<void(ScriptedReader&)> insert;
  };
  const std::vector<Case> cases = {
      {0x232, [](ScriptedReader& r) { r.setStatusByte(0x05); }},
      {0x124, [](ScriptedReader& r) { r.setIccStatus("21 01 01"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firmware);
    lib.firmwareVersion = c.firmware;
    reader.set("", "21 01 00", 0x00);
    arm(1);
    const std::uint64_t start = nowMs();
    clock::scheduleAt(clock::milliseconds(start + 1500), [&] { c.insert(reader); });
    const Reply reply = send("80 71 00 0A");
    EXPECT_EQ(reply.result, OK);
    EXPECT_EQ(reply.response, "90 00");
    EXPECT_GE(nowMs() - start, 1500u);
    EXPECT_LT(nowMs() - start, 2000u);
    EXPECT_EQ(slot().eventArmed, 0);
    EXPECT_EQ(slot().busy, 0);
  }
}

TEST_F(CtDataTest, EventWaitEndsOnAnUnreadableStatus) {
  arm(1);
  reader.setStatusByte(0xFF);
  const Reply reply = send("80 71 00 05");
  EXPECT_EQ(reply.result, ERR_HTSI);
  EXPECT_EQ(reply.response, "");
  EXPECT_EQ(slot().eventArmed, 1);
}

TEST_F(CtDataTest, SecondEventWaitFromAMessageHandlerEndsBoth) {
  arm(1);
  Reply inner{};
  win32::setMessageHandler(WM_USER, [&inner](const MSG&) -> LRESULT {
    inner = send("80 71 00 05");
    return 0;
  });
  const std::uint64_t start = nowMs();
  clock::scheduleAt(clock::milliseconds(start + 500), [] { PostMessageA(nullptr, WM_USER, 0, 0); });
  const Reply outer = send("80 71 00 05");
  EXPECT_EQ(inner.result, ERR_HTSI);
  EXPECT_EQ(inner.dad, 1);  // refused before any check: addresses unchanged
  EXPECT_EQ(inner.sad, 2);
  EXPECT_EQ(outer.result, ERR_HTSI);
  EXPECT_EQ(outer.response, "");
  EXPECT_LT(nowMs() - start, 1000u);
  EXPECT_EQ(slot().eventArmed, 0);
  EXPECT_EQ(slot().busy, 0);
  EXPECT_EQ(lib.eventWaitActive, 0);
}

TEST_F(CtDataTest, EventWaitEndsWhenTheTerminalIsClosed) {
  arm(1);
  win32::setMessageHandler(WM_USER, [](const MSG&) -> LRESULT { return CT_close(CTN); });
  clock::scheduleAt(clock::milliseconds(nowMs() + 300), [] { PostMessageA(nullptr, WM_USER, 0, 0); });
  // Without a time-out the wait outlasts the close's own 20 s wait.
  EXPECT_EQ(send("80 71 00 00").result, ERR_HTSI);
  EXPECT_EQ(keldapi::findOpenSlot(CTN), -1);
}

TEST_F(CtDataTest, QuitWhileWaitingForABusyTerminal) {
  slot().busy = 1;  // another call holds the terminal
  PostQuitMessage(0);
  const Reply reply = send("00 B0 00 00 00", 0, 2);
  EXPECT_EQ(reply.result, ERR_HOST);
  EXPECT_EQ(reply.dad, 2);
  EXPECT_EQ(reply.sad, 1);
  EXPECT_EQ(lib.quitSeen, 1);
  EXPECT_EQ(win32::pendingMessages(), 0u);
}

TEST_F(CtDataTest, BusyTerminalGivesUpAfterTwentySeconds) {
  slot().busy = 1;
  const std::uint64_t start = nowMs();
  const Reply reply = send("00 B0 00 00 00", 0, 2);
  EXPECT_EQ(reply.result, ERR_CT);
  EXPECT_EQ(reply.dad, 0);
  EXPECT_EQ(reply.sad, 2);
  EXPECT_GE(nowMs() - start, 20000u);
  EXPECT_EQ(slot().busy, 1);
}

TEST_F(CtDataTest, ArgumentChecks) {
  struct Case {
    const char* name;
    std::uint16_t ctn;
    std::uint8_t dad;
    std::uint8_t sad;
    const char* command;
    std::uint16_t lenr;
    std::int8_t result;
  };
  const std::vector<Case> cases = {
      {"never opened", 9, 1, 2, "00 A4 00 00 02 FF 10", 300, ERR_INVALID},
      {"sad 3", CTN, 1, 3, "00 A4 00 00 02 FF 10", 300, ERR_INVALID},
      {"sad 0", CTN, 1, 0, "00 A4 00 00 02 FF 10", 300, ERR_INVALID},
      {"dad 15", CTN, 15, 2, "00 A4 00 00 02 FF 10", 300, ERR_INVALID},
      {"lenc 0", CTN, 1, 2, "", 300, ERR_INVALID},
      {"lenr 1", CTN, 1, 2, "00 A4 00 00 02 FF 10", 1, ERR_MEMORY},
      {"lenr 0", CTN, 1, 2, "00 A4 00 00 02 FF 10", 0, ERR_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = send(c.command, c.dad, c.sad, c.lenr, c.ctn);
    EXPECT_EQ(reply.result, c.result);
    EXPECT_EQ(reply.dad, 2);
    EXPECT_EQ(reply.sad, 1);
    EXPECT_EQ(slot().busy, 0);
    // The terminal is usable at once.
    const std::uint64_t start = nowMs();
    EXPECT_EQ(send("00 A4 00 00 02 FF 10").result, OK);
    EXPECT_LT(nowMs() - start, 100u);
  }
}

TEST_F(CtDataTest, OwnAnswersDisarmUnlessCla80OrIns71) {
  arm(1);
  send("00 A4 00 00 02 FF 10");  // CLA 0x00: disarms
  EXPECT_EQ(slot().eventArmed, 0);
  arm(1);
  send("80 71 00 01");  // times out, stays armed
  EXPECT_EQ(slot().eventArmed, 1);
  send("20 13 00 80");  // CLA 0x20, INS 0x13
  EXPECT_EQ(slot().eventArmed, 0);
}

}  // namespace
}  // namespace keld::test

namespace keld::test {
namespace {

TEST_F(CtDataTest, EventArmingFollowsTheForwardedCommands) {
  reader.setOtherAnswer("90 00");
  EXPECT_EQ(send("80 70 00 00 01 01").result, OK);
  EXPECT_EQ(slot().eventArmed, 1);
  EXPECT_EQ(lib.eventCode, 0x01);
  EXPECT_EQ(send("80 60 00 00").result, OK);
  EXPECT_EQ(slot().eventArmed, 1);
  EXPECT_EQ(send("00 B0 00 00 00", 0, 2).result, OK);
  EXPECT_EQ(slot().eventArmed, 0);
  reader.setOtherAnswer("6A 82");
  send("80 70 00 00 01 01");
  EXPECT_EQ(slot().eventArmed, 0);
}

TEST_F(CtDataTest, AfterQuitForwardedCommandsStayAwayFromTheReader) {
  slot().busy = 1;
  PostQuitMessage(0);
  EXPECT_EQ(send("00 B0 00 00 00", 0, 2).result, ERR_HOST);
  slot().busy = 0;
  device->clearRecords();
  EXPECT_EQ(send("00 B0 00 00 00", 0, 2).result, ERR_HTSI);
  EXPECT_EQ(send("00 B0 00 00 00", 14, 5).result, ERR_HTSI);
  EXPECT_TRUE(device->transmitted().empty());
  ASSERT_EQ(CT_close(CTN), OK);
  ASSERT_EQ(CT_init(CTN, 1), OK);
  EXPECT_EQ(send("00 B0 00 00 00", 0, 2).result, OK);
  EXPECT_FALSE(device->transmitted().empty());
}

// REQUEST ICC of older firmware goes out as the card reset 20 10; the 62 A6
// that firmware may answer it with is reported as 90 00, for REQUEST ICC only.
TEST_F(CtDataTest, RequestIccWithACardIsSentAsAReset) {
  reader.set("", "21 01 01");
  reader.setResetAnswer("3B 00 62 A6");
  const Reply reply = send("20 12 01 F1 00");
  EXPECT_EQ(reply.result, OK);
  EXPECT_EQ(reply.response, "3B 00 90 00");
  bool sentReset = false;
  for (const Bytes& block : device->transmitted())
    if (toHex(block).find("20 10 01 01 00") != std::string::npos) sentReset = true;
  EXPECT_TRUE(sentReset);

  EXPECT_EQ(send("20 10 01 01 00").response, "3B 00 62 A6") << "the reset itself is not rewritten";
  reader.setResetAnswer("3B 00 90 01");
  EXPECT_EQ(send("20 12 01 01 00").response, "3B 00 90 01");
  reader.setResetAnswer("62 A6");
  EXPECT_EQ(send("20 12 01 01 00").response, "90 00");
}

// Two threads drive two terminals; each reader answers with its own
// pattern, so any byte of the other terminal's exchange would show.
TEST(CtDataThreads, TwoTerminalsNeverMixTheirBytes) {
  keld::clock::useRealClock();
  keldapi::resetLibraryState();
  FakeDevices devices;
  auto first = devices.addReader(0, 0x300);
  auto second = devices.addReader(1, 0x320);
  const auto echo = [](std::uint8_t fill) {
    return [fill](const Bytes& block) {
      Bytes inf(block.begin() + 3, block.begin() + 3 + block[2]);
      Bytes answer(40, fill);
      answer.insert(answer.end(), inf.begin(), inf.end());
      answer.push_back(0x90);
      answer.push_back(0x00);
      return TransmitReply{0, terminalAnswer(answer)};
    };
  };
  first->setResponder(echo(0xA1));
  second->setResponder(echo(0xB2));
  ASSERT_EQ(CT_init(1, 1), OK);
  ASSERT_EQ(CT_init(2, 2), OK);
  lib.firmwareVersion = 0x232;
  std::atomic<int> failures{0};
  const auto drive = [&failures](std::uint16_t ctn, std::uint8_t fill) {
    for (int i = 0; i < 300; ++i) {
      Bytes command = {0x00, 0xB0, static_cast<std::uint8_t>(i), fill, 0x00};
      std::array<std::uint8_t, 100> response{};
      std::uint8_t dad = 0;
      std::uint8_t sad = 2;
      std::uint16_t lenr = response.size();
      const std::int8_t result = CT_data(ctn, &dad, &sad, 5, command.data(), &lenr, response.data());
      Bytes expected(40, fill);
      expected.insert(expected.end(), command.begin(), command.end());
      expected.push_back(0x90);
      expected.push_back(0x00);
      if (result != OK || Bytes(response.begin(), response.begin() + lenr) != expected) ++failures;
    }
  };
  std::thread a(drive, 1, 0xA1);
  std::thread b(drive, 2, 0xB2);
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);
  keldapi::resetLibraryState();
}

}  // namespace
}  // namespace keld::test
