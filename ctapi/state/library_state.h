#pragma once
// All state of the CT-API library: the terminal table, the per-terminal link
// state and the process-wide values of the link and of the command handling.
// Fixed storage from load to unload; nothing here is allocated per call.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32/win32_types.h"

namespace keldapi {

constexpr int TERMINAL_COUNT = 7;
constexpr std::size_t BLOCK_BUFFER_SIZE = 270;
constexpr std::size_t EVENT_COMMAND_COPY_SIZE = 266;
constexpr std::uint16_t NO_CTN = 0xFFFF;

constexpr std::int32_t DEFAULT_CT_WAITING_TIME = 3000;
constexpr std::int32_t DEFAULT_BLOCK_WAITING_TIME = 20000;
constexpr std::uint8_t DEFAULT_RETRIES = 3;

// TerminalSlot::flags
constexpr std::uint16_t SLOT_OPEN = 0x0001;

// One entry of the terminal table. `busy`, `ctn` and `eventArmed` are read by
// waits running in other threads, hence atomic.
struct TerminalSlot {
  std::uint16_t flags = 0;
  std::atomic<std::uint8_t> busy{0};
  std::atomic<std::uint16_t> ctn{0};
  std::uint16_t pn = 0;
  std::atomic<std::int32_t> eventArmed{0};
  HANDLE device = INVALID_HANDLE_VALUE;

  bool isOpen() const { return (flags & SLOT_OPEN) != 0; }
};

// LinkState::state
enum LinkExchangeState : std::int32_t {
  LINK_IDLE = 0,
  LINK_OPENING = 1,
  LINK_COMMAND_IN_PROGRESS = 2,
  LINK_RESPONSE_READY = 3,
  LINK_SENDING_FAILED = 4,
  LINK_UNUSED = 5,  // opened and not yet used, or unusable
};

// LinkState::seqFlags
constexpr std::uint32_t SEND_SEQ = 0x1;  // N(S) of the next I-block to the card
constexpr std::uint32_t RECV_SEQ = 0x2;  // N(S) expected from the card; N(R) of our R-blocks

struct LinkState {
  std::int32_t state = LINK_IDLE;
  std::uint32_t seqFlags = 0;
  std::int16_t ifsc = 32;
  std::int16_t linkIndex = -1;
  std::int16_t ioBase = 0;
  std::uint8_t cardProtocol = 0;
  std::int8_t retriesLeft = 0;
  std::int32_t ctWaitingTime = DEFAULT_CT_WAITING_TIME;
  std::int32_t blockWaitingTime = DEFAULT_BLOCK_WAITING_TIME;

  bool sendSeq() const { return (seqFlags & SEND_SEQ) != 0; }
  bool recvSeq() const { return (seqFlags & RECV_SEQ) != 0; }
  void invertSendSeq() { seqFlags ^= SEND_SEQ; }
  void invertRecvSeq() { seqFlags ^= RECV_SEQ; }
  void clearSequence() { seqFlags &= ~(SEND_SEQ | RECV_SEQ); }
};

struct LibraryState {
  std::array<TerminalSlot, TERMINAL_COUNT> terminals;
  std::array<LinkState, TERMINAL_COUNT> links;

  // Block format and transport.
  std::int32_t edcMode = 1;  // 1 LRC, 0 CRC
  std::int32_t extendedLength = 0;
  std::int16_t firmwareVersion = 0;  // 0x232 for 2.32; read once per process
  std::uint32_t answerByteCount = 0;
  std::int16_t answerLength = 0;
  std::int16_t blockLength = 0;
  std::array<std::uint8_t, BLOCK_BUFFER_SIZE> blockBuffer{};
  std::array<std::uint8_t, BLOCK_BUFFER_SIZE> answerBuffer{};

  // Exchange engine.
  std::int32_t linkPhase = 0;
  std::int16_t linkOwner = -1;
  std::int16_t failedTransmits = 0;
  std::uint8_t answerNad = 0;
  std::array<std::uint8_t, BLOCK_BUFFER_SIZE> lastBlock{};
  std::int32_t responseLength = 0;
  std::uint8_t* responseBuffer = nullptr;
  std::uint16_t responseCapacity = 0;

  // Command exchange.
  std::uint8_t retryDefault = DEFAULT_RETRIES;
  std::int32_t iccParamsPending = 0;

  // CT_data, waits and the card-event pair 80 70 / 80 71. The three flags are
  // raised and watched across threads.
  std::atomic<std::int32_t> quitSeen{0};
  std::atomic<std::int32_t> callArrived{0};
  std::atomic<std::int32_t> eventWaitActive{0};
  std::uint8_t eventCode = 0;
  std::array<std::uint8_t, EVENT_COMMAND_COPY_SIZE> eventCommandCopy{};
  std::int32_t selectedFF10 = 0;
  std::int32_t selectedFF11 = 0;
};

// The one instance of the process.
extern LibraryState lib;

// Puts every value back as it is at load, closing the devices of open
// terminals. For tests, which need a fresh library per case.
void resetLibraryState();

// The operations that open, close and check a terminal's link.
void resetLinkState(int terminal);
int openTerminalLink(int terminal, std::uint16_t ioBase);
void closeTerminalLink(int terminal);
bool linkValid(int terminal);
// 0, or -8 when the driver refused the waiting time.
int setDefaultWaitingTimes(int terminal);

}  // namespace keldapi
