// The open BLOB values of a cursor, and the BLOB work of an edit.
//
// While a value is open, the first four value bytes of its field in the caller's record buffer
// hold the negated handle of the open value (its position in the cursor's list + 1); the
// record's first block number comes back when the value is freed or the record is posted.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "support/byte_order.h"

namespace korvel {

std::size_t TDataCursor::OpenBlobCount() const {
  return static_cast<std::size_t>(std::count_if(blobs_.begin(), blobs_.end(), [](const auto& b) { return b != nullptr; }));
}

int TDataCursor::BlobFieldByHandle(std::int32_t fieldNo, const std::uint8_t* record, bool physical,
                                   TBlobBuffer*& buffer, const TFieldDefinition*& field) const {
  buffer = nullptr;
  field = FieldOf(fieldNo, physical);
  if (field == nullptr) return KORVEL_OUTOFRANGE;
  if (field->DataType != dtBlob) return KORVEL_NOTABLOB;
  const std::int32_t value = GetI32(record, field->Offset + 1u);
  if (value >= 0) return KORVEL_INVALIDBLOBHANDLE;
  const std::size_t handle = static_cast<std::size_t>(-static_cast<std::int64_t>(value));
  if (handle > blobs_.size() || blobs_[handle - 1] == nullptr) return KORVEL_INVALIDBLOBHANDLE;
  buffer = blobs_[handle - 1].get();
  return 0;
}

int TDataCursor::OpenBlob(std::int32_t fieldNo, std::uint8_t* record, TBlobBuffer::TOpenMode mode, bool physical,
                          bool forModification, std::int64_t& size) {
  size = 0;
  if (!IsOpen) return KORVEL_NOCURRREC;
  const TFieldDefinition* field = FieldOf(fieldNo, physical);
  if (field == nullptr) return KORVEL_OUTOFRANGE;
  if (field->DataType != dtBlob) return KORVEL_NOTABLOB;
  const std::int32_t value = GetI32(record, field->Offset + 1u);
  if (value < 0) {
    const std::size_t handle = static_cast<std::size_t>(-static_cast<std::int64_t>(value));
    if (handle > blobs_.size() || blobs_[handle - 1] == nullptr) return KORVEL_INVALIDBLOBOFFSET;
    TBlobBuffer& open = *blobs_[handle - 1];
    open.IncUseCount();
    if (mode == TBlobBuffer::omReadWrite) open.ForModification = true;
    size = static_cast<std::int64_t>(open.Size());
    return 0;
  }
  if (OpenBlobCount() >= kMaxOpenBlobBuffers) return KORVEL_OPENBLOBLIMIT;
  if (!Table->HasBlobFile()) return KORVEL_MEMOCORRUPT;
  auto buffer = std::make_unique<TBlobBuffer>(Table->BlobFile.get(), this);
  buffer->FieldNumber = field->FieldNumber;
  buffer->FirstBlockNumber = record[field->Offset] != 0 ? value : 0;
  buffer->OpenMode = mode;
  buffer->ForModification = forModification || mode == TBlobBuffer::omReadWrite;
  buffer->BlobSignature = GetI32(record, field->Offset + 5u);
  buffer->RecordNumber = GetRecordNo(record);
  try {
    if (buffer->FirstBlockNumber > 0) {
      TOperation operation(*this, false);
      buffer->Read();
    }
  } catch (const EKORVELEngineError& e) {
    return static_cast<int>(e.ErrorCode);
  }
  buffer->IncUseCount();
  size = static_cast<std::int64_t>(buffer->Size());
  std::size_t slot = 0;
  while (slot < blobs_.size() && blobs_[slot] != nullptr) ++slot;
  if (slot == blobs_.size()) blobs_.emplace_back();
  blobs_[slot] = std::move(buffer);
  PutI32(record, field->Offset + 1u, -static_cast<std::int32_t>(slot + 1));
  if (size > 0) record[field->Offset] = 1;
  return 0;
}

int TDataCursor::GetBlob(std::int32_t fieldNo, const std::uint8_t* record, bool physical, std::int64_t& count,
                         std::int64_t length, void* dest, std::int64_t offset) {
  count = 0;
  TBlobBuffer* buffer;
  const TFieldDefinition* field;
  if (int code = BlobFieldByHandle(fieldNo, record, physical, buffer, field); code != 0) return code;
  const std::int64_t size = static_cast<std::int64_t>(buffer->Size());
  if (offset < 0 || length < 0) return KORVEL_INVALIDBLOBOFFSET;
  std::int64_t n = std::min(length, std::max<std::int64_t>(0, size - offset));
  if (n > 0) std::memcpy(dest, buffer->GetBuffer().data() + offset, static_cast<std::size_t>(n));
  count = n;
  return offset + length > size ? KORVEL_ENDOFBLOB : 0;
}

int TDataCursor::PutBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical, std::int64_t length,
                         const void* source, std::int64_t offset) {
  TBlobBuffer* buffer;
  const TFieldDefinition* field;
  if (int code = BlobFieldByHandle(fieldNo, record, physical, buffer, field); code != 0) return code;
  if (offset < 0 || length < 0) return KORVEL_INVALIDBLOBOFFSET;
  buffer->WriteAt(static_cast<std::size_t>(offset), source, static_cast<std::size_t>(length));
  record[field->Offset] = buffer->Size() > 0 ? 1 : 0;
  return 0;
}

int TDataCursor::TruncateBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical, std::int64_t newSize) {
  TBlobBuffer* buffer;
  const TFieldDefinition* field;
  if (int code = BlobFieldByHandle(fieldNo, record, physical, buffer, field); code != 0) return code;
  if (newSize < 0) return KORVEL_INVALIDBLOBOFFSET;
  if (static_cast<std::size_t>(newSize) != buffer->Size()) {
    if (newSize == 0)
      buffer->SetSize(0);
    else
      buffer->GetBuffer().resize(static_cast<std::size_t>(newSize));
    buffer->Modified = true;
  }
  record[field->Offset] = buffer->Size() > 0 ? 1 : 0;
  return 0;
}

int TDataCursor::GetBlobSize(std::int32_t fieldNo, const std::uint8_t* record, bool physical, std::int64_t& size) {
  size = 0;
  TBlobBuffer* buffer;
  const TFieldDefinition* field;
  if (int code = BlobFieldByHandle(fieldNo, record, physical, buffer, field); code != 0) return code;
  size = static_cast<std::int64_t>(buffer->Size());
  return 0;
}

int TDataCursor::FreeBlob(std::int32_t fieldNo, std::uint8_t* record, bool physical) {
  TBlobBuffer* buffer;
  const TFieldDefinition* field;
  if (int code = BlobFieldByHandle(fieldNo, record, physical, buffer, field); code != 0) return code;
  buffer->DecUseCount();
  if (buffer->UseCount > 0) return 0;
  const std::int32_t handle = -GetI32(record, field->Offset + 1u);
  PutI32(record, field->Offset + 1u, buffer->FirstBlockNumber);
  record[field->Offset] = buffer->FirstBlockNumber != 0 ? 1 : 0;
  blobs_[static_cast<std::size_t>(handle - 1)].reset();
  return 0;
}

void TDataCursor::FreeAllBlobs(bool all) {
  for (auto& buffer : blobs_)
    if (buffer != nullptr && (all || buffer->ForModification)) buffer.reset();
}

// The BLOB values an edit posts: every modified open value of the record gets a new signature
// and is written (an emptied one frees its chain), and the record takes their first block
// numbers in place of the handles.
void TDataCursor::WriteBlobsOfEdit(std::uint8_t* stored, std::int32_t recordNumber, TUndoJournal& journal,
                                   bool& blobWritten) {
  for (std::int32_t f = 1; f <= Table->GetFieldCount(); ++f) {
    const TFieldDefinition& field = Table->GetFieldDefinitionByPos(f);
    if (field.DataType != dtBlob) continue;
    const std::int32_t value = GetI32(stored, field.Offset + 1u);
    if (value >= 0) continue;
    const std::size_t handle = static_cast<std::size_t>(-static_cast<std::int64_t>(value));
    if (handle > blobs_.size() || blobs_[handle - 1] == nullptr) RaiseCursor(KORVEL_INVALIDBLOBHANDLE, field.FieldName);
    TBlobBuffer& buffer = *blobs_[handle - 1];
    if (buffer.Modified) {
      const bool hadChain = buffer.FirstBlockNumber != 0;
      buffer.BlobSignature = Table->GetNextFreeBlobSignature();
      buffer.RecordNumber = recordNumber;
      if (buffer.Size() == 0) {
        buffer.Remove();
      } else {
        buffer.Write();
        if (!hadChain) {
          // A new chain of a failed edit goes back to the free blocks.
          journal.Add([this, first = buffer.FirstBlockNumber, signature = buffer.BlobSignature, recordNumber]() mutable {
            Table->BlobFile->FreeBlobBlocks(this, first, true, recordNumber, signature);
          });
        }
      }
      blobWritten = true;
    }
    PutI32(stored, field.Offset + 1u, buffer.FirstBlockNumber);
    PutI32(stored, field.Offset + 5u, buffer.FirstBlockNumber != 0 ? buffer.BlobSignature : 0);
    stored[field.Offset] = buffer.FirstBlockNumber != 0 ? 1 : 0;
    buffer.Modified = false;
  }
}

}  // namespace korvel
