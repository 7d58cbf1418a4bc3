// The command exchange: interception of the link's own commands, chaining by
// the card's block size, the card-parameter read after a card reset, the
// repetition of failing card commands and the CT-API code of every outcome.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "ctapi/link/blocks.h"
#include "ctapi/link/engine.h"
#include "ctapi/link/exchange.h"
#include "driver/ioctl/reader_ioctl.h"
#include "link_fixture.h"

namespace keld::test {
namespace {

using keldapi::lib;

// A reader with a T=1 card behind it, answering block by block: its own
// files and commands with NAD 0x21, the card's I-blocks with 90 00 (or what
// `cardAnswer` says) and their chained parts with acknowledgements.
struct ReaderModel {
  Bytes statusFile = hex("21 01 01 22 01 02 03 02 00 20");  // card present, T=1, IFSC 32
  bool answersIfs = true;
  bool resynchronises = true;
  bool badCardFrames = false;
  std::function<std::string()> cardAnswer = [] { return std::string("02 90 00"); };
  bool cardNs = false;

  TransmitReply operator()(const Bytes& block) {
    const std::uint8_t nad = block[0];
    const std::uint8_t pcb = block[1];
    if (nad == 0x12) {
      const Bytes inf(block.begin() + 3, block.end() - 1);
      if (inf.size() >= 2 && inf[0] == 0x00 && inf[1] == 0xB0) {
        Bytes answer = hex("21 00");
        answer.push_back(static_cast<std::uint8_t>(statusFile.size() + 2));
        answer.insert(answer.end(), statusFile.begin(), statusFile.end());
        answer.push_back(0x90);
        answer.push_back(0x00);
        return reply(toHex(answer));
      }
      return reply("21 00 02 90 00");
    }
    if (pcb == 0xC1) return answersIfs ? reply("20 E1 01 FE") : reply("21 00 02 6F 00");
    if (pcb == 0xC0) return resynchronises ? reply("20 E0 00") : TransmitReply::failure();
    if (badCardFrames) {
      Bytes bad = withLrc("20 00 02 90 00");
      bad.back() ^= 0x01;
      return TransmitReply{0, bad};
    }
    if ((pcb & 0x80) != 0) return reply("20 00 02 6F 00");
    if ((pcb & 0x20) != 0) return reply((pcb & 0x40) != 0 ? "20 80 00" : "20 90 00");
    const std::string answer = std::string(cardNs ? "20 40 " : "20 00 ") + cardAnswer();
    cardNs = !cardNs;
    return reply(answer);
  }
  static TransmitReply reply(const std::string& withoutLrc) { return {0, withLrc(withoutLrc)}; }
};

struct Outcome {
  std::int8_t code;
  std::uint16_t lenr;
  std::uint8_t dad;
  std::uint8_t sad;
  std::string response;
};

class ExchangeTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    keldapi::resetExchangeState();
  }
  void TearDown() override {
    keldapi::resetExchangeState();
    LinkTest::TearDown();
  }

  Outcome exchange(std::uint8_t dad, std::string_view commandHex, std::uint16_t capacity = 300) {
    Bytes command = hex(commandHex);
    return exchangeBytes(dad, command, capacity);
  }
  Outcome exchangeBytes(std::uint8_t dad, Bytes& command, std::uint16_t capacity = 300) {
    std::uint8_t sad = 2;
    std::uint16_t lenr = capacity;
    response.fill(0xEE);
    const std::int8_t code =
        keldapi::exchangeCommand(TERMINAL, &dad, &sad, static_cast<std::uint16_t>(command.size()),
                                 command.data(), &lenr, response.data());
    return {code, lenr, dad, sad, responseHex(lenr)};
  }
  std::shared_ptr<ReaderModel> model() {
    auto m = std::make_shared<ReaderModel>();
    reader->setResponder([m](const Bytes& block) { return (*m)(block); });
    return m;
  }
  void answer(std::string_view withoutLrc) { reader->queueAnswer(withLrc(withoutLrc)); }
  static std::string block(std::string_view withoutLrc) { return toHex(withLrc(withoutLrc)); }
};

TEST_F(ExchangeTest, CardCommandAndItsResponse) {
  answer("20 00 04 6F 00 90 00");
  const Outcome out = exchange(0, "00 B0 00 00 02");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.lenr, 4);
  EXPECT_EQ(out.response, "6F 00 90 00");
  EXPECT_EQ(out.sad, 0);
  EXPECT_EQ(out.dad, 2);
  EXPECT_EQ(sentBlocks(), std::vector<std::string>{block("02 00 05 00 B0 00 00 02")});
  EXPECT_EQ(link().state, keldapi::LINK_IDLE);
}

TEST_F(ExchangeTest, TerminalCommandAndItsResponse) {
  answer("21 00 02 90 00");
  const Outcome out = exchange(1, "20 13 00 80 00");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "90 00");
  EXPECT_EQ(out.sad, 1);
  EXPECT_EQ(out.dad, 2);
  EXPECT_EQ(sentBlocks(), std::vector<std::string>{block("12 00 05 20 13 00 80 00")});
}

struct LocalCase {
  const char* name;
  const char* command;
  const char* response;
};

class LocalAnswers : public ExchangeTest, public ::testing::WithParamInterface<LocalCase> {};

TEST_P(LocalAnswers, AnsweredByTheLibraryWithoutReachingTheReader) {
  const Outcome out = exchange(1, GetParam().command);
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, GetParam().response);
  EXPECT_EQ(out.sad, 1);
  EXPECT_EQ(out.dad, 2);
  EXPECT_TRUE(reader->transmitted().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalAnswers,
    ::testing::Values(
        LocalCase{"ResetWithoutLe", "20 10 00 00", "67 00"},
        LocalCase{"ResetWithP2", "20 10 00 01 00", "6B 00"},
        LocalCase{"ResetWithLe", "20 10 00 00 01", "6C 00"},
        LocalCase{"ResetTooLong", "20 10 00 00 00 00", "67 00"},
        LocalCase{"ShortCommand", "20 13", "67 00"},
        LocalCase{"RetryBudgetTwo", "80 60 01 00 03 45 01 02", "90 00"},
        LocalCase{"RetryBudgetFour", "80 60 01 00 03 45 01 04", "6A 80"},
        LocalCase{"RetryObjectOfTwoBytes", "80 60 01 00 04 45 02 01 01", "6A 80"},
        LocalCase{"RetryValueMissing", "80 60 01 00 02 45 01", "6A 80"},
        LocalCase{"RetryLengthMissing", "80 60 01 00 01 45", "6A 80"},
        LocalCase{"CardWaitingTimeValueMissing", "80 60 01 00 03 29 02 0B", "6A 80"},
        LocalCase{"CardWaitingTimeLengthMissing", "80 60 01 00 01 29", "6A 80"},
        LocalCase{"TerminalWaitingTime", "80 60 00 00 04 29 02 0B B8", "90 00"},
        LocalCase{"TerminalWaitingTimeLengthZero", "80 60 00 00 03 29 00 00", "6A 80"},
        LocalCase{"TerminalWaitingTimeLengthFive", "80 60 00 00 07 29 05 00 00 00 00 01", "6A 80"},
        LocalCase{"TerminalWaitingTimeValueMissing", "80 60 00 00 03 29 03 0B", "6A 80"},
        LocalCase{"TerminalWaitingTimeLengthMissing", "80 60 00 00 01 29", "6A 80"},
        LocalCase{"BaudRateIndexSix", "80 60 00 00 03 11 01 06", "6A 85"},
        LocalCase{"ObjectRunningPastTheData", "80 60 00 00 04 11 05 01 02", "6A 85"},
        LocalCase{"ObjectWithoutLength", "80 60 00 00 04 13 01 01 13", "6A 85"},
        LocalCase{"TerminalParametersP2", "80 60 00 01 00", "6B 00"},
        LocalCase{"TerminalParametersWrongLc", "80 60 00 00 05 13 01 01", "67 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, RetryBudgetCommandSetsTheDefault) {
  exchange(1, "80 60 01 00 03 45 01 02");
  EXPECT_EQ(lib.retryDefault, 2);
  exchange(1, "80 60 01 00 03 45 01 04");
  EXPECT_EQ(lib.retryDefault, 2);
}

TEST_F(ExchangeTest, TerminalWaitingTimeGoesToTheDriverOnly) {
  exchange(1, "80 60 00 00 04 29 02 0B B8");
  EXPECT_EQ(link().ctWaitingTime, 3000);
  EXPECT_EQ(link().blockWaitingTime, 20000);
  EXPECT_EQ(reader->timeoutWrites(), std::vector<std::uint32_t>{3000});
}

TEST_F(ExchangeTest, RefusedWaitingTimeIsAMemoryError) {
  reader->failCode(keld::ioctl::IOCTL_READER_TIMEOUT, STATUS_DEVICE_BUSY);
  EXPECT_EQ(exchange(1, "80 60 00 00 04 29 02 0B B8").code, ERR_MEMORY);
  EXPECT_EQ(exchange(1, "80 60 01 00 04 29 02 0B B8").code, ERR_MEMORY);
  EXPECT_TRUE(reader->transmitted().empty());
}

TEST_F(ExchangeTest, CardWaitingTimeGoesToTheDriverAndOnToTheTerminal) {
  answer("21 00 02 90 00");
  const Outcome out = exchange(1, "80 60 01 00 04 29 02 0B BD");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "90 00");
  EXPECT_EQ(link().blockWaitingTime, 3005);
  EXPECT_EQ(reader->timeoutWrites(), std::vector<std::uint32_t>{3005});
  EXPECT_EQ(sentBlocks(), std::vector<std::string>{block("12 00 09 80 60 01 00 04 29 02 0B BD")});
}

TEST_F(ExchangeTest, OtherParameterCommandsAreForwarded) {
  for (const char* command : {"80 60 00 00 03 11 01 09", "80 60 01 00 03 29 05 00", "80 60 00 00 00"}) {
    SCOPED_TRACE(command);
    reader->clearRecords();
    answer("21 00 02 90 00");
    const Outcome out = exchange(1, command);
    EXPECT_EQ(out.code, OK);
    EXPECT_EQ(out.response, "90 00");
    ASSERT_EQ(sentBlocks().size(), 1u);
    EXPECT_EQ(sentBlocks()[0].substr(0, 6), "12 00 ");
  }
}

TEST_F(ExchangeTest, EpilogueChangesOnlyAfterTheTerminalsSuccess) {
  answer("21 00 02 6A 80");
  EXPECT_EQ(exchange(1, "80 60 00 00 03 13 01 01").response, "6A 80");
  EXPECT_EQ(lib.edcMode, 1);

  answer("21 00 02 90 00");
  EXPECT_EQ(exchange(1, "80 60 00 00 03 13 01 01").response, "90 00");
  EXPECT_EQ(lib.edcMode, 0);
  ASSERT_EQ(sentBlocks().size(), 2u);
  EXPECT_EQ(sentBlocks()[1], block("12 00 08 80 60 00 00 03 13 01 01"));  // sent with LRC

  std::array<std::uint8_t, 8> crcAnswer{0x21, 0x00, 0x02, 0x90, 0x00};
  const std::size_t n = keldapi::appendCrc(crcAnswer, 5);
  reader->queueAnswer(Bytes(crcAnswer.begin(), crcAnswer.begin() + static_cast<std::ptrdiff_t>(n)));
  EXPECT_EQ(exchange(1, "20 13 00 80 00").code, OK);
  const Bytes third = reader->transmitted()[2];
  EXPECT_EQ(third.size(), 10u);
  EXPECT_TRUE(keldapi::checkCrc(third));
}

TEST_F(ExchangeTest, TerminalResetRestartsTheLink) {
  model();
  link().seqFlags = keldapi::SEND_SEQ | keldapi::RECV_SEQ;
  link().ifsc = 254;
  link().cardProtocol = 2;
  const Outcome out = exchange(1, "20 10 00 00 00");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "90 00");
  EXPECT_EQ(out.sad, 1);
  EXPECT_EQ(out.dad, 2);
  EXPECT_EQ(link().seqFlags, 0u);
  EXPECT_EQ(link().ifsc, 32);
  EXPECT_EQ(link().cardProtocol, 0);
  EXPECT_EQ(lib.linkPhase, 0);
  // The reset itself never reaches the reader; the link start-up deactivates the card.
  const auto sent = sentBlocks();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), block("12 00 05 20 10 00 00 00")), 0);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), block("12 00 05 20 14 01 00 00")), 1);
}

TEST_F(ExchangeTest, TerminalResetOnAnUnusableLinkIsAnswered6400) {
  link().linkIndex = -1;
  const Outcome out = exchange(1, "20 10 00 00 00");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "64 00");
  EXPECT_EQ(out.lenr, 2);
  EXPECT_EQ(out.sad, 1);
  EXPECT_EQ(out.dad, 2);
}

TEST_F(ExchangeTest, LongCommandToAT1CardIsChainedByItsIfsc) {
  link().cardProtocol = 2;
  link().ifsc = 32;
  model();
  Bytes command(64);
  for (std::size_t i = 0; i < command.size(); ++i) command[i] = static_cast<std::uint8_t>(i);
  const Outcome out = exchangeBytes(0, command);
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "90 00");
  const Bytes first(command.begin(), command.begin() + 32);
  const Bytes second(command.begin() + 32, command.end());
  EXPECT_EQ(sentBlocks(), (std::vector<std::string>{block("02 20 20 " + toHex(first)),
                                                    block("02 40 20 " + toHex(second))}));
  EXPECT_FALSE(link().sendSeq());  // two I-blocks sent
}

TEST_F(ExchangeTest, ChainedCommandWhoseAcknowledgementFailsIsAborted) {
  link().cardProtocol = 2;
  link().ifsc = 32;
  lib.retryDefault = 0;
  auto m = model();
  m->badCardFrames = true;
  Bytes command(64, 0x33);
  const Outcome out = exchangeBytes(0, command);
  EXPECT_EQ(out.response, "64 A8");
  const auto sent = sentBlocks();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[0].substr(0, 8), "02 20 20");
  EXPECT_EQ(sent[1], "00 C2 00 C2");
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                          [](const std::string& b) { return b.substr(0, 8) == "02 40 20"; }),
            0);  // the rest of the command is not sent
}

TEST_F(ExchangeTest, CommandOfExactlyIfscBytesIsOneBlock) {
  link().cardProtocol = 2;
  link().ifsc = 32;
  model();
  Bytes command(32, 0x11);
  EXPECT_EQ(exchangeBytes(0, command).code, OK);
  EXPECT_EQ(sentBlocks(), std::vector<std::string>{block("02 00 20 " + toHex(command))});
}

TEST_F(ExchangeTest, IfscFromTheCardIsCappedAt254) {
  link().cardProtocol = 2;
  link().ifsc = static_cast<std::int16_t>(0xFFFF);  // as read from a card reporting FF FF
  lib.firmwareVersion = 0x124;
  model();
  Bytes command(300, 0x22);
  EXPECT_EQ(exchangeBytes(0, command).code, OK);
  ASSERT_EQ(reader->transmitted().size(), 2u);
  EXPECT_EQ(reader->transmitted()[0].size(), 3u + 254 + 1);
  EXPECT_EQ(reader->transmitted()[1].size(), 3u + 46 + 1);
}

TEST_F(ExchangeTest, CardResetMakesTheNextCardCommandReadTheCardAndAskForIfs) {
  auto m = model();
  link().seqFlags = keldapi::SEND_SEQ;
  EXPECT_EQ(exchange(1, "20 10 01 00 00").code, OK);
  EXPECT_EQ(lib.iccParamsPending, 1);
  EXPECT_EQ(link().seqFlags, 0u);
  reader->clearRecords();

  const Outcome out = exchange(0, "00 A4 00 00 02 3F 00");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "90 00");
  EXPECT_EQ(lib.iccParamsPending, 0);
  EXPECT_EQ(link().cardProtocol, 2);
  EXPECT_EQ(link().ifsc, 32);  // from the card information; the IFS request set our own size
  const auto sent = sentBlocks();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], "00 C1 01 FE 3E");
  EXPECT_EQ(sent.back(), block("02 00 07 00 A4 00 00 02 3F 00"));
}

// Newer firmware carries out RESET CT of the card and REQUEST ICC with the
// command set's own INS bytes: a reset it reports starts the card afresh as
// 20 10 01 does; REQUEST ICC of a card already active resets nothing.
struct FirmwareResetCase {
  const char* name;
  const char* command;
  const char* answer;
  bool reset;
};

class FirmwareCardReset : public ExchangeTest, public ::testing::WithParamInterface<FirmwareResetCase> {};

TEST_P(FirmwareCardReset, StartsTheCardAfreshOnlyWhenTheReaderReportsAReset) {
  const FirmwareResetCase& c = GetParam();
  link().seqFlags = keldapi::SEND_SEQ | keldapi::RECV_SEQ;
  answer(c.answer);
  EXPECT_EQ(exchange(1, c.command).code, OK);
  EXPECT_EQ(lib.iccParamsPending, c.reset ? 1 : 0);
  EXPECT_EQ(link().seqFlags, c.reset ? 0u : keldapi::SEND_SEQ | keldapi::RECV_SEQ);
  EXPECT_EQ(keldapi::pendingAction, keldapi::PENDING_NONE);
}

INSTANTIATE_TEST_SUITE_P(
    NewerFirmware, FirmwareCardReset,
    ::testing::Values(FirmwareResetCase{"RequestIcc", "20 12 01 00 00", "21 00 04 3B 00 90 01", true},
                      FirmwareResetCase{"RequestIccOfAMemoryCard", "20 12 01 01 00", "21 00 02 90 00", true},
                      FirmwareResetCase{"ResetIcc", "20 11 01 00 00", "21 00 04 3B 00 90 01", true},
                      FirmwareResetCase{"RequestIccAlreadyActive", "20 12 01 00 00", "21 00 02 62 01", false},
                      FirmwareResetCase{"RequestIccNoCard", "20 12 01 00 00", "21 00 02 62 00", false},
                      FirmwareResetCase{"ResetCtOfTheTerminal", "20 11 00 00 00", "21 00 02 90 00", false},
                      FirmwareResetCase{"GetStatus", "20 13 00 80 00", "21 00 03 05 90 00", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, UnreadableCardParametersGive62A7) {
  auto m = model();
  m->statusFile = hex("21 01 01 22 01 02 03 02 00 00");  // IFSC 0
  lib.iccParamsPending = 1;
  const Outcome out = exchange(0, "00 A4 00 00 02 3F 00");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "62 A7");
  EXPECT_EQ(out.sad, 1);
  EXPECT_EQ(out.dad, 2);
  const auto sent = sentBlocks();
  EXPECT_EQ(sent.back(), block("12 00 05 20 14 01 00 00"));
}

TEST_F(ExchangeTest, T1CardWithoutIfsResponseGives62A7) {
  auto m = model();
  m->answersIfs = false;
  lib.iccParamsPending = 1;
  const Outcome out = exchange(0, "00 A4 00 00 02 3F 00");
  EXPECT_EQ(out.response, "62 A7");
  EXPECT_EQ(sentBlocks().back(), block("12 00 05 20 14 01 00 00"));
}

TEST_F(ExchangeTest, FailingT1CardIsResynchronisedAndReported64A8) {
  auto m = model();
  m->badCardFrames = true;
  m->resynchronises = false;
  link().cardProtocol = 2;
  const Outcome out = exchange(0, "00 B0 00 00 02");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "64 A8");
  EXPECT_EQ(out.lenr, 2);
  EXPECT_EQ(out.sad, 1);
  EXPECT_EQ(out.dad, 2);
  const auto sent = sentBlocks();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(sent.end() - 4, sent.end()),
            (std::vector<std::string>{"00 C0 00 C0", "00 C0 00 C0", "00 C0 00 C0",
                                      block("12 00 05 20 10 01 00 00")}));
}

TEST_F(ExchangeTest, SuccessfulResynchronisationSendsNoCardReset) {
  auto m = model();
  m->badCardFrames = true;
  link().cardProtocol = 2;
  const Outcome out = exchange(0, "00 B0 00 00 02");
  EXPECT_EQ(out.response, "64 A8");
  const auto sent = sentBlocks();
  EXPECT_EQ(sent.back(), "00 C0 00 C0");
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "00 C0 00 C0"), 1);
}

TEST_F(ExchangeTest, FailingCardCommandIsRepeatedWithinTheBudget) {
  auto m = model();
  link().cardProtocol = 2;
  lib.retryDefault = 3;
  // The first answer fails its frame check twice, then the card answers.
  int bad = 2;
  reader->setResponder([m, &bad](const Bytes& b) {
    if (bad > 0 && (b[1] & 0x80) == 0) {
      --bad;
      return TransmitReply::failure();  // no answer to the I-block
    }
    return (*m)(b);
  });
  const Outcome out = exchange(0, "00 B0 00 00 02");
  EXPECT_EQ(out.code, OK);
  EXPECT_EQ(out.response, "90 00");
  EXPECT_EQ(sentBlocks().size(), 3u);  // the whole command, three times
}

TEST_F(ExchangeTest, FailureThatSpendsNoRetryStillEnds) {
  // Every answer is a WTX request and the driver refuses every waiting time:
  // the engine gives up without spending a retry each time.
  link().cardProtocol = 2;
  reader->failCode(keld::ioctl::IOCTL_READER_TIMEOUT, STATUS_DEVICE_BUSY);
  reader->setResponder([](const Bytes& b) {
    if (b[1] == 0xC0) return TransmitReply{0, withLrc("20 E0 00")};
    return TransmitReply{0, withLrc("20 C3 01 01")};
  });
  const Outcome out = exchange(0, "00 B0 00 00 02");
  EXPECT_EQ(out.response, "64 A8");
  EXPECT_LE(sentBlocks().size(), 5u);
}

TEST_F(ExchangeTest, TerminalCommandThatCannotBeSentIsACtError) {
  EXPECT_EQ(exchange(1, "20 13 00 80 00").code, ERR_CT);
  EXPECT_EQ(reader->transmitted().size(), 1u);  // no repetition without a budget
}

TEST_F(ExchangeTest, TerminalCommandWithoutAnswerIsATransmissionError) {
  answer("21 00 02 90");  // LEN wrong: the frame fails
  EXPECT_EQ(exchange(1, "20 13 00 80 00").code, ERR_TRANS);
  EXPECT_EQ(reader->transmitted().size(), 1u);
}

TEST_F(ExchangeTest, ResponseLongerThanTheBufferIsAMemoryErrorWithoutRepetition) {
  link().cardProtocol = 2;
  model();
  const Outcome out = exchange(0, "00 B0 00 00 02", 1);
  EXPECT_EQ(out.code, ERR_MEMORY);
  EXPECT_EQ(out.lenr, 0);
  EXPECT_EQ(sentBlocks().size(), 1u);
  EXPECT_EQ(response[0], 0xEE);
}

TEST_F(ExchangeTest, ChainedResponseLongerThanTheBufferIsAbortedOnce) {
  link().cardProtocol = 2;
  answer("20 20 03 01 02 03");
  answer("20 40 02 90 00");
  answer("20 E2 00");
  const Outcome out = exchange(0, "00 B0 00 00 05", 4);
  EXPECT_EQ(out.code, ERR_MEMORY);
  EXPECT_EQ(sentBlocks().back(), "00 C2 00 C2");
  EXPECT_EQ(sentBlocks().size(), 3u);  // command, acknowledgement, abort
  EXPECT_EQ(responseHex(5), "01 02 03 EE EE");
}

TEST_F(ExchangeTest, CommandsThatNoBlockCouldHoldAreRefused) {
  Bytes tooLong(271, 0x00);
  EXPECT_EQ(exchangeBytes(0, tooLong).code, ERR_MEMORY);  // card without T=1
  Bytes terminalCommand(255, 0x00);
  link().cardProtocol = 2;
  EXPECT_EQ(exchangeBytes(1, terminalCommand).code, ERR_MEMORY);  // no long form, never chained
  lib.firmwareVersion = 0x124;
  Bytes longForm(265, 0x00);
  EXPECT_EQ(exchangeBytes(1, longForm).code, ERR_MEMORY);  // 5 + 265 + 1 > 270
  EXPECT_TRUE(reader->transmitted().empty());

  answer("21 00 02 90 00");
  Bytes fits(264, 0x00);
  EXPECT_EQ(exchangeBytes(1, fits).code, OK);
  ASSERT_EQ(reader->transmitted().size(), 1u);
  EXPECT_EQ(reader->transmitted()[0].size(), 270u);
}

TEST_F(ExchangeTest, QuitEndsTheExchange) {
  lib.quitSeen = 1;
  EXPECT_EQ(exchange(0, "00 B0 00 00 02").code, ERR_HTSI);
  EXPECT_EQ(exchange(1, "20 10 00 00 00").code, ERR_HTSI);  // not covered up by 64 00
  EXPECT_TRUE(reader->transmitted().empty());
}

TEST_F(ExchangeTest, QuitDuringTheReceiveIsAHostError) {
  reader->setResponder([this](const Bytes&) {
    lib.quitSeen = 1;
    return TransmitReply{0, withLrc("21 00 02 90 00")};
  });
  std::uint8_t dad = 1;
  std::uint8_t sad = 2;
  std::uint16_t lenr = 300;
  Bytes command = hex("20 13 00 80 00");
  ASSERT_EQ(keldapi::prepareCommand(TERMINAL, sad, dad, command.data(), 5), 0);
  EXPECT_EQ(keldapi::collectResponse(TERMINAL, &dad, &sad, &lenr, response.data(), 2), ERR_HOST);
}

TEST_F(ExchangeTest, TakeResponseByState) {
  std::uint8_t sad = 9;
  std::uint8_t dad = 9;
  struct Case {
    std::int32_t state;
    int result;
  };
  for (const Case c : {Case{0, -1}, Case{1, -3}, Case{2, -3}, Case{4, -6}, Case{5, -6}}) {
    link().state = c.state;
    EXPECT_EQ(keldapi::takeResponse(TERMINAL, &sad, &dad, response.data(), 300), c.result)
        << c.state;
  }
  link().state = 3;
  lib.responseLength = 4;
  lib.answerNad = 0x20;
  EXPECT_EQ(keldapi::takeResponse(TERMINAL, &sad, &dad, response.data(), 3), keldapi::LINK_TOO_LONG);
  EXPECT_EQ(keldapi::takeResponse(TERMINAL, &sad, &dad, response.data(), 4), 4);
  EXPECT_EQ(sad, 0);
  EXPECT_EQ(dad, 2);
  EXPECT_EQ(link().state, 0);
  link().linkIndex = -1;
  EXPECT_EQ(keldapi::takeResponse(TERMINAL, &sad, &dad, response.data(), 4), -1);
}

struct CodeCase {
  int link;
  std::int8_t attempt;
  std::int8_t fetch;
};

class OutcomeCodes : public ::testing::TestWithParam<CodeCase> {};

TEST_P(OutcomeCodes, EveryLinkOutcomeHasItsCtApiCode) {
  EXPECT_EQ(keldapi::attemptCode(GetParam().link), GetParam().attempt);
  EXPECT_EQ(keldapi::fetchCode(GetParam().link), GetParam().fetch);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutcomeCodes,
    ::testing::Values(CodeCase{keldapi::LINK_NOT_OPEN, ERR_CT, ERR_CT},
                      CodeCase{keldapi::LINK_GIVEN_UP, ERR_HTSI, ERR_HTSI},
                      CodeCase{keldapi::LINK_NOT_READY, ERR_CT, ERR_CT},
                      CodeCase{keldapi::LINK_TRANSMIT_FAILED, ERR_HTSI, ERR_TRANS},
                      CodeCase{keldapi::LINK_UNUSABLE, ERR_TRANS, ERR_TRANS},
                      CodeCase{-7, ERR_HTSI, ERR_HTSI},
                      CodeCase{keldapi::LINK_TOO_LONG, ERR_MEMORY, ERR_MEMORY},
                      CodeCase{keldapi::LINK_RECEIVE_FAILED, ERR_TRANS, ERR_TRANS},
                      CodeCase{-13, ERR_HTSI, ERR_HTSI}),
    [](const auto& info) { return "Code" + std::to_string(-info.param.link); });

TEST(InterfaceParameters, ObjectsAreRecorded) {
  keldapi::resetExchangeState();
  const Bytes data = hex("11 01 03 12 02 05 02 13 01 01 7F 00");
  EXPECT_TRUE(keldapi::parseInterfaceParameters(data.data(), static_cast<std::uint16_t>(data.size())));
  EXPECT_EQ(keldapi::interfaceParameters.baudRate, 38400);
  EXPECT_EQ(keldapi::interfaceParameters.parity, 1);
  EXPECT_EQ(keldapi::interfaceParameters.stopBits, 2);
  EXPECT_EQ(keldapi::interfaceParameters.newEdcMode, 0);
  const Bytes format = hex("12 01 00");
  EXPECT_TRUE(keldapi::parseInterfaceParameters(format.data(), 3));
  EXPECT_EQ(keldapi::interfaceParameters.baudRate, 9600);
  EXPECT_EQ(keldapi::interfaceParameters.dataBits, 8);
  EXPECT_EQ(keldapi::interfaceParameters.parity, 2);
  EXPECT_EQ(keldapi::interfaceParameters.newEdcMode, 1);
  // A length that says more than the data holds is refused without reading on.
  const Bytes shortItem = hex("13 04 01");
  EXPECT_FALSE(keldapi::parseInterfaceParameters(shortItem.data(), 3));
  EXPECT_TRUE(keldapi::parseInterfaceParameters(nullptr, 0));
  keldapi::resetExchangeState();
}

}  // namespace
}  // namespace keld::test
