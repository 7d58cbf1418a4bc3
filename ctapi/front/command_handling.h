#pragma once
// Commands to the terminal that the library answers itself or turns into
// reader commands; the rest go to the link.

#include <cstdint>

namespace keldapi {

std::int8_t handleCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                          std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response);

// The same with the caller's response capacity given for this call (the
// process-wide responseCapacity belongs to whichever call set it last).
// `holdsBusy` is cleared when the call gave up the terminal's busy mark (the
// card-event wait does), so that the caller does not clear a mark that
// another call took since.
std::int8_t handleCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                          std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response,
                          std::uint16_t capacity, bool* holdsBusy);

}  // namespace keldapi
