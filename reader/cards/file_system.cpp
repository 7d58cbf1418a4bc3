#include "reader/cards/file_system.h"

#include <algorithm>
#include <cstdio>

namespace keld::reader {
namespace {

std::string idText(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", id);
  return text;
}

}  // namespace

FileSystem::FileSystem() {
  FileNode master;
  master.id = masterFileId;
  master.dedicated = true;
  master.parent = masterFile;
  nodes_.push_back(std::move(master));
}

std::string FileSystem::refusal(std::size_t parent, std::uint16_t id) const {
  if (parent >= nodes_.size() || !nodes_[parent].dedicated) return "the parent is not a DF";
  // 3FFF and FFFF are reserved for path selection; 3F00 is the MF's alone.
  if (id == masterFileId || id == 0x3FFF || id == 0xFFFF) return "identifier " + idText(id) + " is reserved";
  if (id == nodes_[parent].id) return "identifier " + idText(id) + " is that of its parent DF";
  if (child(parent, id)) return "identifier " + idText(id) + " is already used in this DF";
  return {};
}

FileSystem::Added FileSystem::addDedicatedFile(std::size_t parent, std::uint16_t id, Bytes aid) {
  if (auto reason = refusal(parent, id); !reason.empty()) return {std::nullopt, reason};
  FileNode df;
  df.id = id;
  df.dedicated = true;
  df.parent = parent;
  df.aid = std::move(aid);
  nodes_.push_back(std::move(df));
  nodes_[parent].children.push_back(nodes_.size() - 1);
  return {nodes_.size() - 1, {}};
}

FileSystem::Added FileSystem::addElementaryFile(std::size_t parent, std::uint16_t id, Bytes data,
                                                std::uint8_t shortId, bool readOnly) {
  if (auto reason = refusal(parent, id); !reason.empty()) return {std::nullopt, reason};
  if (shortId > 30) return {std::nullopt, "short identifier " + std::to_string(shortId) + " is not 1 to 30"};
  if (shortId != 0 && childByShortId(parent, shortId))
    return {std::nullopt, "short identifier " + std::to_string(shortId) + " is already used in this DF"};
  if (data.size() > maxEfSize) return {std::nullopt, "an EF holds at most 32768 bytes"};
  FileNode ef;
  ef.id = id;
  ef.parent = parent;
  ef.shortId = shortId;
  ef.readOnly = readOnly;
  ef.data = std::move(data);
  nodes_.push_back(std::move(ef));
  nodes_[parent].children.push_back(nodes_.size() - 1);
  return {nodes_.size() - 1, {}};
}

std::optional<std::size_t> FileSystem::child(std::size_t df, std::uint16_t id) const {
  for (std::size_t index : nodes_.at(df).children)
    if (nodes_[index].id == id) return index;
  return std::nullopt;
}

std::optional<std::size_t> FileSystem::childByShortId(std::size_t df, std::uint8_t shortId) const {
  for (std::size_t index : nodes_.at(df).children)
    if (!nodes_[index].dedicated && nodes_[index].shortId == shortId) return index;
  return std::nullopt;
}

std::optional<std::size_t> FileSystem::findByAid(std::span<const std::uint8_t> aid) const {
  if (aid.empty()) return std::nullopt;
  std::optional<std::size_t> partial;
  for (std::size_t index = 0; index < nodes_.size(); ++index) {
    const FileNode& node = nodes_[index];
    if (!node.dedicated || node.aid.size() < aid.size()) continue;
    if (!std::equal(aid.begin(), aid.end(), node.aid.begin())) continue;
    if (node.aid.size() == aid.size()) return index;
    if (!partial) partial = index;
  }
  return partial;
}

std::optional<std::size_t> FileSystem::findPath(std::span<const std::uint16_t> path) const {
  if (path.empty() || path.front() != masterFileId) return std::nullopt;
  std::size_t at = masterFile;
  for (std::uint16_t id : path.subspan(1)) {
    if (!nodes_[at].dedicated) return std::nullopt;
    auto next = child(at, id);
    if (!next) return std::nullopt;
    at = *next;
  }
  return at;
}

}  // namespace keld::reader
