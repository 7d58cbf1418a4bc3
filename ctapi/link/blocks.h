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

// CRC-16/X.25 register (reflected polynomial 0x8408, start 0xFFFF) after all
// bytes, not complemented: the epilogue is its complement, low byte first, and
// a good block run through it with its epilogue leaves 0xF0B8.
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

// Builds a block in `lib.blockBuffer` with the epilogue of `lib.edcMode`, the
// long length form for 255 INF bytes or more, and NAD 0x02 sent as 0x00 from
// firmware 1.07 on. Returns its length, or 0 when the block cannot be built
// (more than 270 bytes, or above 254 INF bytes without the long form); nothing
// is written then.
std::size_t buildBlock(std::uint8_t nad, std::uint8_t pcb, std::uint16_t infLength,
                       const std::uint8_t* inf);

// Takes the answer of the last transmit from `lib.answerBuffer` into
// `lib.blockBuffer` and checks its frame. 1 good (linkPhase 6, blockLength =
// INF length), 0 bad (linkPhase 7, blockLength -128 for a short block or a
// wrong epilogue, -5 for no answer or a wrong length).
int takeAnswer();

// 1 when (nad, pcb) is an I-block from the card or terminal that the
// terminal's link expects next (its N(S) equals recvSeq), else 0.
int isValidIBlock(int terminal, std::uint8_t nad, std::uint8_t pcb);

// Offset of the information field in a block: 3, or 5 with the long form.
std::size_t infOffset();

}  // namespace keldapi
