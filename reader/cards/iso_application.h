#pragma once
// The ISO/IEC 7816-4 application behind the processor cards: SELECT FILE,
// READ BINARY, UPDATE BINARY, GET CHALLENGE over the card's file system, and
// a proprietary loopback command for tests and benchmarks.
//
// Loopback (CLA 80, INS EE, P1 P2 00 00):
//   80 EE 00 00 Le          -> Le bytes 00 01 02 ... (byte i is i mod 256), 90 00
//   80 EE 00 00 Lc data Le  -> Le bytes of the data repeated from its start, 90 00
//   80 EE 00 00 Lc data     -> 90 00 (the data is taken and dropped)

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "reader/card.h"
#include "reader/cards/apdu.h"
#include "reader/cards/file_system.h"

namespace keld::reader {

inline constexpr std::uint8_t loopbackCla = 0x80;
inline constexpr std::uint8_t loopbackIns = 0xEE;

class IsoApplication {
 public:
  explicit IsoApplication(FileSystem files, std::uint64_t challengeSeed = 0x4B454C44);

  // Session start after a reset: the MF is the current DF, no EF is current.
  void reset();
  // One command APDU in, its response APDU (status word last) out.
  Bytes process(std::span<const std::uint8_t> command);

  const FileSystem& files() const { return files_; }
  std::size_t currentDf() const { return currentDf_; }
  std::optional<std::size_t> currentEf() const { return currentEf_; }

 private:
  Bytes selectFile(const CommandApdu& apdu);
  Bytes readBinary(const CommandApdu& apdu);
  Bytes updateBinary(const CommandApdu& apdu);
  Bytes getChallenge(const CommandApdu& apdu);
  Bytes loopback(const CommandApdu& apdu) const;
  // The EF and offset that READ / UPDATE BINARY address, selecting an EF named
  // by a short identifier; a status word when there is none.
  struct BinaryTarget {
    std::size_t file = 0;
    std::size_t offset = 0;
    std::uint16_t status = statusOk;
  };
  BinaryTarget binaryTarget(const CommandApdu& apdu);
  std::optional<std::size_t> selectById(std::uint16_t id) const;
  Bytes selectedAnswer(std::size_t index, const CommandApdu& apdu);

  FileSystem files_;
  std::size_t currentDf_ = FileSystem::masterFile;
  std::optional<std::size_t> currentEf_;
  std::uint64_t challengeState_;
};

}  // namespace keld::reader
