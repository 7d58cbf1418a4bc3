#pragma once
// The reader's register interface at its I/O base: four byte-wide ports, the
// status bits and the control values. Shared by the driver, the reader
// emulator and the tests, so that each value is written down once.

#include <cstdint>

namespace keld::reader_registers {

// Port offsets from the I/O base.
constexpr std::uint16_t REG_DATA = 0;
constexpr std::uint16_t REG_STATUS = 1;   // read
constexpr std::uint16_t REG_CONTROL = 1;  // write
constexpr std::uint16_t REG_LEN_LO = 2;
constexpr std::uint16_t REG_LEN_HI = 3;
constexpr std::uint16_t REG_COUNT = 4;    // size of the port range

// Status bits.
constexpr std::uint8_t SR_DATA_PENDING = 0x80;
constexpr std::uint8_t SR_READY = 0x40;

// Control values.
constexpr std::uint8_t CR_IDLE = 0x00;
constexpr std::uint8_t CR_TRANSFER = 0x01;
constexpr std::uint8_t CR_OPERATE = 0x02;
constexpr std::uint8_t CR_SETUP = 0x04;
constexpr std::uint8_t CR_SETUP_TRANSFER = 0x05;
constexpr std::uint8_t CR_RESET = 0x08;

// Identification text that the reader offers after the reset pulse: 16
// characters and a zero byte.
constexpr char IDENTIFICATION_TEXT[] = "VNR Keldmatic 2.";
constexpr std::uint32_t IDENTIFICATION_LENGTH = 17;
static_assert(sizeof(IDENTIFICATION_TEXT) == IDENTIFICATION_LENGTH);

}  // namespace keld::reader_registers
