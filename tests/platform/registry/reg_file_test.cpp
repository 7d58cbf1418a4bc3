#include "platform/win32/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry/registry_fixture.h"
#include "support/hex.h"

namespace keld::test {
namespace {

using Kind = win32::RegistryChange::Kind;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

std::string repeated(std::string_view text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

struct ValueCase {
  const char* label;
  std::string line;
  Kind kind;
  std::string name;
  DWORD type;
  std::vector<std::uint8_t> data;
};

class RegFileValueForms : public ::testing::TestWithParam<ValueCase> {};

TEST_P(RegFileValueForms, ParseIntoOneChange) {
  const ValueCase& c = GetParam();
  const auto parsed = win32::parseRegFile(kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n" + c.line + "\n");
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  ASSERT_EQ(parsed.changes.size(), 2u);
  EXPECT_EQ(parsed.changes[0].kind, Kind::CreateKey);
  const win32::RegistryChange& change = parsed.changes[1];
  EXPECT_EQ(change.kind, c.kind);
  EXPECT_EQ(change.path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test");
  EXPECT_EQ(change.value.name, c.name);
  if (c.kind == Kind::SetValue) {
    EXPECT_EQ(change.value.type, c.type);
    EXPECT_EQ(toHex(change.value.data), toHex(c.data));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegFileValueForms,
    ::testing::Values(
        ValueCase{"String", R"("Path"="C:\\Program Files\\\"Keld\"")", Kind::SetValue, "Path", REG_SZ,
                  bytesOf(std::string_view("C:\\Program Files\\\"Keld\"\0", 24))},
        ValueCase{"EmptyString", R"("Empty"="")", Kind::SetValue, "Empty", REG_SZ, hex("00")},
        ValueCase{"EscapedName", R"("a\"b\\c"="x")", Kind::SetValue, "a\"b\\c", REG_SZ, hex("78 00")},
        ValueCase{"DefaultValue", R"(@="standard")", Kind::SetValue, "", REG_SZ, bytesOf(std::string_view("standard\0", 9))},
        ValueCase{"Dword", "\"Start\"=dword:0000000A", Kind::SetValue, "Start", REG_DWORD, hex("0A 00 00 00")},
        ValueCase{"ShortDword", "\"Start\"=DWORD:3", Kind::SetValue, "Start", REG_DWORD, hex("03 00 00 00")},
        ValueCase{"Binary", "\"Data\"=hex:00,40, 5e,2C", Kind::SetValue, "Data", REG_BINARY, hex("00 40 5E 2C")},
        ValueCase{"EmptyBinary", "\"Data\"=hex:", Kind::SetValue, "Data", REG_BINARY, {}},
        ValueCase{"ContinuedLines", "\"Data\"=hex:01,02,\\\n  03,\\\r\n  04", Kind::SetValue, "Data", REG_BINARY,
                  hex("01 02 03 04")},
        ValueCase{"ExpandStringIsUtf16", "\"ImagePath\"=hex(2):25,00,53,00,e9,00,00,00", Kind::SetValue, "ImagePath",
                  REG_EXPAND_SZ, hex("25 53 E9 00")},
        ValueCase{"MultiString", "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00", Kind::SetValue, "List", REG_MULTI_SZ,
                  hex("61 00 62 00 00")},
        ValueCase{"Qword", "\"Big\"=hex(b):01,00,00,00,00,00,00,80", Kind::SetValue, "Big", REG_QWORD,
                  hex("01 00 00 00 00 00 00 80")},
        ValueCase{"NoneType", "\"Nothing\"=hex(0):", Kind::SetValue, "Nothing", REG_NONE, {}},
        ValueCase{"Latin1Character", "\"Desc\"=\"Lesegerät\"", Kind::SetValue, "Desc", REG_SZ,
                  hex("4C 65 73 65 67 65 72 E4 74 00")},
        ValueCase{"DeleteValue", "\"Old\"=-", Kind::DeleteValue, "Old", REG_NONE, {}},
        ValueCase{"DeleteDefault", "@ = -", Kind::DeleteValue, "", REG_NONE, {}}),
    [](const auto& info) { return std::string(info.param.label); });

struct RefusalCase {
  const char* label;
  std::string text;  // after the header line
  std::string error;
};

class RegFileRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RegFileRefusals, NameTheLineAndTheReason) {
  const auto parsed = win32::parseRegFile(kHeader + GetParam().text);
  EXPECT_EQ(parsed.error, GetParam().error);
  EXPECT_TRUE(parsed.changes.empty());
}

const std::string kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n";

INSTANTIATE_TEST_SUITE_P(
    Errors, RegFileRefusals,
    ::testing::Values(
        RefusalCase{"ValueBeforeSection", "\"a\"=\"b\"\n", "line 3: a value before the first key section"},
        RefusalCase{"UnknownRoot", "[HKEY_NOWHERE\\X]\n", "line 3: unknown root key \"HKEY_NOWHERE\""},
        RefusalCase{"AbbreviatedRoot", "[HKLM\\X]\n", "line 3: unknown root key \"HKLM\""},
        RefusalCase{"EmptyKeyName", "[HKEY_LOCAL_MACHINE\\A\\\\B]\n",
                    "line 3: the key path \"HKEY_LOCAL_MACHINE\\A\\\\B\" has an empty key name"},
        RefusalCase{"UnclosedSection", "[HKEY_LOCAL_MACHINE\\X\n", "line 3: a key section must end with ']'"},
        RefusalCase{"DeleteRoot", "[-HKEY_LOCAL_MACHINE]\n", "line 3: a root key cannot be deleted"},
        RefusalCase{"ValueInDeletedKey", "[-HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\"\n",
                    "line 4: a value in the section of a key that is deleted"},
        RefusalCase{"NoName", kKey + "a=\"b\"\n", "line 4: a value line starts with a quoted name or @"},
        RefusalCase{"NoEquals", kKey + "\"a\" \"b\"\n", "line 4: expected '=' after the value name"},
        RefusalCase{"UnclosedString", kKey + "\"a\"=\"b\n", "line 4: a string is missing its closing quote"},
        RefusalCase{"BadEscape", kKey + "\"a\"=\"C:\\temp\"\n",
                    "line 4: a backslash in a string must be written \\\\ (or \\\" for a quote)"},
        RefusalCase{"TextAfterString", kKey + "\"a\"=\"b\" c\n", "line 4: unexpected text after the string: \"c\""},
        RefusalCase{"LongDword", kKey + "\"a\"=dword:123456789\n",
                    "line 4: dword: takes one to eight hex digits, not \"123456789\""},
        RefusalCase{"BadHexByte", kKey + "\"a\"=hex:01,0g\n", "line 4: byte 2 of the hex data is not a hex byte: \"0g\""},
        RefusalCase{"ThreeDigitByte", kKey + "\"a\"=hex:100\n", "line 4: byte 1 of the hex data is not a hex byte: \"100\""},
        RefusalCase{"TrailingComma", kKey + "\"a\"=hex:01,\n", "line 4: the hex data ends with a comma"},
        RefusalCase{"BadHexType", kKey + "\"a\"=hex(z):01\n",
                    "line 4: the type in hex(...) must be one to eight hex digits, not \"z\""},
        RefusalCase{"OddUtf16", kKey + "\"a\"=hex(2):41,00,42\n",
                    "line 4: hex(2) data is UTF-16LE text and needs an even number of bytes"},
        RefusalCase{"WideUtf16", kKey + "\"a\"=hex(7):ac,20,00,00\n",
                    "line 4: hex(7) data holds character U+20AC, which has no ANSI form"},
        RefusalCase{"WideCharacter", kKey + "\"a\"=\"5 €\"\n", "line 4: character U+20AC has no ANSI form"},
        RefusalCase{"NotUtf8", kKey + "\"a\"=\"\xE4\"\n", "line 4: the text is not UTF-8"},
        RefusalCase{"UnknownData", kKey + "\"a\"=qword:1\n", "line 4: unknown kind of value data \"qword:1\""},
        RefusalCase{"ContinuedPastTheEnd", kKey + "\n\"a\"=hex:01,\\\n", "line 5: the file ends inside a line continued with a backslash"},
        RefusalCase{"ContinuationCountsFromItsFirstLine", kKey + "\"a\"=hex:01,\\\n  02,\\\n  zz\n",
                    "line 4: byte 3 of the hex data is not a hex byte: \"zz\""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(RegFileHeader, OnlyTheVersionFiveHeaderIsTaken) {
  EXPECT_EQ(win32::parseRegFile("REGEDIT4\n\n[HKEY_USERS\\X]\n").error,
            "line 1: the first line must be \"Windows Registry Editor Version 5.00\"");
  EXPECT_EQ(win32::parseRegFile("").error, "line 1: the first line must be \"Windows Registry Editor Version 5.00\"");
  EXPECT_TRUE(win32::parseRegFile("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n; just a comment\r\n").ok());
  EXPECT_NE(win32::parseRegFile("\xFE\xFF").error.find("big-endian"), std::string::npos);
}

TEST(RegFileHeader, Utf16FileReadsLikeItsUtf8Form) {
  const std::string utf8 = kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"Desc\"=\"Lesegerät\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const char32_t c : std::u32string(U"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"Desc\"=\"Lesegerät\"\r\n")) {
    utf16 += static_cast<char>(c & 0xFF);
    utf16 += static_cast<char>(c >> 8);
  }
  const auto fromUtf16 = win32::parseRegFile(utf16);
  const auto fromUtf8 = win32::parseRegFile(utf8);
  ASSERT_TRUE(fromUtf16.ok()) << fromUtf16.error;
  ASSERT_EQ(fromUtf16.changes.size(), 2u);
  EXPECT_EQ(fromUtf16.changes[1].value.data, fromUtf8.changes[1].value.data);
  EXPECT_EQ(win32::parseRegFile(utf16.substr(0, utf16.size() - 1)).error,
            "line 1: the file starts as UTF-16LE text but is not UTF-16LE throughout");
}

TEST(RegFileWriter, WritesEachTypeInItsFormSortedAndWrapped) {
  const std::vector<std::uint8_t> longBinary(40, 0xAB);
  const std::vector<win32::RegistryKeyDump> keys = {
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test",
       {
           {"b", REG_SZ, bytesOf(std::string_view("Ger\xE4t \"1\" C:\\x\0", 15))},
           {"A", REG_DWORD, hex("0A 00 00 00")},
           {"", REG_SZ, hex("00")},
           {"NoTerminator", REG_SZ, bytesOf("dd")},
           {"Path", REG_EXPAND_SZ, hex("25 41 00")},
           {"Long", REG_BINARY, longBinary},
           {"ShortDword", REG_DWORD, hex("01 02")},
           {"Q", REG_QWORD, hex("01 00 00 00 00 00 00 00")},
       }},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Empty", {}},
  };
  EXPECT_EQ(win32::writeRegFile(keys),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
            "@=\"\"\n"
            "\"A\"=dword:0000000a\n"
            "\"b\"=\"Gerät \\\"1\\\" C:\\\\x\"\n"
            "\"Long\"=hex:" + repeated("ab,", 22) + "\\\n"
            "  " + repeated("ab,", 17) + "ab\n"
            "\"NoTerminator\"=hex(1):64,00,64,00\n"
            "\"Path\"=hex(2):25,00,41,00,00,00\n"
            "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
            "\"ShortDword\"=hex(4):01,02\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Empty]\n"
            "\n");
}

class RegFileStore : public RegistryTest {};

TEST_F(RegFileStore, ImportThenExportGivesTheSameText) {
  const std::string text = kHeader +
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n"
                           "@=\"top\"\n"
                           "\"Bytes\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
                           "  16,17,18,19,1a\n"
                           "\"Count\"=dword:ffffffff\n"
                           "\"Desc\"=\"Lesegerät \\\"A\\\"\"\n"
                           "\"List\"=hex(7):61,00,00,00,00,00\n"
                           "\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\\Empty]\n"
                           "\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\\Sub]\n"
                           "\"x\"=\"\"\n"
                           "\n";
  const auto imported = win32::importRegFile(text);
  ASSERT_TRUE(imported.ok()) << imported.error;
  EXPECT_EQ(imported.keys, 3u);
  EXPECT_EQ(imported.values, 6u);
  EXPECT_EQ(win32::exportRegFile("HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld"), text);
  EXPECT_EQ(win32::exportRegFile("hklm\\software\\keld"), text);  // the stored case is written
  EXPECT_FALSE(win32::exportRegFile("HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing"));

  // Everything: the four roots, the parents of the imported keys too; and
  // that text imports back to itself.
  const auto everything = win32::exportRegFile("");
  ASSERT_TRUE(everything);
  EXPECT_NE(everything->find("[HKEY_CLASSES_ROOT]\n\n[HKEY_CURRENT_USER]\n\n[HKEY_LOCAL_MACHINE]\n\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n"),
            std::string::npos)
      << *everything;
  EXPECT_TRUE(everything->ends_with("[HKEY_USERS]\n\n"));
  ASSERT_TRUE(win32::importRegFile(*everything).ok());
  EXPECT_EQ(win32::exportRegFile(""), everything);
}

TEST_F(RegFileStore, DeletionsAndARefusedFileChangeNothingElse) {
  ASSERT_TRUE(win32::importRegFile(kHeader +
                                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\\Gone\\Deeper]\n\"v\"=\"1\"\n"
                                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n\"Old\"=\"1\"\n\"Kept\"=\"1\"\n")
                  .ok());
  const auto before = win32::exportRegFile("");

  // A fault on the last line: none of the changes before it are made.
  const auto refused = win32::importRegFile(kHeader +
                                            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\\Gone]\n"
                                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n\"Old\"=-\n\"New\"=\"2\"\n\"Bad\"=hex:xy\n");
  EXPECT_EQ(refused.error, "line 7: byte 1 of the hex data is not a hex byte: \"xy\"");
  EXPECT_EQ(win32::exportRegFile(""), before);

  const auto applied = win32::importRegFile(kHeader +
                                            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\\Gone]\n"
                                            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld\\NeverWas]\n"
                                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n\"Old\"=-\n\"Missing\"=-\n");
  ASSERT_TRUE(applied.ok()) << applied.error;
  EXPECT_EQ(win32::exportRegFile("HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld"),
            kHeader + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keld]\n\"Kept\"=\"1\"\n\n");
}

}  // namespace
}  // namespace keld::test
