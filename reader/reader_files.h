#pragma once
// The reader's own file system: the master file 3F00, the reader information
// file 0020 and the card status file 7021, each a run of data objects (tag,
// length, value). The contents are made when they are read, so that 7021
// always shows the slot as it is.

#include <cstdint>
#include <optional>
#include <span>

#include "reader/card.h"
#include "reader/personality.h"
#include "reader/slot.h"

namespace keld::reader {

enum class ReaderFile { Master, ReaderInfo, IccStatus };

// The reader's own master file, apart from the one of a card's file system.
constexpr std::uint16_t readerMasterFileId = 0x3F00;
constexpr std::uint16_t readerInfoFileId = 0x0020;
constexpr std::uint16_t iccStatusFileId = 0x7021;

std::optional<ReaderFile> findReaderFile(std::uint16_t id);

// 0020: 0F <version text>, 08 01 <variant>.
Bytes readerInfoContent(const Personality& personality);
// 7021: 21 01 <status>, 22 01 <protocol byte>, 03 02 <IFSC high> <IFSC low>;
// without a card the protocol byte and the IFSC are 0.
Bytes iccStatusContent(const Slot& slot);

// READ BINARY of a transparent file: the data from `offset`, Le bytes or to
// the end when Le is 0 or absent, and the status word (62 82 when the file
// ends before Le bytes, 6B 00 for an offset at or behind its end).
Bytes readBinary(std::span<const std::uint8_t> content, std::uint16_t offset,
                 std::optional<std::uint8_t> le);

}  // namespace keld::reader
