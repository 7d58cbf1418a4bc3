#include "platform/clock/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace keld::clock {
namespace {

struct ScheduledAction {
  Microseconds at;
  std::function<void()> action;
};

struct ClockState {
  std::mutex lock;
  std::atomic<bool> isVirtual{false};
  Microseconds virtualNow = 0;
  Microseconds readStep = 0;
  std::vector<ScheduledAction> scheduled;  // kept sorted by `at`
};

ClockState& state() {
  static ClockState s;
  return s;
}

Microseconds realNow() {
  using namespace std::chrono;
  static const auto epoch = steady_clock::now();
  return static_cast<Microseconds>(duration_cast<microseconds>(steady_clock::now() - epoch).count());
}

// Takes the actions due at `now` out of the schedule; the caller runs them
// after dropping the lock, so that an action may read the clock or schedule more.
std::vector<std::function<void()>> takeDue(ClockState& s, Microseconds now) {
  std::vector<std::function<void()>> due;
  auto end = std::find_if(s.scheduled.begin(), s.scheduled.end(),
                          [now](const ScheduledAction& a) { return a.at > now; });
  for (auto it = s.scheduled.begin(); it != end; ++it) due.push_back(std::move(it->action));
  s.scheduled.erase(s.scheduled.begin(), end);
  return due;
}

void runAll(std::vector<std::function<void()>>& actions) {
  for (auto& action : actions) action();
}

// Moves the virtual clock by `step` and returns the new time.
Microseconds moveVirtual(Microseconds step) {
  ClockState& s = state();
  std::vector<std::function<void()>> due;
  Microseconds now;
  {
    std::lock_guard guard(s.lock);
    s.virtualNow += step;
    now = s.virtualNow;
    if (!s.scheduled.empty()) due = takeDue(s, now);
  }
  runAll(due);
  return now;
}

std::once_flag environmentChecked;

void switchToVirtual(Microseconds start, Microseconds readStep) {
  ClockState& s = state();
  std::lock_guard guard(s.lock);
  s.virtualNow = start;
  s.readStep = readStep;
  s.scheduled.clear();
  s.isVirtual.store(true, std::memory_order_release);
}

}  // namespace

void configureFromEnvironment() {
  // Not through useVirtualClock: that settles the same once-flag, and a
  // nested call_once on one flag never returns.
  std::call_once(environmentChecked, [] {
    const char* value = std::getenv("KELD_VIRTUAL_TIME");
    if (value != nullptr && (std::strcmp(value, "1") == 0 || std::strcmp(value, "yes") == 0))
      switchToVirtual(0, 1000);
  });
}

Microseconds now() {
  configureFromEnvironment();
  ClockState& s = state();
  if (s.isVirtual.load(std::memory_order_acquire)) {
    Microseconds step;
    {
      std::lock_guard guard(s.lock);
      step = s.readStep;
    }
    return moveVirtual(step);
  }
  Microseconds t = realNow();
  std::vector<std::function<void()>> due;
  {
    std::lock_guard guard(s.lock);
    if (!s.scheduled.empty()) due = takeDue(s, t);
  }
  runAll(due);
  return t;
}

void sleepFor(Microseconds duration) {
  configureFromEnvironment();
  if (state().isVirtual.load(std::memory_order_acquire)) {
    moveVirtual(duration);
    return;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(duration));
}

void stallFor(Microseconds duration) {
  configureFromEnvironment();
  if (state().isVirtual.load(std::memory_order_acquire)) {
    moveVirtual(duration);
    return;
  }
  const Microseconds end = realNow() + duration;
  while (realNow() < end) {
  }
}

void useVirtualClock(Microseconds start, Microseconds readStep) {
  std::call_once(environmentChecked, [] {});
  switchToVirtual(start, readStep);
}

void useRealClock() {
  std::call_once(environmentChecked, [] {});
  ClockState& s = state();
  std::lock_guard guard(s.lock);
  s.scheduled.clear();
  s.isVirtual.store(false, std::memory_order_release);
}

bool isVirtual() {
  configureFromEnvironment();
  return state().isVirtual.load(std::memory_order_acquire);
}

void advance(Microseconds duration) {
  if (isVirtual()) moveVirtual(duration);
}

void scheduleAt(Microseconds at, std::function<void()> action) {
  ClockState& s = state();
  std::lock_guard guard(s.lock);
  auto pos = std::upper_bound(s.scheduled.begin(), s.scheduled.end(), at,
                              [](Microseconds t, const ScheduledAction& a) { return t < a.at; });
  s.scheduled.insert(pos, ScheduledAction{at, std::move(action)});
}

}  // namespace keld::clock
