#include "reader/firmware.h"

#include <algorithm>
#include <bit>

namespace keld::reader {

namespace {

constexpr std::size_t maxBlockSize = 270;  // the host's answer buffer

Bytes status(std::uint8_t sw1, std::uint8_t sw2) { return {sw1, sw2}; }

// Answers go back to the block's source; a source of 0 is the host's
// rewritten card address, which still means the host.
std::uint8_t replySource(std::uint8_t nad) {
  const std::uint8_t source = nad & 0x0F;
  return static_cast<std::uint8_t>((source == 0 ? 2 : source) << 4);
}
std::uint8_t terminalNad(std::uint8_t nad) { return replySource(nad) | 0x01; }
std::uint8_t cardNad(std::uint8_t nad) { return replySource(nad); }

// Historical bytes of an ISO/IEC 7816-3 answer to reset.
Bytes historicalBytes(std::span<const std::uint8_t> atr) {
  if (atr.size() < 2) return {};
  const std::size_t count = atr[1] & 0x0F;
  std::size_t pos = 2;
  std::uint8_t indicator = atr[1] >> 4;
  while (true) {
    pos += static_cast<std::size_t>(std::popcount(indicator));
    if ((indicator & 0x08) == 0) break;
    if (pos - 1 >= atr.size()) return {};
    indicator = atr[pos - 1] >> 4;
  }
  if (pos >= atr.size()) return {};
  const std::size_t end = std::min(atr.size(), pos + count);
  return Bytes(atr.begin() + static_cast<std::ptrdiff_t>(pos), atr.begin() + static_cast<std::ptrdiff_t>(end));
}

// Command data of REQUEST ICC and EJECT ICC: the time in seconds, from a
// single byte or from a data object of tag 0x80.
unsigned waitSeconds(std::span<const std::uint8_t> apdu) {
  if (apdu.size() <= 5) return 0;
  const std::size_t lc = apdu[4];
  const auto data = apdu.subspan(5, std::min(lc, apdu.size() - 5));
  if (lc == 1 && !data.empty()) return data[0];
  unsigned seconds = 0;
  for (std::size_t pos = 0; pos + 1 < data.size(); pos += 2 + data[pos + 1]) {
    if (data[pos] == 0x80 && data[pos + 1] == 1 && pos + 2 < data.size()) seconds = data[pos + 2];
  }
  return seconds;
}

// Whether a REQUEST ICC or EJECT ICC ends with Le: the command is then four
// bytes of header, optional Lc and data, and one byte more.
bool hasLe(std::span<const std::uint8_t> apdu) {
  if (apdu.size() == 5) return true;
  return apdu.size() > 5 && apdu.size() == 6 + static_cast<std::size_t>(apdu[4]);
}

bool displayNibbleValid(std::uint8_t p2) {
  const std::uint8_t high = p2 >> 4;
  return high == 0x0 || high == 0xF;
}

}  // namespace

Firmware::Firmware(Personality personality, Slot& slot)
    : personality_(std::move(personality)), slot_(slot) {}

std::optional<Bytes> Firmware::receive(std::span<const std::uint8_t> received,
                                       clock::Microseconds now) {
  wait_.reset();
  const Frame frame = checkFrame(received, epilogue_, longForm());
  if (frame.check != FrameCheck::Good) return frameError(received, frame.check);
  std::optional<Bytes> answer =
      (frame.nad >> 4) == 1 ? terminalBlock(frame, now) : cardBlock(frame);
  // A new epilogue applies from the block after the one that asked for it.
  if (nextEpilogue_) {
    epilogue_ = *nextEpilogue_;
    nextEpilogue_.reset();
  }
  return answer;
}

std::optional<Bytes> Firmware::poll(clock::Microseconds now) {
  if (!wait_) return std::nullopt;
  const Wait wait = *wait_;
  std::optional<Bytes> response;
  if (wait.kind == WaitKind::RequestIcc) {
    if (slot_.present()) {
      response = cardReset(wait.p2, wait.leGiven);
    } else if (now >= wait.deadline) {
      response = status(0x62, 0x00);
    }
  } else {
    if (!slot_.present()) {
      response = status(0x90, 0x01);
    } else if (now >= wait.deadline) {
      response = status(0x90, 0x00);  // done, the card still in the slot
    }
  }
  if (!response) return std::nullopt;
  wait_.reset();
  return terminalAnswer(wait.answerNad, *response);
}

void Firmware::hardwareReset() {
  epilogue_ = Epilogue::Lrc;
  nextEpilogue_.reset();
  current_ = ReaderFile::Master;
  wait_.reset();
  terminalChain_.clear();
  lastTerminalAnswer_.clear();
  slot_.deactivate();
  resetCardLink();
}

Bytes Firmware::terminalStatus(std::uint8_t sw1, std::uint8_t sw2) const {
  const Bytes response = status(sw1, sw2);
  return block(0x21, 0x00, response);
}

Bytes Firmware::block(std::uint8_t nad, std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
  return buildBlock(nad, pcb, inf, epilogue_, longForm());
}

Bytes Firmware::terminalAnswer(std::uint8_t nad, std::span<const std::uint8_t> response) const {
  return block(nad, 0x00, response);
}

Bytes Firmware::frameError(std::span<const std::uint8_t> received, FrameCheck check) {
  const std::uint8_t code = check == FrameCheck::BadEpilogue ? 1 : 2;
  const std::uint8_t nad = received.empty() ? 0x12 : received[0];
  if ((nad >> 4) == 1) return block(terminalNad(nad), rBlockPcb(0, code), {});
  return block(cardNad(nad), rBlockPcb(hostExpectedSeq_, code), {});
}

// ---- blocks to the terminal -------------------------------------------

std::optional<Bytes> Firmware::terminalBlock(const Frame& frame, clock::Microseconds now) {
  const std::uint8_t nad = terminalNad(frame.nad);
  if (isIBlock(frame.pcb)) {
    if (moreData(frame.pcb)) {
      terminalChain_.insert(terminalChain_.end(), frame.inf.begin(), frame.inf.end());
      return block(nad, rBlockPcb(sequenceBit(frame.pcb) ^ 1, 0), {});
    }
    Bytes apdu = std::move(terminalChain_);
    terminalChain_.clear();
    apdu.insert(apdu.end(), frame.inf.begin(), frame.inf.end());
    const std::optional<Bytes> response = terminalCommand(apdu, nad, now);
    if (!response) return std::nullopt;
    lastTerminalAnswer_ = terminalAnswer(nad, *response);
    return lastTerminalAnswer_;
  }
  if (isRBlock(frame.pcb)) {
    // The host asks for the last answer again.
    if (!lastTerminalAnswer_.empty()) return lastTerminalAnswer_;
    return block(nad, rBlockPcb(0, 2), {});
  }
  switch (frame.pcb) {
    case 0xC0:
      terminalChain_.clear();
      return block(nad, 0xE0, {});
    case 0xC1: return block(nad, 0xE1, frame.inf);
    case 0xC2:
      terminalChain_.clear();
      return block(nad, 0xE2, {});
    default: return block(nad, rBlockPcb(0, 2), {});
  }
}

std::optional<Bytes> Firmware::terminalCommand(std::span<const std::uint8_t> apdu,
                                               std::uint8_t answerNad, clock::Microseconds now) {
  if (apdu.size() < 4) return status(0x67, 0x00);
  const std::uint8_t cla = apdu[0];
  const std::uint8_t ins = apdu[1];
  switch (cla) {
    case 0x20:
      switch (ins) {
        case 0x10:
        case 0x1F: return resetCommand(apdu);
        // The reset's INS of the card-terminal command set; older firmware
        // knows only 0x10, which the host sends it instead.
        case 0x11: return personality_.iccCommands() ? resetCommand(apdu) : status(0x6D, 0x00);
        case 0x12:
          return personality_.iccCommands() ? requestIcc(apdu, answerNad, now)
                                            : std::optional<Bytes>(status(0x6D, 0x00));
        case 0x13: return getStatus(apdu);
        case 0x14:
          if (apdu[2] != 0x01) return status(0x6B, 0x00);
          slot_.deactivate();
          resetCardLink();
          return status(0x90, 0x00);
        case 0x15:
          return personality_.iccCommands() ? ejectIcc(apdu, answerNad, now)
                                            : std::optional<Bytes>(status(0x6D, 0x00));
        default: return status(0x6D, 0x00);
      }
    case 0x80:
      if (ins == 0x60) return interfaceParameters(apdu);
      // Arming the card event: the host library runs the wait itself by
      // polling the card status, so the reader only accepts the command.
      if (ins == 0x70) return status(0x90, 0x00);
      return status(0x6D, 0x00);
    case 0x00:
      if (ins == 0xA4) return selectFile(apdu);
      if (ins == 0xB0) return readBinaryCommand(apdu);
      return status(0x6D, 0x00);
    default: return status(0x6E, 0x00);
  }
}

Bytes Firmware::resetCommand(std::span<const std::uint8_t> apdu) {
  const std::uint8_t p1 = apdu[2];
  if (p1 == 0x00 && apdu[1] != 0x1F) {
    // RESET CT: the terminal starts afresh and the card loses its power. The
    // epilogue stays: the host's link keeps its own and would lose step.
    slot_.deactivate();
    resetCardLink();
    current_ = ReaderFile::Master;
    return status(0x90, 0x00);
  }
  if (p1 != 0x01) return status(0x6B, 0x00);
  if (!displayNibbleValid(apdu[3])) return status(0x6B, 0x00);
  return cardReset(apdu[3], apdu.size() >= 5);
}

Bytes Firmware::cardReset(std::uint8_t p2, bool leGiven) {
  const std::uint8_t format = p2 & 0x0F;
  if (format > 2) return status(0x6B, 0x00);
  if (!slot_.present()) return status(0x64, 0xA1);
  const std::optional<Bytes> atr = slot_.reset();
  resetCardLink();
  if (!atr) return status(0x64, 0x00);
  Bytes response;
  if (format == 1 || (format == 0 && leGiven)) response = *atr;
  if (format == 2) response = historicalBytes(*atr);
  const bool synchronous = slot_.card()->kind() == CardKind::Synchronous;
  response.insert(response.end(), {0x90, static_cast<std::uint8_t>(synchronous ? 0x00 : 0x01)});
  return response;
}

Bytes Firmware::getStatus(std::span<const std::uint8_t> apdu) {
  const std::uint8_t p1 = apdu[2];
  const std::uint8_t p2 = apdu[3];
  if (p2 == 0x80 && p1 <= 0x01) return {slot_.statusByte(), 0x90, 0x00};
  if (p2 == 0x46 && p1 == 0x00 && personality_.iccCommands()) {
    // Manufacturer data object: country, maker, two spaces, product, and the
    // version text right-aligned in five characters.
    Bytes response{'D', 'E', 'V', 'N', 'R', ' ', ' ', 'Q', 'T', 'V', ' ', ' ', ' ', ' ', ' '};
    const std::string& text = personality_.versionText;
    std::copy(text.begin(), text.end(), response.end() - static_cast<std::ptrdiff_t>(text.size()));
    response.insert(response.end(), {0x90, 0x00});
    return response;
  }
  return status(0x6B, 0x00);
}

std::optional<Bytes> Firmware::requestIcc(std::span<const std::uint8_t> apdu,
                                          std::uint8_t answerNad, clock::Microseconds now) {
  const std::uint8_t p2 = apdu[3];
  if (apdu[2] != 0x01 || !displayNibbleValid(p2) || (p2 & 0x0F) > 2) return status(0x6B, 0x00);
  const unsigned seconds = waitSeconds(apdu);
  const bool leGiven = hasLe(apdu);
  switch (slot_.state()) {
    case CardState::Active: return status(0x62, 0x01);
    case CardState::Present: return cardReset(p2, leGiven);
    case CardState::None: break;
  }
  if (seconds == 0) return status(0x62, 0x00);
  wait_ = Wait{WaitKind::RequestIcc, now + clock::seconds(seconds), p2, leGiven, answerNad};
  return std::nullopt;
}

std::optional<Bytes> Firmware::ejectIcc(std::span<const std::uint8_t> apdu, std::uint8_t answerNad,
                                        clock::Microseconds now) {
  if (apdu[2] != 0x01 || !displayNibbleValid(apdu[3]) || (apdu[3] & 0x08) != 0) return status(0x6B, 0x00);
  const unsigned seconds = waitSeconds(apdu);
  slot_.deactivate();
  resetCardLink();
  // 90 01 once the slot is seen empty, also at once and without a time;
  // 90 00 when the card is still in when the time is up.
  if (!slot_.present()) return status(0x90, 0x01);
  if (seconds == 0) return status(0x90, 0x00);
  wait_ = Wait{WaitKind::EjectIcc, now + clock::seconds(seconds), apdu[3], false, answerNad};
  return std::nullopt;
}

Bytes Firmware::interfaceParameters(std::span<const std::uint8_t> apdu) {
  const std::uint8_t p1 = apdu[2];
  if (p1 > 0x01 || apdu[3] != 0x00) return status(0x6B, 0x00);
  if (apdu.size() < 5 || apdu.size() != 5 + static_cast<std::size_t>(apdu[4])) {
    return status(0x67, 0x00);
  }
  const auto data = apdu.subspan(5);
  std::optional<Epilogue> epilogue;
  for (std::size_t pos = 0; pos < data.size();) {
    if (pos + 2 > data.size()) return status(0x6A, 0x80);
    const std::uint8_t tag = data[pos];
    const std::size_t length = data[pos + 1];
    if (pos + 2 + length > data.size()) return status(0x6A, 0x80);
    const auto value = data.subspan(pos + 2, length);
    pos += 2 + length;
    if (tag == 0x29 && (length < 1 || length > 4)) return status(0x6A, 0x80);
    if (p1 != 0x00) continue;  // card parameters: waiting times and the like, taken as given
    switch (tag) {
      case 0x11:  // baud-rate indexes; 6 stands for no rate at all
        if (std::find(value.begin(), value.end(), std::uint8_t{6}) != value.end()) {
          return status(0x6A, 0x80);
        }
        break;
      case 0x12:  // character format; 0 is the default format with its LRC
        if (std::find(value.begin(), value.end(), std::uint8_t{0}) != value.end()) {
          epilogue = Epilogue::Lrc;
        }
        break;
      case 0x13:
        for (std::uint8_t choice : value) {
          if (choice == 0) epilogue = Epilogue::Lrc;
          if (choice == 1) epilogue = Epilogue::Crc;
        }
        break;
      default: break;
    }
  }
  if (epilogue) nextEpilogue_ = epilogue;
  return status(0x90, 0x00);
}

Bytes Firmware::selectFile(std::span<const std::uint8_t> apdu) {
  if (apdu[2] != 0x00 || apdu[3] != 0x00) return status(0x6B, 0x00);
  if (apdu.size() < 7 || apdu[4] != 0x02) return status(0x67, 0x00);
  const std::uint16_t id = static_cast<std::uint16_t>(apdu[5] << 8 | apdu[6]);
  const std::optional<ReaderFile> file = findReaderFile(id);
  if (!file) return status(0x6A, 0x82);
  current_ = *file;
  return status(0x90, 0x00);
}

Bytes Firmware::readBinaryCommand(std::span<const std::uint8_t> apdu) {
  if (apdu.size() != 4 && apdu.size() != 5) return status(0x67, 0x00);
  if (current_ == ReaderFile::Master) return status(0x69, 0x86);
  if (apdu[2] & 0x80) return status(0x6B, 0x00);  // short file identifiers: none here
  const std::uint16_t offset = static_cast<std::uint16_t>(apdu[2] << 8 | apdu[3]);
  const std::optional<std::uint8_t> le =
      apdu.size() == 5 ? std::optional<std::uint8_t>(apdu[4]) : std::nullopt;
  const Bytes content = current_ == ReaderFile::ReaderInfo ? readerInfoContent(personality_)
                                                            : iccStatusContent(slot_);
  return readBinary(content, offset, le);
}

// ---- blocks to the card ---------------------------------------------------

Bytes Firmware::cardBlock(const Frame& frame) {
  if (slot_.state() != CardState::Active) {
    return terminalAnswer(terminalNad(frame.nad), status(0x64, 0xA1));
  }
  if (slot_.card()->kind() == CardKind::ProcessorT1) return relayToT1Card(frame);
  return apduCardBlock(frame);
}

Bytes Firmware::relayToT1Card(const Frame& frame) {
  if (frame.inf.size() > shortFormLimit) {
    return block(cardNad(frame.nad), rBlockPcb(hostExpectedSeq_, 2), {});
  }
  if (isIBlock(frame.pcb)) hostExpectedSeq_ = sequenceBit(frame.pcb) ^ 1;
  Bytes answer = slot_.card()->exchangeBlock(bareBlock(frame.nad, frame.pcb, frame.inf));
  // A mute card: the reader reports the time-out itself.
  if (answer.size() < 3) return terminalAnswer(terminalNad(frame.nad), status(0x64, 0xA8));
  if (answer[0] == 0x00) answer[0] = cardNad(frame.nad);
  appendEpilogue(answer, epilogue_);
  return answer;
}

Bytes Firmware::apduCardBlock(const Frame& frame) {
  const std::uint8_t nad = cardNad(frame.nad);
  if (isIBlock(frame.pcb)) {
    const std::uint8_t ns = sequenceBit(frame.pcb);
    hostExpectedSeq_ = ns ^ 1;
    if (moreData(frame.pcb)) {
      commandChain_.insert(commandChain_.end(), frame.inf.begin(), frame.inf.end());
      lastCardBlock_ = block(nad, rBlockPcb(hostExpectedSeq_, 0), {});
      return lastCardBlock_;
    }
    Bytes apdu = std::move(commandChain_);
    commandChain_.clear();
    apdu.insert(apdu.end(), frame.inf.begin(), frame.inf.end());
    responseRest_ = slot_.card()->exchangeApdu(apdu);
    if (responseRest_.size() < 2) responseRest_ = status(0x6F, 0x00);
    return sendCardResponse(nad);
  }
  if (isRBlock(frame.pcb)) {
    if ((frame.pcb & 0x03) == 0 && !responseRest_.empty()) return sendCardResponse(nad);
    if (!lastCardBlock_.empty()) return lastCardBlock_;
    return block(nad, rBlockPcb(hostExpectedSeq_, 2), {});
  }
  switch (frame.pcb) {
    case 0xC0:
      resetCardLink();
      return block(nad, 0xE0, {});
    case 0xC1: return block(nad, 0xE1, frame.inf);
    case 0xC2:
      commandChain_.clear();
      responseRest_.clear();
      return block(nad, 0xE2, {});
    default: return block(nad, rBlockPcb(hostExpectedSeq_, 2), {});
  }
}

Bytes Firmware::sendCardResponse(std::uint8_t nad) {
  const std::size_t epilogueSize = epilogue_ == Epilogue::Lrc ? 1 : 2;
  const bool fitsOneBlock =
      responseRest_.size() <= shortFormLimit ||
      (longForm() && 5 + responseRest_.size() + epilogueSize <= maxBlockSize);
  const std::size_t chunk = fitsOneBlock ? responseRest_.size() : shortFormLimit;
  const bool more = !fitsOneBlock;
  const Bytes inf(responseRest_.begin(), responseRest_.begin() + static_cast<std::ptrdiff_t>(chunk));
  responseRest_.erase(responseRest_.begin(), responseRest_.begin() + static_cast<std::ptrdiff_t>(chunk));
  lastCardBlock_ = block(nad, iBlockPcb(cardSendSeq_, more), inf);
  cardSendSeq_ ^= 1;
  return lastCardBlock_;
}

void Firmware::resetCardLink() {
  cardSendSeq_ = 0;
  hostExpectedSeq_ = 0;
  commandChain_.clear();
  responseRest_.clear();
  lastCardBlock_.clear();
}

}  // namespace keld::reader
