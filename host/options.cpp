#include "host/options.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace keld::host {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Decimal, or hexadecimal with 0x.
std::optional<std::uint64_t> parseNumber(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "2.32": one digit, a dot, two digits, as the reader's identification
// reports it, optionally one more letter ("2.27k").
bool validFirmware(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  return (text.size() == 4 || (text.size() == 5 && letter(text[4]))) && digit(text[0]) && text[1] == '.' &&
         digit(text[2]) && digit(text[3]);
}

bool rangesOverlap(const ReaderConfig& a, const ReaderConfig& b) {
  return a.ioBase < b.ioBase + b.portLength && b.ioBase < a.ioBase + a.portLength;
}

// Options that take a value, and those that do not.
enum class Option { Reader, Config, Socket, Driver, Group, LogLevel, VirtualTime, Foreground, Help, Unknown };

Option optionNamed(std::string_view name) {
  if (name == "reader") return Option::Reader;
  if (name == "config") return Option::Config;
  if (name == "socket") return Option::Socket;
  if (name == "driver") return Option::Driver;
  if (name == "group") return Option::Group;
  if (name == "log-level") return Option::LogLevel;
  if (name == "virtual-time") return Option::VirtualTime;
  if (name == "foreground") return Option::Foreground;
  if (name == "help") return Option::Help;
  return Option::Unknown;
}

bool takesValue(Option option) {
  return option != Option::VirtualTime && option != Option::Foreground && option != Option::Help;
}

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return !in.bad();
}

// Applies one option; `depth` guards against a config file including itself.
bool applyOption(Option option, std::string_view name, std::string_view value, HostConfig& config,
                 std::string& error, int depth) {
  switch (option) {
    case Option::Reader: {
      std::optional<ReaderConfig> reader = parseReaderDescription(value, error);
      if (!reader) return false;
      for (const ReaderConfig& other : config.readers) {
        if (rangesOverlap(other, *reader)) {
          char buffer[96];
          std::snprintf(buffer, sizeof buffer, "reader at 0x%X overlaps the reader at 0x%X", reader->ioBase,
                        other.ioBase);
          error = buffer;
          return false;
        }
      }
      config.readers.push_back(std::move(*reader));
      return true;
    }
    case Option::Config: {
      if (depth > 4) {
        error = "config files nest too deeply";
        return false;
      }
      std::string text;
      const std::string path(value);
      if (!readFile(path, text)) {
        error = "cannot read config file " + path;
        return false;
      }
      return applyConfigText(text, path, config, error);
    }
    case Option::Socket:
      config.socketPath = value;
      return true;
    case Option::Driver:
      config.driverPath = value;
      return true;
    case Option::Group:
      config.socketGroup = value;
      return true;
    case Option::LogLevel: {
      std::optional<LogLevel> level = parseLogLevel(value);
      if (!level) {
        error = "unknown log level '" + std::string(value) + "' (error, warn, info, debug or trace)";
        return false;
      }
      config.logLevel = *level;
      return true;
    }
    case Option::VirtualTime: config.virtualTime = true; return true;
    case Option::Foreground: config.foreground = true; return true;
    case Option::Help: config.help = true; return true;
    case Option::Unknown: break;
  }
  error = "unknown option '" + std::string(name) + "'";
  return false;
}

bool applyConfigTextAt(std::string_view text, std::string_view fileName, HostConfig& config, std::string& error,
                       int depth) {
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    line = trim(line);
    if (line.empty()) continue;

    std::string_view name = line, value;
    if (const std::size_t cut = line.find_first_of(" \t="); cut != std::string_view::npos) {
      name = line.substr(0, cut);
      value = trim(line.substr(cut));
      if (value.starts_with("=")) value = trim(value.substr(1));
    }
    auto fail = [&](const std::string& reason) {
      error = std::string(fileName) + ":" + std::to_string(lineNumber) + ": " + reason;
      return false;
    };
    const Option option = optionNamed(name);
    if (option == Option::Unknown || option == Option::Help) return fail("unknown setting '" + std::string(name) + "'");
    if (takesValue(option) && value.empty()) return fail("'" + std::string(name) + "' needs a value");
    if (!takesValue(option) && !value.empty()) return fail("'" + std::string(name) + "' takes no value");
    std::string reason;
    if (!applyOption(option, name, value, config, reason, depth + 1)) return fail(reason);
  }
  return true;
}

}  // namespace

std::optional<LogLevel> parseLogLevel(std::string_view text) {
  constexpr std::pair<std::string_view, LogLevel> levels[] = {
      {"error", LogLevel::Error}, {"warn", LogLevel::Warn},   {"info", LogLevel::Info},
      {"debug", LogLevel::Debug}, {"trace", LogLevel::Trace},
  };
  for (const auto& [name, level] : levels)
    if (name == text) return level;
  return std::nullopt;
}

const char* logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::Error: return "error";
    case LogLevel::Warn: return "warn";
    case LogLevel::Info: return "info";
    case LogLevel::Debug: return "debug";
    case LogLevel::Trace: return "trace";
  }
  return "info";
}

std::optional<ReaderConfig> parseReaderDescription(std::string_view description, std::string& error) {
  ReaderConfig reader;
  const std::size_t comma = description.find(',');
  const std::string_view kind = description.substr(0, comma);
  if (kind != "sim") {
    error = "unknown reader kind '" + std::string(kind) + "' (only 'sim', the emulated reader, exists)";
    return std::nullopt;
  }
  std::string_view rest = comma == std::string_view::npos ? std::string_view{} : description.substr(comma + 1);
  bool seenIo = false, seenIrq = false, seenFirmware = false, seenVariant = false, seenCard = false;
  while (!rest.empty()) {
    const std::size_t next = rest.find(',');
    const std::string_view item = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      error = "reader setting '" + std::string(item) + "' is not key=value";
      return std::nullopt;
    }
    const std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
    auto duplicate = [&](bool& seen) {
      const bool twice = seen;
      if (twice) error = "reader setting '" + std::string(key) + "' given twice";
      seen = true;
      return twice;
    };
    if (key == "io") {
      if (duplicate(seenIo)) return std::nullopt;
      std::optional<std::uint64_t> io = parseNumber(value);
      if (!io || *io == 0 || *io + reader.portLength > 0x10000) {
        error = "reader io '" + std::string(value) + "' is not a port base between 0x1 and 0xFFFC";
        return std::nullopt;
      }
      reader.ioBase = static_cast<std::uint16_t>(*io);
    } else if (key == "irq") {
      if (duplicate(seenIrq)) return std::nullopt;
      std::optional<std::uint64_t> irq = parseNumber(value);
      if (!irq || *irq > 255) {
        error = "reader irq '" + std::string(value) + "' is not an interrupt vector 0 to 255";
        return std::nullopt;
      }
      reader.interruptVector = static_cast<std::uint32_t>(*irq);
    } else if (key == "firmware") {
      if (duplicate(seenFirmware)) return std::nullopt;
      if (!validFirmware(value)) {
        error = "reader firmware '" + std::string(value) + "' is not a version like 2.32";
        return std::nullopt;
      }
      reader.firmware = value;
    } else if (key == "variant") {
      if (duplicate(seenVariant)) return std::nullopt;
      std::optional<std::uint64_t> variant = parseNumber(value);
      if (!variant || *variant > 255) {
        error = "reader variant '" + std::string(value) + "' is not a byte";
        return std::nullopt;
      }
      reader.variant = static_cast<std::uint8_t>(*variant);
    } else if (key == "card") {
      if (duplicate(seenCard)) return std::nullopt;
      if (value == "none") {
        reader.card = CardChoice::None;
      } else if (value == "default") {
        reader.card = CardChoice::Default;
      } else if (value.empty()) {
        error = "reader card needs a value: none, default or a card image path";
        return std::nullopt;
      } else {
        reader.card = CardChoice::Image;
        reader.cardImage = value;
      }
    } else if (key == "notify") {
      if (value != "on" && value != "off") {
        error = "reader notify '" + std::string(value) + "' is neither on nor off";
        return std::nullopt;
      }
      reader.cardChangeNotifications = value == "on";
    } else {
      error = "unknown reader setting '" + std::string(key) + "' (io, irq, firmware, variant, card, notify)";
      return std::nullopt;
    }
  }
  return reader;
}

bool applyConfigText(std::string_view text, std::string_view fileName, HostConfig& config, std::string& error) {
  return applyConfigTextAt(text, fileName, config, error, 0);
}

ParseResult parseCommandLine(std::span<const std::string_view> arguments) {
  HostConfig config;
  std::string error;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (!argument.starts_with("--") || argument.size() == 2)
      return {std::nullopt, "unexpected argument '" + std::string(argument) + "' (see --help)"};
    std::string_view name = argument.substr(2), value;
    bool inlineValue = false;
    if (const std::size_t eq = name.find('='); eq != std::string_view::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    const Option option = optionNamed(name);
    if (option == Option::Unknown) return {std::nullopt, "unknown option '--" + std::string(name) + "' (see --help)"};
    if (takesValue(option) && !inlineValue) {
      if (i + 1 >= arguments.size()) return {std::nullopt, "option '--" + std::string(name) + "' needs a value"};
      value = arguments[++i];
    }
    if (!takesValue(option) && inlineValue)
      return {std::nullopt, "option '--" + std::string(name) + "' takes no value"};
    if (takesValue(option) && value.empty())
      return {std::nullopt, "option '--" + std::string(name) + "' needs a value"};
    if (!applyOption(option, name, value, config, error, 0)) {
      if (option == Option::Reader) error = "--reader " + std::string(value) + ": " + error;
      return {std::nullopt, error};
    }
  }
  return {std::move(config), {}};
}

std::vector<ReaderConfig> effectiveReaders(const HostConfig& config) {
  if (!config.readers.empty()) return config.readers;
  return {ReaderConfig{}};
}

std::string usageText() {
  return "Usage: keldrind [OPTION]...\n"
         "Driver host: loads the reader driver keldrin.so, runs plug-and-play and power\n"
         "for the configured readers and serves their devices on a Unix socket.\n"
         "\n"
         "  --reader READER     serve a reader; repeatable (the driver serves at most two).\n"
         "                      READER is sim[,io=BASE][,irq=N][,firmware=X.YZ][,variant=N]\n"
         "                      [,card=none|default|IMAGE][,notify=on|off]; default\n"
         "                      sim,io=0x300 with the default T=1 card inserted; notify=on\n"
         "                      makes the reader announce card changes unasked\n"
         "                      (off by default)\n"
         "  --config FILE       read settings from FILE, one per line ('reader sim,io=0x320',\n"
         "                      'log-level debug', 'virtual-time'); '#' starts a comment\n"
         "  --socket PATH       listen on PATH (default $KELD_SOCKET, else\n"
         "                      $XDG_RUNTIME_DIR/keld/keldrind.sock, else /run/keld/keldrind.sock)\n"
         "  --group NAME        let group NAME use the socket as well as its owner\n"
         "  --driver PATH       load the driver from PATH instead of keldrin.so beside keldrind\n"
         "  --virtual-time      run the driver's pauses on a virtual clock (instant)\n"
         "  --foreground        stay in the foreground (log to stderr); default: daemonize\n"
         "  --log-level LEVEL   error, warn, info (default), debug, or trace (every request and block)\n"
         "  --help              show this text\n";
}

}  // namespace keld::host
