#pragma once
// The library's own commands to the reader: file selection and reads of the
// reader's status files, card deactivation and reset, link resynchronisation
// and the IFS request. Each sends one block and takes the reader's answer
// into lib.lastBlock.

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>

namespace keldapi {

// The link's buffers (lastBlock among them) are process-wide: every exchange
// with a reader, and every read of lastBlock that follows one, runs under
// this lock, so that calls on two terminals never mix their bytes. Each
// reader command takes it itself; callers that read lastBlock afterwards hold
// it across both.
std::recursive_mutex& exchangeLock();

// The block received last, as far as it arrived (at most lastBlock).
std::span<const std::uint8_t> receivedBlock();

int selectMasterFile(int terminal);
int readReaderInfoFile(int terminal);
int readIccStatusFile(int terminal);
// The card state of the status file in the terms of GET STATUS.
std::uint8_t getIccStatusByte(int terminal);
int sendDeactivateIcc(int terminal);
int sendResetIcc(int terminal);
// 1 when the reader confirmed the resynchronisation, 0 when not.
int resynchronise(int terminal);
int requestIfs(int terminal, std::uint8_t value);
// The card's IFSC, or 0 on failure.
int readCardParameters(int terminal);
// Prepares the link of a freshly opened terminal; reads the firmware version
// once per process. Always 0.
int openLink(int terminal);

// Data objects of the reader's files: the firmware version (file 0020); the
// card status, the card's protocol byte and its IFSC (file 7021).
constexpr std::uint8_t TAG_FIRMWARE_VERSION = 0x0F;
constexpr std::uint8_t TAG_ICC_STATUS = 0x21;
constexpr std::uint8_t TAG_CARD_PROTOCOL = 0x22;
constexpr std::uint8_t TAG_IFSC = 0x03;

// Walks the data objects of a received block (positions from NAD = 0, first
// object at 3), never past the bytes that arrived.
void walkDataObjects(
    std::span<const std::uint8_t> block,
    const std::function<void(std::uint8_t tag, std::span<const std::uint8_t> value)>& action);

// The firmware version of a version object ("2.27k" -> 0x227), or 0.
std::int16_t parseFirmwareVersion(std::span<const std::uint8_t> text);

}  // namespace keldapi
