#include "support/port_script.h"

#include <cstdio>

namespace keld::test {
namespace {

std::string describe(const PortScript::Step& step, bool withValue) {
  char text[64];
  if (step.isWrite)
    std::snprintf(text, sizeof text, "write 0x%02X to base+%u", step.value, step.offset);
  else if (withValue)
    std::snprintf(text, sizeof text, "read of base+%u (returning 0x%02X)", step.offset, step.value);
  else
    std::snprintf(text, sizeof text, "read of base+%u", step.offset);
  return text;
}

}  // namespace

PortScript& PortScript::write(std::uint16_t offset, std::uint8_t value) {
  std::lock_guard guard(lock_);
  steps_.push_back({true, offset, value});
  return *this;
}

PortScript& PortScript::read(std::uint16_t offset, std::uint8_t result) {
  std::lock_guard guard(lock_);
  steps_.push_back({false, offset, result});
  return *this;
}

PortScript& PortScript::reads(std::uint16_t offset, std::uint8_t result, std::size_t times) {
  for (std::size_t i = 0; i < times; ++i) read(offset, result);
  return *this;
}

PortScript& PortScript::writeBytes(std::uint16_t offset, const Bytes& values) {
  for (const std::uint8_t value : values) write(offset, value);
  return *this;
}

PortScript& PortScript::readBytes(std::uint16_t offset, const Bytes& results) {
  for (const std::uint8_t result : results) read(offset, result);
  return *this;
}

std::string PortScript::verify() const {
  std::lock_guard guard(lock_);
  if (!failure_.empty()) return failure_;
  if (next_ < steps_.size())
    return "stopped after step " + std::to_string(next_) + " of " + std::to_string(steps_.size()) +
           ": next expected " + describe(steps_[next_], true);
  return {};
}

std::size_t PortScript::position() const {
  std::lock_guard guard(lock_);
  return next_;
}

std::vector<std::string> PortScript::trace() const {
  std::lock_guard guard(lock_);
  return trace_;
}

void PortScript::take(const Step& seen, std::uint8_t* result) {
  std::lock_guard guard(lock_);
  char entry[16];
  if (failure_.empty() && next_ >= steps_.size()) {
    failure_ = "step " + std::to_string(next_ + 1) + ": expected nothing more, got " + describe(seen, false);
  } else if (failure_.empty()) {
    const Step& expected = steps_[next_];
    if (expected.isWrite != seen.isWrite || expected.offset != seen.offset ||
        (seen.isWrite && expected.value != seen.value)) {
      failure_ = "step " + std::to_string(next_ + 1) + ": expected " + describe(expected, true) + ", got " +
                 describe(seen, false);
    } else {
      ++next_;
      if (result != nullptr) *result = expected.value;
    }
  }
  std::snprintf(entry, sizeof entry, "%c%u=%02X", seen.isWrite ? 'W' : 'R', seen.offset,
                seen.isWrite ? seen.value : (result != nullptr ? *result : 0));
  trace_.emplace_back(entry);
}

std::uint8_t PortScript::readPort(std::uint16_t offset) {
  std::uint8_t result = 0;
  take({false, offset, 0}, &result);
  return result;
}

void PortScript::writePort(std::uint16_t offset, std::uint8_t value) { take({true, offset, value}, nullptr); }

}  // namespace keld::test
