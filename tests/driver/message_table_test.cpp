// The message table and the exports, read back out of the built keldrin.so.

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/hex.h"

namespace keld::test {
namespace {

class ElfImage {
 public:
  explicit ElfImage(const char* path) {
    std::ifstream file(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(file), {});
  }
  bool valid() const {
    return bytes_.size() >= sizeof(Elf64_Ehdr) && std::memcmp(bytes_.data(), ELFMAG, SELFMAG) == 0 &&
           bytes_[EI_CLASS] == ELFCLASS64;
  }
  std::optional<Elf64_Shdr> section(std::string_view name) const {
    for (const Elf64_Shdr& header : sections())
      if (sectionName(header) == name) return header;
    return std::nullopt;
  }
  Bytes contents(const Elf64_Shdr& header) const {
    return Bytes(bytes_.begin() + header.sh_offset, bytes_.begin() + header.sh_offset + header.sh_size);
  }
  // Names of the functions and objects the image defines in its dynamic symbol table.
  std::set<std::string> definedDynamicSymbols() const {
    std::set<std::string> names;
    const auto dynsym = section(".dynsym");
    const auto dynstr = section(".dynstr");
    if (!dynsym || !dynstr) return names;
    for (std::size_t at = dynsym->sh_offset; at + sizeof(Elf64_Sym) <= dynsym->sh_offset + dynsym->sh_size;
         at += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, bytes_.data() + at, sizeof symbol);
      const int type = ELF64_ST_TYPE(symbol.st_info);
      const int binding = ELF64_ST_BIND(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || binding == STB_LOCAL) continue;
      if (type != STT_FUNC && type != STT_OBJECT) continue;
      names.insert(reinterpret_cast<const char*>(bytes_.data() + dynstr->sh_offset + symbol.st_name));
    }
    return names;
  }

 private:
  std::vector<Elf64_Shdr> sections() const {
    Elf64_Ehdr header;
    std::memcpy(&header, bytes_.data(), sizeof header);
    std::vector<Elf64_Shdr> result(header.e_shnum);
    for (std::size_t i = 0; i < result.size(); ++i)
      std::memcpy(&result[i], bytes_.data() + header.e_shoff + i * header.e_shentsize, sizeof(Elf64_Shdr));
    names_ = result.at(header.e_shstrndx);
    return result;
  }
  std::string_view sectionName(const Elf64_Shdr& header) const {
    return reinterpret_cast<const char*>(bytes_.data() + names_.sh_offset + header.sh_name);
  }

  Bytes bytes_;
  mutable Elf64_Shdr names_{};
};

std::uint32_t u32(const Bytes& b, std::size_t at) {
  return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
}
std::uint16_t u16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8); }

struct Message {
  std::uint32_t id;
  const char* text;
};

constexpr Message EXPECTED[] = {
    {0x4005000B, "No Resource found\r\n"},
    {0x4005000C, "GetConfiguration started\r\n"},
    {0x4005000D, "Reset Reader started\r\n"},
    {0x4005000E, "Resource ok.\r\n"},
    {0x4005000F, "IO address found.\r\n"},
    {0x40050010, "Test message.\r\n"},
    {0x80050007,
     "The VRDX Smartcard reader has an old firmware version. Please use Keldflash program to update to the "
     "latest version.\r\n"},
    {0x80050008, "Reset returned STATUS_DEVICE_BUSY.\r\n"},
    {0x80050009, "Reset returned STATUS_IO_DEVICE_ERROR.\r\n"},
    {0x8005000A, "Reset failed.\r\n"},
    {0xC0050001, "No VRDX Smartcard reader found in the system. \r\n"},
    {0xC0050002, "The reader inserted is not working properly.\r\n"},
    {0xC0050003, "Insufficient system resources to start device.\r\n"},
    {0xC0050004, "Can't connect to the interrupt provided by the system.\r\n"},
    {0xC0050005, "No IO port specified or port can not be mapped.\r\n"},
    {0xC0050006, "Resources can not be claimed or an resource conflict exists.\r\n"},
};

class DriverImageTest : public ::testing::Test {
 protected:
  ElfImage image{KELDRIN_PATH};
};

TEST_F(DriverImageTest, CarriesTheSixteenMessagesInTheMessageTableLayout) {
  ASSERT_TRUE(image.valid()) << KELDRIN_PATH;
  const auto section = image.section(".keld_messages");
  ASSERT_TRUE(section.has_value());
  const Bytes resource = image.contents(*section);

  EXPECT_EQ(u32(resource, 0), 11u);    // message table
  EXPECT_EQ(u32(resource, 4), 1u);     // name
  EXPECT_EQ(u32(resource, 8), 1033u);  // language
  const std::uint32_t dataSize = u32(resource, 12);
  ASSERT_LE(16 + dataSize, resource.size());
  const Bytes data(resource.begin() + 16, resource.begin() + 16 + dataSize);

  ASSERT_EQ(u32(data, 0), 3u);
  const std::uint32_t blocks[3][2] = {{0x4005000B, 0x40050010}, {0x80050007, 0x8005000A}, {0xC0050001, 0xC0050006}};
  std::size_t message = 0;
  std::size_t end = 4 + 3 * 12;  // the entries follow the block table without a gap
  for (int block = 0; block < 3; ++block) {
    EXPECT_EQ(u32(data, 4 + block * 12), blocks[block][0]);
    EXPECT_EQ(u32(data, 8 + block * 12), blocks[block][1]);
    std::size_t entry = u32(data, 12 + block * 12);
    EXPECT_EQ(entry, end);
    for (std::uint32_t id = blocks[block][0]; id <= blocks[block][1]; ++id, ++message) {
      ASSERT_LT(message, std::size(EXPECTED));
      ASSERT_EQ(EXPECTED[message].id, id);
      const std::string text = EXPECTED[message].text;
      const std::size_t length = u16(data, entry);
      EXPECT_EQ(length % 4, 0u) << text;
      EXPECT_EQ(length, (4 + text.size() + 1 + 3) / 4 * 4) << text;
      EXPECT_EQ(u16(data, entry + 2), 0u) << "ANSI";
      ASSERT_LE(entry + length, data.size());
      const Bytes stored(data.begin() + entry + 4, data.begin() + entry + length);
      Bytes expected(text.begin(), text.end());
      expected.resize(length - 4, 0);  // zero-terminated, zero-padded
      EXPECT_EQ(toHex(stored), toHex(expected)) << text;
      entry += length;
    }
    end = entry;
  }
  EXPECT_EQ(message, 16u);
  EXPECT_EQ(end, data.size());
}

TEST_F(DriverImageTest, ExportsOnlyTheEntryPoint) {
  ASSERT_TRUE(image.valid());
  std::set<std::string> exported = image.definedDynamicSymbols();
  exported.erase("_init");
  exported.erase("_fini");
  EXPECT_EQ(exported, std::set<std::string>{"DriverEntry"});
}

}  // namespace
}  // namespace keld::test
