#pragma once
// T=1 block format and error detection: the prologue NAD PCB LEN (LEN in a
// three-byte long form for newer reader firmware), the information field and
// the LRC or CRC epilogue. The pure functions take bytes and return results;
// buildBlock and takeAnswer work on the library's block and answer buffers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace keldapi {

// Exclusive OR of all bytes.
std::uint8_t computeLrc(std::span<const std::uint8_t> bytes);

// CRC-16/X.25 register value (reflected polynomial 0x8408, start 0xFFFF, the
// register's complement as the result) of all bytes.
std::uint16_t computeCrc(std::span<const std::uint8_t> bytes);

// Table of the CRC above, one entry per byte value.
extern const std::array<std::uint16_t, 256> crcTable;

// Writes the LRC of block[0..n) at block[n]; returns n + 1.
std::size_t appendLrc(std::span<std::uint8_t> block, std::size_t n);

// Writes the CRC of block[0..n) at block[n] (low byte) and block[n+1]; returns n + 2.
std::size_t appendCrc(std::span<std::uint8_t> block, std::size_t n);

// True when the last byte of `block` is the LRC of the bytes before it.
bool checkLrc(std::span<const std::uint8_t> block);

// True when the last two bytes of `block` are the CRC of the bytes before it.
bool checkCrc(std::span<const std::uint8_t> block);

// True when the reader firmware takes the long length form (minor digits of
// `firmwareVersion` 0x18 or more).
bool longFormEnabled();

// Builds a block in `lib.blockBuffer` with the epilogue of `lib.edcMode` and
// the length form of `lib.extendedLength`; returns its length, or 0 when the
// block would not fit the buffer (nothing is written then).
std::size_t buildBlock(std::uint8_t nad, std::uint8_t pcb, std::uint16_t infLength,
                       const std::uint8_t* inf);

// Checks the answer of the last transmit in `lib.answerBuffer` (frame, length
// and epilogue). 1 good (linkPhase 6), 0 bad (linkPhase 7).
int takeAnswer();

// 1 when (nad, pcb) is an I-block from the card or terminal that the
// terminal's link expects next (its N(S) equals recvSeq), else 0.
int isValidIBlock(int terminal, std::uint8_t nad, std::uint8_t pcb);

// Offset of the information field in a block: 3, or 5 with the long form.
std::size_t infOffset();

}  // namespace keldapi
