#include "reader/cards/image_document.h"

#include <limits>
#include <optional>

namespace keld::reader {
namespace {

bool isKeyCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

class DocumentParser {
 public:
  explicit DocumentParser(std::string_view text) : text_(text) {}

  ImageResult<Document> parse() {
    while (!error_) {
      skipBlank();
      if (atEnd()) break;
      if (peek() == '\n') {
        advance();
        continue;
      }
      if (peek() == '[') {
        header();
      } else {
        entry();
      }
      if (!error_) endOfLine();
    }
    if (error_) return *error_;
    return std::move(document_);
  }

 private:
  bool atEnd() const { return at_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[at_]; }
  void advance() {
    if (peek() == '\n') ++line_;
    ++at_;
  }
  void fail(std::string reason) {
    if (!error_) error_ = CardImageError{line_, std::move(reason)};
  }
  // Spaces, tabs, carriage returns and a comment up to the end of the line.
  void skipBlank() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\r') advance();
    if (peek() == '#')
      while (!atEnd() && peek() != '\n') advance();
  }
  void endOfLine() {
    skipBlank();
    if (atEnd()) return;
    if (peek() != '\n') return fail("unexpected text after the value: \"" + restOfLine() + "\"");
    advance();
  }
  std::string restOfLine() const {
    const auto end = text_.find('\n', at_);
    std::string rest(text_.substr(at_, end == std::string_view::npos ? std::string_view::npos : end - at_));
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    return rest;
  }
  std::string name() {
    std::string out;
    while (isKeyCharacter(peek())) {
      out += peek();
      advance();
    }
    return out;
  }

  void header() {
    advance();
    const bool repeated = peek() == '[';
    if (repeated) advance();
    skipBlank();
    std::string table = name();
    skipBlank();
    if (table.empty()) return fail("a table needs a name of letters, digits, '_' or '-'");
    if (peek() != ']') return fail("expected ']' after the table name " + table);
    advance();
    if (repeated) {
      if (peek() != ']') return fail("expected ']]' after the table name " + table);
      advance();
    }
    for (const DocumentTable& earlier : document_) {
      if (earlier.name != table) continue;
      if (!repeated || !earlier.repeated)
        return fail("table " + table + " appears again (first at line " + std::to_string(earlier.line) + ")");
    }
    document_.push_back(DocumentTable{table, repeated, line_, {}});
  }

  void entry() {
    const std::size_t line = line_;
    std::string key = name();
    if (key.empty()) return fail("expected a key or a [table], found \"" + restOfLine() + "\"");
    if (document_.empty()) return fail("key " + key + " stands outside any table; an image begins with [card]");
    skipBlank();
    if (peek() != '=') return fail("expected '=' after the key " + key);
    advance();
    skipBlank();
    auto value = this->value();
    if (!value) return;
    DocumentTable& table = document_.back();
    for (const DocumentEntry& earlier : table.entries)
      if (earlier.key == key)
        return fail("key " + key + " appears again in this table (first at line " + std::to_string(earlier.line) +
                    ")");
    table.entries.push_back(DocumentEntry{std::move(key), line, std::move(*value)});
  }

  std::optional<DocumentValue> value() {
    DocumentValue out;
    out.line = line_;
    const char c = peek();
    if (c == '"') {
      out.type = DocumentValue::Type::String;
      advance();
      while (peek() != '"') {
        if (atEnd() || peek() == '\n') return fail("the string is not closed on its line"), std::nullopt;
        if (peek() == '\\') {
          advance();
          switch (peek()) {
            case '"': out.text += '"'; break;
            case '\\': out.text += '\\'; break;
            case 't': out.text += '\t'; break;
            case 'n': out.text += '\n'; break;
            default: return fail("unknown escape in a string (\\\", \\\\, \\t and \\n are known)"), std::nullopt;
          }
        } else {
          out.text += peek();
        }
        advance();
      }
      advance();
      return out;
    }
    if (c == '[') return array();
    if ((c >= '0' && c <= '9') || c == '-' || c == '+') return integer();
    std::string word = name();
    if (word == "true" || word == "false") {
      out.type = DocumentValue::Type::Boolean;
      out.boolean = word == "true";
      return out;
    }
    fail("expected a value (a \"string\", a number, true, false or [ ... ])");
    return std::nullopt;
  }

  std::optional<DocumentValue> integer() {
    DocumentValue out;
    out.type = DocumentValue::Type::Integer;
    out.line = line_;
    bool negative = false;
    if (peek() == '-' || peek() == '+') {
      negative = peek() == '-';
      advance();
    }
    int base = 10;
    if (peek() == '0' && at_ + 1 < text_.size() && (text_[at_ + 1] == 'x' || text_[at_ + 1] == 'X')) {
      base = 16;
      advance();
      advance();
    }
    std::uint64_t magnitude = 0;
    int digits = 0;
    for (;; advance()) {
      const char d = peek();
      int digit = -1;
      if (d >= '0' && d <= '9') digit = d - '0';
      else if (base == 16 && d >= 'a' && d <= 'f') digit = d - 'a' + 10;
      else if (base == 16 && d >= 'A' && d <= 'F') digit = d - 'A' + 10;
      else if (d == '_' && digits > 0) continue;
      if (digit < 0) break;
      magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return fail("the number is too large"), std::nullopt;
      ++digits;
    }
    if (digits == 0 || isKeyCharacter(peek())) return fail("not a number: \"" + restOfLine() + "\""), std::nullopt;
    out.integer = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return out;
  }

  // Items may stand on lines of their own, with comments between them and a
  // comma after the last.
  std::optional<DocumentValue> array() {
    DocumentValue out;
    out.type = DocumentValue::Type::Array;
    out.line = line_;
    advance();
    for (;;) {
      skipBlankLines();
      if (atEnd()) return fail("the array opened at line " + std::to_string(out.line) + " is not closed"), std::nullopt;
      if (peek() == ']') break;
      if (peek() == '[') return fail("arrays inside arrays are not supported"), std::nullopt;
      auto item = value();
      if (!item) return std::nullopt;
      out.items.push_back(std::move(*item));
      skipBlankLines();
      if (peek() == ',') {
        advance();
      } else if (peek() != ']') {
        if (atEnd()) return fail("the array opened at line " + std::to_string(out.line) + " is not closed"), std::nullopt;
        return fail("expected ',' or ']' in the array"), std::nullopt;
      }
    }
    advance();
    return out;
  }
  void skipBlankLines() {
    for (;;) {
      skipBlank();
      if (peek() != '\n') return;
      advance();
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t line_ = 1;
  Document document_;
  std::optional<CardImageError> error_;
};

}  // namespace

std::string CardImageError::describe(std::string_view path) const {
  std::string out(path);
  if (line != 0) out += (out.empty() ? "line " : ":") + std::to_string(line);
  if (!out.empty()) out += ": ";
  return out + reason;
}

ImageResult<Document> parseDocument(std::string_view text) { return DocumentParser(text).parse(); }

}  // namespace keld::reader
