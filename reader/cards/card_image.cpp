#include "reader/cards/card_image.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "reader/cards/atr.h"

namespace keld::reader {
namespace {

constexpr std::size_t maxImageFileSize = 1 << 20;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the keys of one table, keeping the first error; `finish` refuses
// the keys nobody asked for.
class TableReader {
 public:
  TableReader(const DocumentTable& table, std::optional<CardImageError>& error) : table_(table), error_(error) {}

  const DocumentEntry* find(std::string_view key) {
    used_.insert(std::string(key));
    for (const DocumentEntry& entry : table_.entries)
      if (entry.key == key) return &entry;
    return nullptr;
  }
  bool has(std::string_view key) const {
    for (const DocumentEntry& entry : table_.entries)
      if (entry.key == key) return true;
    return false;
  }
  std::size_t lineOf(std::string_view key) const {
    for (const DocumentEntry& entry : table_.entries)
      if (entry.key == key) return entry.line;
    return table_.line;
  }
  void fail(std::size_t line, std::string reason) {
    if (!error_) error_ = CardImageError{line, std::move(reason)};
  }
  void failAt(std::string_view key, std::string reason) { fail(lineOf(key), std::move(reason)); }

  std::optional<std::string> string(std::string_view key) {
    const DocumentEntry* entry = find(key);
    if (!entry) return std::nullopt;
    if (entry->value.type != DocumentValue::Type::String)
      return fail(entry->line, std::string(key) + " takes a \"string\""), std::nullopt;
    return entry->value.text;
  }
  std::optional<std::int64_t> integer(std::string_view key, std::int64_t low, std::int64_t high) {
    const DocumentEntry* entry = find(key);
    if (!entry) return std::nullopt;
    if (entry->value.type != DocumentValue::Type::Integer)
      return fail(entry->line, std::string(key) + " takes a number"), std::nullopt;
    if (entry->value.integer < low || entry->value.integer > high)
      return fail(entry->line, std::string(key) + " must be " + std::to_string(low) + " to " + std::to_string(high)),
             std::nullopt;
    return entry->value.integer;
  }
  std::optional<bool> boolean(std::string_view key) {
    const DocumentEntry* entry = find(key);
    if (!entry) return std::nullopt;
    if (entry->value.type != DocumentValue::Type::Boolean)
      return fail(entry->line, std::string(key) + " takes true or false"), std::nullopt;
    return entry->value.boolean;
  }
  // Hex in a string ("00 A4 04 00") or in an array of such strings, which
  // are joined.
  std::optional<Bytes> hex(std::string_view key) {
    const DocumentEntry* entry = find(key);
    if (!entry) return std::nullopt;
    Bytes out;
    if (entry->value.type == DocumentValue::Type::String) {
      if (!appendHex(key, entry->value, out)) return std::nullopt;
      return out;
    }
    if (entry->value.type != DocumentValue::Type::Array)
      return fail(entry->line, std::string(key) + " takes hex in a \"string\" or an array of strings"), std::nullopt;
    for (const DocumentValue& item : entry->value.items) {
      if (item.type != DocumentValue::Type::String)
        return fail(item.line, "the array of " + std::string(key) + " holds strings of hex only"), std::nullopt;
      if (!appendHex(key, item, out)) return std::nullopt;
    }
    return out;
  }

  void finish() {
    for (const DocumentEntry& entry : table_.entries)
      if (!used_.count(entry.key))
        return fail(entry.line, "unknown key " + entry.key + " in [" + table_.name + "]");
  }

 private:
  bool appendHex(std::string_view key, const DocumentValue& value, Bytes& out) {
    int high = -1;
    for (char c : value.text) {
      if (c == ' ' || c == '\t') continue;
      const int digit = hexDigit(c);
      if (digit < 0) return fail(value.line, std::string(key) + ": '" + c + "' is not a hex digit"), false;
      if (high < 0) {
        high = digit;
      } else {
        out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
        high = -1;
      }
    }
    if (high >= 0) return fail(value.line, std::string(key) + ": odd number of hex digits"), false;
    return true;
  }

  const DocumentTable& table_;
  std::optional<CardImageError>& error_;
  std::set<std::string> used_;
};

const char* kindName(CardKind kind) {
  switch (kind) {
    case CardKind::ProcessorT1: return "t1";
    case CardKind::ProcessorOther: return "t0";
    case CardKind::Synchronous: return "memory";
  }
  return "?";
}

class ImageReader {
 public:
  ImageResult<CardImage> read(const Document& document) {
    const DocumentTable* card = nullptr;
    for (const DocumentTable& table : document) {
      if (table.name == "card" && !table.repeated) card = &table;
    }
    if (!card) return CardImageError{0, "the image has no [card] table"};
    readCard(*card);
    for (const DocumentTable& table : document) {
      if (error_) break;
      if (&table == card) continue;
      const bool processor = image_.kind != CardKind::Synchronous;
      if (table.name == "wtx" && !table.repeated) {
        if (!requireKind(table, CardKind::ProcessorT1)) break;
        readWtx(table);
      } else if (table.name == "ifs_request" && !table.repeated) {
        if (!requireKind(table, CardKind::ProcessorT1)) break;
        readIfsRequest(table);
      } else if (table.name == "file" && table.repeated) {
        if (!processor) fail(table.line, "[[file]] belongs to processor cards; a memory card has [memory]");
        else readFile(table);
      } else if (table.name == "memory" && !table.repeated) {
        if (!requireKind(table, CardKind::Synchronous)) break;
        readMemory(table);
      } else {
        fail(table.line, std::string("unknown table ") + (table.repeated ? "[[" : "[") + table.name +
                             (table.repeated ? "]]" : "]"));
      }
    }
    if (error_) return *error_;
    return std::move(image_);
  }

 private:
  void fail(std::size_t line, std::string reason) {
    if (!error_) error_ = CardImageError{line, std::move(reason)};
  }
  bool requireKind(const DocumentTable& table, CardKind kind) {
    if (image_.kind == kind) return true;
    fail(table.line, "[" + table.name + "] applies to kind \"" + kindName(kind) + "\" only");
    return false;
  }

  void readCard(const DocumentTable& table) {
    TableReader keys(table, error_);
    const auto kind = keys.string("kind");
    if (!kind) return keys.fail(table.line, "[card] needs kind = \"t1\", \"t0\" or \"memory\"");
    if (*kind == "t1") image_.kind = CardKind::ProcessorT1;
    else if (*kind == "t0") image_.kind = CardKind::ProcessorOther;
    else if (*kind == "memory") image_.kind = CardKind::Synchronous;
    else return keys.failAt("kind", "kind \"" + *kind + "\" is none of \"t1\", \"t0\", \"memory\"");

    const bool t1 = image_.kind == CardKind::ProcessorT1;
    const bool memory = image_.kind == CardKind::Synchronous;
    const auto atr = keys.hex("atr");
    const auto protocol = keys.integer("protocol", 0, 255);
    const auto ifsc = keys.integer("ifsc", 1, maxIfs);
    const auto historical = keys.hex("historical");
    const auto bwi = keys.integer("bwi", 0, 9);
    const auto cwi = keys.integer("cwi", 0, 15);
    const auto seed = keys.integer("challenge_seed", 0, std::numeric_limits<std::int64_t>::max());
    if (error_) return;
    keys.finish();
    if (error_) return;

    for (const char* key : {"bwi", "cwi"})
      if (!t1 && keys.has(key)) return keys.failAt(key, std::string(key) + " applies to kind \"t1\" only");
    for (const char* key : {"historical", "challenge_seed"})
      if (memory && keys.has(key)) return keys.failAt(key, std::string(key) + " applies to processor cards only");
    if (atr)
      for (const char* key : {"historical", "bwi", "cwi"})
        if (keys.has(key)) return keys.failAt(key, std::string(key) + " is taken from the atr when one is given");
    if (historical && historical->size() > 15) return keys.failAt("historical", "at most 15 historical bytes");

    if (protocol && (*protocol == 2) != t1)
      return keys.failAt("protocol", t1 ? "a T=1 card has protocol byte 2"
                                        : "protocol byte 2 is that of a T=1 card (kind \"t1\")");
    image_.protocolByte = static_cast<std::uint8_t>(protocol ? *protocol : (t1 ? 2 : memory ? 0 : 1));
    image_.ifsc = static_cast<std::uint16_t>(ifsc ? *ifsc : defaultIfs);
    if (seed) image_.challengeSeed = static_cast<std::uint64_t>(*seed);

    if (memory) {
      if (atr && atr->size() != 4) return keys.failAt("atr", "the ATR of a memory card has 4 bytes");
      if (atr) image_.memory.atr = *atr;
      image_.memory.protocolByte = image_.protocolByte;
      image_.memory.ifsc = image_.ifsc;
      return;
    }
    const std::span<const std::uint8_t> history =
        historical ? std::span<const std::uint8_t>(*historical) : std::span<const std::uint8_t>(defaultHistorical);
    if (!atr) {
      image_.atr = t1 ? buildT1Atr(static_cast<std::uint8_t>(image_.ifsc), static_cast<std::uint8_t>(bwi.value_or(4)),
                                   static_cast<std::uint8_t>(cwi.value_or(5)), history)
                      : buildT0Atr(history);
    } else {
      auto summary = readAtr(*atr);
      if (auto* reason = std::get_if<std::string>(&summary)) return keys.failAt("atr", *reason);
      const AtrSummary& parts = std::get<AtrSummary>(summary);
      if (t1 && !parts.offersT1) return keys.failAt("atr", "the ATR of a T=1 card must offer T=1 in a TD byte");
      if (t1 && parts.ifsc) {
        if (*parts.ifsc == 0 || *parts.ifsc == 0xFF)
          return keys.failAt("atr", "the IFSC of the ATR (TA3) must be 1 to 254");
        if (ifsc && *ifsc != *parts.ifsc)
          return keys.failAt("ifsc", "ifsc " + std::to_string(*ifsc) + " differs from the IFSC " +
                                         std::to_string(*parts.ifsc) + " of the ATR (TA3)");
        image_.ifsc = *parts.ifsc;
      }
      image_.atr = *atr;
    }
    image_.t1.ifsc = static_cast<std::uint8_t>(image_.ifsc);
  }

  void readWtx(const DocumentTable& table) {
    TableReader keys(table, error_);
    const auto instructions = keys.hex("instructions");
    const auto multiplier = keys.integer("multiplier", 1, 255);
    const auto repeat = keys.integer("repeat", 1, 255);
    keys.finish();
    if (error_) return;
    if (!instructions || instructions->empty())
      return keys.fail(table.line, "[wtx] needs instructions = \"INS ...\" (hex)");
    image_.t1.wtxInstructions = *instructions;
    image_.t1.wtxMultiplier = static_cast<std::uint8_t>(multiplier.value_or(2));
    image_.t1.wtxRepeat = static_cast<std::uint8_t>(repeat.value_or(1));
  }

  void readIfsRequest(const DocumentTable& table) {
    TableReader keys(table, error_);
    const auto instructions = keys.hex("instructions");
    const auto size = keys.integer("size", 1, maxIfs);
    keys.finish();
    if (error_) return;
    if (!instructions || instructions->empty())
      return keys.fail(table.line, "[ifs_request] needs instructions = \"INS ...\" (hex)");
    if (!size) return keys.fail(table.line, "[ifs_request] needs size = 1 to 254");
    image_.t1.ifsInstructions = *instructions;
    image_.t1.ifsRequestSize = static_cast<std::uint8_t>(*size);
  }

  // EF contents: data, then up to size bytes of fill.
  std::optional<Bytes> contents(TableReader& keys, std::uint8_t defaultFill) {
    auto data = keys.hex("data");
    const auto size = keys.integer("size", 0, static_cast<std::int64_t>(maxEfSize));
    const auto fill = keys.integer("fill", 0, 255);
    if (error_) return std::nullopt;
    Bytes out = data.value_or(Bytes{});
    if (out.size() > maxEfSize) return keys.failAt("data", "at most 32768 bytes of data"), std::nullopt;
    if (size) {
      if (static_cast<std::size_t>(*size) < out.size())
        return keys.failAt("size", "size " + std::to_string(*size) + " is smaller than the " +
                                       std::to_string(out.size()) + " bytes of data"),
               std::nullopt;
      out.resize(static_cast<std::size_t>(*size), static_cast<std::uint8_t>(fill.value_or(defaultFill)));
    }
    return out;
  }

  void readFile(const DocumentTable& table) {
    TableReader keys(table, error_);
    const auto path = keys.string("path");
    const auto type = keys.string("type");
    if (error_) return;
    if (!path) return keys.fail(table.line, "[[file]] needs path = \"3F00/...\"");
    const auto ids = parsePath(*path);
    if (!ids) return keys.failAt("path", "path \"" + *path + "\" is not 3F00 followed by /XXXX identifiers in hex");
    const std::string kind = type.value_or("ef");
    if (kind != "df" && kind != "ef") return keys.failAt("type", "type is \"df\" or \"ef\"");
    const bool dedicated = kind == "df";
    const char* onlyForEf[] = {"sfi", "data", "size", "fill", "readonly"};
    for (const char* key : onlyForEf)
      if (dedicated && keys.has(key)) return keys.failAt(key, std::string(key) + " applies to EFs only");
    if (!dedicated && keys.has("aid")) return keys.failAt("aid", "aid applies to DFs only");

    auto aid = keys.hex("aid");
    const auto sfi = keys.integer("sfi", 1, 30);
    const auto readOnly = keys.boolean("readonly");
    auto data = dedicated ? std::optional<Bytes>(Bytes{}) : contents(keys, 0x00);
    keys.finish();
    if (error_) return;
    if (aid && (aid->empty() || aid->size() > 16)) return keys.failAt("aid", "an aid has 1 to 16 bytes");

    if (ids->size() == 1) {
      if (!dedicated) return keys.failAt("path", "3F00 is the MF, a DF");
      if (aid) image_.files.setMasterFileAid(*aid);
      return;
    }
    const auto parent = image_.files.findPath(std::span(*ids).first(ids->size() - 1));
    if (!parent || !image_.files.node(*parent).dedicated)
      return keys.failAt("path", "the DF holding " + *path + " is not declared above it");
    const auto added =
        dedicated ? image_.files.addDedicatedFile(*parent, ids->back(), aid.value_or(Bytes{}))
                  : image_.files.addElementaryFile(*parent, ids->back(), std::move(*data),
                                                   static_cast<std::uint8_t>(sfi.value_or(0)), readOnly.value_or(false));
    if (!added.index) keys.failAt(added.reason.find("short") != std::string::npos ? "sfi" : "path", added.reason);
  }

  static std::optional<std::vector<std::uint16_t>> parsePath(std::string_view text) {
    std::vector<std::uint16_t> ids;
    std::size_t at = 0;
    while (at <= text.size()) {
      const auto end = std::min(text.find('/', at), text.size());
      const auto part = text.substr(at, end - at);
      if (part.size() != 4) return std::nullopt;
      std::uint16_t id = 0;
      for (char c : part) {
        const int digit = hexDigit(c);
        if (digit < 0) return std::nullopt;
        id = static_cast<std::uint16_t>(id << 4 | digit);
      }
      ids.push_back(id);
      at = end + 1;
    }
    if (ids.empty() || ids.front() != masterFileId) return std::nullopt;
    return ids;
  }

  void readMemory(const DocumentTable& table) {
    TableReader keys(table, error_);
    const auto id = keys.hex("id");
    const auto aid = keys.hex("aid");
    const auto readOnly = keys.boolean("readonly");
    const bool sized = keys.has("data") || keys.has("size");
    auto memory = contents(keys, 0xFF);
    keys.finish();
    if (error_) return;
    if (id && id->size() != 2) return keys.failAt("id", "id has 2 bytes, as \"3F 00\"");
    if (aid && (aid->empty() || aid->size() > 16)) return keys.failAt("aid", "an aid has 1 to 16 bytes");
    if (sized && memory->empty()) return keys.failAt(keys.has("size") ? "size" : "data", "the memory is empty");
    if (id) image_.memory.fileId = static_cast<std::uint16_t>((*id)[0] << 8 | (*id)[1]);
    if (aid) image_.memory.aid = *aid;
    if (readOnly) image_.memory.readOnly = *readOnly;
    if (sized) image_.memory.memory = std::move(*memory);
  }

  CardImage image_;
  std::optional<CardImageError> error_;
};

}  // namespace

ImageResult<CardImage> parseCardImage(std::string_view text) {
  auto document = parseDocument(text);
  if (!document) return document.error();
  return ImageReader().read(document.value());
}

ImageResult<std::unique_ptr<Card>> loadCardImage(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return CardImageError{0, std::string("cannot open the image: ") + std::strerror(errno)};
  std::string text;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(file.gcount()));
    if (text.size() > maxImageFileSize) return CardImageError{0, "the image is larger than 1 MiB"};
  }
  if (file.bad()) return CardImageError{0, "cannot read the image"};
  auto image = parseCardImage(text);
  if (!image) return image.error();
  return makeCard(std::move(image.value()));
}

}  // namespace keld::reader
