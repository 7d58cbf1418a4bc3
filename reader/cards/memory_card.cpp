#include "reader/cards/memory_card.h"

#include <algorithm>

#include "reader/cards/apdu.h"

namespace keld::reader {

SynchronousCard::SynchronousCard(MemoryCardImage image) : image_(std::move(image)) {}

Bytes SynchronousCard::reset() {
  powered_ = true;
  return image_.atr;
}

Bytes SynchronousCard::exchangeApdu(std::span<const std::uint8_t> bytes) {
  if (!powered_) return {};
  const auto apdu = parseCommandApdu(bytes);
  if (!apdu) return response(statusWrongLength);
  if (apdu->cla != 0x00) return response(statusClaUnsupported);
  Bytes& memory = image_.memory;
  switch (apdu->ins) {
    case 0xA4: {
      bool found = false;
      if (apdu->p1 == 0x00 || apdu->p1 == 0x02) {
        if (apdu->data.size() != 2) return response(statusWrongLength);
        found = (apdu->data[0] << 8 | apdu->data[1]) == image_.fileId;
      } else if (apdu->p1 == 0x04) {
        if (apdu->data.empty() || apdu->data.size() > 16) return response(statusWrongLength);
        found = !image_.aid.empty() && std::equal(apdu->data.begin(), apdu->data.end(), image_.aid.begin(),
                                                  image_.aid.end());
      } else {
        return response(statusIncorrectP1P2);
      }
      if (!found) return response(statusFileNotFound);
      return response(statusOk);
    }
    case 0xB0: {
      if (!apdu->le || !apdu->data.empty()) return response(statusWrongLength);
      const std::size_t offset = binaryOffset(apdu->p1, apdu->p2);
      if ((apdu->p1 & 0x80) || offset >= memory.size()) return response(statusWrongOffset);
      const std::size_t count = std::min(*apdu->le, memory.size() - offset);
      return response(std::span(memory).subspan(offset, count), count < *apdu->le ? statusEndReached : statusOk);
    }
    case 0xD6: {
      if (apdu->data.empty()) return response(statusWrongLength);
      if (image_.readOnly) return response(statusSecurityNotSatisfied);
      const std::size_t offset = binaryOffset(apdu->p1, apdu->p2);
      if ((apdu->p1 & 0x80) || offset >= memory.size()) return response(statusWrongOffset);
      if (apdu->data.size() > memory.size() - offset) return response(statusNotEnoughSpace);
      std::copy(apdu->data.begin(), apdu->data.end(), memory.begin() + static_cast<std::ptrdiff_t>(offset));
      return response(statusOk);
    }
    default:
      return response(statusInsUnsupported);
  }
}

}  // namespace keld::reader
