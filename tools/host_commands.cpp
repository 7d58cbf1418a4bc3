#include "tools/host_commands.h"

#include <array>
#include <charconv>
#include <ostream>
#include <vector>

#include "platform/win32/host_control.h"
#include "tools/subcommands.h"

namespace keld::tools {
namespace {

constexpr std::array<CtapiCommandInfo, 5> COMMANDS = {{
    {"card", "insert a card (an image file, or the default T=1 card) or remove it"},
    {"power", "suspend the system (readers to D3) or resume it (readers reset)"},
    {"reader", "unplug a reader (surprise removal) or plug it in again"},
    {"fault", "inject a fault into an emulated reader"},
    {"host", "status of the driver host: readers, devices, open handles"},
}};

constexpr const char* COMMON_OPTIONS =
    "  --reader N   the configured reader, 0 the first (default 0)\n"
    "  --delay MS   carry it out this many milliseconds from now (card, fault)\n";

struct Options {
  std::uint16_t reader = 0;
  std::uint32_t delayMs = 0;
  std::vector<std::string> positional;
};

bool parseNumber(const std::string& text, std::uint32_t max, std::uint32_t* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty() && *value <= max;
}

std::string parseOptions(std::span<const std::string> args, Options* options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--reader" || arg == "--delay") {
      if (i + 1 >= args.size()) return arg + " needs a value";
      std::uint32_t value = 0;
      if (!parseNumber(args[++i], arg == "--reader" ? 1 : 24 * 3600 * 1000, &value))
        return arg + (arg == "--reader" ? " expects 0 or 1" : " expects milliseconds") + ", not \"" + args[i] + "\"";
      if (arg == "--reader")
        options->reader = static_cast<std::uint16_t>(value);
      else
        options->delayMs = value;
    } else if (arg.starts_with("--")) {
      return "unknown option " + arg;
    } else {
      options->positional.push_back(arg);
    }
  }
  return {};
}

}  // namespace

std::span<const CtapiCommandInfo> hostCommands() { return COMMANDS; }

std::string hostCommandHelp(const std::string& name) {
  std::string usage;
  if (name == "card") usage = "keld card insert [IMAGE] | remove   [--reader N] [--delay MS]\n";
  else if (name == "power") usage = "keld power suspend | resume\n";
  else if (name == "reader") usage = "keld reader unplug | plug   [--reader N]\n";
  else if (name == "fault")
    usage = "keld fault DESCRIPTION   [--reader N] [--delay MS]\n  DESCRIPTION as the emulator takes it, e.g. \"corrupt-epilogue 2\"\n";
  else if (name == "host") usage = "keld host status\n";
  else return {};
  for (const CtapiCommandInfo& c : COMMANDS)
    if (name == c.name) usage = std::string(c.summary) + "\n\nusage: " + usage;
  return usage + "options:\n" + COMMON_OPTIONS +
         "The host is reached at $KELD_SOCKET, else $XDG_RUNTIME_DIR/keld/keldrind.sock, else /run/keld/keldrind.sock.\n";
}

int runHostCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                   std::ostream& err) {
  for (const std::string& arg : args)
    if (arg == "--help" || arg == "-h") {
      out << hostCommandHelp(name);
      return 0;
    }
  Options options;
  if (std::string problem = parseOptions(args, &options); !problem.empty()) {
    err << "keld " << name << ": " << problem << '\n';
    return EXIT_USAGE;
  }
  const std::vector<std::string>& words = options.positional;
  auto verb = [&](std::size_t i) { return i < words.size() ? words[i] : std::string(); };
  auto usage = [&]() {
    err << "keld " << name << ": usage: " << hostCommandHelp(name).substr(hostCommandHelp(name).find("keld "));
    return EXIT_USAGE;
  };

  hostctl::HostControl host;
  hostctl::CommandResult result;
  std::string done;
  if (name == "card" && verb(0) == "insert" && words.size() <= 2) {
    result = host.insertCard(options.reader, verb(1), options.delayMs);
    done = "card inserted" + std::string(words.size() == 2 ? " (" + words[1] + ")" : " (default T=1 card)");
  } else if (name == "card" && verb(0) == "remove" && words.size() == 1) {
    result = host.removeCard(options.reader, options.delayMs);
    done = "card removed";
  } else if (name == "power" && verb(0) == "suspend" && words.size() == 1) {
    result = host.suspend();
    done = "system suspended (readers in D3)";
  } else if (name == "power" && verb(0) == "resume" && words.size() == 1) {
    result = host.resume();
    done = "system resumed (readers reset)";
  } else if (name == "reader" && verb(0) == "unplug" && words.size() == 1) {
    result = host.unplug(options.reader);
    done = "reader " + std::to_string(options.reader) + " unplugged";
  } else if (name == "reader" && verb(0) == "plug" && words.size() == 1) {
    result = host.replug(options.reader);
    done = "reader " + std::to_string(options.reader) + " plugged in";
  } else if (name == "fault" && words.size() == 1) {
    result = host.injectFault(options.reader, words[0], options.delayMs);
    done = "fault armed: " + words[0];
  } else if (name == "host" && verb(0) == "status" && words.size() == 1) {
    result = host.status();
    done = result.text;
  } else {
    return usage();
  }
  if (!result.ok()) {
    err << "keld " << name << ": " << (result.text.empty() ? "the driver host refused the request" : result.text) << '\n';
    return EXIT_NO_READER;
  }
  out << done << (done.empty() || done.back() == '\n' ? "" : "\n");
  return 0;
}

}  // namespace keld::tools
