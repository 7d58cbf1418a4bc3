// The exchange engine driven block by block through a scripted reader:
// supervisory requests, the error reply and its retry budget, chained
// responses into the caller's buffer, and the waiting time of WTX.

#include <gtest/gtest.h>

#include "ctapi/link/blocks.h"
#include "ctapi/link/engine.h"
#include "driver/ioctl/reader_ioctl.h"
#include "link_fixture.h"

namespace keld::test {
namespace {

using keldapi::lib;

class EngineTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    link().cardProtocol = 2;
    link().retriesLeft = 3;
  }
  // One card command block (N(S) 0) and the receive of its response.
  int exchange(bool raw = false) {
    const Bytes command = hex("00 B0 00 00 00");
    keldapi::sendBlock(TERMINAL, 0x02, 0x00, static_cast<std::uint16_t>(command.size()),
                       command.data());
    return keldapi::awaitResponse(TERMINAL, raw);
  }
  void answer(std::string_view withoutLrc) { reader->queueAnswer(withLrc(withoutLrc)); }
  void answerAlways(std::string_view withoutLrc) {
    const Bytes block = withLrc(withoutLrc);
    reader->setResponder([block](const Bytes&) { return TransmitReply{0, block}; });
  }
};

TEST_F(EngineTest, CardResponseGoesIntoTheCallersBuffer) {
  answer("20 00 04 01 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks(), std::vector<std::string>{"02 00 05 00 B0 00 00 00 B7"});
  EXPECT_EQ(lib.responseLength, 4);
  EXPECT_EQ(responseHex(4), "01 02 90 00");
  EXPECT_EQ(lib.answerNad, 0x20);
  EXPECT_TRUE(link().recvSeq());
  EXPECT_EQ(lib.linkOwner, -1);
}

TEST_F(EngineTest, IfsRequestIsAnsweredAndSetsTheCardsBlockSize) {
  answer("20 C1 01 FE");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  ASSERT_EQ(sentBlocks().size(), 2u);
  EXPECT_EQ(sentBlocks()[1], "00 E1 01 FE 1E");
  EXPECT_EQ(link().ifsc, 254);
  EXPECT_EQ(responseHex(2), "90 00");
}

TEST_F(EngineTest, IfsRequestOfSizeZeroOrFFGetsAnRBlockWithOtherError) {
  for (const char* request : {"20 C1 01 00", "20 C1 01 FF", "20 C1 00"}) {
    SCOPED_TRACE(request);
    reader->clearRecords();
    link().retriesLeft = 3;
    link().seqFlags = 0;
    answer(request);
    answer("20 00 02 90 00");
    ASSERT_EQ(exchange(), 0);
    ASSERT_EQ(sentBlocks().size(), 2u);
    EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
    EXPECT_EQ(link().ifsc, 32);
  }
}

TEST_F(EngineTest, ChainedResponseIsAcknowledgedByItsSequenceBits) {
  answer("20 20 03 01 02 03");  // N(S) 0, more
  answer("20 60 01 04");        // N(S) 1, more
  answer("20 00 02 90 00");     // N(S) 0, last
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks(), (std::vector<std::string>{"02 00 05 00 B0 00 00 00 B7", "00 90 00 90",
                                                    "00 80 00 80"}));
  EXPECT_EQ(lib.responseLength, 6);
  EXPECT_EQ(responseHex(6), "01 02 03 04 90 00");
  EXPECT_TRUE(link().recvSeq());
}

TEST_F(EngineTest, ReaderStatusInsideAChainedCardResponseReplacesIt) {
  answer("20 20 03 01 02 03");  // N(S) 0, more
  answer("21 00 02 64 A1");     // the card is gone: the reader answers
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks().size(), 2u);
  EXPECT_EQ(lib.responseLength, 2);
  EXPECT_EQ(responseHex(2), "64 A1");
  EXPECT_EQ(lib.answerNad, 0x21);
}

struct BudgetCase {
  const char* name;
  std::int8_t budget;
  std::vector<std::string> sent;
};

class RetryBudget : public EngineTest, public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(RetryBudget, BadEpiloguesAreAnsweredWhileTheBudgetLasts) {
  link().retriesLeft = GetParam().budget;
  Bytes bad = withLrc("20 00 02 90 00");
  bad.back() ^= 0xFF;
  reader->setResponder([bad](const Bytes&) { return TransmitReply{0, bad}; });
  EXPECT_EQ(exchange(), keldapi::LINK_RECEIVE_FAILED);
  EXPECT_EQ(sentBlocks(), GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryBudget,
    ::testing::Values(BudgetCase{"ThreeAnswersTwiceThenEnds", 3,
                                 {"02 00 05 00 B0 00 00 00 B7", "00 81 00 81", "00 81 00 81"}},
                      BudgetCase{"ZeroEndsAtTheFirstError", 0, {"02 00 05 00 B0 00 00 00 B7"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, WrongLengthIsAnsweredWithOtherError) {
  answer("20 00 03 90 00");  // LEN says one more byte than came
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
}

TEST_F(EngineTest, WtxProlongsTheWaitingTimeForOneAnswer) {
  answer("20 C3 01 03");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 E3 01 03 E1");
  EXPECT_EQ(reader->timeoutWrites(), (std::vector<std::uint32_t>{6000, 20000}));
  EXPECT_EQ(reader->timeoutValue(), 20000u);
  EXPECT_EQ(link().blockWaitingTime, 20000);
}

TEST_F(EngineTest, WtxMultiplierZeroHandsZeroToTheDriver) {
  answer("20 C3 01 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(reader->timeoutWrites(), (std::vector<std::uint32_t>{0, 20000}));
}

TEST_F(EngineTest, WtxWhoseAnswerIsBadStillPutsThePreviousWaitingTimeBack) {
  answer("20 C3 01 05");
  Bytes bad = withLrc("20 00 02 90 00");
  bad.back() ^= 0x01;
  reader->queueAnswer(bad);
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[2], "00 81 00 81");
  // The R-block's answer is waited for with the usual time, not the prolonged one.
  EXPECT_EQ(reader->timeoutWrites(), (std::vector<std::uint32_t>{10000, 20000}));
}

TEST_F(EngineTest, RefusedWaitingTimeEndsTheReceiveWithoutARetry) {
  reader->failCode(keld::ioctl::IOCTL_READER_TIMEOUT, STATUS_DEVICE_BUSY);
  answer("20 C3 01 03");
  EXPECT_EQ(exchange(), keldapi::LINK_RECEIVE_FAILED);
  EXPECT_EQ(sentBlocks().size(), 1u);
  EXPECT_EQ(link().retriesLeft, 3);
}

TEST_F(EngineTest, AbortRequestIsAnswered) {
  answer("20 C2 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 E2 00 E2");
}

TEST_F(EngineTest, ResynchRequestOfTheCardIsAnErrorReply) {
  answer("20 C0 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
}

TEST_F(EngineTest, EndlessSupervisoryRequestsEndWithTheBudget) {
  answerAlways("20 C1 01 20");
  EXPECT_EQ(exchange(), keldapi::LINK_RECEIVE_FAILED);
  EXPECT_LT(sentBlocks().size(), 1000u);
  EXPECT_LT(link().retriesLeft, 1);
}

TEST_F(EngineTest, TerminalIBlockIsNotCounted) {
  answer("21 40 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_FALSE(link().recvSeq());
  EXPECT_EQ(lib.answerNad, 0x21);
}

TEST_F(EngineTest, CardIBlockWithTheWrongSequenceBitIsRefused) {
  answer("20 40 02 90 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
}

TEST_F(EngineTest, InvalidIBlockIsRefused) {
  answer("20 01 02 90 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
}

TEST_F(EngineTest, TerminalTimeOutReportCountsAsAnRBlockWithOtherError) {
  answer("21 00 02 64 A8");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
  EXPECT_EQ(link().retriesLeft, 2);
}

TEST_F(EngineTest, RBlockAskingForTheLastIBlockAgainTurnsTheSendSequenceBack) {
  link().seqFlags = keldapi::SEND_SEQ;  // as after sending the I-block with N(S) 0
  answer("20 81 00");                   // N(R) 0 with an EDC error
  EXPECT_EQ(exchange(), keldapi::LINK_RECEIVE_FAILED);
  EXPECT_FALSE(link().sendSeq());
  EXPECT_EQ(link().retriesLeft, 2);
  EXPECT_EQ(sentBlocks().size(), 1u);
}

TEST_F(EngineTest, RBlockWithTheOtherSequenceBitIsAnsweredWithAnRBlock) {
  answer("20 92 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
}

TEST_F(EngineTest, AcknowledgementInsteadOfAResponseIsAnErrorReply) {
  answer("20 90 00");
  answer("20 00 02 90 00");
  ASSERT_EQ(exchange(), 0);
  EXPECT_EQ(sentBlocks()[1], "00 82 00 82");
}

TEST_F(EngineTest, NoAnswerEndsTheReceiveAndIsCountedHoweverOften) {
  lib.failedTransmits = 300;  // long past the old escape into "success"
  EXPECT_EQ(exchange(), keldapi::LINK_RECEIVE_FAILED);
  EXPECT_EQ(lib.linkPhase, 7);
  EXPECT_EQ(lib.failedTransmits, 302);  // counted by the send and by the receive
}

TEST_F(EngineTest, RawModeKeepsTheWholeBlockAndTheOwner) {
  answer("21 00 04 21 01 01 90");
  ASSERT_EQ(exchange(true), 0);
  EXPECT_EQ(toHex(std::span<const std::uint8_t>(lib.lastBlock.data(), 8)),
            toHex(withLrc("21 00 04 21 01 01 90")));
  EXPECT_EQ(lib.linkOwner, TERMINAL);
  EXPECT_EQ(lib.responseLength, 0);
}

TEST_F(EngineTest, ReceiveForAnotherTerminalHasNothing) {
  answer("20 00 02 90 00");
  const Bytes command = hex("00 B0 00 00 00");
  ASSERT_GT(keldapi::sendBlock(TERMINAL, 0x02, 0x00, 5, command.data()), 0);
  EXPECT_EQ(keldapi::receiveResponse(1, 300, false), keldapi::LINK_GIVEN_UP);
}

class ChainedIntoSmallBuffer : public EngineTest {
 protected:
  int exchangeInto(std::vector<std::uint8_t>& buffer) {
    lib.responseBuffer = buffer.data();
    lib.responseCapacity = static_cast<std::uint16_t>(buffer.size());
    return exchange();
  }
};

TEST_F(ChainedIntoSmallBuffer, ResponseExactlyFillingTheBufferIsDeliveredWhole) {
  answer("20 20 03 01 02 03");
  answer("20 40 02 90 00");
  std::vector<std::uint8_t> buffer(5);
  ASSERT_EQ(exchangeInto(buffer), 0);
  EXPECT_EQ(lib.responseLength, 5);
  EXPECT_EQ(toHex(buffer), "01 02 03 90 00");
}

TEST_F(ChainedIntoSmallBuffer, OneByteMoreSendsAbortInsteadOfOverrunning) {
  answer("20 20 03 01 02 03");
  answer("20 40 02 90 00");
  answer("20 E2 00");
  std::vector<std::uint8_t> buffer(4, 0xEE);  // heap: an overrun shows under the sanitizer
  ASSERT_EQ(exchangeInto(buffer), 0);
  EXPECT_EQ(sentBlocks().back(), "00 C2 00 C2");
  EXPECT_EQ(sentBlocks().size(), 3u);  // no repetition of the command
  EXPECT_GT(lib.responseLength, 4);    // the command level reports the small buffer
  EXPECT_EQ(toHex(buffer), "01 02 03 EE");
}

TEST_F(ChainedIntoSmallBuffer, FirstBlockTooLargeForTheBufferIsNotCopied) {
  answer("20 00 02 90 00");
  std::vector<std::uint8_t> buffer(1, 0xEE);
  ASSERT_EQ(exchangeInto(buffer), 0);
  EXPECT_EQ(lib.responseLength, 2);
  EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(ChainedIntoSmallBuffer, ChainedFirstBlockTooLargeIsAbortedAtOnce) {
  answer("20 20 03 01 02 03");
  answer("20 E2 00");
  std::vector<std::uint8_t> buffer(2, 0xEE);
  ASSERT_EQ(exchangeInto(buffer), 0);
  EXPECT_EQ(sentBlocks().back(), "00 C2 00 C2");
  EXPECT_GT(lib.responseLength, 2);
  EXPECT_EQ(toHex(buffer), "EE EE");
}

TEST_F(EngineTest, SendRBlockCarriesTheReceiveSequenceAndRespectsTheBudget) {
  reader->setResponder([](const Bytes&) { return TransmitReply{0, withLrc("20 00 00")}; });
  link().seqFlags = keldapi::RECV_SEQ;
  EXPECT_EQ(keldapi::sendRBlock(TERMINAL, 0), 1);
  EXPECT_EQ(keldapi::sendRBlock(TERMINAL, 1), 1);
  EXPECT_EQ(keldapi::sendRBlock(TERMINAL, 2), 1);
  link().retriesLeft = 0;
  EXPECT_EQ(keldapi::sendRBlock(TERMINAL, 2), 0);
  EXPECT_EQ(sentBlocks(), (std::vector<std::string>{"00 90 00 90", "00 91 00 91", "00 92 00 92"}));
}

TEST_F(EngineTest, FetchBlockByPhase) {
  answer("21 00 02 90 00");
  ASSERT_EQ(exchange(true), 0);
  std::uint8_t nad = 0;
  std::uint8_t pcb = 0xFF;
  const std::uint8_t* inf = nullptr;
  ASSERT_EQ(lib.linkPhase, 6);
  EXPECT_EQ(keldapi::fetchBlock(&nad, &pcb, &inf), 2);
  EXPECT_EQ(nad, 0x21);
  EXPECT_EQ(pcb, 0x00);
  ASSERT_NE(inf, nullptr);
  EXPECT_EQ(inf[0], 0x90);
  EXPECT_EQ(lib.linkPhase, 3);
  EXPECT_EQ(keldapi::fetchBlock(nullptr, nullptr, nullptr), keldapi::LINK_NOT_READY);
  lib.linkPhase = 1;
  lib.blockLength = 0;
  EXPECT_EQ(keldapi::fetchBlock(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(lib.linkPhase, 0);
}

TEST_F(EngineTest, EdcModeOnlyForAnOpenLink) {
  std::int32_t value = 7;
  EXPECT_EQ(keldapi::getEdcMode(TERMINAL, &value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(keldapi::setEdcMode(TERMINAL, 0), 0);
  EXPECT_EQ(lib.edcMode, 0);
  EXPECT_EQ(keldapi::setEdcMode(3, 1), keldapi::LINK_NOT_OPEN);
  EXPECT_EQ(keldapi::getEdcMode(3, &value), keldapi::LINK_NOT_OPEN);
  EXPECT_EQ(lib.edcMode, 0);
}

TEST_F(EngineTest, CrcLinkCarriesCrcEpilogues) {
  lib.edcMode = 0;
  reader->setResponder([](const Bytes& block) {
    // Echo a terminal answer 90 00 with the CRC the library computes itself;
    // the CRC is pinned against the check value elsewhere.
    std::array<std::uint8_t, 8> answer{0x21, 0x00, 0x02, 0x90, 0x00};
    const std::size_t n = keldapi::appendCrc(answer, 5);
    (void)block;
    return TransmitReply{0, Bytes(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(n))};
  });
  ASSERT_EQ(exchange(), 0);
  const Bytes sent = reader->transmitted()[0];
  EXPECT_EQ(sent.size(), 10u);
  EXPECT_TRUE(keldapi::checkCrc(sent));
}

}  // namespace
}  // namespace keld::test
