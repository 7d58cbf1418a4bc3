#include "tools/registry_commands.h"

#include <fstream>
#include <iostream>
#include <ostream>
#include <sstream>
#include <vector>

#include "platform/win32/reg_file.h"
#include "tools/subcommands.h"

namespace keld::tools {
namespace {

constexpr const char* USAGE =
    "keld reg import FILE.reg\n"
    "       keld reg export [KEY] [-o FILE]\n";

std::string usageLine() { return std::string("usage: ") + USAGE; }

int import(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
  if (words.size() != 2) {
    err << "keld reg import: name one .reg file\n" << usageLine();
    return EXIT_USAGE;
  }
  const std::string& file = words[1];
  std::ostringstream text;
  if (file == "-") {
    text << std::cin.rdbuf();
  } else {
    std::ifstream in(file, std::ios::binary);
    if (in.is_open()) text << in.rdbuf();
    if (!in.is_open() || in.bad()) {
      err << "keld reg import: cannot read " << file << '\n';
      return EXIT_FAILED;
    }
  }
  const win32::RegImport imported = win32::importRegFile(text.str());
  if (!imported.ok()) {
    err << "keld reg import: " << file << ": " << imported.error << "; nothing was imported\n";
    return EXIT_FAILED;
  }
  out << "imported " << imported.keys << (imported.keys == 1 ? " key section" : " key sections") << " and "
      << imported.values << (imported.values == 1 ? " value" : " values") << " from " << (file == "-" ? std::string("standard input") : file) << " into "
      << win32::registryDatabasePath() << '\n';
  return 0;
}

int exportKeys(const std::vector<std::string>& words, const std::string& outputFile, std::ostream& out,
               std::ostream& err) {
  if (words.size() > 2) {
    err << "keld reg export: name at most one key\n" << usageLine();
    return EXIT_USAGE;
  }
  const std::string key = words.size() == 2 ? words[1] : std::string();
  const auto text = win32::exportRegFile(key);
  if (!text) {
    err << "keld reg export: no key \"" << key << "\" in the registry " << win32::registryDatabasePath() << '\n';
    return EXIT_FAILED;
  }
  if (outputFile.empty() || outputFile == "-") {
    out << *text;
    return 0;
  }
  std::ofstream file(outputFile, std::ios::binary | std::ios::trunc);
  file << *text;
  file.close();
  if (!file) {
    err << "keld reg export: cannot write " << outputFile << '\n';
    return EXIT_FAILED;
  }
  out << "exported " << (key.empty() ? std::string("the whole registry") : key) << " to " << outputFile << '\n';
  return 0;
}

}  // namespace

std::string registryCommandHelp(const std::string&) {
  return std::string(
             "import a .reg file into the registry, or export keys as one\n"
             "\n") +
         usageLine() +
         "\n"
         "import   applies the whole file in one transaction; a malformed file is\n"
         "         refused with its line and the reason, and nothing is imported\n"
         "export   writes KEY (e.g. \"HKEY_LOCAL_MACHINE\\SOFTWARE\\VNR PC CARD\") and its\n"
         "         subkeys, or every key, to standard output or to FILE\n"
         "A FILE of - is standard input (import) or standard output (export).\n"
         "options:\n"
         "  -o FILE, --output FILE   export into FILE\n"
         "The text is \"Windows Registry Editor Version 5.00\" (UTF-8; UTF-16LE files are read too).\n"
         "The registry is $KELD_REGISTRY, else the default database of this user.\n";
}

int runRegistryCommand(const std::string& name, std::span<const std::string> args, std::ostream& out,
                       std::ostream& err) {
  std::vector<std::string> words;
  std::string outputFile;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << registryCommandHelp(name);
      return 0;
    }
    if (arg == "-o" || arg == "--output") {
      if (i + 1 >= args.size()) {
        err << "keld reg: " << arg << " needs a file name\n";
        return EXIT_USAGE;
      }
      outputFile = args[++i];
    } else if (arg.starts_with("-") && arg != "-") {
      err << "keld reg: unknown option " << arg << '\n';
      return EXIT_USAGE;
    } else {
      words.push_back(arg);
    }
  }
  const std::string verb = words.empty() ? std::string() : words[0];
  if (verb == "import" && outputFile.empty()) return import(words, out, err);
  if (verb == "export") return exportKeys(words, outputFile, out, err);
  err << "keld reg: " << (verb == "import" ? "-o belongs to export" : "say import or export") << '\n' << usageLine();
  return EXIT_USAGE;
}

}  // namespace keld::tools
