#pragma once
// The `keld` subcommands that control the driver host and its emulated
// readers: card, power, reader, fault and host.

#include <iosfwd>
#include <span>
#include <string>

#include "tools/ctapi_commands.h"

namespace keld::tools {

int runHostCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                   std::ostream& err);
std::string hostCommandHelp(const std::string& name);
std::span<const CtapiCommandInfo> hostCommands();

}  // namespace keld::tools
