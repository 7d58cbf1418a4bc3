#pragma once
// What the emulator and the host need of the virtual cards: what a card is
// made of, and the cards of the system. Card images in files: card_image.h.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "reader/card.h"
#include "reader/cards/file_system.h"
#include "reader/cards/memory_card.h"
#include "reader/cards/t1_card_engine.h"

namespace keld::reader {

// Everything a card is made of; what a card image describes.
struct CardImage {
  CardKind kind = CardKind::ProcessorT1;
  Bytes atr;
  std::uint8_t protocolByte = 2;
  std::uint16_t ifsc = defaultIfs;   // the T=1 card's is t1.ifsc
  T1CardSettings t1;
  FileSystem files;                  // processor cards
  MemoryCardImage memory;            // Synchronous
  std::uint64_t challengeSeed = 0x4B454C44;
};

std::unique_ptr<Card> makeCard(CardImage image);

// The default T=1 card of the system (used when no image is given): ATR
// 3B 84 81 31 20 45 4B 45 4C 44 + TCK (T=1, IFSC 32, BWI 4, CWI 5), and
//   3F00 MF
//     2F01 EF 16 bytes "KELD DEFAULT T=1"
//     5000 DF, AID F0 4B 45 4C 44 01
//       5001 EF 300 bytes, byte i = i mod 256, short id 1, read-only
//       5002 EF 512 bytes of 00, short id 2
CardImage defaultT1Image();
std::unique_ptr<Card> makeDefaultT1Card();

}  // namespace keld::reader
