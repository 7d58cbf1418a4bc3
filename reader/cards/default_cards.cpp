#include "reader/cards/atr.h"
#include "reader/cards/cards.h"
#include "reader/cards/processor_cards.h"

namespace keld::reader {

std::unique_ptr<Card> makeCard(CardImage image) {
  switch (image.kind) {
    case CardKind::ProcessorT1:
      return std::make_unique<ProcessorT1Card>(std::move(image.atr), std::move(image.t1), std::move(image.files),
                                               image.challengeSeed);
    case CardKind::ProcessorOther:
      return std::make_unique<ProcessorOtherCard>(std::move(image.atr), image.protocolByte, image.ifsc,
                                                  std::move(image.files), image.challengeSeed);
    case CardKind::Synchronous:
      return std::make_unique<SynchronousCard>(std::move(image.memory));
  }
  return nullptr;
}

CardImage defaultT1Image() {
  CardImage image;
  image.kind = CardKind::ProcessorT1;
  image.protocolByte = 2;
  image.t1.ifsc = defaultIfs;
  image.ifsc = defaultIfs;
  image.atr = buildT1Atr(defaultIfs, 4, 5, defaultHistorical);
  const std::string_view name = "KELD DEFAULT T=1";
  image.files.addElementaryFile(FileSystem::masterFile, 0x2F01, Bytes(name.begin(), name.end()));
  const auto df = image.files.addDedicatedFile(FileSystem::masterFile, 0x5000, {0xF0, 0x4B, 0x45, 0x4C, 0x44, 0x01});
  Bytes pattern(300);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i);
  image.files.addElementaryFile(*df.index, 0x5001, std::move(pattern), 1, true);
  image.files.addElementaryFile(*df.index, 0x5002, Bytes(512, 0x00), 2);
  return image;
}

std::unique_ptr<Card> makeDefaultT1Card() { return makeCard(defaultT1Image()); }

}  // namespace keld::reader
