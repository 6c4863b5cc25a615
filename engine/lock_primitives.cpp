#include "engine/lock_primitives.h"

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

bool LockWithRetries(TFileHandler& file, std::int64_t offset, std::int64_t length) {
  for (int attempt = 0; attempt < kInternalLockAttempts; ++attempt) {
    if (file.LockRegion(offset, length, true)) return true;
    if (attempt + 1 < kInternalLockAttempts) platform::SleepMilliseconds(kInternalLockSleepMs);
  }
  return false;
}

bool LockReadSlot(TFileHandler& file, std::uint16_t& slot) {
  for (int attempt = 0; attempt < kInternalLockAttempts; ++attempt) {
    std::uint16_t candidate = RandomReadSlot();
    if (file.LockRegion(kReadSlotBase - candidate, 1, true)) {
      slot = candidate;
      return true;
    }
    if (attempt + 1 < kInternalLockAttempts) platform::SleepMilliseconds(kInternalLockSleepMs);
  }
  return false;
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
