// Card journeys through the real library, host, driver, emulator and card.
// The host's trace of every control request shows the blocks as they went
// to the reader and came back.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>

#include "e2e/host_process.h"
#include "keldapi.h"
#include "support/ct_data_call.h"
#include "support/hex.h"

namespace keld::test {
namespace {

constexpr std::uint32_t TRANSMIT = 0x00312000;
constexpr std::uint32_t TIMEOUT = 0x00312008;

// One control request of the host's trace: code, input, status, output.
struct Control {
  std::uint32_t code = 0;
  Bytes in;
  std::uint32_t status = 0;
  Bytes out;
};

// A block as the trace shows it (NAD, PCB, LEN, INF, LRC).
struct Block {
  explicit Block(const Bytes& b) : bytes(b) {}
  std::uint8_t nad() const { return bytes.at(0); }
  std::uint8_t pcb() const { return bytes.at(1); }
  std::size_t infLength() const { return bytes.at(2); }
  Bytes inf() const { return Bytes(bytes.begin() + 3, bytes.begin() + 3 + static_cast<std::ptrdiff_t>(infLength())); }
  bool isIBlock() const { return (pcb() & 0x80) == 0; }
  bool more() const { return isIBlock() && (pcb() & 0x20) != 0; }
  Bytes bytes;
};

// Parses the hex between the brackets after `marker`.
Bytes bracketed(const std::string& line, const std::string& marker) {
  const std::size_t at = line.find(marker);
  const std::size_t open = line.find('[', at);
  const std::size_t close = line.find(']', open);
  return hex(line.substr(open + 1, close - open - 1));
}

std::vector<Control> parseTrace(const std::string& log) {
  std::vector<Control> controls;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" control 0x") != std::string::npos) {
      Control c;
      c.code = static_cast<std::uint32_t>(std::stoul(line.substr(line.find(" control 0x") + 11, 8), nullptr, 16));
      c.in = bracketed(line, " in ");
      controls.push_back(c);
    } else if (line.find(" status 0x") != std::string::npos && !controls.empty()) {
      controls.back().status =
          static_cast<std::uint32_t>(std::stoul(line.substr(line.find(" status 0x") + 10, 8), nullptr, 16));
      controls.back().out = bracketed(line, " out ");
    }
  }
  return controls;
}

// A small T=1 card: an application with a 256-byte EF, more time asked for
// before the loopback (80 EE), a larger IFSC asked for before GET CHALLENGE.
constexpr std::string_view SETTINGS_CARD = R"(
[card]
kind = "t1"
ifsc = 32

[wtx]
instructions = "EE"
multiplier = 3
repeat = 2

[ifs_request]
instructions = "84"
size = 64

[[file]]
path = "3F00/5F10"
type = "df"
aid = "F0 4B 45 4C 44 10"

[[file]]
path = "3F00/5F10/5F12"
sfi = 2
size = 256
)";

// A card that asks 255 times for more time before answering the loopback:
// each request is one more block exchanged, so the command takes long enough
// on the host's clock for a card change to fall inside it.
constexpr std::string_view SLOW_CARD = R"(
[card]
kind = "t1"

[wtx]
instructions = "EE"
multiplier = 1
repeat = 255

[[file]]
path = "3F00/5F10"
type = "df"
aid = "F0 4B 45 4C 44 10"
)";

class CardEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("KELD_VIRTUAL_TIME", "1", 1); }
  void TearDown() override {
    if (!directory.empty()) std::filesystem::remove_all(directory);
  }

  void startHost(std::vector<std::string> arguments = {}) {
    host = std::make_unique<HostProcess>(std::move(arguments));
    ASSERT_TRUE(host->ready()) << host->log();
    ::setenv("KELD_SOCKET", host->socketPath().c_str(), 1);
  }

  // Writes a card image into this test's directory; its path.
  std::string writeImage(std::string_view text, const std::string& name = "card.toml") {
    if (directory.empty()) directory = makeTestDirectory("cards");
    const std::string path = directory + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  // A host with a traced reader holding the card of `image`, a terminal
  // opened and reset (the library then knows the reader's firmware), the
  // card activated (its protocol and IFSC read, the library's IFSD offered)
  // and its application selected.
  void startWithCard(std::string_view image) {
    startHost({"--log-level", "trace", "--reader", "sim,card=" + writeImage(image)});
    ASSERT_EQ(CT_init(1, 1), OK);
    ASSERT_EQ(send(1, "20 11 00 00 00"), "90 00");
    ASSERT_EQ(lastBytes(send(1, "20 12 01 00 00"), 2), "90 01");
    ASSERT_EQ(lastBytes(send(0, "00 A4 04 0C 06 F0 4B 45 4C 44 10"), 2), "90 00");
  }

  // A traced host whose reader holds the default card or none, and terminal 1
  // on it; reset, when asked, so that the library reads the firmware version.
  void openTracedTerminal(bool cardIn, bool reset) {
    startHost({"--log-level", "trace", "--reader", cardIn ? "sim" : "sim,card=none"});
    ASSERT_EQ(CT_init(1, 1), OK);
    if (reset) {
      ASSERT_EQ(send(1, "20 11 00 00 00"), "90 00");
    }
  }

  // CT_data to `dad` (1 terminal, 0 card); the response, or "ERR <code>".
  static std::string send(std::uint8_t dad, std::string_view command, std::uint16_t ctn = 1) {
    return ctData(ctn, dad, command);
  }
  static std::string send(std::uint8_t dad, Bytes command, std::uint16_t ctn = 1) {
    return ctData(ctn, dad, std::move(command));
  }

  // The control requests traced from now on, until `traced()` is asked.
  void markTrace() { traceMark = parseTrace(host->log()).size(); }
  std::vector<Control> traced() const {
    std::vector<Control> all = parseTrace(host->log());
    return std::vector<Control>(all.begin() + static_cast<std::ptrdiff_t>(std::min(traceMark, all.size())), all.end());
  }
  // The blocks the library sent to the card (NAD 00) since the mark.
  std::vector<Block> sentToCard() const {
    std::vector<Block> blocks;
    for (const Control& c : traced())
      if (c.code == TRANSMIT && !c.in.empty() && c.in[0] == 0x00) blocks.emplace_back(c.in);
    return blocks;
  }
  static std::string describe(const std::vector<Control>& controls) {
    std::string text;
    for (const Control& c : controls) text += toHex(c.in) + "  ->  " + toHex(c.out) + "\n";
    return text;
  }

  std::unique_ptr<HostProcess> host;
  std::string directory;
  std::size_t traceMark = 0;
};

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return b;
}

TEST_F(CardEndToEnd, ResetRequestIccAndChainedCardResponses) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00");
  const std::string atr = send(1, "20 12 01 01 00");
  EXPECT_EQ(atr.substr(0, 29), "3B 84 81 31 20 45 4B 45 4C 44") << atr;
  EXPECT_EQ(lastBytes(atr, 2), "90 01") << atr;
  EXPECT_EQ(lastBytes(send(0, "00 A4 04 00 06 F0 4B 45 4C 44 01"), 2), "90 00");
  // 256 bytes and the status word are more than one block holds: the answer
  // comes chained.
  const std::string data = send(0, "00 B0 81 00 00");
  ASSERT_EQ(data.size(), 258u * 3 - 1) << data;
  EXPECT_EQ(data.substr(0, 11), "00 01 02 03");
  EXPECT_EQ(lastBytes(data, 3), "FF 90 00");
  EXPECT_EQ(lastBytes(send(1, "20 13 00 80 00"), 2), "90 00");
  EXPECT_EQ(CT_close(1), OK);
}

// Firmware 4.00 carries out REQUEST ICC itself; the card it resets starts its
// block numbering afresh, and so must the library, however many blocks went
// to the card before.
TEST_F(CardEndToEnd, CardActivatedAgainAfterEjectSpeaksT1Afresh) {
  ASSERT_NO_FATAL_FAILURE(openTracedTerminal(true, true));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(lastBytes(send(1, "20 12 01 00 00"), 2), "90 01");
    // Three I-blocks each way: the sequence bits do not come back to 0 by themselves.
    EXPECT_EQ(lastBytes(send(0, "00 A4 04 00 06 F0 4B 45 4C 44 01"), 2), "90 00");
    EXPECT_EQ(send(0, "00 B0 81 00 04"), "00 01 02 03 90 00");
    EXPECT_EQ(send(0, "00 B0 81 04 02"), "04 05 90 00");
    EXPECT_EQ(send(1, "20 15 01 00 00"), "90 00") << "deactivated, left in the slot";
  }
  EXPECT_EQ(CT_close(1), OK);
}

TEST_F(CardEndToEnd, SuspendAndResumeBetweenTwoCommands) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00");
  ASSERT_TRUE(host->control().suspend().ok());
  ASSERT_TRUE(host->control().resume().ok());
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00") << host->log();
  EXPECT_EQ(lastBytes(send(1, "20 12 01 01 00"), 2), "90 01");
  EXPECT_EQ(CT_close(1), OK);
}

TEST_F(CardEndToEnd, UnplugDuringUseFailsThenANewTerminalWorksAfterReplug) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00"), "90 00");
  ASSERT_TRUE(host->control().unplug(0).ok());
  const std::string failed = send(1, "20 11 00 00 00");
  EXPECT_TRUE(failed == "ERR -10" || failed == "ERR -8") << failed;
  EXPECT_EQ(CT_close(1), OK);
  ASSERT_TRUE(host->control().replug(0).ok());
  ASSERT_EQ(CT_init(2, 1), OK);
  EXPECT_EQ(send(1, "20 11 00 00 00", 2), "90 00");
  EXPECT_EQ(CT_close(2), OK);
}

// The library cuts a command longer than the card's IFSC into I-blocks of
// IFSC bytes, M set on all but the last, alternating N(S); the card
// acknowledges each one.
TEST_F(CardEndToEnd, UpdateBinaryOf255BytesGoesOutChainedAndReadsBack) {
  ASSERT_NO_FATAL_FAILURE(startWithCard(SETTINGS_CARD));
  const Bytes data = pattern(255, 3);
  Bytes update = hex("00 D6 82 00 FF");
  update.insert(update.end(), data.begin(), data.end());
  markTrace();
  EXPECT_EQ(send(0, update), "90 00");

  const std::vector<Block> blocks = sentToCard();
  ASSERT_EQ(blocks.size(), 9u) << describe(traced());  // 260 bytes: 8 of 32 and 4
  Bytes joined;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(blocks[i].isIBlock());
    EXPECT_EQ(blocks[i].infLength(), i < 8 ? 32u : 4u);
    EXPECT_EQ(blocks[i].more(), i < 8);
    const Bytes inf = blocks[i].inf();
    joined.insert(joined.end(), inf.begin(), inf.end());
  }
  EXPECT_EQ(blocks[0].pcb() & 0x40, (blocks[1].pcb() & 0x40) ^ 0x40) << "N(S) alternates";
  EXPECT_EQ(toHex(joined), toHex(update));
  for (const Control& c : traced()) {
    if (c.code == TRANSMIT && c.in[0] == 0x00 && Block(c.in).more()) {
      EXPECT_EQ(Block(c.out).pcb() & 0xEF, 0x80) << "acknowledged by R(N(R)): " << toHex(c.out);
    }
  }

  const std::string read = send(0, "00 B0 82 00 FF");
  EXPECT_EQ(read, toHex(data) + " 90 00");
  EXPECT_EQ(lastBytes(send(0, "00 B0 82 FF 01"), 2), "90 00") << "the 256th byte is untouched";
  EXPECT_EQ(CT_close(1), OK);
}

// Before the loopback the card asks twice for more time; each request is
// answered in kind and the driver's waiting time is prolonged for it and put
// back afterwards.
TEST_F(CardEndToEnd, WtxRequestsOfTheCardAreHonoured) {
  ASSERT_NO_FATAL_FAILURE(startWithCard(SETTINGS_CARD));
  markTrace();
  EXPECT_EQ(send(0, "80 EE 00 00 10"), "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00");

  const std::vector<Control> controls = traced();
  std::vector<std::string> wtx;  // the S-blocks and the waiting times, in order
  for (const Control& c : controls) {
    if (c.code == TIMEOUT) wtx.push_back("time " + toHex(c.in));
    if (c.code != TRANSMIT) continue;
    if (Block(c.in).pcb() == 0xE3) wtx.push_back("sent " + toHex(c.in));
    if (Block(c.out).pcb() == 0xC3) wtx.push_back("card " + toHex(c.out));
  }
  // 3 x 2000 = 6000 (70 17) for the answer to each response, then 20000
  // (20 4E) again once that answer, the next request, is in.
  const std::vector<std::string> expected{
      "card 20 C3 01 03 E1", "time 70 17 00 00", "sent 00 E3 01 03 E1", "card 20 C3 01 03 E1",
      "time 20 4E 00 00",    "time 70 17 00 00", "sent 00 E3 01 03 E1", "time 20 4E 00 00"};
  EXPECT_EQ(wtx, expected) << describe(controls);
  EXPECT_EQ(CT_close(1), OK);
}

// The card asks for IFSC 64 before answering GET CHALLENGE; the next long
// command goes out in blocks of 64 bytes.
TEST_F(CardEndToEnd, IfsRequestOfTheCardSetsTheSizeOfTheNextChainedBlocks) {
  ASSERT_NO_FATAL_FAILURE(startWithCard(SETTINGS_CARD));
  markTrace();
  const std::string challenge = send(0, "00 84 00 00 08");
  EXPECT_EQ(challenge.size(), 10u * 3 - 1) << challenge;
  EXPECT_EQ(lastBytes(challenge, 2), "90 00");
  bool asked = false;
  bool answered = false;
  for (const Control& c : traced()) {
    if (c.code != TRANSMIT) continue;
    if (toHex(c.out) == "20 C1 01 40 A0") asked = true;
    if (toHex(c.in) == "00 E1 01 40 A0") answered = true;
  }
  EXPECT_TRUE(asked && answered) << describe(traced());

  Bytes update = hex("00 D6 82 00 FF");
  const Bytes data = pattern(255, 11);
  update.insert(update.end(), data.begin(), data.end());
  markTrace();
  EXPECT_EQ(send(0, update), "90 00");
  std::vector<std::size_t> sizes;
  for (const Block& b : sentToCard()) sizes.push_back(b.infLength());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 64, 64, 4})) << describe(traced());
  EXPECT_EQ(send(0, "00 B0 82 00 FF"), toHex(data) + " 90 00");
  EXPECT_EQ(CT_close(1), OK);
}

// The card is pulled out in the middle of an exchange: the reader answers the
// next block itself with 64 A1 (no card), and the call ends with that status
// alone, never waiting for an answer that cannot come. The removal is due on
// the host's clock, which moves only as the driver waits for the reader, so
// it falls after the same block in every run.
struct RemovalCase {
  const char* name;
  std::string_view image;
  std::function<Bytes()> command;
  std::uint32_t delayMs;
  std::size_t cardBlocks;  // blocks the card sends for the command when left in
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

class CardRemovedMidExchange : public CardEndToEnd, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(CardRemovedMidExchange, EndsWithTheReadersNoCardStatus) {
  const RemovalCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(startWithCard(c.image));
  markTrace();
  ASSERT_TRUE(host->control().removeCard(0, c.delayMs).ok());
  auto call = std::async(std::launch::async, [this, &c] { return send(0, c.command()); });
  ASSERT_EQ(call.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the exchange hangs";
  EXPECT_EQ(call.get(), "64 A1");

  std::size_t fromCard = 0;
  std::string last;
  for (const Control& control : traced()) {
    if (control.code != TRANSMIT) continue;
    if (Block(control.out).nad() == 0x20) ++fromCard;
    last = toHex(control.out);
  }
  EXPECT_GT(fromCard, 1u) << "the card was removed inside the exchange\n" << describe(traced());
  EXPECT_LT(fromCard, c.cardBlocks) << "the card was removed inside the exchange\n" << describe(traced());
  EXPECT_EQ(last, "21 00 02 64 A1 E6") << describe(traced());

  EXPECT_EQ(send(1, "20 13 00 80 00"), "00 90 00") << "the slot is empty";
  EXPECT_EQ(send(1, "20 12 01 00 00"), "62 00");
  ASSERT_TRUE(host->control().insertCard(0, writeImage(SETTINGS_CARD, "other.toml")).ok());
  EXPECT_EQ(lastBytes(send(1, "20 12 01 00 00"), 2), "90 01");
  EXPECT_EQ(lastBytes(send(0, "00 A4 04 0C 06 F0 4B 45 4C 44 10"), 2), "90 00") << "a new card works";
  EXPECT_EQ(CT_close(1), OK);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, CardRemovedMidExchange,
    ::testing::Values(
        // 255 requests for more time, one block each: about 2 s on the host's clock.
        RemovalCase{"WhileTheCardAsksForMoreTime", SLOW_CARD, [] { return hex("80 EE 00 00 10"); }, 200, 256},
        // Nine chained blocks of 32 bytes, each acknowledged by the card.
        RemovalCase{"InsideAChainedCommand", SETTINGS_CARD,
                    [] {
                      Bytes update = hex("00 D6 82 00 FF");
                      const Bytes data = pattern(255, 5);
                      update.insert(update.end(), data.begin(), data.end());
                      return update;
                    },
                    30, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// EJECT ICC answers 90 01 when the slot was seen empty within the time (at
// least one look, so also with no time and no card) and 90 00 when the card
// is still in at the end. Firmware 4.00 carries the command out itself; the
// library does it, polling file 7021, while it has not yet read the reader's
// version, which it does at the first RESET CT of the process. Both give the
// same answer, so the journey may run either way.
struct EjectCase {
  const char* name;
  bool resetFirst;
  bool cardIn;
  std::uint32_t removeAfterMs;  // 0: left as it is
  const char* command;
  const char* answer;
  const char* statusAfter;  // 20 13 00 80: 00 no card, 03 in and not powered
};

void PrintTo(const EjectCase& c, std::ostream* os) { *os << c.name; }

class EjectIcc : public CardEndToEnd, public ::testing::WithParamInterface<EjectCase> {};

TEST_P(EjectIcc, AnswersWhetherTheCardWasTakenOut) {
  const EjectCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(openTracedTerminal(c.cardIn, c.resetFirst));
  if (c.cardIn) {
    ASSERT_EQ(lastBytes(send(1, "20 12 01 00 00"), 2), "90 01");
  }
  if (c.removeAfterMs != 0) {
    ASSERT_TRUE(host->control().removeCard(0, c.removeAfterMs).ok());
  }
  markTrace();
  EXPECT_EQ(send(1, c.command), c.answer) << describe(traced());
  EXPECT_EQ(send(1, "20 13 00 80 00"), std::string(c.statusAfter) + " 90 00");
  EXPECT_EQ(CT_close(1), OK);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, EjectIcc,
    ::testing::Values(EjectCase{"TakenOutWithinTheTime", true, true, 500, "20 15 01 00 01 05", "90 01", "00"},
                      EjectCase{"LeftInTheSlot", true, true, 0, "20 15 01 00 01 02", "90 00", "03"},
                      EjectCase{"LeftInWithoutATime", true, true, 0, "20 15 01 00 00", "90 00", "03"},
                      EjectCase{"NoCardWithoutATime", true, false, 0, "20 15 01 00 00", "90 01", "00"},
                      EjectCase{"TakenOutBeforeTheFirstReset", false, true, 500, "20 15 01 00 01 05", "90 01", "00"},
                      EjectCase{"LeftInBeforeTheFirstReset", false, true, 0, "20 15 01 00 01 02", "90 00", "03"},
                      EjectCase{"NoCardBeforeTheFirstReset", false, false, 0, "20 15 01 00 00", "90 01", "00"}),
    [](const auto& info) { return std::string(info.param.name); });

// 80 70 arms the terminal for a card event (its last byte: 1 insertion, 3
// removal); 80 71 P1 P2 then waits up to P1 minutes and P2 seconds while the
// library polls the reader back to back (20 13 00 80 once it knows the
// firmware, else file 7021). The card change is due on the host's clock.
struct EventCase {
  const char* name;
  bool resetFirst;
  bool cardIn;
  std::uint32_t changeAfterMs;  // 0: nothing happens
  const char* arm;
  const char* wait;
  const char* answer;
};

void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }

class CardEventWait : public CardEndToEnd, public ::testing::WithParamInterface<EventCase> {};

TEST_P(CardEventWait, EndsWithTheEventOrWhenTheTimeIsUp) {
  const EventCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(openTracedTerminal(c.cardIn, c.resetFirst));
  EXPECT_EQ(send(1, "80 71 00 01"), "64 F0") << "not armed yet";
  ASSERT_EQ(send(1, c.arm), "90 00");
  if (c.changeAfterMs != 0) {
    const hostctl::CommandResult change =
        c.cardIn ? host->control().removeCard(0, c.changeAfterMs) : host->control().insertCard(0, {}, c.changeAfterMs);
    ASSERT_TRUE(change.ok()) << change.text;
  }
  markTrace();
  auto call = std::async(std::launch::async, [this, &c] { return send(1, c.wait); });
  ASSERT_EQ(call.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the wait does not end";
  EXPECT_EQ(call.get(), c.answer);
  EXPECT_GT(traced().size(), 10u) << "the reader was polled until the change";

  if (std::string(c.answer) == "62 F0") {
    EXPECT_EQ(send(1, "80 71 00 01"), "62 F0") << "still armed after the time was up";
  } else {
    EXPECT_EQ(send(1, "80 71 00 01"), "64 F0") << "the event disarms the terminal";
  }
  const bool cardNow = c.cardIn != (c.changeAfterMs != 0);
  EXPECT_EQ(send(1, "20 13 00 80 00"), cardNow ? "03 90 00" : "00 90 00");
  EXPECT_EQ(send(1, "80 71 00 01"), "64 F0") << "any other command disarms it";
  EXPECT_EQ(CT_close(1), OK);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, CardEventWait,
    ::testing::Values(
        EventCase{"InsertedDuringTheWait", true, false, 300, "80 70 00 00 03 00 00 01", "80 71 00 05", "90 00"},
        EventCase{"RemovedDuringTheWait", true, true, 300, "80 70 00 00 03 00 00 03", "80 71 00 05", "90 00"},
        EventCase{"NothingHappens", true, false, 0, "80 70 00 00 03 00 00 01", "80 71 00 02", "62 F0"},
        EventCase{"InsertedBeforeTheFirstReset", false, false, 300, "80 70 00 00 03 00 00 01", "80 71 00 05",
                  "90 00"},
        EventCase{"NothingHappensBeforeTheFirstReset", false, true, 0, "80 70 00 00 03 00 00 03", "80 71 00 02",
                  "62 F0"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keld::test
