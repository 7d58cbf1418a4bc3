#pragma once
// The host's log: one line per message on stderr (the journal under
// systemd), at the level asked for with --log-level.

#include <string_view>

#include "host/options.h"

namespace keld::host {

void setLogLevel(LogLevel level);
bool logEnabled(LogLevel level);

// printf-style; the line gets the program name and level in front.
void logLine(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace keld::host
