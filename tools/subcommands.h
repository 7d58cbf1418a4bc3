#pragma once
// The `keld` subcommand table. Each group of subcommands (CT-API, host
// control, registry, setup) lives in a file of its own and is listed once in
// keld_main.cpp.

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace keld::tools {

// Runs subcommand `name` with the arguments after it; returns the exit code.
using RunSubcommand = int (*)(const std::string& name, std::span<const std::string> args,
                              std::ostream& out, std::ostream& err);
// Usage text of subcommand `name`.
using SubcommandHelp = std::string (*)(const std::string& name);

struct Subcommand {
  std::string_view name;
  std::string_view summary;
  RunSubcommand run;
  SubcommandHelp help;
};

// Exit codes shared by all subcommands.
constexpr int EXIT_FAILED = 1;        // the command could not be carried out
constexpr int EXIT_STATUS_WORD = 2;   // the card or terminal answered with a failure status
constexpr int EXIT_NO_READER = 3;     // CT-API error or no driver host
constexpr int EXIT_USAGE = 64;        // bad command line

}  // namespace keld::tools
