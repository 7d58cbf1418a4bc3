#pragma once
// A reader that answers the library's own commands by their content: its
// files 3F00, 0020 and 7021, the card status query and the card commands of
// the terminal, plus the T=1 supervisory requests. What it reports can be
// changed at any time, also from an action on the virtual clock.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>

#include "ctapi/front/terminals.h"
#include "ctapi/include/keldapi.h"
#include "ctapi/state/library_state.h"
#include "support/library_fixture.h"

namespace keld::test {

inline Bytes withLrc(Bytes bytes) {
  std::uint8_t lrc = 0;
  for (std::uint8_t b : bytes) lrc ^= b;
  bytes.push_back(lrc);
  return bytes;
}

// An answer block of the terminal (NAD 0x21, PCB 0x00) with this INF.
inline Bytes terminalAnswer(const Bytes& inf) {
  Bytes block = {0x21, 0x00, static_cast<std::uint8_t>(inf.size())};
  block.insert(block.end(), inf.begin(), inf.end());
  return withLrc(block);
}

class ScriptedReader {
 public:
  void set(std::string infoFileHex, std::string iccStatusHex, std::uint8_t statusByte = 0x00) {
    std::lock_guard guard(lock_);
    infoFile_ = hex(infoFileHex);
    iccStatusFile_ = hex(iccStatusHex);
    statusByte_ = statusByte;
  }
  void setIccStatus(std::string iccStatusHex) {
    std::lock_guard guard(lock_);
    iccStatusFile_ = hex(iccStatusHex);
  }
  void setStatusByte(std::uint8_t value) {
    std::lock_guard guard(lock_);
    statusByte_ = value;
  }
  // Card commands (and anything else it does not know) get this answer INF.
  void setOtherAnswer(std::string infHex) {
    std::lock_guard guard(lock_);
    other_ = hex(infHex);
  }
  // Answer to the card reset 20 10 (90 00 unless set).
  void setResetAnswer(std::string infHex) {
    std::lock_guard guard(lock_);
    reset_ = hex(infHex);
  }
  int statusFileReads() const { return statusFileReads_; }

  void attach(FakeDevice& device) {
    device.setResponder([this](const Bytes& block) { return TransmitReply{0, answer(block)}; });
  }

 private:
  Bytes answer(const Bytes& block) {
    std::lock_guard guard(lock_);
    if (block.size() < 4) return {};
    const Bytes inf(block.begin() + 3, block.begin() + 3 + block[2]);
    const std::string text = toHex(inf);
    if (block[1] == 0xC0) return withLrc({0x00, 0xE0, 0x00});
    if (block[1] == 0xC1) return withLrc({0x00, 0xE1, 0x01, inf.at(0)});
    if (text.starts_with("00 A4 00 00 02")) {
      selected_ = text.substr(15);
      return terminalAnswer(hex("90 00"));
    }
    if (text == "00 B0 00 00 00") {
      Bytes file = selected_ == "00 20" ? infoFile_ : selected_ == "70 21" ? iccStatusFile_ : Bytes{};
      if (selected_ == "70 21") ++statusFileReads_;
      file.push_back(0x90);
      file.push_back(0x00);
      return terminalAnswer(file);
    }
    if (text == "20 13 00 80 00") return terminalAnswer({statusByte_, 0x90, 0x00});
    if (text.starts_with("20 10")) return terminalAnswer(reset_);
    if (text.starts_with("20 14")) return terminalAnswer(hex("90 00"));
    return terminalAnswer(other_);
  }

  std::mutex lock_;
  Bytes infoFile_ = hex("0F 04 32 2E 33 32");
  Bytes iccStatusFile_ = hex("21 01 00");
  std::uint8_t statusByte_ = 0;
  Bytes other_ = hex("90 00");
  Bytes reset_ = hex("90 00");
  std::string selected_;
  std::atomic<int> statusFileReads_{0};
};

}  // namespace keld::test
