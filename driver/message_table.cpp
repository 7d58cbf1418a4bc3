#include "driver/message_table.h"

#include <array>
#include <cstddef>

namespace keldrin {
namespace {

struct MessageDefinition {
  std::uint32_t Id;  // severity in the top two bits, facility 5, code
  std::string_view Text;
};

// In identifier order; a block is a run of consecutive identifiers.
constexpr std::array<MessageDefinition, 16> MESSAGES = {{
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
}};

constexpr std::size_t ENTRY_HEADER_SIZE = 4;
constexpr std::size_t BLOCK_SIZE = 12;

constexpr std::size_t EntrySize(std::string_view Text) {
  return (ENTRY_HEADER_SIZE + Text.size() + 1 + 3) / 4 * 4;
}

constexpr bool StartsBlock(std::size_t Index) {
  return Index == 0 || MESSAGES[Index].Id != MESSAGES[Index - 1].Id + 1;
}

constexpr std::size_t CountBlocks() {
  std::size_t blocks = 0;
  for (std::size_t i = 0; i < MESSAGES.size(); ++i) blocks += StartsBlock(i) ? 1 : 0;
  return blocks;
}

constexpr std::size_t BLOCK_COUNT = CountBlocks();
constexpr std::size_t ENTRIES_OFFSET = 4 + BLOCK_COUNT * BLOCK_SIZE;

constexpr std::size_t DataSize() {
  std::size_t size = ENTRIES_OFFSET;
  for (const MessageDefinition& message : MESSAGES) size += EntrySize(message.Text);
  return size;
}

constexpr std::size_t IMAGE_SIZE = MESSAGE_RESOURCE_HEADER_SIZE + DataSize();
using Image = std::array<unsigned char, IMAGE_SIZE>;

constexpr void Put16(Image& Out, std::size_t At, std::uint32_t Value) {
  Out[At] = static_cast<unsigned char>(Value & 0xFF);
  Out[At + 1] = static_cast<unsigned char>(Value >> 8 & 0xFF);
}

constexpr void Put32(Image& Out, std::size_t At, std::uint32_t Value) {
  Put16(Out, At, Value & 0xFFFF);
  Put16(Out, At + 2, Value >> 16);
}

constexpr Image BuildImage() {
  Image image{};
  Put32(image, 0, RESOURCE_TYPE_MESSAGE_TABLE);
  Put32(image, 4, MESSAGE_TABLE_NAME);
  Put32(image, 8, MESSAGE_TABLE_LANGUAGE);
  Put32(image, 12, static_cast<std::uint32_t>(DataSize()));

  constexpr std::size_t data = MESSAGE_RESOURCE_HEADER_SIZE;
  Put32(image, data, static_cast<std::uint32_t>(BLOCK_COUNT));
  std::size_t block = data + 4;
  std::size_t entry = ENTRIES_OFFSET;
  for (std::size_t i = 0; i < MESSAGES.size(); ++i) {
    if (StartsBlock(i)) {
      std::size_t last = i;
      while (last + 1 < MESSAGES.size() && !StartsBlock(last + 1)) ++last;
      Put32(image, block, MESSAGES[i].Id);
      Put32(image, block + 4, MESSAGES[last].Id);
      Put32(image, block + 8, static_cast<std::uint32_t>(entry));
      block += BLOCK_SIZE;
    }
    const std::string_view text = MESSAGES[i].Text;
    Put16(image, data + entry, static_cast<std::uint32_t>(EntrySize(text)));
    Put16(image, data + entry + 2, 0);
    for (std::size_t c = 0; c < text.size(); ++c)
      image[data + entry + ENTRY_HEADER_SIZE + c] = static_cast<unsigned char>(text[c]);
    entry += EntrySize(text);
  }
  return image;
}

static_assert(BLOCK_COUNT == 3, "one block per severity");

}  // namespace

// Kept in the image although nothing refers to it.
[[gnu::used, gnu::section(".keld_messages")]] constexpr Image MessageTableResource = BuildImage();

}  // namespace keldrin
