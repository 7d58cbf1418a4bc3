#include "host/kernel_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "host/card_source.h"
#include "host/fault_description.h"
#include "host/log.h"
#include "platform/clock/clock.h"
#include "platform/wdm/kernel_host.h"
#include "platform/wdm/port_bus.h"
#include "reader/emulator.h"

namespace keld::host {
namespace {

namespace proto = keld::hostproto;

std::string statusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, static_cast<std::uint32_t>(status));
  return text;
}

std::string hex16(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

const char* cardStateName(reader::CardState state) {
  switch (state) {
    case reader::CardState::None: return "empty slot";
    case reader::CardState::Present: return "card present";
    case reader::CardState::Active: return "card active";
  }
  return "?";
}

void applyFault(reader::ReaderEmulator& emulator, const FaultRequest& fault) {
  if (fault.clear) emulator.clearFaults();
  if (fault.corruptAnswers != 0) emulator.corruptNextAnswers(fault.corruptAnswers);
  if (fault.silentBlocks != 0) emulator.silenceNextBlocks(fault.silentBlocks);
  if (fault.timeOutBlocks != 0) emulator.timeOutNextBlocks(fault.timeOutBlocks);
  if (fault.failIdentifications != 0) emulator.failNextIdentifications(fault.failIdentifications);
  if (fault.stuckBusy) emulator.setStuckBusy(*fault.stuckBusy);
  if (fault.unsolicited) emulator.offerBeforeNextAnswer(*fault.unsolicited);
}

// One configured reader: the emulated hardware, and its device stack while
// it is plugged in.
struct Reader {
  int index = 0;
  ReaderConfig config;
  std::shared_ptr<reader::ReaderEmulator> emulator;

  // Control requests hold it shared; plug-and-play and power hold it
  // exclusively, so that no request is inside the driver while its device
  // goes away or changes power state.
  std::shared_mutex stackLock;
  PDEVICE_OBJECT physicalDevice = nullptr;  // null while unplugged
  std::string deviceName;                   // "\Device\KELDCT<n>" the driver made for it
  std::string state = "not plugged in";
  bool suspended = false;

  std::string describe() const {
    return "reader " + std::to_string(index) + " (sim at " + hex16(config.ioBase) + ")";
  }
};

struct OpenHandle {
  wdm::FileHandle file;
  Reader* reader;  // the reader whose device it opened; null for other devices
  std::string name;
};

class DriverHost final : public KernelHost {
 public:
  ~DriverHost() override { stop(); }

  bool load(const std::string& path, std::string& error) {
    library_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
      const char* reason = ::dlerror();
      error = "cannot load the driver " + path + ": " + (reason ? reason : "unknown reason");
      return false;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(::dlsym(library_, "DriverEntry"));
    if (entry == nullptr) {
      error = "the driver " + path + " has no DriverEntry";
      return false;
    }
    const wdm::LoadedDriver loaded = wdm::loadDriver(entry, "keldrin");
    if (loaded.driver == nullptr) {
      error = "DriverEntry of " + path + " failed with status " + statusText(loaded.status);
      return false;
    }
    driver_ = loaded.driver;
    logLine(LogLevel::Info, "driver loaded from %s", path.c_str());
    return true;
  }

  bool addReaders(const std::vector<ReaderConfig>& configs, std::string& error) {
    for (std::size_t i = 0; i < configs.size(); ++i) {
      auto r = std::make_unique<Reader>();
      r->index = static_cast<int>(i);
      r->config = configs[i];
      std::optional<reader::Personality> personality =
          r->config.firmware.empty() ? reader::Personality{}
                                     : reader::makePersonality(r->config.firmware, 0x01);
      if (!personality) {
        error = r->describe() + ": firmware '" + r->config.firmware + "' is not a version text";
        return false;
      }
      if (r->config.variant) personality->variant = *r->config.variant;
      r->emulator = std::make_shared<reader::ReaderEmulator>(*personality, r->config.ioBase);
      r->emulator->setCardChangeNotifications(r->config.cardChangeNotifications);
      if (r->config.card != CardChoice::None) {
        std::shared_ptr<reader::Card> card =
            loadCard(r->config.card == CardChoice::Image ? r->config.cardImage : std::string{}, error);
        if (!card) {
          error = r->describe() + ": " + error;
          return false;
        }
        r->emulator->insertCard(std::move(card));
      }
      readers_.push_back(std::move(r));
    }
    for (auto& r : readers_) {
      std::unique_lock lock(r->stackLock);
      plugIn(*r);
    }
    return true;
  }

  OpenOutcome open(std::string_view name) override {
    Reader* reader = readerForName(name);
    std::shared_lock<std::shared_mutex> lock;
    if (reader != nullptr) lock = std::shared_lock(reader->stackLock);
    wdm::FileHandle file;
    const NTSTATUS status = wdm::openDevice(name, file);
    if (!NT_SUCCESS(status)) return {status, 0};
    std::lock_guard guard(handlesLock_);
    const std::uint32_t handle = nextHandle_++;
    handles_[handle] = OpenHandle{std::move(file), reader, std::string(name)};
    return {status, handle};
  }

  ControlOutcome control(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
                         std::uint32_t outputSize) override {
    std::optional<OpenHandle> open = find(handle);
    if (!open) return {proto::STATUS_INVALID_HANDLE, 0, {}};
    std::shared_lock<std::shared_mutex> lock;
    if (open->reader != nullptr) lock = std::shared_lock(open->reader->stackLock);
    wdm::ControlResult result = wdm::deviceIoControl(open->file, code, input, outputSize);
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(result.information, outputSize));
    return {result.status, count, std::move(result.output)};
  }

  std::int32_t close(std::uint32_t handle) override {
    std::optional<OpenHandle> open;
    {
      std::lock_guard guard(handlesLock_);
      auto it = handles_.find(handle);
      if (it == handles_.end()) return proto::STATUS_INVALID_HANDLE;
      open = std::move(it->second);
      handles_.erase(it);
    }
    std::shared_lock<std::shared_mutex> lock;
    if (open->reader != nullptr) lock = std::shared_lock(open->reader->stackLock);
    return wdm::closeDevice(open->file);
  }

  CommandOutcome command(proto::HostCommand command, std::uint16_t readerIndex, std::uint32_t delayMs,
                         std::string_view argument) override {
    using proto::HostCommand;
    const bool delayable = command == HostCommand::InsertCard || command == HostCommand::RemoveCard ||
                           command == HostCommand::InjectFault;
    if (delayMs != 0 && !delayable)
      return {proto::STATUS_INVALID_PARAMETER, "only card and fault commands can be delayed"};
    switch (command) {
      case HostCommand::Status: return {proto::STATUS_SUCCESS, statusReport()};
      case HostCommand::Suspend: return setPower(readerIndex, true);
      case HostCommand::Resume: return setPower(readerIndex, false);
      default: break;
    }
    Reader* reader = readerAt(readerIndex);
    if (reader == nullptr)
      return {proto::STATUS_INVALID_PARAMETER, "no reader " + std::to_string(readerIndex) + " is configured"};
    switch (command) {
      case HostCommand::InsertCard: {
        std::string error;
        std::shared_ptr<reader::Card> card = loadCard(argument, error);
        if (!card) return {proto::STATUS_INVALID_PARAMETER, error};
        auto emulator = reader->emulator;
        return later(delayMs, [emulator, card] { emulator->insertCard(card); }, "card inserted");
      }
      case HostCommand::RemoveCard: {
        auto emulator = reader->emulator;
        return later(delayMs, [emulator] { emulator->removeCard(); }, "card removed");
      }
      case HostCommand::InjectFault: {
        std::string error;
        std::optional<FaultRequest> fault = parseFaultDescription(argument, error);
        if (!fault) return {proto::STATUS_INVALID_PARAMETER, error};
        auto emulator = reader->emulator;
        return later(delayMs, [emulator, f = *fault] { applyFault(*emulator, f); }, "fault set");
      }
      case HostCommand::Unplug: return unplug(*reader);
      case HostCommand::Replug: return replug(*reader);
      default: break;
    }
    return {proto::STATUS_NOT_SUPPORTED, "unknown command"};
  }

  void stop() override {
    if (stopped_.exchange(true)) return;
    {
      std::lock_guard guard(timersLock_);
      alive_->store(false);
    }
    timersWake_.notify_all();
    for (std::thread& t : timers_) t.join();
    timers_.clear();
    std::map<std::uint32_t, OpenHandle> left;
    {
      std::lock_guard guard(handlesLock_);
      left.swap(handles_);
    }
    for (auto& [handle, open] : left) wdm::closeDevice(open.file);
    for (auto& r : readers_) {
      std::unique_lock lock(r->stackLock);
      if (r->physicalDevice == nullptr) continue;
      // An orderly removal, as when the card is stopped before it is taken out.
      wdm::sendPnp(r->physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE);
      const NTSTATUS status = wdm::sendPnp(r->physicalDevice, IRP_MN_REMOVE_DEVICE);
      logLine(LogLevel::Info, "%s removed: status %s", r->describe().c_str(), statusText(status).c_str());
      takeOffBus(*r, "stopped");
    }
    if (driver_ != nullptr) {
      const NTSTATUS status = wdm::unloadDriver(driver_);
      if (!NT_SUCCESS(status)) logLine(LogLevel::Warn, "driver unload: status %s", statusText(status).c_str());
      driver_ = nullptr;
    }
    // The module stays mapped: the kernel stand-in may still hold its addresses
    // in objects that outlive the unload (a handle released late).
  }

 private:
  // Bus driver and PnP manager: a new physical device, AddDevice, start.
  // Caller holds the reader's stack lock exclusively.
  void plugIn(Reader& r) {
    if (!wdm::claimPorts(r.config.ioBase, r.config.portLength, *r.emulator)) {
      r.state = "ports " + hex16(r.config.ioBase) + " are taken";
      logLine(LogLevel::Error, "%s: its ports are claimed by another device", r.describe().c_str());
      return;
    }
    const std::string instance = "PCMCIA\\KELDMATIC\\" + std::to_string(r.index) + "_" + std::to_string(++plugCount_);
    r.physicalDevice = wdm::createPhysicalDevice(instance);
    if (r.physicalDevice == nullptr) {
      wdm::releasePorts(r.config.ioBase);
      r.state = "no physical device";
      logLine(LogLevel::Error, "%s: cannot create its physical device", r.describe().c_str());
      return;
    }
    const std::vector<std::string> before = wdm::deviceNames();
    const NTSTATUS added = wdm::addDevice(driver_, r.physicalDevice);
    if (!NT_SUCCESS(added)) {
      if (added == STATUS_INSUFFICIENT_RESOURCES) {
        logLine(LogLevel::Error, "%s: the driver refused it (status %s): it serves at most two readers",
                r.describe().c_str(), statusText(added).c_str());
        r.state = "refused by the driver (it serves at most two readers)";
      } else {
        logLine(LogLevel::Error, "%s: AddDevice failed with status %s", r.describe().c_str(),
                statusText(added).c_str());
        r.state = "AddDevice failed (" + statusText(added) + ")";
      }
      wdm::deletePhysicalDevice(r.physicalDevice);
      r.physicalDevice = nullptr;
      wdm::releasePorts(r.config.ioBase);
      return;
    }
    r.deviceName.clear();
    for (const std::string& name : wdm::deviceNames())
      if (std::find(before.begin(), before.end(), name) == before.end()) r.deviceName = name;

    const NTSTATUS started =
        wdm::startDevice(r.physicalDevice, r.config.ioBase, r.config.portLength, r.config.interruptVector);
    if (!NT_SUCCESS(started)) {
      // The PnP manager takes a device that failed to start off its stack.
      logLine(LogLevel::Error, "%s: start failed with status %s", r.describe().c_str(), statusText(started).c_str());
      wdm::sendPnp(r.physicalDevice, IRP_MN_REMOVE_DEVICE);
      takeOffBus(r, "start failed (" + statusText(started) + ")");
      return;
    }
    r.suspended = false;
    r.state = "started";
    logLine(LogLevel::Info, "%s started as %s", r.describe().c_str(), r.deviceName.c_str());
  }

  void takeOffBus(Reader& r, std::string state) {
    wdm::deletePhysicalDevice(r.physicalDevice);
    r.physicalDevice = nullptr;
    r.deviceName.clear();
    wdm::releasePorts(r.config.ioBase);
    r.state = std::move(state);
  }

  CommandOutcome unplug(Reader& r) {
    std::unique_lock lock(r.stackLock);
    if (r.physicalDevice == nullptr) return {proto::STATUS_INVALID_DEVICE_STATE, r.describe() + " is not plugged in"};
    const NTSTATUS surprise = wdm::sendPnp(r.physicalDevice, IRP_MN_SURPRISE_REMOVAL);
    const NTSTATUS removed = wdm::sendPnp(r.physicalDevice, IRP_MN_REMOVE_DEVICE);
    logLine(LogLevel::Info, "%s unplugged: surprise removal %s, removal %s", r.describe().c_str(),
            statusText(surprise).c_str(), statusText(removed).c_str());
    takeOffBus(r, "unplugged");
    return {proto::STATUS_SUCCESS, r.describe() + " unplugged"};
  }

  CommandOutcome replug(Reader& r) {
    std::unique_lock lock(r.stackLock);
    if (r.physicalDevice != nullptr) return {proto::STATUS_INVALID_DEVICE_STATE, r.describe() + " is plugged in"};
    plugIn(r);
    if (r.state != "started") return {proto::STATUS_UNSUCCESSFUL, r.describe() + ": " + r.state};
    return {proto::STATUS_SUCCESS, r.describe() + " plugged in as " + r.deviceName};
  }

  // System sleep (S3) or back to working, for one reader or all of them.
  CommandOutcome setPower(std::uint16_t readerIndex, bool sleep) {
    std::string text;
    std::int32_t worst = proto::STATUS_SUCCESS;
    bool any = false;
    for (auto& r : readers_) {
      if (readerIndex != proto::ALL_READERS && r->index != readerIndex) continue;
      any = true;
      std::unique_lock lock(r->stackLock);
      if (r->physicalDevice == nullptr) continue;
      const NTSTATUS status =
          wdm::setSystemPower(r->physicalDevice, sleep ? PowerSystemSleeping3 : PowerSystemWorking);
      if (NT_SUCCESS(status)) r->suspended = sleep;
      if (!NT_SUCCESS(status)) worst = status;
      text += r->describe() + (sleep ? " suspended" : " resumed") + ": status " + statusText(status) + "\n";
      logLine(LogLevel::Info, "%s %s: status %s", r->describe().c_str(), sleep ? "suspended (S3)" : "resumed (S0)",
              statusText(status).c_str());
    }
    if (!any) return {proto::STATUS_INVALID_PARAMETER, "no reader " + std::to_string(readerIndex) + " is configured"};
    return {worst, text};
  }

  // Runs `action` now, or `delayMs` from now on the host's clock: on the
  // virtual clock when the driver's waits move it there, else on a timer.
  CommandOutcome later(std::uint32_t delayMs, std::function<void()> action, std::string done) {
    if (delayMs == 0) {
      action();
      return {proto::STATUS_SUCCESS, done};
    }
    auto alive = alive_;
    auto guarded = [alive, action = std::move(action)] {
      if (alive->load()) action();
    };
    if (clock::isVirtual()) {
      clock::scheduleAt(clock::now() + clock::milliseconds(delayMs), guarded);
    } else {
      std::lock_guard guard(timersLock_);
      timers_.emplace_back([this, alive, delayMs, guarded] {
        std::unique_lock lock(timersLock_);
        if (!timersWake_.wait_for(lock, std::chrono::milliseconds(delayMs), [&] { return !alive->load(); })) {
          lock.unlock();
          guarded();
        }
      });
    }
    return {proto::STATUS_SUCCESS, done + " in " + std::to_string(delayMs) + " ms"};
  }

  std::string statusReport() {
    std::string text;
    for (auto& r : readers_) {
      std::shared_lock lock(r->stackLock);
      const reader::Personality& p = r->emulator->personality();
      text += r->describe() + ": irq " + std::to_string(r->config.interruptVector) + ", firmware " + p.versionText +
              ", " + r->state;
      if (!r->deviceName.empty()) text += ", device " + r->deviceName;
      if (r->suspended) text += ", suspended";
      text += ", " + std::string(cardStateName(r->emulator->cardState())) + "\n";
    }
    for (const std::string& link : wdm::symbolicLinkNames()) {
      const auto target = wdm::symbolicLinkTarget(link);
      text += "link " + link + " -> " + (target ? *target : "?") + "\n";
    }
    std::lock_guard guard(handlesLock_);
    text += "open handles: " + std::to_string(handles_.size()) + "\n";
    for (const auto& [handle, open] : handles_) text += "handle " + std::to_string(handle) + ": " + open.name + "\n";
    return text;
  }

  Reader* readerAt(std::uint16_t index) {
    for (auto& r : readers_)
      if (r->index == index) return r.get();
    return nullptr;
  }

  Reader* readerForName(std::string_view name) {
    const std::optional<std::string> device = wdm::resolveName(name);
    if (!device) return nullptr;
    for (auto& r : readers_) {
      std::shared_lock lock(r->stackLock);
      if (r->deviceName == *device) return r.get();
    }
    return nullptr;
  }

  std::optional<OpenHandle> find(std::uint32_t handle) {
    std::lock_guard guard(handlesLock_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return std::nullopt;
    return it->second;
  }

  void* library_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<Reader>> readers_;
  unsigned plugCount_ = 0;

  std::mutex handlesLock_;
  std::map<std::uint32_t, OpenHandle> handles_;
  std::uint32_t nextHandle_ = 1;

  std::mutex timersLock_;
  std::condition_variable timersWake_;
  std::vector<std::thread> timers_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  std::atomic<bool> stopped_{false};
};

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string ownDirectory(const std::string& programPath) {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return directoryOf(std::string(buffer, static_cast<std::size_t>(n)));
  return directoryOf(programPath);
}

// --driver, else keldrin.so beside keldrind, else the build tree's, else the installed one.
std::string findDriver(const HostConfig& config, const std::string& programPath) {
  if (!config.driverPath.empty()) return config.driverPath;
  std::vector<std::string> candidates{ownDirectory(programPath) + "/keldrin.so"};
#ifdef KELD_DRIVER_BUILD_PATH
  candidates.emplace_back(KELD_DRIVER_BUILD_PATH);
#endif
#ifdef KELD_DRIVER_INSTALL_PATH
  candidates.emplace_back(KELD_DRIVER_INSTALL_PATH);
#endif
  for (const std::string& candidate : candidates)
    if (::access(candidate.c_str(), R_OK) == 0) return candidate;
  return candidates.back();
}

}  // namespace

std::unique_ptr<KernelHost> KernelHost::start(const HostConfig& config, const std::string& programPath,
                                              std::string& error) {
  auto host = std::make_unique<DriverHost>();
  if (!host->load(findDriver(config, programPath), error)) return nullptr;
  if (!host->addReaders(effectiveReaders(config), error)) {
    host->stop();
    return nullptr;
  }
  return host;
}

}  // namespace keld::host
