#include "reader/cards/iso_application.h"

#include <algorithm>
#include <vector>

namespace keld::reader {
namespace {

constexpr std::uint8_t insSelectFile = 0xA4;
constexpr std::uint8_t insReadBinary = 0xB0;
constexpr std::uint8_t insUpdateBinary = 0xD6;
constexpr std::uint8_t insGetChallenge = 0x84;

void appendObject(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> value) {
  out.push_back(tag);
  out.push_back(static_cast<std::uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

}  // namespace

IsoApplication::IsoApplication(FileSystem files, std::uint64_t challengeSeed)
    : files_(std::move(files)), challengeState_(challengeSeed == 0 ? 1 : challengeSeed) {}

void IsoApplication::reset() {
  currentDf_ = FileSystem::masterFile;
  currentEf_.reset();
}

Bytes IsoApplication::process(std::span<const std::uint8_t> command) {
  const auto apdu = parseCommandApdu(command);
  if (!apdu) return response(statusWrongLength);
  if (apdu->cla == loopbackCla) {
    if (apdu->ins == loopbackIns) return loopback(*apdu);
    return response(statusInsUnsupported);
  }
  // Interindustry class without secure messaging; only the basic channel.
  if ((apdu->cla & 0xFC) != 0x00) return response(statusClaUnsupported);
  if ((apdu->cla & 0x03) != 0) return response(statusLogicalChannelUnsupported);
  switch (apdu->ins) {
    case insSelectFile: return selectFile(*apdu);
    case insReadBinary: return readBinary(*apdu);
    case insUpdateBinary: return updateBinary(*apdu);
    case insGetChallenge: return getChallenge(*apdu);
    default: return response(statusInsUnsupported);
  }
}

// P1 00 by identifier: the MF, the current DF's children, its parent DF and
// the parent's children, in this order.
std::optional<std::size_t> IsoApplication::selectById(std::uint16_t id) const {
  if (id == masterFileId) return FileSystem::masterFile;
  if (files_.node(currentDf_).id == id) return currentDf_;
  if (auto found = files_.child(currentDf_, id)) return found;
  const std::size_t parent = files_.node(currentDf_).parent;
  if (files_.node(parent).id == id) return parent;
  return files_.child(parent, id);
}

Bytes IsoApplication::selectFile(const CommandApdu& apdu) {
  // P2: FCI (00), FCP (04) or no answer data (0C); first occurrence only.
  if (apdu.p2 != 0x00 && apdu.p2 != 0x04 && apdu.p2 != 0x0C) return response(statusIncorrectP1P2);
  const auto data = apdu.data;
  const auto id = [&] { return static_cast<std::uint16_t>(data[0] << 8 | data[1]); };
  std::optional<std::size_t> found;
  switch (apdu.p1) {
    case 0x00:  // MF, DF or EF by identifier; no data selects the MF
      if (data.empty()) found = FileSystem::masterFile;
      else if (data.size() != 2) return response(statusWrongLength);
      else found = selectById(id());
      break;
    case 0x01:  // child DF
    case 0x02:  // EF under the current DF
      if (data.size() != 2) return response(statusWrongLength);
      found = files_.child(currentDf_, id());
      if (found && files_.node(*found).dedicated != (apdu.p1 == 0x01)) found.reset();
      break;
    case 0x03:  // parent DF
      if (!data.empty()) return response(statusWrongLength);
      found = files_.node(currentDf_).parent;
      break;
    case 0x04:  // DF by name
      if (data.empty() || data.size() > 16) return response(statusWrongLength);
      found = files_.findByAid(data);
      break;
    case 0x08:  // path from the MF, without 3F00
    case 0x09: {  // path from the current DF
      if (data.empty() || data.size() % 2 != 0) return response(statusWrongLength);
      std::size_t at = apdu.p1 == 0x08 ? FileSystem::masterFile : currentDf_;
      found = at;
      for (std::size_t i = 0; i < data.size() && found; i += 2) {
        const auto step = static_cast<std::uint16_t>(data[i] << 8 | data[i + 1]);
        found = files_.node(at).dedicated ? files_.child(at, step) : std::nullopt;
        if (found) at = *found;
      }
      break;
    }
    default:
      return response(statusIncorrectP1P2);
  }
  if (!found) return response(statusFileNotFound);
  return selectedAnswer(*found, apdu);
}

Bytes IsoApplication::selectedAnswer(std::size_t index, const CommandApdu& apdu) {
  const FileNode& node = files_.node(index);
  if (node.dedicated) {
    currentDf_ = index;
    currentEf_.reset();
  } else {
    currentDf_ = node.parent;
    currentEf_ = index;
  }
  // Control parameters only when asked for them (Le present, P2 not 0C).
  if (apdu.p2 == 0x0C || !apdu.le) return response(statusOk);
  Bytes inner;
  const std::uint8_t id[] = {static_cast<std::uint8_t>(node.id >> 8), static_cast<std::uint8_t>(node.id)};
  if (node.dedicated) {
    const std::uint8_t descriptor[] = {0x38};
    appendObject(inner, 0x82, descriptor);
    appendObject(inner, 0x83, id);
    if (!node.aid.empty()) appendObject(inner, 0x84, node.aid);
  } else {
    const std::uint8_t size[] = {static_cast<std::uint8_t>(node.data.size() >> 8),
                                 static_cast<std::uint8_t>(node.data.size())};
    const std::uint8_t descriptor[] = {0x01};
    appendObject(inner, 0x80, size);
    appendObject(inner, 0x82, descriptor);
    appendObject(inner, 0x83, id);
    if (node.shortId != 0) {
      const std::uint8_t shortId[] = {static_cast<std::uint8_t>(node.shortId << 3)};
      appendObject(inner, 0x88, shortId);
    }
  }
  Bytes answer;
  appendObject(answer, apdu.p2 == 0x04 ? 0x62 : 0x6F, inner);
  if (answer.size() > *apdu.le) answer.resize(*apdu.le);
  return response(answer, statusOk);
}

IsoApplication::BinaryTarget IsoApplication::binaryTarget(const CommandApdu& apdu) {
  if (apdu.p1 & 0x80) {
    // Short EF identifier in bits 5..1 of P1, bits 7 and 6 zero; offset in P2.
    const std::uint8_t shortId = apdu.p1 & 0x1F;
    if ((apdu.p1 & 0x60) != 0 || shortId == 0 || shortId == 31) return {0, 0, statusIncorrectP1P2};
    auto found = files_.childByShortId(currentDf_, shortId);
    if (!found) return {0, 0, statusFileNotFound};
    currentEf_ = *found;
    return {*found, apdu.p2, statusOk};
  }
  if (!currentEf_) return {0, 0, statusNoCurrentEf};
  return {*currentEf_, binaryOffset(apdu.p1, apdu.p2), statusOk};
}

Bytes IsoApplication::readBinary(const CommandApdu& apdu) {
  if (!apdu.le || !apdu.data.empty()) return response(statusWrongLength);
  const BinaryTarget target = binaryTarget(apdu);
  if (target.status != statusOk) return response(target.status);
  const Bytes& data = files_.node(target.file).data;
  if (target.offset >= data.size()) return response(statusWrongOffset);
  const std::size_t count = std::min(*apdu.le, data.size() - target.offset);
  const auto part = std::span(data).subspan(target.offset, count);
  return response(part, count < *apdu.le ? statusEndReached : statusOk);
}

Bytes IsoApplication::updateBinary(const CommandApdu& apdu) {
  if (apdu.data.empty()) return response(statusWrongLength);
  const BinaryTarget target = binaryTarget(apdu);
  if (target.status != statusOk) return response(target.status);
  FileNode& file = files_.node(target.file);
  if (file.readOnly) return response(statusSecurityNotSatisfied);
  if (target.offset >= file.data.size()) return response(statusWrongOffset);
  // A transparent EF keeps its size: nothing is written when the data would
  // run past its end.
  if (apdu.data.size() > file.data.size() - target.offset) return response(statusNotEnoughSpace);
  std::copy(apdu.data.begin(), apdu.data.end(), file.data.begin() + static_cast<std::ptrdiff_t>(target.offset));
  return response(statusOk);
}

Bytes IsoApplication::getChallenge(const CommandApdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return response(statusIncorrectP1P2);
  if (!apdu.le || !apdu.data.empty()) return response(statusWrongLength);
  Bytes challenge(*apdu.le);
  for (auto& byte : challenge) {
    // xorshift64: unpredictable enough for a test card, reproducible by seed.
    challengeState_ ^= challengeState_ << 13;
    challengeState_ ^= challengeState_ >> 7;
    challengeState_ ^= challengeState_ << 17;
    byte = static_cast<std::uint8_t>(challengeState_ >> 24);
  }
  return response(challenge, statusOk);
}

Bytes IsoApplication::loopback(const CommandApdu& apdu) const {
  if (apdu.p1 != 0 || apdu.p2 != 0) return response(statusIncorrectP1P2);
  if (!apdu.le) return response(statusOk);
  Bytes answer(*apdu.le);
  for (std::size_t i = 0; i < answer.size(); ++i)
    answer[i] = apdu.data.empty() ? static_cast<std::uint8_t>(i) : apdu.data[i % apdu.data.size()];
  return response(answer, statusOk);
}

}  // namespace keld::reader
