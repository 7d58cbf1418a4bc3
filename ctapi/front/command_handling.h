#pragma once
// Commands to the terminal that the library answers itself or turns into
// reader commands; the rest go to the link.

#include <cstdint>

namespace keldapi {

std::int8_t handleCommand(int terminal, std::uint8_t* dad, std::uint8_t* sad, std::uint16_t lenc,
                          std::uint8_t* command, std::uint16_t* lenr, std::uint8_t* response);

}  // namespace keldapi
