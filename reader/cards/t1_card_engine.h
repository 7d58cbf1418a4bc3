#pragma once
// The card's side of the ISO/IEC 7816-3 T=1 block protocol. It takes one
// block from the host (NAD, PCB, LEN, INF; the reader firmware has checked
// and removed the epilogue) and returns the card's answer block in the same
// form. Whole commands go to the command handler; its response goes back in
// I-blocks chained by the host's IFSD.
//
// The card answers every block with NAD 0x20 (from the card, node 0, to the
// host, node 2). It accepts blocks addressed to node 0 from any source.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "reader/card.h"

namespace keld::reader {

inline constexpr std::uint8_t cardNad = 0x20;
inline constexpr std::uint8_t defaultIfs = 32;      // IFSC and IFSD until told otherwise
inline constexpr std::uint8_t maxIfs = 254;
// Longest command the card gathers from a chain; a longer one is answered 67 00.
inline constexpr std::size_t maxChainedCommand = 4096;

struct T1CardSettings {
  std::uint8_t ifsc = defaultIfs;                  // 1..254, the ATR's TA3
  // S(WTX request) with `wtxMultiplier` before answering any command whose
  // INS is listed, `wtxRepeat` times in a row.
  std::vector<std::uint8_t> wtxInstructions;
  std::uint8_t wtxMultiplier = 2;
  std::uint8_t wtxRepeat = 1;
  // S(IFS request) with `ifsRequestSize` (the card's new IFSC) before
  // answering any command whose INS is listed. After any WTX requests.
  std::vector<std::uint8_t> ifsInstructions;
  std::uint8_t ifsRequestSize = maxIfs;
};

enum class T1CardState {
  AwaitingCommand,      // nothing pending: the next I-block starts a command
  ReceivingChain,       // chained command I-blocks acknowledged so far, more to come
  SendingChain,         // response I-block with M sent, awaiting the host's R-block
  AwaitingWtxResponse,  // S(WTX request) sent, awaiting S(WTX response)
  AwaitingIfsResponse,  // S(IFS request) sent, awaiting S(IFS response)
};

class T1CardEngine {
 public:
  using CommandHandler = std::function<Bytes(std::span<const std::uint8_t>)>;

  T1CardEngine(T1CardSettings settings, CommandHandler handler);

  // After the answer to reset: sequence numbers 0, IFSC from the settings,
  // IFSD 32, nothing pending.
  void reset();
  // One block in, the card's answer block out.
  Bytes exchange(std::span<const std::uint8_t> block);

  T1CardState state() const { return state_; }
  std::uint8_t ifsc() const { return ifsc_; }
  std::uint8_t ifsd() const { return ifsd_; }
  // N(S) of the card's next I-block and the N(S) it expects from the host.
  int sendSequence() const { return sendSeq_; }
  int receiveSequence() const { return recvSeq_; }

 private:
  Bytes onIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes onRBlock(std::uint8_t pcb);
  Bytes onSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes startAnswer(std::span<const std::uint8_t> command, bool tooLong);
  Bytes continueAnswer();
  Bytes sendNextChunk();
  Bytes reject();
  Bytes send(std::uint8_t pcb, std::span<const std::uint8_t> inf = {});
  void dropExchange();

  T1CardSettings settings_;
  CommandHandler handler_;
  T1CardState state_ = T1CardState::AwaitingCommand;
  std::uint8_t ifsc_ = defaultIfs;
  std::uint8_t ifsd_ = defaultIfs;
  int sendSeq_ = 0;
  int recvSeq_ = 0;
  Bytes command_;
  bool commandOverflow_ = false;
  Bytes answer_;
  std::size_t answerSent_ = 0;
  int wtxLeft_ = 0;
  bool ifsRequestPending_ = false;
  Bytes lastBlock_;                 // last block sent, for retransmission
  Bytes lastIBlock_;                // last I-block sent
};

}  // namespace keld::reader
