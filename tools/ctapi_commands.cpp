#include "tools/ctapi_commands.h"

#include <array>
#include <charconv>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <vector>

#include "tools/ctapi_session.h"
#include "tools/smartcard_text.h"
#include "tools/subcommands.h"

namespace keld::tools {
namespace {

constexpr std::array<CtapiCommandInfo, 8> COMMANDS = {{
    {"info", "the terminal's information files, manufacturer data and firmware version"},
    {"status", "whether a card is present, and its state"},
    {"reset", "RESET CT: reset the card terminal"},
    {"request", "REQUEST ICC: power the card and decode its answer to reset"},
    {"apdu", "send one or more APDUs to the card (or the terminal) and explain the answers"},
    {"script", "run a file of APDUs with expected status words; stop at the first mismatch"},
    {"wait-card", "wait for a card to be inserted (or removed) with 80 70 / 80 71"},
    {"eject", "EJECT ICC: release the card"},
}};

constexpr const char* COMMON_OPTIONS =
    "  --ctn N     card-terminal number to open (default 1)\n"
    "  --port N    reader port: 1 = reader at 0x300, 2 = 0x320, ...; 0 = first reader (default)\n"
    "  --json      print one JSON object instead of text\n";

struct Options {
  std::uint16_t ctn = 1;
  std::uint16_t port = 0;
  bool json = false;
  bool toTerminal = false;      // apdu: send to the terminal instead of the card
  bool resetCard = true;        // apdu, script: start with a card reset
  bool waitForRemoval = false;  // wait-card
  unsigned timeoutSeconds = 30; // wait-card
  std::vector<std::string> positional;
};

// Thrown inside this file only; runCtapiCommand turns it into the one-line reason.
struct UsageError {
  std::string reason;
};
struct Failure {
  std::string reason;
  int exitCode = EXIT_FAILED;
};

unsigned parseNumber(const std::string& option, const std::string& text, unsigned max) {
  unsigned value = 0;
  int base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() || value > max)
    throw UsageError{option + " expects a number from 0 to " + std::to_string(max) + ", not \"" + text + "\""};
  return value;
}

Options parseOptions(const std::string& command, std::span<const std::string> args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
      return args[++i];
    };
    if (arg == "--ctn") {
      options.ctn = static_cast<std::uint16_t>(parseNumber(arg, value(), 0xFFFF));
    } else if (arg == "--port") {
      options.port = static_cast<std::uint16_t>(parseNumber(arg, value(), 0xFFFF));
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--terminal" && command == "apdu") {
      options.toTerminal = true;
    } else if (arg == "--no-reset" && (command == "apdu" || command == "script")) {
      options.resetCard = false;
    } else if (arg == "--removal" && command == "wait-card") {
      options.waitForRemoval = true;
    } else if (arg == "--timeout" && command == "wait-card") {
      options.timeoutSeconds = parseNumber(arg, value(), 60 * 255 + 59);
    } else if (arg.starts_with("--")) {
      throw UsageError{"unknown option " + arg + " (see keld " + command + " --help)"};
    } else {
      options.positional.push_back(arg);
    }
  }
  return options;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Collects named values and prints them aligned, or as one JSON object.
class Report {
 public:
  void add(std::string key, std::string text, std::string json = {}) {
    if (json.empty()) json = jsonString(text);
    entries_.push_back({std::move(key), std::move(text), std::move(json)});
  }
  void print(std::ostream& out, bool json) const {
    if (json) {
      out << '{';
      for (std::size_t i = 0; i < entries_.size(); ++i)
        out << (i ? "," : "") << jsonString(jsonKey(entries_[i].key)) << ':' << entries_[i].json;
      out << "}\n";
      return;
    }
    std::size_t width = 0;
    for (const Entry& e : entries_) width = std::max(width, e.key.size());
    for (const Entry& e : entries_) out << std::left << std::setw(static_cast<int>(width + 2)) << e.key << e.text << '\n';
  }

 private:
  struct Entry {
    std::string key, text, json;
  };
  static std::string jsonKey(const std::string& key) {
    std::string out;
    for (char c : key) out += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
  std::vector<Entry> entries_;
};

std::string statusText(const Exchange& e) {
  return formatHex(std::array{e.sw1(), e.sw2()}) + "  " + describeStatusWord(e.sw1(), e.sw2());
}

void openOrFail(Terminal& terminal, const Options& options) {
  const int code = terminal.open();
  if (code == 0) return;
  std::string reason = "cannot open terminal " + std::to_string(options.ctn) + " on port " +
                       std::to_string(options.port) + ": " + std::string(ctApiCodeName(code)) + " (" +
                       std::string(ctApiCodeCause(code)) + ")";
  if (code == -10)
    reason += "; start the driver host with `keldrind` (or check `keld host status`)";
  throw Failure{reason, EXIT_NO_READER};
}

Exchange sendOrFail(Terminal& terminal, std::uint8_t destination, const Bytes& command) {
  Exchange e = terminal.send(destination, command);
  if (e.code != 0)
    throw Failure{formatHex(command) + ": " + std::string(ctApiCodeName(e.code)) + " (" +
                      std::string(ctApiCodeCause(e.code)) + ")",
                  EXIT_NO_READER};
  if (e.response.size() < 2) throw Failure{formatHex(command) + ": answer without a status word", 3};
  return e;
}

void requireSuccess(const Exchange& e, std::string_view what) {
  if (!statusWordIsSuccess(e.sw1(), e.sw2()))
    throw Failure{std::string(what) + ": status " + statusText(e), EXIT_STATUS_WORD};
}

// Data objects (tag, length, value) of a response.
template <typename Action>
void forEachObject(const Bytes& data, Action action) {
  std::size_t pos = 0;
  while (pos + 2 <= data.size()) {
    const std::size_t length = data[pos + 1];
    if (pos + 2 + length > data.size()) break;
    action(data[pos], std::span(data).subspan(pos + 2, length));
    pos += 2 + length;
  }
}

std::string printable(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t b : bytes) text += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
  return text;
}

std::string trim(std::string text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

int runInfo(const Options& options, std::ostream& out) {
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  Report report;
  report.add("Terminal", "ctn " + std::to_string(options.ctn) + ", port " + std::to_string(options.port));

  requireSuccess(sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::SELECT_FF10), "SELECT FILE FF10");
  Exchange ff10 = sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::READ_BINARY_ALL);
  requireSuccess(ff10, "READ BINARY FF10");
  std::string values;
  forEachObject(ff10.data(), [&](std::uint8_t tag, std::span<const std::uint8_t> value) {
    if (tag == 0x01) report.add("Description", printable(value));
    if (tag == 0x02) values += (values.empty() ? "" : " ") + formatHex(value);
  });
  if (!values.empty()) report.add("Capabilities", values);

  requireSuccess(sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::SELECT_FF11), "SELECT FILE FF11");
  Exchange ff11 = sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::READ_BINARY_ALL);
  requireSuccess(ff11, "READ BINARY FF11");
  report.add("File FF11", formatHex(ff11.data()));

  Exchange maker = sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::GET_STATUS_MANUFACTURER);
  requireSuccess(maker, "GET STATUS (manufacturer)");
  const Bytes data = maker.data();
  // Country, manufacturer, type and the reader's version text.
  if (data.size() >= 15) {
    report.add("Manufacturer", printable(std::span(data).first(2)) + " " + printable(std::span(data).subspan(2, 3)) +
                                   " " + trim(printable(std::span(data).subspan(5, 5))));
    report.add("Firmware", trim(printable(std::span(data).subspan(10, 5))));
  } else {
    report.add("Manufacturer", formatHex(data));
  }
  report.print(out, options.json);
  return 0;
}

std::string describeIccStatus(std::uint8_t status) {
  switch (status) {
    case 0x00: return "no card";
    case 0x01: return "card present";
    case 0x03: return "card present, not activated";
    case 0x05: return "card present and activated";
    default: return "card status " + formatHex(std::array{status});
  }
}

int runStatus(const Options& options, std::ostream& out) {
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  Exchange e = sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::GET_STATUS_ICC);
  requireSuccess(e, "GET STATUS");
  Bytes data = e.data();
  // Either the bare status byte or the ICC status object 80 01 xx.
  std::uint8_t status = 0;
  if (data.size() >= 3 && data[0] == 0x80 && data[1] == 0x01)
    status = data[2];
  else if (!data.empty())
    status = data[0];
  Report report;
  report.add("Card", describeIccStatus(status), status == 0 ? "false" : "true");
  report.add("Status byte", formatHex(std::array{status}));
  report.print(out, options.json);
  return 0;
}

int runSimpleTerminalCommand(const Options& options, std::ostream& out, const Bytes& command,
                             std::string_view what) {
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  Exchange e = sendOrFail(terminal, ADDRESS_TERMINAL, command);
  requireSuccess(e, what);
  Report report;
  report.add("Command", std::string(what) + " (" + formatHex(command) + ")");
  report.add("Status", statusText(e));
  report.print(out, options.json);
  return 0;
}

std::string jsonArray(const std::vector<int>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + std::to_string(values[i]);
  return out + "]";
}

int runRequest(const Options& options, std::ostream& out) {
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  Exchange e = sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::REQUEST_ICC);
  if (e.sw1() == 0x62 && e.sw2() == 0x00) throw Failure{"no card in the reader (status 62 00)", EXIT_STATUS_WORD};
  requireSuccess(e, "REQUEST ICC");
  const Bytes atr = e.data();
  Report report;
  report.add("Status", statusText(e));
  report.add("ATR", formatHex(atr), jsonString(formatHex(atr)));
  if (e.sw1() == 0x90 && e.sw2() == 0x00 && !atr.empty() && atr[0] != 0x3B && atr[0] != 0x3F) {
    report.add("Card type", "synchronous (memory) card");
    report.print(out, options.json);
    return 0;
  }
  AnswerToReset decoded = decodeAnswerToReset(atr);
  std::string protocols;
  for (int p : decoded.protocols) protocols += (protocols.empty() ? "T=" : ", T=") + std::to_string(p);
  report.add("Protocols", protocols, jsonArray(decoded.protocols));
  std::string interface;
  for (const auto& byte : decoded.interfaceBytes)
    interface += (interface.empty() ? "" : " ") + byte.name + "=" + formatHex(std::array{byte.value});
  report.add("Interface bytes", interface.empty() ? "none" : interface);
  report.add("Historical", formatHex(decoded.historicalBytes) +
                               (decoded.historicalBytes.empty() ? "none" : "  \"" + printable(decoded.historicalBytes) + "\""),
             jsonString(formatHex(decoded.historicalBytes)));
  if (decoded.tck)
    report.add("TCK", formatHex(std::array{*decoded.tck}) + (decoded.tckValid ? " (correct)" : " (wrong)"));
  if (decoded.problem) report.add("Warning", *decoded.problem);
  report.print(out, options.json);
  return 0;
}

Bytes parseApdu(const std::string& text, const std::string& where) {
  HexError error;
  auto bytes = parseHex(text, &error);
  if (!bytes)
    throw UsageError{where + "malformed hex \"" + text + "\" at character " + std::to_string(error.position + 1) +
                     ": " + error.reason};
  if (bytes->size() < 4) throw UsageError{where + "an APDU has at least 4 bytes (CLA INS P1 P2): \"" + text + "\""};
  return *bytes;
}

// Long hex in rows of 16 bytes, so that a terminal window keeps it readable.
void printRows(std::ostream& out, std::string_view prefix, const Bytes& bytes, bool withCount) {
  constexpr std::size_t ROW = 16;
  for (std::size_t i = 0; i < bytes.size(); i += ROW) {
    out << (i == 0 ? prefix : std::string_view("  "))
        << formatHex(std::span(bytes).subspan(i, std::min(ROW, bytes.size() - i)));
    if (withCount && i + ROW >= bytes.size()) out << "  (" << bytes.size() << " bytes)";
    out << '\n';
  }
}

// Each `keld` run is a session of its own: a card reset first gives the
// card and the library's link a common start (sequence numbers, block size).
void startCardSession(Terminal& terminal, const Options& options) {
  if (!options.resetCard) return;
  Exchange e = sendOrFail(terminal, ADDRESS_TERMINAL, Bytes{0x20, 0x10, 0x01, 0x01, 0x00});
  if (e.sw1() == 0x64 && e.sw2() == 0xA1) throw Failure{"no card in the reader (status 64 A1)", EXIT_STATUS_WORD};
  requireSuccess(e, "card reset before the APDUs");
}

int runApdu(const Options& options, std::ostream& out) {
  if (options.positional.empty()) throw UsageError{"give at least one APDU, for example: keld apdu \"00 A4 04 00\""};
  std::vector<Bytes> commands;
  for (const std::string& text : options.positional) commands.push_back(parseApdu(text, ""));
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  const std::uint8_t destination = options.toTerminal ? ADDRESS_TERMINAL : ADDRESS_CARD;
  if (destination == ADDRESS_CARD) startCardSession(terminal, options);
  int exitCode = 0;
  std::string json = "[";
  for (const Bytes& command : commands) {
    Exchange e = sendOrFail(terminal, destination, command);
    const Bytes data = e.data();
    const bool success = statusWordIsSuccess(e.sw1(), e.sw2());
    if (options.json) {
      json += std::string(json.size() > 1 ? "," : "") + "{\"command\":" + jsonString(formatHex(command)) +
              ",\"data\":" + jsonString(formatHex(data)) + ",\"sw\":" +
              jsonString(formatHex(std::array{e.sw1(), e.sw2()})) + ",\"meaning\":" +
              jsonString(describeStatusWord(e.sw1(), e.sw2())) + "}";
    } else {
      printRows(out, "> ", command, false);
      if (!data.empty()) printRows(out, "< ", data, true);
      out << "< " << statusText(e) << '\n';
    }
    if (!success) exitCode = EXIT_STATUS_WORD;
  }
  if (options.json) out << json << "]\n";
  return exitCode;
}

// "card 00 A4 04 00 = 90 00": destination (optional), APDU, expected status
// word (XX matches any byte).
int runScript(const Options& options, std::ostream& out) {
  if (options.positional.size() != 1) throw UsageError{"give one script file: keld script FILE"};
  const std::string& path = options.positional[0];
  std::ifstream file(path);
  if (!file) throw Failure{"cannot read " + path, EXIT_FAILED};
  struct Step {
    int line;
    std::uint8_t destination;
    Bytes command;
    std::string expected;  // empty: any
  };
  std::vector<Step> steps;
  std::string text;
  for (int line = 1; std::getline(file, text); ++line) {
    if (auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    text = trim(text);
    if (text.empty()) continue;
    const std::string where = path + ":" + std::to_string(line) + ": ";
    std::uint8_t destination = ADDRESS_CARD;
    for (auto [word, address] : {std::pair{"card ", ADDRESS_CARD}, std::pair{"ct ", ADDRESS_TERMINAL}}) {
      if (text.starts_with(word)) {
        destination = address;
        text = trim(text.substr(std::string_view(word).size()));
      }
    }
    std::string expected;
    if (auto eq = text.find('='); eq != std::string::npos) {
      expected = trim(text.substr(eq + 1));
      text = trim(text.substr(0, eq));
      std::string compact;
      for (char c : expected)
        if (c != ' ') compact += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (compact.size() != 4 || compact.find_first_not_of("0123456789ABCDEFX") != std::string::npos)
        throw UsageError{where + "expected status word must be two bytes, for example \"= 90 00\" or \"= 61 XX\""};
      expected = compact;
    }
    steps.push_back({line, destination, parseApdu(text, where), expected});
  }
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  for (const Step& step : steps)
    if (step.destination == ADDRESS_CARD) {
      startCardSession(terminal, options);
      break;
    }
  for (const Step& step : steps) {
    Exchange e = sendOrFail(terminal, step.destination, step.command);
    std::string got = formatHex(std::array{e.sw1(), e.sw2()});
    std::string gotCompact = got.substr(0, 2) + got.substr(3, 2);
    bool match = true;
    for (std::size_t i = 0; i < step.expected.size(); ++i)
      if (step.expected[i] != 'X' && step.expected[i] != gotCompact[i]) match = false;
    out << std::setw(4) << step.line << "  " << formatHex(step.command) << "  ->  " << got << "  "
        << describeStatusWord(e.sw1(), e.sw2()) << '\n';
    if (!match)
      throw Failure{path + ":" + std::to_string(step.line) + ": expected " + step.expected.substr(0, 2) + " " +
                        step.expected.substr(2) + ", got " + statusText(e),
                    EXIT_STATUS_WORD};
  }
  out << steps.size() << " commands, all as expected\n";
  return 0;
}

int runWaitCard(const Options& options, std::ostream& out) {
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  // 80 70 arms the terminal; its last byte is the event (1 insertion, 3 removal).
  const std::uint8_t event = options.waitForRemoval ? 0x03 : 0x01;
  Exchange armed = sendOrFail(terminal, ADDRESS_TERMINAL, Bytes{0x80, 0x70, 0x00, 0x00, 0x03, 0x00, 0x00, event});
  requireSuccess(armed, "80 70 (arm the card event)");
  const Bytes wait = {0x80, 0x71, static_cast<std::uint8_t>(options.timeoutSeconds / 60),
                      static_cast<std::uint8_t>(options.timeoutSeconds % 60), 0x00};
  Exchange e = sendOrFail(terminal, ADDRESS_TERMINAL, wait);
  if (e.sw1() == 0x62 && e.sw2() == 0xF0)
    throw Failure{"no card " + std::string(options.waitForRemoval ? "removal" : "insertion") + " within " +
                      std::to_string(options.timeoutSeconds) + " s",
                  EXIT_STATUS_WORD};
  requireSuccess(e, "80 71 (wait for the card event)");
  Report report;
  report.add("Event", options.waitForRemoval ? "card removed" : "card inserted");
  report.print(out, options.json);
  return 0;
}

int runEject(const Options& options, std::ostream& out) {
  Terminal terminal(options.ctn, options.port);
  openOrFail(terminal, options);
  Exchange e = sendOrFail(terminal, ADDRESS_TERMINAL, ct_command::EJECT_ICC);
  requireSuccess(e, "EJECT ICC");
  Report report;
  report.add("Status", statusText(e));
  report.print(out, options.json);
  return 0;
}

}  // namespace

std::span<const CtapiCommandInfo> ctapiCommands() { return COMMANDS; }

std::string ctapiCommandHelp(const std::string& name) {
  std::string usage;
  if (name == "info") usage = "keld info [options]\n";
  else if (name == "status") usage = "keld status [options]\n";
  else if (name == "reset") usage = "keld reset [options]\n";
  else if (name == "request") usage = "keld request [options]\n";
  else if (name == "apdu")
    usage = "keld apdu [options] [--terminal] [--no-reset] HEX...\n  each HEX is one APDU, e.g. \"00 A4 04 00 07 A0 00 00 00 03 10 10\"\n"
            "  --terminal  send to the card terminal instead of the card\n"
            "  --no-reset  do not reset the card first (keep the state an earlier run left)\n";
  else if (name == "script")
    usage = "keld script [options] FILE\n  each line: [card|ct] APDU [= SW], e.g. \"00 B0 00 00 10 = 90 00\";\n"
            "  XX in SW matches any byte; # starts a comment\n"
            "  --no-reset  do not reset the card before the first card APDU\n";
  else if (name == "wait-card")
    usage = "keld wait-card [options] [--removal] [--timeout SECONDS]\n"
            "  --removal   wait for the card to be taken out instead of inserted\n"
            "  --timeout   give up after this many seconds (default 30)\n";
  else if (name == "eject") usage = "keld eject [options]\n";
  else return {};
  for (const CtapiCommandInfo& c : COMMANDS)
    if (name == c.name) usage = std::string(c.summary) + "\n\nusage: " + usage;
  return usage + "options:\n" + COMMON_OPTIONS;
}

int runCtapiCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                    std::ostream& err) {
  try {
    for (const std::string& arg : args)
      if (arg == "--help" || arg == "-h") {
        out << ctapiCommandHelp(name);
        return 0;
      }
    const Options options = parseOptions(name, args);
    if (name != "apdu" && name != "script" && !options.positional.empty())
      throw UsageError{"keld " + name + " takes no argument \"" + options.positional[0] + "\""};
    if (name == "info") return runInfo(options, out);
    if (name == "status") return runStatus(options, out);
    if (name == "reset") return runSimpleTerminalCommand(options, out, ct_command::RESET_CT, "RESET CT");
    if (name == "request") return runRequest(options, out);
    if (name == "apdu") return runApdu(options, out);
    if (name == "script") return runScript(options, out);
    if (name == "wait-card") return runWaitCard(options, out);
    if (name == "eject") return runEject(options, out);
    err << "keld: unknown command " << name << '\n';
    return EXIT_USAGE;
  } catch (const UsageError& e) {
    err << "keld " << name << ": " << e.reason << '\n';
    return EXIT_USAGE;
  } catch (const Failure& e) {
    err << "keld " << name << ": " << e.reason << '\n';
    return e.exitCode;
  }
}

}  // namespace keld::tools
