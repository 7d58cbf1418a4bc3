#pragma once
// The `keld` subcommands that talk to the reader and the card through the
// CT-API: info, status, reset, request, apdu, script, wait-card, eject.

#include <iosfwd>
#include <span>
#include <string>

namespace keld::tools {

// Runs one CT-API subcommand with its arguments (options included); returns
// the process exit code. Output goes to `out`, the one-line reason of a
// failure to `err`.
int runCtapiCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                    std::ostream& err);

// Usage text of a CT-API subcommand, or empty when `name` is none of them.
std::string ctapiCommandHelp(const std::string& name);

struct CtapiCommandInfo {
  const char* name;
  const char* summary;
};
std::span<const CtapiCommandInfo> ctapiCommands();

}  // namespace keld::tools
