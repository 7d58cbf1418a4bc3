#pragma once
// The link's two device-control calls: one block out and its answer back in
// a single transmit, and the driver's waiting time.

#include <cstdint>

namespace keldapi {

// Sends the first `length` bytes of `blockBuffer` on the terminal's device and
// takes the answer into `answerBuffer`. Returns `answerByteCount`: the answer's
// length, or 0 when the call failed.
std::uint32_t transmitBlock(int terminal, std::uint16_t length);

// Hands `value` to the driver; true on success, with the value that was in
// force before in `previous`.
bool setWaitingTime(int terminal, std::int32_t value, std::int32_t* previous);

}  // namespace keldapi
