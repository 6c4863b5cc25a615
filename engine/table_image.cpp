#include "engine/table_image.h"

#include <algorithm>
#include <cstring>

#include "engine/blob_file.h"
#include "engine/data_table.h"
#include "engine/index_file.h"
#include "support/byte_order.h"
#include "support/files.h"

namespace korvel {

namespace {

[[noreturn]] void RaiseImage(TDataCursor& cursor, TErrorCode code) { RaiseTableError(code, cursor.TableName); }

// The data header bytes that fix the table's layout: an image whose bytes differ here was not
// made from this table's structure.
struct TLayoutRange {
  std::size_t offset;
  std::size_t size;
};
constexpr TLayoutRange kLayoutRanges[] = {
    {TDataHeader::kBlobBlockSize, 4}, {TDataHeader::kVersionNum, 1},  {TDataHeader::kRecordSize, 2},
    {TDataHeader::kFieldCount, 2},    {TDataHeader::kBlobFieldCount, 2}, {TDataHeader::kEncrypted, 1},
    {TDataHeader::kLanguageID, 2},    {TDataHeader::kSortID, 2},
};

std::int64_t FileSizeOf(TFileHandler& file) { return file.GetSize(); }

}  // namespace

TTableImage::~TTableImage() {
  if (loading_) ReleaseLoad();
  if (saving_) ReleaseSave();
}

void TTableImage::ResizeMemoryBuffer(std::int64_t size) {
  if (size < 1) {
    buffer_.clear();
    buffer_.shrink_to_fit();
    size_ = 0;
    return;
  }
  std::int64_t capacity = (size + kImageBufferStep - 1) / kImageBufferStep * kImageBufferStep;
  buffer_.resize(static_cast<std::size_t>(capacity), 0);
  if (static_cast<std::int64_t>(buffer_.capacity()) > capacity + kImageBufferStep) buffer_.shrink_to_fit();
  size_ = size;
}

void TTableImage::HoldFiles(bool hold) {
  TDataTable& t = *cursor_.Table;
  if (hold == holdingFiles_) return;
  if (hold) {
    t.DataFile->LockFileHandler();
    t.IndexFile->LockFileHandler();
    if (t.HasBlobFile()) t.BlobFile->LockFileHandler();
  } else {
    if (t.HasBlobFile()) t.BlobFile->UnlockFileHandler();
    t.IndexFile->UnlockFileHandler();
    t.DataFile->UnlockFileHandler();
  }
  holdingFiles_ = hold;
}

// ---- Loading -------------------------------------------------------------------------------

void TTableImage::BeginBufferLoad() {
  if (!cursor_.IsOpen || cursor_.Table == nullptr) RaiseImage(cursor_, KORVEL_NOCURRREC);
  if (loading_ || saving_) RaiseImage(cursor_, KORVEL_TABLEOPEN);
  TDataTable& t = *cursor_.Table;
  // Changes held only in the caches (an exclusive table's) go to the files first.
  t.FlushBuffers(false, false, false, false, false);
  const bool lockedBefore = t.UserReadLocked;
  t.UserReadLockTable();
  tookReadLock_ = !lockedBefore && t.UserReadLocked;
  loading_ = true;
  try {
    HoldFiles(true);
    const bool blob = t.HasBlobFile();
    const std::int64_t d = FileSizeOf(*t.DataFile), i = FileSizeOf(*t.IndexFile);
    const std::int64_t b = blob ? FileSizeOf(*t.BlobFile) : 0;
    if (d > INT32_MAX || i > INT32_MAX || b > INT32_MAX) RaiseImage(cursor_, KORVEL_WRITEERR);
    ResizeMemoryBuffer(d + i + b + (blob ? 12 : 8));
    std::uint8_t* p = buffer_.data();
    PutI32(p, 0, static_cast<std::int32_t>(d));
    t.DataFile->ReadAt(0, p + 4, d);
    PutI32(p, static_cast<std::size_t>(4 + d), static_cast<std::int32_t>(i));
    t.IndexFile->ReadAt(0, p + 8 + d, i);
    if (blob) {
      PutI32(p, static_cast<std::size_t>(8 + d + i), static_cast<std::int32_t>(b));
      t.BlobFile->ReadAt(0, p + 12 + d + i, b);
    }
  } catch (...) {
    ReleaseLoad();
    throw;
  }
}

std::int64_t TTableImage::LoadFromBuffer(void* dest, std::int64_t position, std::int64_t count) const {
  if (position < 0 || count <= 0 || position >= size_) return 0;
  std::int64_t n = std::min(count, size_ - position);
  std::memcpy(dest, buffer_.data() + position, static_cast<std::size_t>(n));
  return n;
}

void TTableImage::ReleaseLoad() noexcept {
  ResizeMemoryBuffer(0);
  try {
    HoldFiles(false);
    if (tookReadLock_) cursor_.Table->UserReadUnlockTable();
  } catch (...) {
    // The read slot goes back with the table's last close at the latest.
  }
  tookReadLock_ = false;
  loading_ = false;
}

void TTableImage::EndBufferLoad() {
  if (loading_) ReleaseLoad();
}

// ---- Saving --------------------------------------------------------------------------------

void TTableImage::BeginBufferSave() {
  if (!cursor_.IsOpen || cursor_.Table == nullptr) RaiseImage(cursor_, KORVEL_NOCURRREC);
  if (loading_ || saving_) RaiseImage(cursor_, KORVEL_TABLEOPEN);
  if (cursor_.ReadOnly || cursor_.Table->ReadOnly) RaiseImage(cursor_, KORVEL_OSEACCES);
  TDataTable& t = *cursor_.Table;
  const bool lockedBefore = t.WriteLocked;
  t.WriteLockTable();
  tookWriteLock_ = !lockedBefore && t.WriteLocked;
  saving_ = true;
  ResizeMemoryBuffer(0);
  HoldFiles(true);
}

std::int64_t TTableImage::SaveToBuffer(const void* source, std::int64_t position, std::int64_t count) {
  if (position < 0 || count < 0) return 0;
  if (count == 0) {
    ResizeMemoryBuffer(position);
    return 0;
  }
  if (position + count > size_) ResizeMemoryBuffer(position + count);
  std::memcpy(buffer_.data() + position, source, static_cast<std::size_t>(count));
  return count;
}

void TTableImage::CheckImage(TDataCursor& cursor, const std::uint8_t* image, std::int64_t size) {
  TDataTable& t = *cursor.Table;
  auto fail = [&] { RaiseImage(cursor, KORVEL_HEADERCORRUPT); };
  const bool blob = t.HasBlobFile();
  if (size < 8) fail();
  const std::int64_t d = GetI32(image, 0);
  if (d < static_cast<std::int64_t>(kDataHeaderSize) || d > size - 8) fail();
  const std::int64_t i = GetI32(image, static_cast<std::size_t>(4 + d));
  if (i < static_cast<std::int64_t>(kIndexHeaderSize) || i > size - 8 - d || i % kIndexPageSize != 0) fail();
  std::int64_t b = 0;
  if (blob) {
    if (size < 12 + d + i) fail();
    b = GetI32(image, static_cast<std::size_t>(8 + d + i));
    if (b < static_cast<std::int64_t>(kBlobHeaderSize) || b != size - 12 - d - i) fail();
  } else if (size != 8 + d + i) {
    fail();
  }
  // The data file's header layout and field definitions must be this table's, byte for byte.
  const std::uint8_t* data = image + 4;
  std::vector<std::uint8_t> live(kDataHeaderSize);
  t.DataFile->ReadAt(0, live.data(), static_cast<std::int64_t>(kDataHeaderSize));
  for (const TLayoutRange& r : kLayoutRanges)
    if (std::memcmp(data + r.offset, live.data() + r.offset, r.size) != 0) fail();
  const std::int64_t fieldBytes = static_cast<std::int64_t>(kFieldDefinitionSize) * t.DataFile->GetFieldCount();
  const std::int64_t recordArea = static_cast<std::int64_t>(kDataHeaderSize) + fieldBytes;
  if (d < recordArea || (d - recordArea) % t.DataFile->GetRecordSize() != 0) fail();
  std::vector<std::uint8_t> fields(static_cast<std::size_t>(fieldBytes));
  t.DataFile->ReadAt(static_cast<std::int64_t>(kDataHeaderSize), fields.data(), fieldBytes);
  if (std::memcmp(data + kDataHeaderSize, fields.data(), fields.size()) != 0) fail();
  // The record count the header announces must fit the data the image carries.
  const std::int64_t records = (d - recordArea) / t.DataFile->GetRecordSize();
  if (GetI32(data, TDataHeader::kNextRecordNumber) < 1 || GetI32(data, TDataHeader::kNextRecordNumber) - 1 > records)
    fail();
}

void TTableImage::EndBufferSave() {
  if (!saving_) return;
  TDataTable& t = *cursor_.Table;
  try {
    if (size_ <= 0) {
      // An empty image empties the table.
      t.ClearHeaders();
      t.UpdateHeaderStamps(true, true, true);
      t.FlushBuffers(true, true, true, true, true);
      t.FreeBuffers(true, false);
    } else {
      CheckImage(cursor_, buffer_.data(), size_);
      const std::uint8_t* p = buffer_.data();
      const std::int64_t d = GetI32(p, 0);
      const std::int64_t i = GetI32(p, static_cast<std::size_t>(4 + d));
      // Cached buffers stand for the old contents: drop them before the files change.
      t.FreeBuffers(false, false);
      t.DataFile->WriteAt(0, p + 4, d);
      t.DataFile->WriteAt(d, nullptr, 0);
      t.IndexFile->WriteAt(0, p + 8 + d, i);
      t.IndexFile->WriteAt(i, nullptr, 0);
      if (t.HasBlobFile()) {
        const std::int64_t b = GetI32(p, static_cast<std::size_t>(8 + d + i));
        t.BlobFile->WriteAt(0, p + 12 + d + i, b);
        t.BlobFile->WriteAt(b, nullptr, 0);
      }
      t.FreeBuffers(true, true);
      // Other sessions must notice the new contents: new stamps, written at once.
      t.UpdateHeaderStamps(true, true, true);
      t.FlushBuffers(false, true, true, true, true);
    }
  } catch (...) {
    ReleaseSave();
    throw;
  }
  ReleaseSave();
  cursor_.SetToBegin();
  cursor_.Refresh();
}

void TTableImage::ReleaseSave() noexcept {
  ResizeMemoryBuffer(0);
  try {
    HoldFiles(false);
    if (tookWriteLock_) cursor_.Table->WriteUnlockTable();
  } catch (...) {
    // The lock goes with the table's last close at the latest.
  }
  tookWriteLock_ = false;
  saving_ = false;
}

// ---- Index backups -------------------------------------------------------------------------

namespace {

std::string IndexBackupName(TDataCursor& cursor) {
  return cursor.Directory->GetTableFileName(cursor.TableName, ".IBK");
}

}  // namespace

void InternalBackupIndex(TDataCursor& cursor) {
  if (!cursor.IsOpen || cursor.Table == nullptr) RaiseImage(cursor, KORVEL_NOCURRREC);
  TDataTable& t = *cursor.Table;
  t.FlushBuffers(false, false, true, false, false);
  t.IndexFile->CopyToFile(false, IndexBackupName(cursor), t.InMemory);
}

void InternalRestoreIndex(TDataCursor& cursor, bool noRestore, bool deleteBackup) {
  if (!cursor.IsOpen || cursor.Table == nullptr) RaiseImage(cursor, KORVEL_NOCURRREC);
  TDataTable& t = *cursor.Table;
  const std::string backup = IndexBackupName(cursor);
  if (!noRestore) {
    t.IndexFile->FreePageBuffers(false);
    t.IndexFile->CopyFromFile(false, backup, t.InMemory);
    t.IndexFile->ReadHeader();
    cursor.Refresh();
  }
  if (deleteBackup && FileNameExists(backup, t.InMemory)) {
    TFileHandler file;
    file.FileName = backup;
    file.InMemory = t.InMemory;
    file.DeleteFile();
  }
}

}  // namespace korvel
