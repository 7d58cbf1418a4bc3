#pragma once
// The device-control interface between the CT-API library and the reader
// driver: the six private control codes and the two records that cross it.
// This is the only header the library and the driver share.

#include <cstddef>
#include <cstdint>

namespace keld::ioctl {

constexpr std::uint32_t FILE_DEVICE_SMARTCARD = 0x31;
constexpr std::uint32_t METHOD_BUFFERED = 0;
constexpr std::uint32_t FILE_ANY_ACCESS = 0;

// The platform's CTL_CODE layout: device type, access, function, method.
constexpr std::uint32_t controlCode(std::uint32_t function) {
  return (FILE_DEVICE_SMARTCARD << 16) | (FILE_ANY_ACCESS << 14) | (function << 2) | METHOD_BUFFERED;
}

constexpr std::uint32_t IOCTL_READER_TRANSMIT = controlCode(0x800);
constexpr std::uint32_t IOCTL_READER_GET_VERSION = controlCode(0x801);
constexpr std::uint32_t IOCTL_READER_TIMEOUT = controlCode(0x802);
constexpr std::uint32_t IOCTL_READER_RESET_READER = controlCode(0x803);
constexpr std::uint32_t IOCTL_READER_GET_CONFIG = controlCode(0x804);
constexpr std::uint32_t IOCTL_READER_CARD_EVENT = controlCode(0x805);

static_assert(IOCTL_READER_TRANSMIT == 0x00312000);
static_assert(IOCTL_READER_GET_VERSION == 0x00312004);
static_assert(IOCTL_READER_TIMEOUT == 0x00312008);
static_assert(IOCTL_READER_RESET_READER == 0x0031200C);
static_assert(IOCTL_READER_GET_CONFIG == 0x00312010);
static_assert(IOCTL_READER_CARD_EVENT == 0x00312014);

// Largest answer block the reader hands over; the transmit output never needs more.
constexpr std::size_t READER_ANSWER_CAPACITY = 270;

// Driver version reported in ReaderVersionRecord (2.01).
constexpr std::uint8_t DRIVER_VERSION_MAJOR = 2;
constexpr std::uint8_t DRIVER_VERSION_MINOR = 1;

// Output of IOCTL_READER_GET_VERSION. Multi-byte fields are little-endian.
struct ReaderVersionRecord {
  std::uint32_t Reserved0;   // always 0
  std::uint8_t DriverMajor;  // 2
  std::uint8_t DriverMinor;  // 1
  std::uint8_t FwMajor;      // firmware major digit
  std::uint8_t FwMinor;      // firmware minor digits as two nibbles (2.32 -> 0x32)
  std::uint8_t FwVariant;    // variant code from the reader's file 0020
  std::uint8_t Reserved[3];  // zero
};

// Output of IOCTL_READER_GET_CONFIG. Little-endian.
struct ReaderConfigRecord {
  std::uint32_t IoBase;           // I/O port base from the start resources
  std::uint32_t InterruptVector;  // interrupt vector, 0 when there is none
};

static_assert(sizeof(ReaderVersionRecord) == 12);
static_assert(offsetof(ReaderVersionRecord, DriverMajor) == 4);
static_assert(offsetof(ReaderVersionRecord, FwMajor) == 6);
static_assert(offsetof(ReaderVersionRecord, FwMinor) == 7);
static_assert(offsetof(ReaderVersionRecord, FwVariant) == 8);
static_assert(sizeof(ReaderConfigRecord) == 8);
static_assert(offsetof(ReaderConfigRecord, InterruptVector) == 4);

// The records are copied as bytes across the interface; their byte order is
// fixed as little-endian, which is the order of the machines we build for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the control records are little-endian");

// IOCTL_READER_TIMEOUT carries ten times the driver's poll limit.
constexpr std::uint32_t TIMEOUT_UNITS_PER_POLL = 10;

}  // namespace keld::ioctl
