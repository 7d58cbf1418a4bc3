#pragma once
// The message-table resource the driver image carries. No routine uses it; it
// is built at compile time and placed in its own section of keldrin.so:
//
//   resource header  ULONG Type (11, a message table), ULONG Name (1),
//                    ULONG Language (1033), ULONG DataSize
//   message data     ULONG NumberOfBlocks
//                    NumberOfBlocks x { ULONG LowId, ULONG HighId, ULONG OffsetToEntries }
//                    entries { USHORT Length, USHORT Flags (0 = ANSI), text, NUL, padding }
//
// Offsets count from the start of the message data; each entry's Length takes
// in its header and the padding to a multiple of four. Little-endian.

#include <cstdint>
#include <string_view>

namespace keldrin {

constexpr char MESSAGE_TABLE_SECTION[] = ".keld_messages";
constexpr std::uint32_t RESOURCE_TYPE_MESSAGE_TABLE = 11;
constexpr std::uint32_t MESSAGE_TABLE_NAME = 1;
constexpr std::uint32_t MESSAGE_TABLE_LANGUAGE = 1033;
constexpr std::uint32_t MESSAGE_RESOURCE_HEADER_SIZE = 16;

}  // namespace keldrin
