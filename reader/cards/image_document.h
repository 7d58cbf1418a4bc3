#pragma once
// The text layer of card images: a small subset of TOML read line by line.
// Tables ([name]) and repeated tables ([[name]]) hold `key = value` lines; a
// value is a "string", an integer (decimal or 0x hex), true / false, or an
// array [ ... ] of strings or integers that may span lines. # starts a
// comment outside strings. What the keys mean is card_image.cpp's business.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace keld::reader {

// Why an image was refused: the line (1 on), 0 when no line is to blame.
struct CardImageError {
  std::size_t line = 0;
  std::string reason;
  // "PATH:LINE: REASON" (or "PATH: REASON" without a line, no "PATH:"
  // without a path).
  std::string describe(std::string_view path = {}) const;
};

// Either a value or the error that stopped it.
template <typename T>
class ImageResult {
 public:
  ImageResult(T value) : outcome_(std::move(value)) {}
  ImageResult(CardImageError error) : outcome_(std::move(error)) {}
  bool ok() const { return outcome_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(outcome_); }
  const T& value() const { return std::get<0>(outcome_); }
  const CardImageError& error() const { return std::get<1>(outcome_); }

 private:
  std::variant<T, CardImageError> outcome_;
};

struct DocumentValue {
  enum class Type { String, Integer, Boolean, Array };
  Type type = Type::String;
  std::size_t line = 0;
  std::string text;
  std::int64_t integer = 0;
  bool boolean = false;
  std::vector<DocumentValue> items;
};

struct DocumentEntry {
  std::string key;
  std::size_t line = 0;
  DocumentValue value;
};

struct DocumentTable {
  std::string name;
  bool repeated = false;  // [[name]]
  std::size_t line = 0;
  std::vector<DocumentEntry> entries;
};

using Document = std::vector<DocumentTable>;

// Refuses keys outside a table, a key twice in one table and a [name]
// table twice.
ImageResult<Document> parseDocument(std::string_view text);

}  // namespace keld::reader
