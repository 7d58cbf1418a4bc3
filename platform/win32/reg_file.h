#pragma once
// The registry editor's export format ("Windows Registry Editor Version
// 5.00"): text to a list of registry changes and registry keys to text, and
// the import and export of the store built on them.
//
// Text. A file is UTF-8 (a byte-order mark is allowed) or UTF-16LE with its
// byte-order mark; lines end in LF or CR LF; a line that ends in a backslash
// goes on in the next one; lines starting with ';' are comments. Export
// writes UTF-8 with LF and wraps hex data after 80 columns.
//
// Characters. The store holds what the ANSI calls see, one byte per
// character (ISO 8859-1), so every byte has a character and every character
// up to U+00FF has a byte; a file character beyond that is refused. hex(1),
// hex(2) and hex(7) data are UTF-16LE in the file, as in the editor's own
// files, and single bytes in the store.
//
// Export order. Parents before children, siblings by name regardless of
// case, and within a key the default value first and then the values by
// name regardless of case: equal contents give equal text whatever order
// they were written in.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/registry.h"

namespace keld::win32 {

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

struct RegFileParse {
  std::vector<RegistryChange> changes;
  std::size_t keys = 0;    // key sections, deletions included
  std::size_t values = 0;  // value lines, deletions included
  // "line N: reason" when the text is refused; then `changes` is empty.
  std::string error;

  bool ok() const { return error.empty(); }
};

RegFileParse parseRegFile(std::string_view text);

// The text of `keys`, as dumpRegistry gives them.
std::string writeRegFile(std::span<const RegistryKeyDump> keys);

// One value as its line (or lines, wrapped) of a key section, ending in a newline.
std::string regFileValueLine(const RegistryValue& value);

struct RegImport {
  std::size_t keys = 0;
  std::size_t values = 0;
  // Empty when everything was imported; otherwise nothing was.
  std::string error;

  bool ok() const { return error.empty(); }
};

// Parses `text` and applies it to the store in one transaction.
RegImport importRegFile(std::string_view text);

// The key at `path` with everything below it, or the whole store for an
// empty path; nullopt when the key does not exist.
std::optional<std::string> exportRegFile(std::string_view path);

}  // namespace keld::win32
