#include "reader/cards/t1_card_engine.h"

#include <algorithm>

#include "reader/cards/apdu.h"

namespace keld::reader {
namespace {

constexpr std::uint8_t pcbMore = 0x20;
constexpr std::uint8_t pcbSequence = 0x40;     // N(S) of an I-block
constexpr std::uint8_t pcbAckSequence = 0x10;  // N(R) of an R-block
constexpr std::uint8_t rBlock = 0x80;
constexpr std::uint8_t rOtherError = 0x02;
constexpr std::uint8_t sResynchRequest = 0xC0;
constexpr std::uint8_t sIfsRequest = 0xC1;
constexpr std::uint8_t sAbortRequest = 0xC2;
constexpr std::uint8_t sWtxRequest = 0xC3;
constexpr std::uint8_t sResponse = 0x20;

bool isIBlock(std::uint8_t pcb) { return (pcb & 0x80) == 0; }
bool isRBlock(std::uint8_t pcb) { return (pcb & 0xC0) == 0x80; }
int iSequence(std::uint8_t pcb) { return (pcb & pcbSequence) ? 1 : 0; }
int rSequence(std::uint8_t pcb) { return (pcb & pcbAckSequence) ? 1 : 0; }

bool listed(const std::vector<std::uint8_t>& instructions, std::span<const std::uint8_t> command) {
  return command.size() >= 2 && std::find(instructions.begin(), instructions.end(), command[1]) != instructions.end();
}

}  // namespace

T1CardEngine::T1CardEngine(T1CardSettings settings, CommandHandler handler)
    : settings_(std::move(settings)), handler_(std::move(handler)) {
  reset();
}

void T1CardEngine::reset() {
  dropExchange();
  ifsc_ = settings_.ifsc;
  ifsd_ = defaultIfs;
  sendSeq_ = 0;
  recvSeq_ = 0;
  lastBlock_.clear();
  lastIBlock_.clear();
}

void T1CardEngine::dropExchange() {
  state_ = T1CardState::AwaitingCommand;
  command_.clear();
  commandOverflow_ = false;
  answer_.clear();
  answerSent_ = 0;
  wtxLeft_ = 0;
  ifsRequestPending_ = false;
}

Bytes T1CardEngine::send(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  Bytes block{cardNad, pcb, static_cast<std::uint8_t>(inf.size())};
  block.insert(block.end(), inf.begin(), inf.end());
  lastBlock_ = block;
  if (isIBlock(pcb)) lastIBlock_ = block;
  return block;
}

// Rule 7.1: a block the card cannot take is answered with an R-block that
// names the I-block it expects; the state stays as it was.
Bytes T1CardEngine::reject() {
  return send(static_cast<std::uint8_t>(rBlock | (recvSeq_ ? pcbAckSequence : 0) | rOtherError));
}

Bytes T1CardEngine::exchange(std::span<const std::uint8_t> block) {
  if (block.size() < 3 || block.size() != 3u + block[2]) return reject();
  const std::uint8_t nad = block[0];
  const std::uint8_t pcb = block[1];
  const auto inf = block.subspan(3);
  // Destination node 0 (the card), no VPP bits.
  if ((nad & 0xF8) != 0) return reject();
  if (isIBlock(pcb)) return onIBlock(pcb, inf);
  if (isRBlock(pcb)) return onRBlock(pcb);
  return onSBlock(pcb, inf);
}

Bytes T1CardEngine::onIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  if ((pcb & 0x1F) != 0 || inf.size() > ifsc_) return reject();
  // The host sends I-blocks only while the card waits for a command.
  if (state_ != T1CardState::AwaitingCommand && state_ != T1CardState::ReceivingChain) return reject();
  if (iSequence(pcb) != recvSeq_) return reject();
  recvSeq_ ^= 1;
  if (command_.size() + inf.size() > maxChainedCommand) commandOverflow_ = true;
  if (!commandOverflow_) command_.insert(command_.end(), inf.begin(), inf.end());
  if (pcb & pcbMore) {
    // Rule 5: each chained block is acknowledged with R(N(R)), N(R) naming
    // the next I-block expected.
    state_ = T1CardState::ReceivingChain;
    return send(static_cast<std::uint8_t>(rBlock | (recvSeq_ ? pcbAckSequence : 0)));
  }
  const bool tooLong = commandOverflow_;
  Bytes command = std::move(command_);
  command_.clear();
  commandOverflow_ = false;
  return startAnswer(command, tooLong);
}

Bytes T1CardEngine::startAnswer(std::span<const std::uint8_t> command, bool tooLong) {
  answer_ = tooLong ? response(statusWrongLength) : handler_(command);
  answerSent_ = 0;
  wtxLeft_ = !tooLong && listed(settings_.wtxInstructions, command) ? settings_.wtxRepeat : 0;
  ifsRequestPending_ = !tooLong && listed(settings_.ifsInstructions, command);
  return continueAnswer();
}

// The card's own requests come first, then the response.
Bytes T1CardEngine::continueAnswer() {
  if (wtxLeft_ > 0) {
    --wtxLeft_;
    state_ = T1CardState::AwaitingWtxResponse;
    const std::uint8_t multiplier[] = {settings_.wtxMultiplier};
    return send(sWtxRequest, multiplier);
  }
  if (ifsRequestPending_) {
    ifsRequestPending_ = false;
    state_ = T1CardState::AwaitingIfsResponse;
    const std::uint8_t size[] = {settings_.ifsRequestSize};
    return send(sIfsRequest, size);
  }
  return sendNextChunk();
}

Bytes T1CardEngine::sendNextChunk() {
  const std::size_t chunk = std::min<std::size_t>(ifsd_, answer_.size() - answerSent_);
  const auto part = std::span(answer_).subspan(answerSent_, chunk);
  answerSent_ += chunk;
  const bool more = answerSent_ < answer_.size();
  const auto pcb = static_cast<std::uint8_t>((sendSeq_ ? pcbSequence : 0) | (more ? pcbMore : 0));
  sendSeq_ ^= 1;
  Bytes block = send(pcb, part);
  if (more) {
    state_ = T1CardState::SendingChain;
  } else {
    state_ = T1CardState::AwaitingCommand;
    answer_.clear();
    answerSent_ = 0;
  }
  return block;
}

Bytes T1CardEngine::onRBlock(std::uint8_t pcb) {
  if ((pcb & 0x2C) != 0) return reject();
  const int nr = rSequence(pcb);
  const bool error = (pcb & 0x03) != 0;
  const bool lastWasIBlock = !lastBlock_.empty() && isIBlock(lastBlock_[1]);
  const bool asksForLastIBlock = !lastIBlock_.empty() && nr == iSequence(lastIBlock_[1]);
  if (state_ == T1CardState::SendingChain) {
    // Rule 5: N(R) naming the next I-block acknowledges the chained block.
    if (!error && !asksForLastIBlock) return sendNextChunk();
    // Rule 7.2: an error, or N(R) naming the block just sent, asks for it again.
    lastBlock_ = lastIBlock_;
    return lastIBlock_;
  }
  // Rule 7.2: the host lost the card's last I-block, or (error code set) its
  // last R- or S-block: send it again as it was.
  if (asksForLastIBlock && lastWasIBlock) return lastBlock_;
  if (error && !lastBlock_.empty() && !lastWasIBlock) return lastBlock_;
  return reject();
}

Bytes T1CardEngine::onSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  switch (pcb) {
    case sResynchRequest:
      if (!inf.empty()) return reject();
      // Rule 6: RESYNCH resets both sequence numbers and the IFSD; the
      // IFSC stays, as the host goes on using the size it last learned.
      dropExchange();
      sendSeq_ = 0;
      recvSeq_ = 0;
      ifsd_ = defaultIfs;
      lastIBlock_.clear();
      return send(sResynchRequest | sResponse);
    case sIfsRequest:
      // The host announces its IFSD; 00 and FF are reserved values.
      if (inf.size() != 1 || inf[0] == 0 || inf[0] == 0xFF) return reject();
      ifsd_ = inf[0];
      return send(sIfsRequest | sResponse, inf);
    case sAbortRequest:
      if (!inf.empty()) return reject();
      // Rule 9: the chain in either direction is dropped; the sequence
      // numbers stay where the blocks exchanged so far left them.
      dropExchange();
      return send(sAbortRequest | sResponse);
    case sWtxRequest | sResponse:
      if (state_ != T1CardState::AwaitingWtxResponse || inf.size() != 1 || inf[0] != settings_.wtxMultiplier)
        return reject();
      return continueAnswer();
    case sIfsRequest | sResponse:
      if (state_ != T1CardState::AwaitingIfsResponse || inf.size() != 1 || inf[0] != settings_.ifsRequestSize)
        return reject();
      ifsc_ = settings_.ifsRequestSize;
      return continueAnswer();
    default:
      // WTX requests come only from a card; the responses to requests the
      // card never sent and unknown S-blocks are errors.
      return reject();
  }
}

}  // namespace keld::reader
