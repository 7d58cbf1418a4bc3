#pragma once
// Small cards for the emulator's tests: they record what the firmware hands
// them and answer what the test tells them to.

#include <memory>

#include "reader/card.h"
#include "support/hex.h"

namespace keld::test {

class TestCard : public reader::Card {
 public:
  TestCard(reader::CardKind kind, Bytes atr, std::uint8_t protocol, std::uint16_t ifsc)
      : kind_(kind), atr_(std::move(atr)), protocol_(protocol), ifsc_(ifsc) {}

  reader::CardKind kind() const override { return kind_; }
  std::uint8_t protocolByte() const override { return protocol_; }
  std::uint16_t ifsc() const override { return ifsc_; }
  Bytes reset() override {
    ++resets;
    return atr_;
  }
  void powerOff() override { ++powerOffs; }
  Bytes exchangeBlock(std::span<const std::uint8_t> block) override {
    blocks.emplace_back(block.begin(), block.end());
    return answer;
  }
  Bytes exchangeApdu(std::span<const std::uint8_t> apdu) override {
    apdus.emplace_back(apdu.begin(), apdu.end());
    return answer;
  }

  Bytes answer;
  std::vector<Bytes> blocks;
  std::vector<Bytes> apdus;
  int resets = 0;
  int powerOffs = 0;

 private:
  reader::CardKind kind_;
  Bytes atr_;
  std::uint8_t protocol_;
  std::uint16_t ifsc_;
};

inline std::shared_ptr<TestCard> t1Card() {
  return std::make_shared<TestCard>(reader::CardKind::ProcessorT1,
                                    hex("3B 84 81 31 20 45 4B 45 4C 44 20"), 2, 254);
}
inline std::shared_ptr<TestCard> t0Card() {
  return std::make_shared<TestCard>(reader::CardKind::ProcessorOther, hex("3B 02 14 50"), 1, 32);
}
inline std::shared_ptr<TestCard> memoryCard() {
  return std::make_shared<TestCard>(reader::CardKind::Synchronous, hex("A2 13 10 91"), 0, 0);
}

// The block as the host sends it: NAD, PCB, LEN, INF and the LRC.
inline Bytes lrcBlock(std::string_view text) {
  Bytes block = hex(text);
  std::uint8_t value = 0;
  for (std::uint8_t byte : block) value ^= byte;
  block.push_back(value);
  return block;
}

}  // namespace keld::test
