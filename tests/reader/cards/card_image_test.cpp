// Card images: the text format, the cards it builds, and the refusal of
// malformed images with their line and reason.

#include "reader/cards/card_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "reader/cards/atr.h"
#include "reader/cards/processor_cards.h"
#include "support/hex.h"

namespace keld::reader {
namespace {

using test::hex;
using test::toHex;

const std::filesystem::path examples = KELD_CARD_EXAMPLES;

TEST(CardImage, T1ImageWithFilesWtxAndIfsRequest) {
  const char* text = R"(# comment line
[card]
kind = "t1"            # trailing comment
ifsc = 0x40
historical = "4B 45 4C 44"
challenge_seed = 7

[wtx]
instructions = "B0 EE"
multiplier = 3
repeat = 2

[ifs_request]
instructions = "84"
size = 100

[[file]]
path = "3F00"
type = "df"
aid = "F0 01"

[[file]]
path = "3F00/5000"
type = "df"
aid = "F0 4B 45 4C 44"

[[file]]
path = "3F00/5000/5001"
sfi = 3
readonly = true
data = [
  "01 02 03",   # first part
  "0405",
]
size = 6
fill = 0xEE
)";
  auto image = parseCardImage(text);
  ASSERT_TRUE(image) << image.error().describe();
  CardImage& card = image.value();
  EXPECT_EQ(card.kind, CardKind::ProcessorT1);
  EXPECT_EQ(card.protocolByte, 2);
  EXPECT_EQ(card.t1.ifsc, 0x40);
  EXPECT_EQ(toHex(card.atr), toHex(buildT1Atr(0x40, 4, 5, hex("4B 45 4C 44"))));
  EXPECT_EQ(toHex(card.t1.wtxInstructions), "B0 EE");
  EXPECT_EQ(card.t1.wtxMultiplier, 3);
  EXPECT_EQ(card.t1.wtxRepeat, 2);
  EXPECT_EQ(toHex(card.t1.ifsInstructions), "84");
  EXPECT_EQ(card.t1.ifsRequestSize, 100);
  EXPECT_EQ(card.challengeSeed, 7u);
  EXPECT_EQ(toHex(card.files.node(FileSystem::masterFile).aid), "F0 01");
  const std::uint16_t path[] = {0x3F00, 0x5000, 0x5001};
  const auto ef = card.files.findPath(path);
  ASSERT_TRUE(ef);
  EXPECT_EQ(toHex(card.files.node(*ef).data), "01 02 03 04 05 EE");
  EXPECT_EQ(card.files.node(*ef).shortId, 3);
  EXPECT_TRUE(card.files.node(*ef).readOnly);
}

TEST(CardImage, ExplicitAtrGivesTheIfsc) {
  const Bytes atr = buildT1Atr(0x80, 4, 5, hex("4B"));
  auto image = parseCardImage("[card]\nkind = \"t1\"\natr = \"" + toHex(atr) + "\"\n");
  ASSERT_TRUE(image) << image.error().describe();
  EXPECT_EQ(image.value().t1.ifsc, 0x80);
  EXPECT_EQ(image.value().atr, atr);
}

TEST(CardImage, KindsHaveTheirDefaults) {
  auto t0 = parseCardImage("[card]\nkind = \"t0\"\n");
  ASSERT_TRUE(t0);
  EXPECT_EQ(t0.value().kind, CardKind::ProcessorOther);
  EXPECT_EQ(t0.value().protocolByte, 1);
  EXPECT_EQ(toHex(t0.value().atr), "3B 04 4B 45 4C 44");
  auto memory = parseCardImage("[card]\nkind = \"memory\"\n");
  ASSERT_TRUE(memory);
  EXPECT_EQ(memory.value().kind, CardKind::Synchronous);
  EXPECT_EQ(toHex(memory.value().memory.atr), "A2 13 10 91");
  EXPECT_EQ(memory.value().memory.memory, Bytes(256, 0xFF));
  EXPECT_NE(memory.value().memory.protocolByte, 2);
}

struct Malformed {
  const char* name;
  const char* text;
  std::size_t line;
  const char* reason;  // a part of the reason
};

class MalformedImage : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedImage, IsRefusedWithLineAndReason) {
  const auto image = parseCardImage(GetParam().text);
  ASSERT_FALSE(image);
  EXPECT_EQ(image.error().line, GetParam().line) << image.error().describe();
  EXPECT_NE(image.error().reason.find(GetParam().reason), std::string::npos) << image.error().describe();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedImage,
    ::testing::Values(
        // The text layer.
        Malformed{"KeyOutsideTable", "kind = \"t1\"\n", 1, "outside any table"},
        Malformed{"NoEquals", "[card]\nkind \"t1\"\n", 2, "expected '='"},
        Malformed{"UnclosedString", "[card]\nkind = \"t1\n", 2, "not closed"},
        Malformed{"UnclosedTable", "[card\nkind = \"t1\"\n", 1, "expected ']'"},
        Malformed{"UnclosedArray", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/0001\"\ndata = [\n \"00\",\n", 7,
                  "opened at line 5 is not closed"},
        Malformed{"TextAfterValue", "[card]\nkind = \"t1\" x\n", 2, "unexpected text"},
        Malformed{"BadNumber", "[card]\nkind = \"t1\"\nifsc = 12ab\n", 3, "not a number"},
        Malformed{"DuplicateKey", "[card]\nkind = \"t1\"\n\nkind = \"t0\"\n", 4, "first at line 2"},
        Malformed{"DuplicateTable", "[card]\nkind = \"t1\"\n[card]\n", 3, "appears again"},
        Malformed{"UnknownEscape", "[card]\nkind = \"t\\q\"\n", 2, "unknown escape"},
        // [card]
        Malformed{"NoCardTable", "[wtx]\ninstructions = \"B0\"\n", 0, "no [card]"},
        Malformed{"NoKind", "\n[card]\nifsc = 32\n", 2, "needs kind"},
        Malformed{"UnknownKind", "[card]\nkind = \"t2\"\n", 2, "none of"},
        Malformed{"UnknownKey", "[card]\nkind = \"t1\"\nifcs = 32\n", 3, "unknown key ifcs in [card]"},
        Malformed{"IfscTooLarge", "[card]\nkind = \"t1\"\nifsc = 255\n", 3, "ifsc must be 1 to 254"},
        Malformed{"IfscZero", "[card]\nkind = \"t1\"\nifsc = 0\n", 3, "ifsc must be 1 to 254"},
        Malformed{"IfscAsString", "[card]\nkind = \"t1\"\nifsc = \"32\"\n", 3, "takes a number"},
        Malformed{"T1WithOtherProtocol", "[card]\nkind = \"t1\"\nprotocol = 1\n", 3, "protocol byte 2"},
        Malformed{"T0WithProtocol2", "[card]\nkind = \"t0\"\nprotocol = 2\n", 3, "that of a T=1 card"},
        Malformed{"BadHex", "[card]\nkind = \"t1\"\nhistorical = \"4G\"\n", 3, "'G' is not a hex digit"},
        Malformed{"OddHex", "[card]\nkind = \"t1\"\nhistorical = \"4B 4\"\n", 3, "odd number"},
        Malformed{"AtrBadTck", "[card]\nkind = \"t1\"\natr = \"3B 80 81 31 20 45 00\"\n", 3, "TCK"},
        Malformed{"AtrTooShort", "[card]\nkind = \"t1\"\natr = \"3B 81 81 31 20\"\n", 3, "ends inside"},
        Malformed{"AtrBadTs", "[card]\nkind = \"t0\"\natr = \"3C 00\"\n", 3, "TS"},
        Malformed{"AtrWithoutT1", "[card]\nkind = \"t1\"\natr = \"3B 00\"\n", 3, "must offer T=1"},
        Malformed{"IfscDisagreesWithAtr", "[card]\nkind = \"t1\"\natr = \"3B 80 81 31 20 45 55\"\nifsc = 64\n", 4,
                  "differs from the IFSC 32"},
        Malformed{"AtrAndBwi", "[card]\nkind = \"t1\"\natr = \"3B 80 81 31 20 45 55\"\nbwi = 3\n", 4,
                  "taken from the atr"},
        Malformed{"BwiForT0", "[card]\nkind = \"t0\"\nbwi = 3\n", 3, "kind \"t1\" only"},
        Malformed{"MemoryAtrLength", "[card]\nkind = \"memory\"\natr = \"A2 13 10\"\n", 3, "4 bytes"},
        // The other tables.
        Malformed{"WtxForT0", "[card]\nkind = \"t0\"\n[wtx]\ninstructions = \"B0\"\n", 3, "kind \"t1\" only"},
        Malformed{"WtxWithoutInstructions", "[card]\nkind = \"t1\"\n[wtx]\nmultiplier = 2\n", 3, "needs instructions"},
        Malformed{"WtxMultiplierZero", "[card]\nkind = \"t1\"\n[wtx]\ninstructions = \"B0\"\nmultiplier = 0\n", 5,
                  "multiplier must be 1 to 255"},
        Malformed{"IfsRequestWithoutSize", "[card]\nkind = \"t1\"\n[ifs_request]\ninstructions = \"B0\"\n", 3,
                  "needs size"},
        Malformed{"UnknownTable", "[card]\nkind = \"t1\"\n\n[files]\n", 4, "unknown table [files]"},
        Malformed{"FileWithoutPath", "[card]\nkind = \"t1\"\n[[file]]\ndata = \"00\"\n", 3, "needs path"},
        Malformed{"PathNotFromMf", "[card]\nkind = \"t1\"\n[[file]]\npath = \"5000/5001\"\n", 4, "is not 3F00"},
        Malformed{"PathBadId", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/50\"\n", 4, "is not 3F00"},
        Malformed{"ParentMissing", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/5000/5001\"\n", 4,
                  "not declared above"},
        Malformed{"ParentIsEf",
                  "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/5000\"\n[[file]]\npath = \"3F00/5000/5001\"\n", 6,
                  "not declared above"},
        Malformed{"DuplicateFile",
                  "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/5000\"\n[[file]]\npath = \"3F00/5000\"\n", 6,
                  "already used"},
        Malformed{"DuplicateSfi",
                  "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/0001\"\nsfi = 1\n[[file]]\npath = \"3F00/0002\"\n"
                  "sfi = 1\n",
                  8, "short identifier 1 is already used"},
        Malformed{"AidOnEf", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/0001\"\naid = \"F0\"\n", 5,
                  "DFs only"},
        Malformed{"DataOnDf", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/5000\"\ntype = \"df\"\ndata = \"00\"\n",
                  6, "EFs only"},
        Malformed{"SizeBelowData", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/0001\"\ndata = \"00 01\"\nsize = 1\n",
                  6, "smaller than the 2 bytes"},
        Malformed{"DataArrayItemNotString",
                  "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00/0001\"\ndata = [\n\"00\",\n 5,\n]\n", 7,
                  "strings of hex only"},
        Malformed{"MfAsEf", "[card]\nkind = \"t1\"\n[[file]]\npath = \"3F00\"\n", 4, "the MF, a DF"},
        Malformed{"FileOnMemoryCard", "[card]\nkind = \"memory\"\n[[file]]\npath = \"3F00/0001\"\n", 3,
                  "memory card has [memory]"},
        Malformed{"MemoryOnT1", "[card]\nkind = \"t1\"\n[memory]\nsize = 16\n", 3, "kind \"memory\" only"},
        Malformed{"MemoryEmpty", "[card]\nkind = \"memory\"\n[memory]\nsize = 0\n", 4, "empty"},
        Malformed{"MemoryIdLength", "[card]\nkind = \"memory\"\n[memory]\nid = \"3F\"\n", 4, "2 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CardImage, ErrorDescriptionNamesFileAndLine) {
  EXPECT_EQ((CardImageError{12, "unknown key x in [card]"}.describe("card.toml")),
            "card.toml:12: unknown key x in [card]");
  EXPECT_EQ((CardImageError{0, "the image has no [card] table"}.describe("card.toml")),
            "card.toml: the image has no [card] table");
  EXPECT_EQ((CardImageError{3, "odd"}.describe()), "line 3: odd");
}

TEST(CardImage, MissingFileIsRefusedWithoutLine) {
  const auto card = loadCardImage(examples / "no-such-image.toml");
  ASSERT_FALSE(card);
  EXPECT_EQ(card.error().line, 0u);
  EXPECT_NE(card.error().reason.find("cannot open"), std::string::npos);
}

TEST(CardImageExamples, T1CardReadsIts300ByteFile) {
  auto loaded = loadCardImage(examples / "t1-card.toml");
  ASSERT_TRUE(loaded) << loaded.error().describe("t1-card.toml");
  Card& card = *loaded.value();
  EXPECT_EQ(card.kind(), CardKind::ProcessorT1);
  EXPECT_EQ(card.protocolByte(), 2);
  EXPECT_EQ(card.ifsc(), 32);
  card.reset();
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 A4 04 0C 06 F0 4B 45 4C 44 10"))), "90 00");
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 B0 81 00 02"))), "03 0A 90 00");
  const Bytes tail = card.exchangeApdu(hex("00 B0 01 00 00"));
  ASSERT_EQ(tail.size(), 44u + 2);
  EXPECT_EQ(tail[0], static_cast<std::uint8_t>(7 * 256 + 3));
  EXPECT_EQ(toHex(std::span(tail).last(3)), toHex(Bytes{static_cast<std::uint8_t>(7 * 299 + 3), 0x62, 0x82}));
  // The loopback asks for more time first.
  EXPECT_EQ(toHex(card.exchangeBlock(hex("00 00 05 80 EE 00 00 01"))), "20 C3 01 02");
  EXPECT_EQ(toHex(card.exchangeBlock(hex("00 E3 01 02"))), "20 00 03 00 90 00");
}

TEST(CardImageExamples, T0Card) {
  auto loaded = loadCardImage(examples / "t0-card.toml");
  ASSERT_TRUE(loaded) << loaded.error().describe("t0-card.toml");
  Card& card = *loaded.value();
  EXPECT_EQ(card.kind(), CardKind::ProcessorOther);
  EXPECT_EQ(card.protocolByte(), 1);
  EXPECT_EQ(toHex(card.reset()), "3B 06 4B 45 4C 44 54 30");
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 A4 08 0C 04 5F 20 5F 21"))), "90 00");
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 B0 00 0E 04"))), "0F 10 FF FF 90 00");
}

TEST(CardImageExamples, MemoryCard) {
  auto loaded = loadCardImage(examples / "memory-card.toml");
  ASSERT_TRUE(loaded) << loaded.error().describe("memory-card.toml");
  Card& card = *loaded.value();
  EXPECT_EQ(card.kind(), CardKind::Synchronous);
  EXPECT_EQ(toHex(card.reset()), "A2 13 10 91");
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 A4 00 00 02 3F 00"))), "90 00");
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 B0 00 20 04"))), "4B 45 4C 44 90 00");
  EXPECT_EQ(card.exchangeApdu(hex("00 B0 00 00 00")).size(), 258u);
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 B0 00 FE 04"))), "FF FF 62 82");
}

TEST(CardImageExamples, CrLfLineEndsAreRead) {
  std::ifstream file(examples / "memory-card.toml", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_TRUE(parseCardImage(crlf));
}

}  // namespace
}  // namespace keld::reader
