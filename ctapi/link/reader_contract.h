#pragma once
// What the link relies on from the reader's firmware and from a card that
// speaks T=1 (ISO/IEC 7816-3): addresses, control bytes, the status words
// the library reads or answers with, and the limits of a block.

#include <cstddef>
#include <cstdint>

namespace keldapi::reader {

// Node addresses: destination in the high nibble, source in the low one.
constexpr std::uint8_t NAD_LIBRARY = 0x00;            // R- and S-blocks of the library
constexpr std::uint8_t NAD_HOST_TO_CARD = 0x02;       // sent as 0x00 from firmware 1.07 on
constexpr std::uint8_t NAD_HOST_TO_TERMINAL = 0x12;
constexpr std::uint8_t NAD_TERMINAL_TO_HOST = 0x21;   // any NAD with low nibble 1 counts
constexpr std::uint8_t NAD_CARD_TO_HOST = 0x20;

// Protocol control bytes (ISO/IEC 7816-3, 11.3.2).
constexpr std::uint8_t PCB_NS = 0x40;    // I-block N(S)
constexpr std::uint8_t PCB_MORE = 0x20;  // I-block M
constexpr std::uint8_t PCB_R_BLOCK = 0x80;
constexpr std::uint8_t PCB_NR = 0x10;    // R-block N(R)
constexpr std::uint8_t PCB_S_RESYNCH_REQUEST = 0xC0;
constexpr std::uint8_t PCB_S_IFS_REQUEST = 0xC1;
constexpr std::uint8_t PCB_S_ABORT_REQUEST = 0xC2;
constexpr std::uint8_t PCB_S_WTX_REQUEST = 0xC3;
constexpr std::uint8_t PCB_S_RESPONSE = 0x20;  // added to a request code
constexpr std::uint8_t PCB_S_RESYNCH_RESPONSE = 0xE0;
constexpr std::uint8_t PCB_S_IFS_RESPONSE = 0xE1;

// R-block error codes.
constexpr int R_ERROR_EDC = 1;
constexpr int R_ERROR_OTHER = 2;

// Block limits. The block buffer holds 270 bytes; INF lengths above 254 need
// the long length form (LEN 0xFF, then two bytes), which firmware with minor
// version digits of 18 or more reads.
constexpr std::uint16_t MAX_SHORT_INF = 254;
constexpr std::uint8_t LONG_FORM_MARK = 0xFF;
constexpr std::uint8_t MIN_LONG_FORM_MINOR = 0x18;
constexpr std::int16_t CARD_NAD_REWRITE_VERSION = 0x107;

// Information field sizes. A card's IFSC from the reader's card information
// is used up to the largest size ISO/IEC 7816-3 allows; our own IFSD is the same.
constexpr std::int16_t DEFAULT_IFSC = 32;
constexpr std::int16_t MAX_IFSC = 254;
constexpr std::uint8_t REQUESTED_IFSD = 254;

// One WTX unit in the driver's waiting-time unit (at least 1 s).
constexpr std::int32_t WTX_UNIT = 2 * 1000;

// The card's protocol byte for a card that speaks T=1 with the host.
constexpr std::uint8_t CARD_PROTOCOL_T1 = 2;

// Status words.
struct StatusWord {
  std::uint8_t sw1;
  std::uint8_t sw2;
};
constexpr StatusWord SW_SUCCESS{0x90, 0x00};
constexpr StatusWord SW_CARD_TIMED_OUT{0x64, 0xA8};     // from the reader, and our recovery answer
constexpr StatusWord SW_RESET_FAILED{0x64, 0x00};
constexpr StatusWord SW_CARD_UNUSABLE{0x62, 0xA7};
constexpr StatusWord SW_WRONG_LENGTH{0x67, 0x00};
constexpr StatusWord SW_WRONG_DATA{0x6A, 0x80};
constexpr StatusWord SW_FUNCTION_NOT_SUPPORTED{0x6A, 0x85};
constexpr StatusWord SW_WRONG_PARAMETERS{0x6B, 0x00};
constexpr StatusWord SW_WRONG_LE{0x6C, 0x00};

}  // namespace keldapi::reader
