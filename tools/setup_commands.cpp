#include "tools/setup_commands.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <vector>

#include "platform/win32/loader.h"
#include "platform/win32/reg_file.h"
#include "platform/win32/registry.h"
#include "tools/subcommands.h"

namespace keld::tools {
namespace {

using InstallDriverCall = std::int32_t (*)(std::int32_t unused, std::int32_t mode);
using CheckInstallationCall = std::int32_t (*)();
using CheckFirmWareCall = std::int32_t (*)(std::int32_t unused);

constexpr const char* BACKUP_KEY = "SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver";

constexpr const char* USAGE = "keld setup install | restore | check\n";

// libkeldinst.so, loaded as a setup program loads the installer library and
// released again when the command ends.
class InstallerLibrary {
 public:
  InstallerLibrary() : module_(LoadLibraryA("keldinst")) {}
  ~InstallerLibrary() {
    if (module_) FreeLibrary(module_);
  }
  InstallerLibrary(const InstallerLibrary&) = delete;
  InstallerLibrary& operator=(const InstallerLibrary&) = delete;

  bool loaded() const { return module_ != nullptr; }
  template <typename Function>
  Function entry(const char* name) const {
    return reinterpret_cast<Function>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

bool backupKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BACKUP_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// HKEY_LOCAL_MACHINE as a setup call finds and leaves it: each key's value
// lines in .reg form and its own security descriptor.
struct MachineState {
  std::map<std::string, std::map<std::string, std::string>> values;  // key path -> value name -> line
  std::map<std::string, std::vector<std::uint8_t>> security;
};

std::optional<MachineState> machineState() {
  const auto keys = win32::dumpRegistry("HKEY_LOCAL_MACHINE");
  if (!keys) return std::nullopt;
  MachineState state;
  for (const win32::RegistryKeyDump& key : *keys) {
    auto& lines = state.values[key.path];
    for (const win32::RegistryValue& value : key.values) lines[value.name] = win32::regFileValueLine(value);
    state.security[key.path] = win32::keySecurity(key.path).value_or(std::vector<std::uint8_t>{});
  }
  return state;
}

// A value line marked as removed or added; its wrapped lines indented below it.
std::string marked(char mark, std::string line) {
  for (std::size_t at = line.find('\n'); at + 1 < line.size(); at = line.find('\n', at + 1)) line.insert(at + 1, "      ");
  return std::string("    ") + mark + ' ' + line;
}

// Per key, the value lines the call removed (-) and added (+), and whether
// it replaced the key's access list.
std::string changesBetween(const MachineState& before, const MachineState& after) {
  std::set<std::string> paths;
  for (const auto& [path, values] : before.values) paths.insert(path);
  for (const auto& [path, values] : after.values) paths.insert(path);
  const std::map<std::string, std::string> none;
  std::string text;
  for (const std::string& path : paths) {
    const auto old = before.values.find(path);
    const auto now = after.values.find(path);
    std::string lines;
    if (old == before.values.end()) lines += "    (new key)\n";
    if (now == after.values.end()) lines += "    (key deleted)\n";
    const auto& oldValues = old == before.values.end() ? none : old->second;
    const auto& newValues = now == after.values.end() ? none : now->second;
    std::set<std::string> names;
    for (const auto& [name, line] : oldValues) names.insert(name);
    for (const auto& [name, line] : newValues) names.insert(name);
    for (const std::string& name : names) {
      const auto was = oldValues.find(name);
      const auto is = newValues.find(name);
      const bool same = was != oldValues.end() && is != newValues.end() && was->second == is->second;
      if (same) continue;
      if (was != oldValues.end()) lines += marked('-', was->second);
      if (is != newValues.end()) lines += marked('+', is->second);
    }
    const auto oldSecurity = before.security.find(path);
    const auto newSecurity = after.security.find(path);
    if (oldSecurity != before.security.end() && newSecurity != after.security.end() &&
        oldSecurity->second != newSecurity->second)
      lines += "    (access list replaced)\n";
    if (!lines.empty()) text += "  [" + path + "]\n" + lines;
  }
  return text;
}

std::string installResult(std::int32_t result, bool install) {
  switch (result) {
    case 1:
      return std::string("the reader is known to the system and the driver service's image path was ") +
             (install ? "taken over" : "put back") + " (result 1)";
    case 2:
      return "the reader was not confirmed: no PC-Card instance of it is bound to the smart-card reader class "
             "and the service VNR488C lists no instance of it that started, or the service's ImagePath could not "
             "be read, or the driver failed to start (result 2)";
    case 3:
      return "the reader's key SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C or the service "
             "key System\\CurrentControlSet\\Services\\VNR488C could not be opened: is the reader plugged in, and "
             "do you have administrator rights ($KELD_IDENTITY)? (result 3)";
    default:
      return "InstallDriver gave the unknown result " + std::to_string(result);
  }
}

int runInstallDriver(const InstallerLibrary& library, bool install, std::ostream& out, std::ostream& err) {
  const auto installDriver = library.entry<InstallDriverCall>("InstallDriver");
  if (!installDriver) {
    err << "keld setup: libkeldinst.so has no InstallDriver\n";
    return EXIT_FAILED;
  }
  const bool backup = backupKeyExists();
  const auto before = machineState();
  const std::int32_t result = installDriver(0, install ? 1 : 0);
  const auto after = machineState();
  const std::string words = installResult(result, install);
  if (before && after) {
    const std::string changes = changesBetween(*before, *after);
    out << (changes.empty() ? "the registry was not changed\n" : "changes in the registry:\n" + changes);
  }
  if (!backup)
    out << "note: the backup key HKEY_LOCAL_MACHINE\\" << BACKUP_KEY << " does not exist, so "
        << (install ? "no replaced value was saved" : "nothing could be restored") << '\n';
  if (result != 1) {
    err << "keld setup " << (install ? "install" : "restore") << ": " << words << '\n';
    return EXIT_FAILED;
  }
  out << (install ? "installed: " : "restored: ") << words << '\n';
  return 0;
}

int runChecks(const InstallerLibrary& library, std::ostream& out, std::ostream& err) {
  const auto checkInstallation = library.entry<CheckInstallationCall>("CheckInstallation");
  const auto checkFirmWare = library.entry<CheckFirmWareCall>("CheckFirmWare");
  if (!checkInstallation || !checkFirmWare) {
    err << "keld setup: libkeldinst.so lacks CheckInstallation or CheckFirmWare\n";
    return EXIT_FAILED;
  }
  const std::int32_t firmware = checkFirmWare(0);
  const std::string firmwareLine = "firmware check: CheckFirmWare answers " + std::to_string(firmware) +
                                   (firmware == -1 ? " (it does not look at the reader's firmware)" : "");
  if (checkInstallation() != 1) {
    out << firmwareLine << '\n';
    err << "keld setup check: the installation check failed: keldapi could not be loaded, or no card terminal "
           "answered (CT_init or the RESET CT failed); is the driver host running?\n";
    return EXIT_NO_READER;
  }
  out << "installation check passed: RESET CT reached the card terminal through keldapi\n" << firmwareLine << '\n';
  return 0;
}

}  // namespace

std::string setupCommandHelp(const std::string&) {
  return std::string(
             "register the driver, put the former registration back, or check the installation\n"
             "\n"
             "usage: ") +
         USAGE +
         "\n"
         "install   InstallDriver in install mode: point the reader's device-class entry and the\n"
         "          service VNR488C at Keldrin, saving the replaced values in the backup key\n"
         "restore   InstallDriver in restore mode: write the saved values back\n"
         "check     CheckInstallation (one RESET CT through keldapi) and CheckFirmWare\n"
         "install and restore list what they changed, key by key, in .reg lines (- removed, + added).\n"
         "Both need administrator rights and the backup key\n"
         "HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD\\KLR850 CT-API Driver.\n"
         "libkeldinst.so and libkeldapi.so are found on $KELD_LIBRARY_PATH when it is set, else on the\n"
         "system's library path; the registry is $KELD_REGISTRY.\n";
}

int runSetupCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                    std::ostream& err) {
  for (const std::string& arg : args)
    if (arg == "--help" || arg == "-h") {
      out << setupCommandHelp(name);
      return 0;
    }
  const std::string verb = args.size() == 1 ? args[0] : std::string();
  if (verb != "install" && verb != "restore" && verb != "check") {
    err << "keld setup: usage: " << USAGE;
    return EXIT_USAGE;
  }
  const InstallerLibrary library;
  if (!library.loaded()) {
    err << "keld setup: the installer library libkeldinst.so was not found ($KELD_LIBRARY_PATH or the system's "
           "library path)\n";
    return EXIT_FAILED;
  }
  if (verb == "check") return runChecks(library, out, err);
  return runInstallDriver(library, verb == "install", out, err);
}

}  // namespace keld::tools
