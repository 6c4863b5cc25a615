#pragma once
// TTableImage: a whole table as one byte image that a caller reads or writes like a stream, and
// the backup copy of a table's index file.
//
// Image layout, little-endian:
//
//   OFFSET      SIZE  DESCRIPTION
//   0           4     D = size of the data file in bytes (signed 32-bit)
//   4           D     the data file, byte for byte
//   4+D         4     I = size of the index file
//   8+D         I     the index file
//   8+D+I       4     B = size of the BLOB file (only when the table has BLOB fields)
//   12+D+I      B     the BLOB file
//
// Loading (reading the table out) holds the table's read lock and the three files' sections
// from BeginBufferLoad to EndBufferLoad; pending changes are flushed first, so the image holds
// what the table holds. Saving (replacing the table) collects the image from SaveToBuffer calls;
// EndBufferSave checks that the image belongs to the table (same header layout, record size,
// field definitions and index definitions, consistent sizes) before anything is written, and
// raises KORVEL_HEADERCORRUPT leaving the table as it was when it does not. An empty image
// empties the table. The buffer grows and shrinks in steps of 4096 bytes.

#include <cstdint>
#include <vector>

#include "engine/data_cursor.h"

namespace korvel {

inline constexpr std::int64_t kImageBufferStep = 4096;

class TTableImage {
 public:
  // The cursor must stay open while the image is in use.
  explicit TTableImage(TDataCursor& cursor) : cursor_(cursor) {}
  // Releases a load or save still in progress (a save is then abandoned, nothing written).
  ~TTableImage();
  TTableImage(const TTableImage&) = delete;
  TTableImage& operator=(const TTableImage&) = delete;

  void BeginBufferLoad();
  // Copies min(count, size - position) bytes from the image at `position`; returns that number.
  std::int64_t LoadFromBuffer(void* dest, std::int64_t position, std::int64_t count) const;
  void EndBufferLoad();

  void BeginBufferSave();
  // count 0 truncates the image at `position`; otherwise copies `count` bytes to `position`,
  // growing the image, and returns count.
  std::int64_t SaveToBuffer(const void* source, std::int64_t position, std::int64_t count);
  void EndBufferSave();

  std::int64_t GetBufferSize() const { return size_; }
  void ResizeMemoryBuffer(std::int64_t size);

  // Raises KORVEL_HEADERCORRUPT unless `image` would be a valid image of the open table.
  static void CheckImage(TDataCursor& cursor, const std::uint8_t* image, std::int64_t size);

 private:
  void HoldFiles(bool hold);
  void ReleaseLoad() noexcept;
  void ReleaseSave() noexcept;

  TDataCursor& cursor_;
  std::vector<std::uint8_t> buffer_;  // capacity in steps of kImageBufferStep
  std::int64_t size_ = 0;             // bytes of the image
  bool loading_ = false;
  bool saving_ = false;
  bool tookReadLock_ = false;
  bool tookWriteLock_ = false;
  bool holdingFiles_ = false;
};

// Writes pending changes and copies the index file to the table's name with ".IBK".
void InternalBackupIndex(TDataCursor& cursor);
// Copies the ".IBK" copy back over the index file unless noRestore, and deletes the ".IBK"
// file when deleteBackup and it exists.
void InternalRestoreIndex(TDataCursor& cursor, bool noRestore, bool deleteBackup);

}  // namespace korvel
