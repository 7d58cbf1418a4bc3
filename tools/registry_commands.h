#pragma once
// The `keld reg` subcommand: import and export of the registry store in the
// registry editor's text format.

#include <iosfwd>
#include <span>
#include <string>

namespace keld::tools {

int runRegistryCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                       std::ostream& err);
std::string registryCommandHelp(const std::string& name);

}  // namespace keld::tools
