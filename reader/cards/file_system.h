#pragma once
// The card's file system: the master file 3F00, dedicated files (DFs, each
// optionally named by an application identifier) and transparent elementary
// files (EFs). File contents survive resets; only the selection is session
// state, kept by the application.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "reader/card.h"

namespace keld::reader {

inline constexpr std::uint16_t masterFileId = 0x3F00;
// Largest EF: READ BINARY and UPDATE BINARY address 15 bits of offset.
inline constexpr std::size_t maxEfSize = 0x8000;

struct FileNode {
  std::uint16_t id = 0;
  bool dedicated = false;          // DF (or the MF); otherwise a transparent EF
  std::size_t parent = 0;          // index of the DF holding it (the MF holds itself)
  Bytes aid;                       // DF name, may be empty
  std::uint8_t shortId = 0;        // EF short identifier 1..30, 0 = none
  bool readOnly = false;           // EF refuses UPDATE BINARY
  Bytes data;                      // EF contents; its size is fixed
  std::vector<std::size_t> children;
};

class FileSystem {
 public:
  static constexpr std::size_t masterFile = 0;

  FileSystem();

  // Adds a DF or EF under the DF `parent`. Returns the new index, or the
  // reason it cannot be added (parent not a DF, identifier taken or reserved,
  // short identifier taken, EF too large).
  struct Added {
    std::optional<std::size_t> index;
    std::string reason;
  };
  Added addDedicatedFile(std::size_t parent, std::uint16_t id, Bytes aid);
  Added addElementaryFile(std::size_t parent, std::uint16_t id, Bytes data,
                          std::uint8_t shortId = 0, bool readOnly = false);
  // Names the MF itself with an application identifier.
  void setMasterFileAid(Bytes aid) { nodes_[masterFile].aid = std::move(aid); }

  std::optional<std::size_t> child(std::size_t df, std::uint16_t id) const;
  std::optional<std::size_t> childByShortId(std::size_t df, std::uint8_t shortId) const;
  // First DF (in order of creation) whose name starts with `aid`, an exact
  // match preferred.
  std::optional<std::size_t> findByAid(std::span<const std::uint8_t> aid) const;
  // Path of identifiers from the MF (3F00 first), as in "3F00/5000/5001".
  std::optional<std::size_t> findPath(std::span<const std::uint16_t> path) const;

  const FileNode& node(std::size_t index) const { return nodes_.at(index); }
  FileNode& node(std::size_t index) { return nodes_.at(index); }
  std::size_t size() const { return nodes_.size(); }

 private:
  std::string refusal(std::size_t parent, std::uint16_t id) const;
  std::vector<FileNode> nodes_;
};

}  // namespace keld::reader
