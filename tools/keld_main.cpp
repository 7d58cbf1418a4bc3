// keld: talk to the card through the CT-API, control the driver host and its
// emulated readers, import and export the registry, run the installer.

#include <array>
#include <iostream>
#include <string>
#include <vector>

#include "tools/ctapi_commands.h"
#include "tools/host_commands.h"
#include "tools/registry_commands.h"
#include "tools/setup_commands.h"
#include "tools/subcommands.h"

namespace keld::tools {
namespace {

constexpr std::array SUBCOMMANDS = {
    Subcommand{"info", "terminal information, manufacturer data, firmware version", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"status", "card present and its state", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"reset", "RESET CT", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"request", "REQUEST ICC with the answer to reset decoded", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"apdu", "send APDUs to the card or the terminal", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"script", "run a file of APDUs with expected status words", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"wait-card", "wait for a card insertion or removal", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"eject", "EJECT ICC", runCtapiCommand, ctapiCommandHelp},
    Subcommand{"card", "insert or remove an emulated card", runHostCommand, hostCommandHelp},
    Subcommand{"power", "suspend or resume the system", runHostCommand, hostCommandHelp},
    Subcommand{"reader", "unplug or plug in a reader", runHostCommand, hostCommandHelp},
    Subcommand{"fault", "inject a fault into an emulated reader", runHostCommand, hostCommandHelp},
    Subcommand{"host", "driver host status", runHostCommand, hostCommandHelp},
    Subcommand{"reg", "import or export registry keys as a .reg file", runRegistryCommand, registryCommandHelp},
    Subcommand{"setup", "register the driver, restore, or check the installation", runSetupCommand, setupCommandHelp},
};

void printUsage(std::ostream& out) {
  out << "usage: keld COMMAND [options]\n\ncommands:\n";
  for (const Subcommand& s : SUBCOMMANDS) {
    std::string name(s.name);
    name.resize(11, ' ');
    out << "  " << name << s.summary << '\n';
  }
  out << "\n`keld COMMAND --help` describes one command.\n";
}

}  // namespace
}  // namespace keld::tools

int main(int argc, char** argv) {
  using namespace keld::tools;
  if (argc < 2) {
    printUsage(std::cerr);
    return EXIT_USAGE;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printUsage(std::cout);
    return 0;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Subcommand& s : SUBCOMMANDS)
    if (s.name == name) return s.run(name, args, std::cout, std::cerr);
  std::cerr << "keld: unknown command \"" << name << "\" (see keld --help)\n";
  return EXIT_USAGE;
}
