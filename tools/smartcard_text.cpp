#include "tools/smartcard_text.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace keld::tools {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct StatusWordText {
  std::uint8_t sw1;
  std::uint8_t sw2;
  std::string_view text;
};

// Status words of ISO/IEC 7816-4 and of the card-terminal command set.
constexpr std::array STATUS_WORDS = {
    StatusWordText{0x90, 0x00, "success"},
    StatusWordText{0x90, 0x01, "success (asynchronous card; for EJECT ICC: card taken out)"},
    StatusWordText{0x62, 0x00, "no card within the time, or no further information"},
    StatusWordText{0x62, 0x01, "card already present and not reset again"},
    StatusWordText{0x62, 0x81, "part of the returned data may be corrupted"},
    StatusWordText{0x62, 0x82, "end of file reached before Le bytes were read"},
    StatusWordText{0x62, 0x83, "selected file invalidated"},
    StatusWordText{0x62, 0xA6, "card reset done, but card parameters not taken"},
    StatusWordText{0x62, 0xA7, "card parameters could not be read; card deactivated"},
    StatusWordText{0x62, 0xF0, "event wait: time over, no card event"},
    StatusWordText{0x64, 0x00, "execution error (terminal reset failed)"},
    StatusWordText{0x64, 0xA1, "no card present"},
    StatusWordText{0x64, 0xA8, "card did not answer in time (time-out); card resynchronised"},
    StatusWordText{0x64, 0xF0, "event wait refused: terminal not armed with 80 70"},
    StatusWordText{0x65, 0x81, "memory failure"},
    StatusWordText{0x67, 0x00, "wrong length"},
    StatusWordText{0x68, 0x81, "logical channel not supported"},
    StatusWordText{0x68, 0x82, "secure messaging not supported"},
    StatusWordText{0x69, 0x81, "command incompatible with file structure"},
    StatusWordText{0x69, 0x82, "security status not satisfied"},
    StatusWordText{0x69, 0x83, "authentication method blocked"},
    StatusWordText{0x69, 0x85, "conditions of use not satisfied"},
    StatusWordText{0x69, 0x86, "command not allowed (no current EF)"},
    StatusWordText{0x6A, 0x80, "incorrect parameters in the data field"},
    StatusWordText{0x6A, 0x81, "function not supported"},
    StatusWordText{0x6A, 0x82, "file or application not found"},
    StatusWordText{0x6A, 0x83, "record not found"},
    StatusWordText{0x6A, 0x84, "not enough memory space in the file"},
    StatusWordText{0x6A, 0x85, "Lc inconsistent with the data objects"},
    StatusWordText{0x6A, 0x86, "incorrect parameters P1-P2"},
    StatusWordText{0x6A, 0x88, "referenced data not found"},
    StatusWordText{0x6B, 0x00, "wrong parameters P1-P2 (offset outside the file)"},
    StatusWordText{0x6D, 0x00, "instruction not supported"},
    StatusWordText{0x6E, 0x00, "class not supported"},
    StatusWordText{0x6F, 0x00, "no precise diagnosis"},
};

}  // namespace

std::optional<Bytes> parseHex(std::string_view text, HexError* error) {
  Bytes out;
  int high = -1;
  std::size_t highPosition = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == ':') {
      if (high >= 0) {
        if (error) *error = {highPosition, "a byte needs two hex digits"};
        return std::nullopt;
      }
      continue;
    }
    const int value = hexDigit(c);
    if (value < 0) {
      if (error) {
        std::string shown = std::isprint(static_cast<unsigned char>(c)) ? std::string(1, c) : "?";
        *error = {i, "'" + shown + "' is not a hex digit"};
      }
      return std::nullopt;
    }
    if (high < 0) {
      high = value;
      highPosition = i;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) {
    if (error) *error = {highPosition, "a byte needs two hex digits"};
    return std::nullopt;
  }
  return out;
}

std::string formatHex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char pair[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, out.empty() ? "%02X" : " %02X", b);
    out += pair;
  }
  return out;
}

bool statusWordIsSuccess(std::uint8_t sw1, std::uint8_t sw2) {
  return sw1 == 0x90 || sw1 == 0x61 || (sw1 == 0x62 && sw2 == 0x82);
}

std::string describeStatusWord(std::uint8_t sw1, std::uint8_t sw2) {
  for (const StatusWordText& entry : STATUS_WORDS)
    if (entry.sw1 == sw1 && entry.sw2 == sw2) return std::string(entry.text);
  char buffer[96];
  switch (sw1) {
    case 0x61:
      std::snprintf(buffer, sizeof buffer, "success, %u more bytes available (GET RESPONSE)", sw2);
      return buffer;
    case 0x6C:
      std::snprintf(buffer, sizeof buffer, "wrong Le: %u bytes available", sw2);
      return buffer;
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0) {
        std::snprintf(buffer, sizeof buffer, "verification failed, %u tries left", sw2 & 0x0F);
        return buffer;
      }
      return "warning: non-volatile memory changed";
    case 0x62: return "warning: non-volatile memory unchanged";
    case 0x64: return "execution error: non-volatile memory unchanged";
    case 0x65: return "execution error: non-volatile memory changed";
    case 0x67: return "wrong length";
    case 0x68: return "functions in CLA not supported";
    case 0x69: return "command not allowed";
    case 0x6A: return "wrong parameters";
    default: return "unknown status word";
  }
}

std::string_view ctApiCodeName(int code) {
  switch (code) {
    case 0: return "OK";
    case -1: return "ERR_INVALID";
    case -8: return "ERR_CT";
    case -10: return "ERR_TRANS";
    case -11: return "ERR_MEMORY";
    case -127: return "ERR_HOST";
    case -128: return "ERR_HTSI";
    default: return "unknown CT-API code";
  }
}

std::string_view ctApiCodeCause(int code) {
  switch (code) {
    case 0: return "the call succeeded";
    case -1: return "terminal not open, or a wrong address, length or port number";
    case -8: return "the terminal stayed busy, or the reader did not take the command";
    case -10: return "no reader device (is keldrind running and the reader plugged in?), or the transmission failed";
    case -11: return "the response did not fit the buffer, or the command is too long";
    case -127: return "the program was asked to quit while waiting";
    case -128: return "the card-event wait was ended, or another failure of the reader or link";
    default: return "not a code the CT-API defines";
  }
}

AnswerToReset decodeAnswerToReset(std::span<const std::uint8_t> atr) {
  AnswerToReset out;
  if (atr.size() < 2) {
    out.problem = "shorter than TS and T0";
    return out;
  }
  out.ts = atr[0];
  out.t0 = atr[1];
  if (out.ts != 0x3B && out.ts != 0x3F) out.problem = "TS is neither 3B (direct) nor 3F (inverse)";
  std::size_t pos = 2;
  std::uint8_t indicator = out.t0;  // Y1 in the high nibble
  bool anyProtocolBesidesT0 = false;
  for (int level = 1; level <= 8; ++level) {
    for (int bit = 0; bit < 4; ++bit) {
      if (!(indicator & (0x10 << bit))) continue;
      if (pos >= atr.size()) {
        out.problem = "interface bytes announced but missing";
        return out;
      }
      static constexpr char letters[] = "ABCD";
      out.interfaceBytes.push_back({std::string("T") + letters[bit] + std::to_string(level), atr[pos]});
      if (bit == 3) {
        const int protocol = atr[pos] & 0x0F;
        out.protocols.push_back(protocol);
        if (protocol != 0) anyProtocolBesidesT0 = true;
      }
      ++pos;
    }
    if (!(indicator & 0x80)) break;
    indicator = out.interfaceBytes.back().value;
  }
  if (out.protocols.empty()) out.protocols.push_back(0);
  const std::size_t historical = out.t0 & 0x0F;
  if (pos + historical > atr.size()) {
    out.problem = "historical bytes announced but missing";
    out.historicalBytes.assign(atr.begin() + static_cast<std::ptrdiff_t>(pos), atr.end());
    return out;
  }
  out.historicalBytes.assign(atr.begin() + static_cast<std::ptrdiff_t>(pos),
                             atr.begin() + static_cast<std::ptrdiff_t>(pos + historical));
  pos += historical;
  if (anyProtocolBesidesT0) {
    if (pos >= atr.size()) {
      out.problem = "TCK missing";
      out.tckValid = false;
      return out;
    }
    out.tck = atr[pos];
    std::uint8_t check = 0;
    for (std::size_t i = 1; i <= pos; ++i) check ^= atr[i];
    out.tckValid = check == 0;
    if (!out.tckValid) out.problem = "TCK does not match";
    ++pos;
  }
  if (pos < atr.size() && !out.problem) out.problem = "extra bytes after the ATR";
  return out;
}

}  // namespace keld::tools
