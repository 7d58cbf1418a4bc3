#pragma once
// keldrind's command line and config file, parsed into a HostConfig. Pure:
// no files are touched here except the config file being read.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keld::host {

enum class LogLevel { Error, Warn, Info, Debug, Trace };

enum class CardChoice {
  Default,  // the default T=1 card
  None,     // an empty slot
  Image,    // a card image file
};

struct ReaderConfig {
  std::uint16_t ioBase = 0x300;
  std::uint16_t portLength = 4;       // the reader decodes four registers
  std::uint32_t interruptVector = 5;  // recorded by the driver, never connected
  std::string firmware;               // version text such as "2.32"; empty: the emulator's own
  std::optional<std::uint8_t> variant;  // the firmware variant; unset: the emulator's own
  CardChoice card = CardChoice::Default;
  std::string cardImage;              // CardChoice::Image only
  // The reader's unsolicited card-change block. Off unless asked for: the
  // driver refuses to send while such a block waits unread, so a card
  // change during an open session would stall it until the next open.
  bool cardChangeNotifications = false;
};

struct HostConfig {
  std::vector<ReaderConfig> readers;  // empty after parsing: the default reader
  std::string socketPath;             // empty: the usual resolution
  std::string driverPath;             // empty: keldrin.so next to keldrind, then the libdir
  std::string socketGroup;            // empty: owner-only socket
  bool virtualTime = false;
  bool foreground = false;
  bool help = false;
  LogLevel logLevel = LogLevel::Info;
};

struct ParseResult {
  std::optional<HostConfig> config;  // set on success
  std::string error;                 // one line, without a trailing newline
};

// Parses argv (without the program name). `--config FILE` is read where it
// stands; options after it override what the file set, readers accumulate.
ParseResult parseCommandLine(std::span<const std::string_view> arguments);

// Parses one reader description: "sim", "sim,io=0x320,firmware=4.00,card=none".
std::optional<ReaderConfig> parseReaderDescription(std::string_view description, std::string& error);

// Applies a config file's text to `config`. Each line is an option without
// its leading dashes ("reader sim,io=0x320", "log-level debug",
// "virtual-time"), optionally "key = value"; '#' starts a comment. Errors
// name the file and line.
bool applyConfigText(std::string_view text, std::string_view fileName, HostConfig& config, std::string& error);

// The readers to serve: the configured ones, or the default single reader.
std::vector<ReaderConfig> effectiveReaders(const HostConfig& config);

std::optional<LogLevel> parseLogLevel(std::string_view text);
const char* logLevelName(LogLevel level);

// The --help text.
std::string usageText();

}  // namespace keld::host
