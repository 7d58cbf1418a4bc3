#pragma once
// Stops the process the way a kernel stops the machine: for faults of a
// driver that must not go unnoticed (a sleep at DISPATCH_LEVEL, a request
// completed with no stack location left).

namespace keld::wdm {

[[noreturn]] void bugCheck(const char* what);

}  // namespace keld::wdm
