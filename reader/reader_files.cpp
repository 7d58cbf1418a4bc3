#include "reader/reader_files.h"

namespace keld::reader {

std::optional<ReaderFile> findReaderFile(std::uint16_t id) {
  switch (id) {
    case readerMasterFileId: return ReaderFile::Master;
    case readerInfoFileId: return ReaderFile::ReaderInfo;
    case iccStatusFileId: return ReaderFile::IccStatus;
    default: return std::nullopt;
  }
}

Bytes readerInfoContent(const Personality& personality) {
  Bytes content{0x0F, static_cast<std::uint8_t>(personality.versionText.size())};
  content.insert(content.end(), personality.versionText.begin(), personality.versionText.end());
  content.insert(content.end(), {0x08, 0x01, personality.variant});
  return content;
}

Bytes iccStatusContent(const Slot& slot) {
  const Card* card = slot.card();
  const std::uint8_t protocol = card ? card->protocolByte() : 0;
  const std::uint16_t ifsc = card ? card->ifsc() : 0;
  return {0x21, 0x01, slot.fileStatus(),
          0x22, 0x01, protocol,
          0x03, 0x02, static_cast<std::uint8_t>(ifsc >> 8), static_cast<std::uint8_t>(ifsc & 0xFF)};
}

Bytes readBinary(std::span<const std::uint8_t> content, std::uint16_t offset,
                 std::optional<std::uint8_t> le) {
  if (offset >= content.size()) return {0x6B, 0x00};
  const std::size_t rest = content.size() - offset;
  const std::size_t wanted = le.value_or(0);
  const bool shortOfLe = wanted != 0 && wanted > rest;
  const std::size_t count = (wanted == 0 || shortOfLe) ? rest : wanted;
  Bytes answer(content.begin() + offset, content.begin() + offset + static_cast<std::ptrdiff_t>(count));
  if (shortOfLe) {
    answer.insert(answer.end(), {0x62, 0x82});
  } else {
    answer.insert(answer.end(), {0x90, 0x00});
  }
  return answer;
}

}  // namespace keld::reader
