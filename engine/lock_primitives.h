#pragma once
// The byte-range lock primitives the table files share, with their retry rules.
//
// All locks lie at offsets near the 4 GiB mark, beyond any data the files hold:
//
//   OFFSET                   LENGTH      FILE          LOCK
//   0xFFFFFFFE - r           1           data          record r (r = 1 ... 200,000,000)
//   0xF4143DFD               200000001   data          user table write lock (covers every record)
//   0xF4143DFC - n           1           data          user semaphore n (1 ... 1024)
//   0xFFFFFFFF               1           data          write lock (writes and transactions)
//   0xFFFEFFFF               0x10000     index, BLOB   write lock (covers every read slot)
//   0xFFFFFFFF - s           1           index, BLOB   read lock in slot s (1 ... 65535)
//
// Internal write and read locks keep trying the same ranges without blocking (the protocol other
// openers poll too) until kInternalLockTimeLimit has passed: at once, then kYieldAttempts times
// after yielding the processor, then after sleeps that grow from kFirstSleepMicroseconds to
// kLastSleepMicroseconds, each drawn at random from its upper half so that waiters spread out. A
// release by another opener in this process ends a sleep at once. A read lock draws a fresh
// random slot before every attempt.
//
// On a descriptor opened for reading only, read slots are shared locks: they still conflict with
// a writer's region, and a read-only descriptor can hold no other kind.

#include <chrono>
#include <cstdint>

#include "support/files.h"

namespace korvel {

inline constexpr std::int64_t kRecordLockBase = 0xFFFFFFFELL;  // record r at base - r
inline constexpr std::int64_t kUserTableLockOffset = 0xF4143DFDLL;
inline constexpr std::int64_t kUserTableLockLength = 200000001LL;
inline constexpr std::int64_t kSemaphoreLockBase = 0xF4143DFCLL;  // semaphore n at base - n
inline constexpr std::int64_t kDataWriteLockOffset = 0xFFFFFFFFLL;
inline constexpr std::int64_t kPageWriteLockOffset = 0xFFFEFFFFLL;  // index and BLOB files
inline constexpr std::int64_t kPageWriteLockLength = 0x10000LL;
inline constexpr std::int64_t kReadSlotBase = 0xFFFFFFFFLL;  // read slot s at base - s

// 32,767 attempts 3 ms apart: the bound every opener of the files has always waited.
inline constexpr std::chrono::milliseconds kInternalLockTimeLimit{32767 * 3};
inline constexpr int kYieldAttempts = 4;
inline constexpr std::int64_t kFirstSleepMicroseconds = 50;
inline constexpr std::int64_t kLastSleepMicroseconds = 3000;

// The bound in force (kInternalLockTimeLimit unless a test shortened it).
std::chrono::milliseconds InternalLockTimeLimit();
void SetInternalLockTimeLimit(std::chrono::milliseconds limit);

// A read slot drawn uniformly from 0 ... 65535, 0 replaced by 1.
std::uint16_t RandomReadSlot();

// Tries the range until the time limit; false when it was refused throughout.
bool LockWithRetries(TFileHandler& file, std::int64_t offset, std::int64_t length);
// Takes a read slot of an index or BLOB file, drawing a new slot before every attempt.
bool LockReadSlot(TFileHandler& file, std::uint16_t& slot);
bool UnlockReadSlot(TFileHandler& file, std::uint16_t slot);
// The write region of an index or BLOB file.
bool LockPageWriteRegion(TFileHandler& file);
bool UnlockPageWriteRegion(TFileHandler& file);

}  // namespace korvel
