#include "platform/wdm/port_bus.h"

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "platform/wdm/bugcheck.h"
#include "platform/wdm/hal.h"

namespace keld::wdm {
namespace {

struct Claim {
  std::uint32_t length;
  PortDevice* device;
};

struct PortBusState {
  std::shared_mutex lock;
  std::map<PortNumber, Claim> claims;  // by base
  std::shared_ptr<const std::function<void(const PortAccess&)>> trace;
};

PortBusState& bus() {
  static PortBusState state;
  return state;
}

// The claim holding `port`, or nullptr. Caller holds the lock.
const std::pair<const PortNumber, Claim>* findClaim(PortBusState& s, PortNumber port) {
  auto it = s.claims.upper_bound(port);
  if (it == s.claims.begin()) return nullptr;
  --it;
  if (static_cast<std::uint32_t>(port - it->first) >= it->second.length) return nullptr;
  return &*it;
}

void report(const std::shared_ptr<const std::function<void(const PortAccess&)>>& trace, const PortAccess& access) {
  if (trace && *trace) (*trace)(access);
}

}  // namespace

bool claimPorts(PortNumber base, std::uint32_t length, PortDevice& device) {
  if (length == 0 || base + std::uint64_t{length} > 0x10000) return false;
  PortBusState& s = bus();
  std::unique_lock guard(s.lock);
  const std::uint32_t end = base + length;
  for (const auto& [otherBase, claim] : s.claims) {
    const std::uint32_t otherEnd = otherBase + claim.length;
    if (base < otherEnd && otherBase < end) return false;
  }
  s.claims.emplace(base, Claim{length, &device});
  return true;
}

bool releasePorts(PortNumber base) {
  PortBusState& s = bus();
  std::unique_lock guard(s.lock);
  return s.claims.erase(base) == 1;
}

void releasePorts(PortDevice& device) {
  PortBusState& s = bus();
  std::unique_lock guard(s.lock);
  std::erase_if(s.claims, [&device](const auto& entry) { return entry.second.device == &device; });
}

std::uint8_t readPort(PortNumber port) {
  PortBusState& s = bus();
  std::uint8_t value = 0xFF;
  bool claimed = false;
  std::shared_ptr<const std::function<void(const PortAccess&)>> trace;
  {
    // Held across the model's access, so that a release cannot pull the model away mid-access.
    std::shared_lock guard(s.lock);
    trace = s.trace;
    if (const auto* claim = findClaim(s, port)) {
      claimed = true;
      value = claim->second.device->readPort(static_cast<std::uint16_t>(port - claim->first));
    }
  }
  report(trace, PortAccess{port, value, false, claimed});
  return value;
}

void writePort(PortNumber port, std::uint8_t value) {
  PortBusState& s = bus();
  bool claimed = false;
  std::shared_ptr<const std::function<void(const PortAccess&)>> trace;
  {
    std::shared_lock guard(s.lock);
    trace = s.trace;
    if (const auto* claim = findClaim(s, port)) {
      claimed = true;
      claim->second.device->writePort(static_cast<std::uint16_t>(port - claim->first), value);
    }
  }
  report(trace, PortAccess{port, value, true, claimed});
}

void setPortTrace(std::function<void(const PortAccess&)> trace) {
  PortBusState& s = bus();
  std::unique_lock guard(s.lock);
  if (trace)
    s.trace = std::make_shared<const std::function<void(const PortAccess&)>>(std::move(trace));
  else
    s.trace.reset();
}

}  // namespace keld::wdm

namespace {

keld::wdm::PortNumber portNumber(PUCHAR port) {
  const auto address = reinterpret_cast<std::uintptr_t>(port);
  // Anything above the 64 Ki of I/O space is a memory pointer used as a port.
  if (address > 0xFFFF) keld::wdm::bugCheck("port access outside the I/O space");
  return static_cast<keld::wdm::PortNumber>(address);
}

}  // namespace

UCHAR READ_PORT_UCHAR(PUCHAR port) { return keld::wdm::readPort(portNumber(port)); }

VOID WRITE_PORT_UCHAR(PUCHAR port, UCHAR value) { keld::wdm::writePort(portNumber(port), value); }
