// The tests' clock hook: the system's real-time clock answers unless a test stopped it at a
// moment of its choosing.
#include "doubles/test_clock.h"

#include <mutex>

#include "platform/test_hooks.h"

namespace {

std::mutex gClockLock;   // guards both fields below
bool gStopped = false;   // the stopped moment answers instead of the system's clock
timespec gStoppedAt{};   // that moment

}  // namespace

void ClockStoppedAtForTesting(int64_t seconds, int32_t milliseconds) {
  std::lock_guard<std::mutex> guard(gClockLock);
  gStopped = true;
  gStoppedAt.tv_sec = static_cast<time_t>(seconds);  // cut short where time_t is 32 bits
  gStoppedAt.tv_nsec = static_cast<long>(milliseconds) * 1000000;
}

void ClockFromSystemForTesting() {
  std::lock_guard<std::mutex> guard(gClockLock);
  gStopped = false;
}

bool TestStoppedClock(timespec* now) {
  std::lock_guard<std::mutex> guard(gClockLock);
  if (gStopped) *now = gStoppedAt;
  return gStopped;
}
