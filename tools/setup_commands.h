#pragma once
// The `keld setup` subcommand: the setup program's calls of the installer
// library libkeldinst.so (InstallDriver, CheckInstallation, CheckFirmWare),
// with their results explained.

#include <iosfwd>
#include <span>
#include <string>

namespace keld::tools {

int runSetupCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                    std::ostream& err);
std::string setupCommandHelp(const std::string& name);

}  // namespace keld::tools
