#include "engine/lock_primitives.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <random>

#include "platform/system_info.h"

namespace korvel {

std::uint16_t RandomReadSlot() {
  // One generator per thread, seeded from the clock, the process and the thread, so that
  // sessions started at the same moment still spread over the slots.
  thread_local std::minstd_rand generator(
      static_cast<std::uint32_t>(platform::TickCount()) ^
      (static_cast<std::uint32_t>(platform::CurrentProcessId()) << 16) ^
      static_cast<std::uint32_t>(platform::CurrentThreadId()) ^
      static_cast<std::uint32_t>(std::random_device{}()));
  std::uint16_t slot = static_cast<std::uint16_t>(generator() & 0xFFFF);
  return slot == 0 ? 1 : slot;
}

namespace {

std::atomic<std::int64_t> lockTimeLimitMs{kInternalLockTimeLimit.count()};

// Calls `attempt` until it succeeds or the time limit has passed.
template <typename Attempt>
bool RetryUntilLimit(Attempt attempt) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + InternalLockTimeLimit();
  thread_local std::minstd_rand jitter(static_cast<std::uint32_t>(std::random_device{}()));
  std::int64_t sleep = kFirstSleepMicroseconds;
  for (int tries = 0;; ++tries) {
    const std::uint64_t generation = LockReleaseGeneration();
    if (attempt()) return true;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    if (tries < kYieldAttempts) {
      sched_yield();
      continue;
    }
    std::int64_t left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    std::int64_t wait = sleep / 2 + static_cast<std::int64_t>(jitter() % static_cast<std::uint32_t>(sleep / 2 + 1));
    WaitForLockRelease(generation, std::min(wait, left));
    sleep = std::min(sleep * 2, kLastSleepMicroseconds);
  }
}

bool LockSlot(TFileHandler& file, std::uint16_t slot) {
  return file.ReadOnly ? file.LockRegionShared(kReadSlotBase - slot, 1) : file.LockRegion(kReadSlotBase - slot, 1, true);
}

}  // namespace

std::chrono::milliseconds InternalLockTimeLimit() { return std::chrono::milliseconds(lockTimeLimitMs.load()); }
void SetInternalLockTimeLimit(std::chrono::milliseconds limit) { lockTimeLimitMs.store(limit.count()); }

bool LockWithRetries(TFileHandler& file, std::int64_t offset, std::int64_t length) {
  return RetryUntilLimit([&] { return file.LockRegion(offset, length, true); });
}

bool LockReadSlot(TFileHandler& file, std::uint16_t& slot) {
  return RetryUntilLimit([&] {
    std::uint16_t candidate = RandomReadSlot();
    if (!LockSlot(file, candidate)) return false;
    slot = candidate;
    return true;
  });
}

bool UnlockReadSlot(TFileHandler& file, std::uint16_t slot) {
  return slot != 0 && file.LockRegion(kReadSlotBase - slot, 1, false);
}

bool LockPageWriteRegion(TFileHandler& file) {
  return LockWithRetries(file, kPageWriteLockOffset, kPageWriteLockLength);
}

bool UnlockPageWriteRegion(TFileHandler& file) {
  return file.LockRegion(kPageWriteLockOffset, kPageWriteLockLength, false);
}

}  // namespace korvel
