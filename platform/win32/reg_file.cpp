#include "platform/win32/reg_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>

namespace keld::win32 {
namespace {

constexpr std::array<std::string_view, 4> kRoots = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                                    "HKEY_USERS"};
constexpr std::size_t kWrapColumn = 80;
constexpr std::string_view kContinuationIndent = "  ";

bool equalsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool startsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsFolded(text.substr(0, prefix.size()), prefix);
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The next character of UTF-8 `text` at `at`, which moves past it; nullopt
// for a malformed or overlong sequence.
std::optional<char32_t> nextUtf8(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    c = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (at + length > text.size()) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3F);
  }
  constexpr std::array<char32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  at += length;
  return c;
}

std::string codePointName(char32_t c) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "U+%04X", static_cast<unsigned>(c));
  return text.data();
}

// UTF-8 text to the store's one byte per character; the reason when a
// character has no byte.
std::optional<std::string> toAnsi(std::string_view utf8, std::string& reason) {
  std::string out;
  for (std::size_t at = 0; at < utf8.size();) {
    const auto c = nextUtf8(utf8, at);
    if (!c) {
      reason = "the text is not UTF-8";
      return std::nullopt;
    }
    if (*c > 0xFF) {
      reason = "character " + codePointName(*c) + " has no ANSI form";
      return std::nullopt;
    }
    out += static_cast<char>(*c);
  }
  return out;
}

std::string fromAnsi(std::string_view ansi) {
  std::string out;
  for (const char c : ansi) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

// The UTF-16LE file body (after its byte-order mark) as UTF-8; nullopt for
// an odd length or a broken surrogate pair.
std::optional<std::string> utf16ToUtf8(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  auto unitAt = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    char32_t c = unitAt(i);
    if (c >= 0xDC00 && c <= 0xDFFF) return std::nullopt;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 4 > bytes.size()) return std::nullopt;
      const char32_t low = unitAt(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    appendUtf8(out, c);
  }
  return out;
}

bool isUtf16Type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::optional<std::uint32_t> parseHexNumber(std::string_view digits, std::size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::string quotedForError(std::string_view text) {
  constexpr std::size_t kShown = 24;
  return "\"" + fromAnsi(text.substr(0, kShown)) + (text.size() > kShown ? "...\"" : "\"");
}

// One logical line of the file after its key sections were read, already
// in store bytes. Each step returns the reason for a refusal, empty when
// the line is sound.
class ValueLine {
 public:
  explicit ValueLine(std::string_view text) : rest_(text) {}

  std::string parse(RegistryValue& value, bool& deletes) {
    if (std::string problem = name(value.name); !problem.empty()) return problem;
    rest_ = trimmed(rest_);
    if (rest_.empty() || rest_.front() != '=') return "expected '=' after the value name";
    rest_ = trimmed(rest_.substr(1));
    deletes = rest_ == "-";
    if (deletes) return {};
    return data(value);
  }

 private:
  std::string name(std::string& out) {
    if (!rest_.empty() && rest_.front() == '@') {
      rest_.remove_prefix(1);
      out.clear();
      return {};
    }
    if (rest_.empty() || rest_.front() != '"') return "a value line starts with a quoted name or @";
    return quoted(out);
  }

  // A string between quotes, with \\ and \" as its only escapes.
  std::string quoted(std::string& out) {
    out.clear();
    for (std::size_t i = 1; i < rest_.size(); ++i) {
      const char c = rest_[i];
      if (c == '"') {
        rest_.remove_prefix(i + 1);
        return {};
      }
      if (c == '\\') {
        if (i + 1 == rest_.size() || (rest_[i + 1] != '\\' && rest_[i + 1] != '"'))
          return "a backslash in a string must be written \\\\ (or \\\" for a quote)";
        ++i;
      }
      out += rest_[i];
    }
    return "a string is missing its closing quote";
  }

  std::string data(RegistryValue& value) {
    if (!rest_.empty() && rest_.front() == '"') {
      std::string text;
      if (std::string problem = quoted(text); !problem.empty()) return problem;
      if (!trimmed(rest_).empty()) return "unexpected text after the string: " + quotedForError(trimmed(rest_));
      value.type = REG_SZ;
      value.data.assign(text.begin(), text.end());
      value.data.push_back(0);
      return {};
    }
    if (startsWithFolded(rest_, "dword:")) {
      const auto number = parseHexNumber(rest_.substr(6), 8);
      if (!number) return "dword: takes one to eight hex digits, not " + quotedForError(rest_.substr(6));
      value.type = REG_DWORD;
      value.data = {static_cast<std::uint8_t>(*number), static_cast<std::uint8_t>(*number >> 8),
                    static_cast<std::uint8_t>(*number >> 16), static_cast<std::uint8_t>(*number >> 24)};
      return {};
    }
    if (startsWithFolded(rest_, "hex:")) {
      value.type = REG_BINARY;
      return bytes(rest_.substr(4), value);
    }
    if (startsWithFolded(rest_, "hex(")) {
      const auto close = rest_.find(')');
      if (close == std::string_view::npos || close + 1 >= rest_.size() || rest_[close + 1] != ':')
        return "hex( must be followed by a type number, ')' and ':'";
      const auto type = parseHexNumber(rest_.substr(4, close - 4), 8);
      if (!type) return "the type in hex(...) must be one to eight hex digits, not " + quotedForError(rest_.substr(4, close - 4));
      value.type = *type;
      return bytes(rest_.substr(close + 2), value);
    }
    return "unknown kind of value data " + quotedForError(rest_);
  }

  static std::string bytes(std::string_view list, RegistryValue& value) {
    value.data.clear();
    list = trimmed(list);
    std::size_t position = 1;
    while (!list.empty()) {
      const auto comma = list.find(',');
      const std::string_view item = trimmed(list.substr(0, comma));
      const auto byte = parseHexNumber(item, 2);
      if (!byte)
        return "byte " + std::to_string(position) + " of the hex data is not a hex byte: " + quotedForError(item);
      value.data.push_back(static_cast<std::uint8_t>(*byte));
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
      if (trimmed(list).empty()) return "the hex data ends with a comma";
      ++position;
    }
    return isUtf16Type(value.type) ? narrowed(value) : std::string{};
  }

  // The editor writes string types as UTF-16LE; the store keeps one byte each.
  static std::string narrowed(RegistryValue& value) {
    const std::string kind = "hex(" + std::to_string(value.type) + ") data";
    if (value.data.size() % 2 != 0) return kind + " is UTF-16LE text and needs an even number of bytes";
    std::vector<std::uint8_t> narrow;
    for (std::size_t i = 0; i < value.data.size(); i += 2) {
      const char32_t unit = value.data[i] | (value.data[i + 1] << 8);
      if (unit > 0xFF) return kind + " holds character " + codePointName(unit) + ", which has no ANSI form";
      narrow.push_back(static_cast<std::uint8_t>(unit));
    }
    value.data = std::move(narrow);
    return {};
  }

  std::string_view rest_;
};

// The canonical path of a key section's text, or the reason it is refused.
std::string sectionPath(std::string_view text, std::string& path) {
  if (text.empty()) return "the key path is empty";
  std::size_t start = 0;
  path.clear();
  while (true) {
    const auto end = text.find('\\', start);
    const std::string_view part = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty()) return "the key path " + quotedForError(text) + " has an empty key name";
    if (start == 0) {
      const auto root = std::find_if(kRoots.begin(), kRoots.end(), [&](std::string_view r) { return equalsFolded(r, part); });
      if (root == kRoots.end()) return "unknown root key " + quotedForError(part);
      path = *root;
    } else {
      path += '\\';
      path += part;
    }
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string stringLiteral(std::string_view ansi) {
  std::string out = "\"";
  for (const char c : fromAnsi(ansi)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A REG_SZ that the "..." form holds exactly: one terminating zero, no
// other zero and no line break.
bool isPlainString(const RegistryValue& value) {
  if (value.type != REG_SZ || value.data.empty() || value.data.back() != 0) return false;
  return std::none_of(value.data.begin(), value.data.end() - 1,
                      [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

std::string hexByte(std::uint8_t byte) {
  std::array<char, 3> text{};
  std::snprintf(text.data(), text.size(), "%02x", byte);
  return text.data();
}

void appendHexData(std::string& out, std::string line, const std::vector<std::uint8_t>& data) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string byte = hexByte(data[i]);
    if (i == 0) {
      line += byte;
    } else if (line.size() + 1 + byte.size() + 2 > kWrapColumn) {  // room for ",\" to follow
      out += line + ",\\\n";
      line = std::string(kContinuationIndent) + byte;
    } else {
      line += "," + byte;
    }
  }
  out += line + "\n";
}

void appendValue(std::string& out, const RegistryValue& value) {
  const std::string name = value.name.empty() ? "@" : stringLiteral(value.name);
  if (isPlainString(value)) {
    out += name + "=" + stringLiteral(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1)) + "\n";
    return;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                 (static_cast<std::uint32_t>(value.data[3]) << 24);
    std::array<char, 9> digits{};
    std::snprintf(digits.data(), digits.size(), "%08x", static_cast<unsigned>(number));
    out += name + "=dword:" + digits.data() + "\n";
    return;
  }
  std::array<char, 16> type{};
  std::snprintf(type.data(), type.size(), "%x", static_cast<unsigned>(value.type));
  const std::string prefix = name + (value.type == REG_BINARY ? std::string("=hex:") : "=hex(" + std::string(type.data()) + "):");
  if (!isUtf16Type(value.type)) {
    appendHexData(out, prefix, value.data);
    return;
  }
  std::vector<std::uint8_t> wide;
  for (const std::uint8_t b : value.data) wide.insert(wide.end(), {b, 0});
  appendHexData(out, prefix, wide);
}

std::string storeError(LONG code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_BADDB: return "the registry database " + registryDatabasePath() + " cannot be opened";
    case ERROR_CANTWRITE: return "the registry database " + registryDatabasePath() + " cannot be written";
    case ERROR_ACCESS_DENIED: return "a root key cannot be deleted";
    default: return "the registry refused the changes (error " + std::to_string(code) + ")";
  }
}

}  // namespace

RegFileParse parseRegFile(std::string_view text) {
  RegFileParse result;
  auto refuse = [](std::size_t line, const std::string& reason) {
    RegFileParse refused;
    refused.error = "line " + std::to_string(line) + ": " + reason;
    return refused;
  };
  std::string utf8;
  if (text.starts_with("\xFF\xFE")) {
    const auto decoded = utf16ToUtf8(text.substr(2));
    if (!decoded) return refuse(1, "the file starts as UTF-16LE text but is not UTF-16LE throughout");
    utf8 = *decoded;
  } else if (text.starts_with("\xFE\xFF")) {
    return refuse(1, "UTF-16 big-endian text is not supported; save the file as UTF-8 or UTF-16LE");
  } else {
    utf8 = text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text;
  }
  const std::vector<std::string_view> lines = splitLines(utf8);
  if (lines.empty() || trimmed(lines[0]) != kRegFileHeader)
    return refuse(1, "the first line must be \"" + std::string(kRegFileHeader) + "\"");

  std::optional<std::string> section;  // path of the key section we are in
  bool sectionDeletes = false;
  for (std::size_t next = 1; next < lines.size();) {
    const std::size_t number = next + 1;
    std::string line(trimmed(lines[next++]));
    if (line.empty() || line.front() == ';') continue;
    while (line.back() == '\\') {
      if (next == lines.size()) return refuse(number, "the file ends inside a line continued with a backslash");
      line.pop_back();
      line += trimmed(lines[next++]);
      if (line.empty()) break;
    }
    std::string reason;
    const auto bytes = toAnsi(line, reason);
    if (!bytes) return refuse(number, reason);

    if (bytes->front() == '[') {
      if (bytes->back() != ']') return refuse(number, "a key section must end with ']'");
      std::string_view inside = std::string_view(*bytes).substr(1, bytes->size() - 2);
      sectionDeletes = inside.starts_with('-');
      if (sectionDeletes) inside.remove_prefix(1);
      std::string path;
      if (std::string problem = sectionPath(inside, path); !problem.empty()) return refuse(number, problem);
      if (sectionDeletes && path.find('\\') == std::string::npos) return refuse(number, "a root key cannot be deleted");
      result.changes.push_back({sectionDeletes ? RegistryChange::Kind::DeleteTree : RegistryChange::Kind::CreateKey, path, {}});
      ++result.keys;
      section = path;
      continue;
    }
    if (!section) return refuse(number, "a value before the first key section");
    if (sectionDeletes) return refuse(number, "a value in the section of a key that is deleted");
    RegistryChange change{RegistryChange::Kind::SetValue, *section, {}};
    bool deletes = false;
    if (std::string problem = ValueLine(*bytes).parse(change.value, deletes); !problem.empty())
      return refuse(number, problem);
    if (deletes) change.kind = RegistryChange::Kind::DeleteValue;
    result.changes.push_back(std::move(change));
    ++result.values;
  }
  return result;
}

std::string writeRegFile(std::span<const RegistryKeyDump> keys) {
  std::string out = std::string(kRegFileHeader) + "\n\n";
  for (const RegistryKeyDump& key : keys) {
    out += "[" + fromAnsi(key.path) + "]\n";
    std::vector<const RegistryValue*> values;
    for (const RegistryValue& value : key.values) values.push_back(&value);
    std::sort(values.begin(), values.end(), [](const RegistryValue* a, const RegistryValue* b) {
      return std::lexicographical_compare(a->name.begin(), a->name.end(), b->name.begin(), b->name.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
      });
    });
    for (const RegistryValue* value : values) appendValue(out, *value);
    out += "\n";
  }
  return out;
}

std::string regFileValueLine(const RegistryValue& value) {
  std::string line;
  appendValue(line, value);
  return line;
}

RegImport importRegFile(std::string_view text) {
  const RegFileParse parsed = parseRegFile(text);
  if (!parsed.ok()) return {0, 0, parsed.error};
  if (const LONG rc = applyRegistryChanges(parsed.changes); rc != ERROR_SUCCESS) return {0, 0, storeError(rc)};
  return {parsed.keys, parsed.values, {}};
}

std::optional<std::string> exportRegFile(std::string_view path) {
  const auto keys = dumpRegistry(path);
  if (!keys) return std::nullopt;
  return writeRegFile(*keys);
}

}  // namespace keld::win32
