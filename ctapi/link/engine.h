#pragma once
// The T=1 exchange engine: sends blocks through the transport, checks the
// answers, serves the supervisory requests of the other side (IFS, ABORT,
// WTX, RESYNCH), answers faults with R-blocks within the retry budget and
// gathers a chained response into the caller's buffer (lib.responseBuffer).
// All results are link result codes: small negative values on failure.

#include <cstdint>

namespace keldapi {

// Link result codes (passed inside the link; the command exchange maps them
// to CT-API codes).
constexpr int LINK_OK = 0;
constexpr int LINK_NOT_OPEN = -1;         // link or terminal not open, or sending failed
constexpr int LINK_GIVEN_UP = -2;         // nothing to receive, or recovery given up
constexpr int LINK_NOT_READY = -3;        // block or response not ready to be fetched
constexpr int LINK_TRANSMIT_FAILED = -5;  // no answer bytes, or a frame of the wrong length
constexpr int LINK_UNUSABLE = -6;         // retries ran out in a chained response
constexpr int LINK_TOO_LONG = -8;         // command or response too long, waiting time refused
constexpr int LINK_RECEIVE_FAILED = -9;   // receiving failed
constexpr int LINK_RECOVERING = -10;      // R-block or S(ABORT) sent; its answer is pending
constexpr int LINK_RETRANSMIT = -11;      // the other side asked for the last I-block again
constexpr int LINK_ANSWERED_LOCALLY = -12;

// Builds a block and transmits it; the answer is in lib.answerBuffer.
// Returns the bytes sent (> 0), or 0 when the block could not be built or
// the transmit failed.
int sendBlock(int terminal, std::uint8_t nad, std::uint8_t pcb, std::uint16_t infLength,
              const std::uint8_t* inf);

// Sends an R-block with N(R) = recvSeq and the given error code (0 none,
// 1 EDC or parity error, 2 other error). Bytes sent, or 0.
int sendRBlock(int terminal, int errorCode);

// Evaluates the answer of the last transmit; `capacity` is the room left in
// the caller's response buffer, `raw` takes the answer without checks.
int evaluateBlock(int terminal, std::uint16_t capacity, bool raw);

// Evaluates the answer and gathers a chained response into lib.responseBuffer.
int receiveResponse(int terminal, std::uint16_t capacity, bool raw);

// Receives the response to the block just sent: 0, or -9 when none came.
int awaitResponse(int terminal, bool raw);

// Hands out the evaluated block (NAD, PCB and a pointer to its INF; any of the
// three may be null); returns blockLength, or -3 when no block is ready.
int fetchBlock(std::uint8_t* nad, std::uint8_t* pcb, const std::uint8_t** inf);

// Epilogue of the link: 1 LRC, 0 CRC. -1 when the terminal's link is not open.
int setEdcMode(int terminal, std::int32_t value);
int getEdcMode(int terminal, std::int32_t* value);

}  // namespace keldapi
