#pragma once
// A terminal opened on a scripted reader, with helpers that write blocks the
// way a trace shows them.

#include <gtest/gtest.h>

#include <array>
#include <string_view>

#include "ctapi/front/terminals.h"
#include "ctapi/include/keldapi.h"
#include "ctapi/state/library_state.h"
#include "support/library_fixture.h"

namespace keld::test {

// The bytes of `text` followed by their LRC, computed here independently of
// the library.
inline Bytes withLrc(std::string_view text) {
  Bytes bytes = hex(text);
  std::uint8_t lrc = 0;
  for (std::uint8_t b : bytes) lrc ^= b;
  bytes.push_back(lrc);
  return bytes;
}

class LinkTest : public LibraryTest {
 protected:
  static constexpr int TERMINAL = 0;

  void SetUp() override {
    LibraryTest::SetUp();
    reader = devices.addReader(0, 0x300);
    ASSERT_EQ(CT_init(1, 1), OK);
    ASSERT_EQ(keldapi::findOpenSlot(1), TERMINAL);
    reader->clearRecords();
    response.fill(0xEE);
    keldapi::lib.responseBuffer = response.data();
    keldapi::lib.responseCapacity = static_cast<std::uint16_t>(response.size());
  }

  keldapi::LinkState& link() { return keldapi::lib.links[TERMINAL]; }

  // The blocks sent so far, as hex.
  std::vector<std::string> sentBlocks() const {
    std::vector<std::string> blocks;
    for (const Bytes& block : reader->transmitted()) blocks.push_back(toHex(block));
    return blocks;
  }

  std::string responseHex(std::size_t length) const {
    return toHex(std::span<const std::uint8_t>(response.data(), length));
  }

  std::shared_ptr<FakeDevice> reader;
  std::array<std::uint8_t, 300> response{};
};

}  // namespace keld::test
