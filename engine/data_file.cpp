// The data file: header and definition I/O, counters, the free chain and the record cache.

#include "engine/data_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/data_file_bytes.h"
#include "platform/system_info.h"
#include "support/path_helpers.h"
#include "framework/date_time.h"
#include "support/scramble.h"
#include "support/text_forms.h"
#include "support/language.h"

namespace korvel {

namespace {

constexpr std::size_t kBufferStep = 4096;  // read and write buffers grow in these steps
constexpr std::size_t kRecordStep = 64;    // record and sort-key buffers grow in these steps

std::size_t RoundUp(std::size_t n, std::size_t step) { return (n + step - 1) / step * step; }

// A header counter moved on by one: after 2,147,483,647 the next value is 1.
std::int32_t NextCounter(std::int32_t value) {
  return value >= std::numeric_limits<std::int32_t>::max() || value < 0 ? 1 : value + 1;
}

}  // namespace

bool HasDeclaredLength(std::uint8_t dataType) {
  return dataType == dtString || dataType == dtBytes || dataType == dtVarBytes;
}

bool IsFieldNameStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 0x80; }

// Whether a default, minimum or maximum text is a value of the field's type (ANSI forms; the
// current-date words for dates and times).
bool IsFieldValueText(const TFieldDefinition& f, const std::string& text) {
  if (text.empty()) return true;
  const bool date = text == "CURRENT_DATE", time = text == "CURRENT_TIME", stamp = text == "CURRENT_TIMESTAMP";
  switch (f.DataType) {
    case dtDate: return date || IsADate(text);
    case dtTime: return time || IsATime(text);
    case dtTimeStamp: return date || time || stamp || IsADateTime(text);
    case dtBoolean: return IsABoolean(text);
    case dtSmallInt: return IsASmallInt(text);
    case dtInteger: return IsAnInteger(text);
    case dtWord: return IsAWord(text);
    case dtUnsignedInt: {
      if (!IsALargeInt(text)) return false;
      long long v = std::stoll(text);
      return v >= 0 && v <= 4294967295LL;
    }
    case dtLargeInt: return IsALargeInt(text);
    case dtFloat:
    case dtExtended: return IsAFloat(text);
    case dtBCD: return IsABCD(text);
    default: return true;  // strings, bytes and BLOBs take any text
  }
}

// ---------------------------------------------------------------------------------------------
// Layouts

void TDataHeader::EncodeTo(std::uint8_t* out) const {
  std::memset(out, 0, kEncodedLength);
  PutI32(out, kLastUpdateStamp, LastUpdateStamp);
  PutI32(out, kBlobBlockSize, BlobBlockSize);
  PutU8(out, kVersionNum, VersionNum);
  PutI32(out, kFirstFreeRecord, FirstFreeRecord);
  PutI32(out, kNextRecordNumber, NextRecordNumber);
  PutI32(out, kLastRecordID, LastRecordID);
  PutU16(out, kRecordSize, RecordSize);
  PutU16(out, kFieldCount, FieldCount);
  PutU16(out, kBlobFieldCount, BlobFieldCount);
  PutF64(out, kLastUpdated, LastUpdated);
  PutShortString(out, kDescription, kMaxDescriptionLength, Description);
  PutU8(out, kEncrypted, Encrypted ? 1 : 0);
  PutShortString(out, kPassword, kMaxPasswordLength, Password);
  PutU16(out, kLanguageID, LanguageID);
  PutU16(out, kSortID, SortID);
  PutU16(out, kUserMajorVersion, UserMajorVersion);
  PutU16(out, kUserMinorVersion, UserMinorVersion);
  PutU8(out, kHeaderModified, HeaderModified ? 1 : 0);
  PutI32(out, kLastBlobSignature, LastBlobSignature);
  PutI32(out, kEngineVersion, EngineVersion);
  PutI32(out, kReserved, Reserved);
}

bool TDataHeader::DecodeFrom(const std::uint8_t* in, TDataHeader& h) {
  h.LastUpdateStamp = GetI32(in, kLastUpdateStamp);
  h.BlobBlockSize = GetI32(in, kBlobBlockSize);
  h.VersionNum = GetU8(in, kVersionNum);
  h.FirstFreeRecord = GetI32(in, kFirstFreeRecord);
  h.NextRecordNumber = GetI32(in, kNextRecordNumber);
  h.LastRecordID = GetI32(in, kLastRecordID);
  h.RecordSize = GetU16(in, kRecordSize);
  h.FieldCount = GetU16(in, kFieldCount);
  h.BlobFieldCount = GetU16(in, kBlobFieldCount);
  h.LastUpdated = GetF64(in, kLastUpdated);
  if (!GetShortString(in, kDescription, kMaxDescriptionLength, h.Description)) return false;
  h.Encrypted = GetU8(in, kEncrypted) != 0;
  if (!GetShortString(in, kPassword, kMaxPasswordLength, h.Password)) return false;
  h.LanguageID = GetU16(in, kLanguageID);
  h.SortID = GetU16(in, kSortID);
  h.UserMajorVersion = GetU16(in, kUserMajorVersion);
  h.UserMinorVersion = GetU16(in, kUserMinorVersion);
  h.HeaderModified = GetU8(in, kHeaderModified) != 0;
  h.LastBlobSignature = GetI32(in, kLastBlobSignature);
  h.EngineVersion = GetI32(in, kEngineVersion);
  h.Reserved = GetI32(in, kReserved);
  return true;
}

void TFieldDefinition::EncodeTo(std::uint8_t* out) const {
  std::memset(out, 0, kEncodedLength);
  if (MemoryTail.size() == kEncodedLength - kStoredFieldDefinitionSize)
    std::memcpy(out + kStoredFieldDefinitionSize, MemoryTail.data(), MemoryTail.size());
  PutU16(out, kFieldNumber, FieldNumber);
  PutShortString(out, kFieldName, kMaxFieldNameLength, FieldName);
  PutShortString(out, kDescription, kMaxDescriptionLength, Description);
  PutU8(out, kDataType, DataType);
  PutU8(out, kSubType, SubType);
  PutU8(out, kLength, Length);
  PutU8(out, kDecimals, Decimals);
  PutU8(out, kPhysicalSize, PhysicalSize);
  PutU8(out, kPhysicalDecimals, PhysicalDecimals);
  PutU16(out, kOffset, Offset);
  PutU8(out, kRequired, Required ? 1 : 0);
  PutU8(out, kCharCase, CharCase);
  PutShortString(out, kMinimumValue, kMaxValueTextLength, MinimumValue);
  PutShortString(out, kMaximumValue, kMaxValueTextLength, MaximumValue);
  PutShortString(out, kDefaultValue, kMaxValueTextLength, DefaultValue);
  PutU8(out, kIsExpression, IsExpression ? 1 : 0);
  PutU32(out, kExpression, 0);  // a pointer means nothing outside this process
  PutU8(out, kDescending, Descending ? 1 : 0);
  PutU16(out, kPosition, Position);
}

bool TFieldDefinition::DecodeFrom(const std::uint8_t* in, TFieldDefinition& d) {
  d.FieldNumber = GetU16(in, kFieldNumber);
  if (!GetShortString(in, kFieldName, kMaxFieldNameLength, d.FieldName)) return false;
  if (!GetShortString(in, kDescription, kMaxDescriptionLength, d.Description)) return false;
  d.DataType = GetU8(in, kDataType);
  d.SubType = GetU8(in, kSubType);
  d.Length = GetU8(in, kLength);
  d.Decimals = GetU8(in, kDecimals);
  d.PhysicalSize = GetU8(in, kPhysicalSize);
  d.PhysicalDecimals = GetU8(in, kPhysicalDecimals);
  d.Offset = GetU16(in, kOffset);
  d.Required = GetU8(in, kRequired) != 0;
  d.CharCase = GetU8(in, kCharCase);
  if (!GetShortString(in, kMinimumValue, kMaxValueTextLength, d.MinimumValue)) return false;
  if (!GetShortString(in, kMaximumValue, kMaxValueTextLength, d.MaximumValue)) return false;
  if (!GetShortString(in, kDefaultValue, kMaxValueTextLength, d.DefaultValue)) return false;
  d.IsExpression = GetU8(in, kIsExpression) != 0;
  d.Expression = nullptr;
  d.Descending = GetU8(in, kDescending) != 0;
  d.Position = GetU16(in, kPosition);
  d.MemoryTail.assign(in + kStoredFieldDefinitionSize, in + kEncodedLength);
  return true;
}

std::uint8_t PhysicalSizeOf(std::uint8_t dataType, std::uint8_t length) {
  switch (dataType) {
    case dtString: return static_cast<std::uint8_t>(length + 1);
    case dtDate: return 4;
    case dtBlob: return 8;
    case dtBoolean: return 2;
    case dtSmallInt: return 2;
    case dtInteger: return 4;
    case dtFloat: return 8;
    case dtBCD: return 34;
    case dtBytes: return length;
    case dtTime: return 4;
    case dtTimeStamp: return 8;
    case dtWord: return 2;
    case dtUnsignedInt: return 4;
    case dtExtended: return 10;
    case dtVarBytes: return length;
    case dtLargeInt: return 8;
    default: return 0;
  }
}

void UpdateFieldSize(TFieldDefinition& definition) {
  definition.PhysicalSize = PhysicalSizeOf(definition.DataType, definition.Length);
  definition.PhysicalDecimals = definition.Decimals;
}

bool IsValidDataType(std::uint8_t dataType) {
  return (dataType >= dtString && dataType <= dtVarBytes) || dataType == dtLargeInt;
}

// ---------------------------------------------------------------------------------------------
// TRecord

TRecord::TRecord(TDataFile* owner) : Owner(owner) {}

void TRecord::Resize(std::size_t size) {
  if (size <= capacity_) return;
  std::size_t capacity = RoundUp(size, kRecordStep);
  auto buffer = std::make_unique<std::uint8_t[]>(capacity);  // zero-filled
  if (capacity_ > 0) std::memcpy(buffer.get(), buffer_.get(), capacity_);
  buffer_ = std::move(buffer);
  capacity_ = capacity;
}

void TRecord::Initialize(bool newID) {
  RecordSize = Owner->header_.RecordSize;
  Resize(std::max<std::size_t>(RecordSize, kRecordHeaderSize));
  std::memset(buffer_.get(), 0, RecordSize);
  if (newID) PutI32(buffer_.get(), kRecordIDOffset, Owner->GetNextFreeRecordID());
  PutI32(buffer_.get(), kRecordNumberOffset, RecordNumber);
  // A record given a new ID is a new record: it must reach the file even if nothing else is
  // stored in it (the ID has been issued and the record counted).
  Modified = newID;
}

void TRecord::Prepare() {
  RecordSize = Owner->header_.RecordSize;
  Resize(std::max<std::size_t>(RecordSize, kRecordHeaderSize));
  Modified = false;
}

void TRecord::Read(std::uint8_t* source) {
  if (Owner->header_.Encrypted) Owner->ScrambleData(source, RecordSize);
  std::memcpy(buffer_.get(), source, RecordSize);
  if (!GetIsDeleted()) PutI32(buffer_.get(), kRecordNumberOffset, RecordNumber);
  Modified = false;
}

void TRecord::Write(std::uint8_t* dest) {
  std::memcpy(dest, buffer_.get(), RecordSize);
  if (Owner->header_.Encrypted) Owner->ScrambleData(dest, RecordSize);
  Modified = false;
}

void TRecord::SetIsDeleted(bool value) {
  buffer_[kRecordDeletedOffset] = value ? 1 : 0;
  // A live record carries its own number where a free one carries its link.
  if (!value) PutI32(buffer_.get(), kRecordNumberOffset, RecordNumber);
  Modified = true;
}

std::int32_t TRecord::GetNextFreeRecord() const {
  return GetIsDeleted() ? GetI32(buffer_.get(), kRecordNumberOffset) : 0;
}

void TRecord::SetNextFreeRecord(std::int32_t value) {
  PutI32(buffer_.get(), kRecordNumberOffset, value);
  Modified = true;
}

std::int32_t TRecord::GetRecordID() const { return GetI32(buffer_.get(), kRecordIDOffset); }

void TRecord::SetRecordID(std::int32_t value) {
  PutI32(buffer_.get(), kRecordIDOffset, value);
  Modified = true;
}

void TRecord::SetRecordNumber(std::int32_t value) {
  RecordNumber = value;
  if (!GetIsDeleted()) PutI32(buffer_.get(), kRecordNumberOffset, value);
  Modified = true;
}

void TRecord::Copy(const TRecord& source) {
  RecordSize = source.RecordSize;
  Resize(std::max<std::size_t>(RecordSize, kRecordHeaderSize));
  std::memcpy(buffer_.get(), source.buffer_.get(), RecordSize);
  Modified = true;
}

bool TRecord::IsEqualTo(const TRecord& other) const {
  return RecordSize == other.RecordSize && GetIsDeleted() == other.GetIsDeleted() &&
         std::memcmp(buffer_.get(), other.buffer_.get(), RecordSize) == 0;
}

bool TRecord::IsEqualToRecordBuffer(const std::uint8_t* buffer) const {
  return std::memcmp(buffer_.get(), buffer, RecordSize) == 0;
}

void TRecord::CopyRecordBuffer(const std::uint8_t* buffer) {
  if (RecordSize > kRecordFieldsOffset)
    std::memcpy(buffer_.get() + kRecordFieldsOffset, buffer + kRecordFieldsOffset, RecordSize - kRecordFieldsOffset);
  Modified = true;
}

std::uint8_t* TRecord::SortKey(std::size_t size) {
  if (size > sortKeyCapacity_) {
    sortKeyCapacity_ = RoundUp(size, kRecordStep);
    sortKey_ = std::make_unique<std::uint8_t[]>(sortKeyCapacity_);
  }
  sortKeySize_ = size;
  return sortKey_.get();
}

// ---------------------------------------------------------------------------------------------
// TRecordStack

std::unique_ptr<TRecord> TRecordStack::GetNewRecordInstance() {
  std::unique_ptr<TRecord> record;
  if (pool_.empty()) {
    record = std::make_unique<TRecord>(owner_);
  } else {
    record = std::move(pool_.back());
    pool_.pop_back();
  }
  record->RecordNumber = 0;
  record->Next = record->Prev = nullptr;
  record->Initialize(false);
  record->ClearUseCount();
  return record;
}

void TRecordStack::ReturnRecordInstance(std::unique_ptr<TRecord> record) {
  if (!record) return;
  if (pool_.size() >= static_cast<std::size_t>(kRecordPoolSize)) return;  // freed here
  record->Next = record->Prev = nullptr;
  pool_.push_back(std::move(record));
}

// ---------------------------------------------------------------------------------------------
// TDataFile: opening and closing

TDataFile::TDataFile(TDataFileOwner* owner) : owner_(owner), stack_(this) {}

TDataFile::~TDataFile() { CloseFile(); }

void TDataFile::RaiseTable(TErrorCode code) const {
  std::string table = owner_->GetTableName();
  if (table.empty()) table = FileName;
  RaiseTableError(code, table, owner_->GetProperDataDirectoryName());
}

std::int64_t TDataFile::RecordAreaOffset() const {
  return static_cast<std::int64_t>(kDataHeaderSize) + static_cast<std::int64_t>(kFieldDefinitionSize) * header_.FieldCount;
}

std::int64_t TDataFile::RecordOffset(std::int32_t recordNumber) const {
  return RecordAreaOffset() + static_cast<std::int64_t>(recordNumber - 1) * header_.RecordSize;
}

std::int64_t TDataFile::GetFileSize() const {
  return RecordAreaOffset() + static_cast<std::int64_t>(GetPhysicalRecordsUsed()) * header_.RecordSize;
}

std::int32_t TDataFile::ComputeCacheLimit() const {
  std::int32_t bySize = header_.RecordSize == 0 ? owner_->GetMaxTableDataBufferCount()
                                                 : owner_->GetMaxTableDataBufferSize() / header_.RecordSize;
  return std::max(0, std::min(bySize, owner_->GetMaxTableDataBufferCount()));
}

void TDataFile::OpenFile() {
  if (IsOpen) return;
  TFileHandler::OpenFile();
  try {
    ReadHeader();
    // Versions before 3 have definitions of another size: nothing after the header reads.
    if (header_.VersionNum < 3) RaiseTable(KORVEL_OLDVERSION);
    readAheadLimit_ = header_.RecordSize == 0 ? 1 : std::max(1, kReadAheadBytes / header_.RecordSize);
    if (header_.FieldCount > kMaxFieldCount) RaiseTable(KORVEL_HEADERCORRUPT);
    CheckOpenedHeader();
    ReadFields();
    cacheHits_ = cacheMisses_ = recordReads_ = recordWrites_ = 0;
    capacity_ = ComputeCacheLimit();
  } catch (...) {
    CloseFile();
    throw;
  }
}

// What the cache and the cursors rely on to stay inside their buffers: records hold at least
// their 9 header bytes, the record count is sane, and every stored field lies inside the record.
// The full verification is CheckHeader.
void TDataFile::CheckOpenedHeader() {
  if (header_.RecordSize < kRecordHeaderSize) RaiseTable(KORVEL_HEADERCORRUPT);
  if (header_.NextRecordNumber < 1 || header_.NextRecordNumber > kMaxRecordNumber + 1)
    RaiseTable(KORVEL_HEADERCORRUPT);
}

void TDataFile::CloseFile() {
  FreeFieldDefinitions();
  for (TRecord* record = first_; record != nullptr;) {
    TRecord* next = record->Next;
    delete record;
    record = next;
  }
  buckets_.clear();
  cachedCount_ = 0;
  for (TRecord* record : detachedRecords_) delete record;
  detachedRecords_.clear();
  first_ = last_ = nullptr;
  nextRunStart_ = runLength_ = 0;
  stack_.Clear();
  TFileHandler::CloseFile();
}

// ---------------------------------------------------------------------------------------------
// Header and definitions

void TDataFile::ReadHeader() {
  std::uint8_t buffer[kDataHeaderSize];
  ReadAt(0, buffer, kDataHeaderSize);
  TDataHeader header;
  if (!TDataHeader::DecodeFrom(buffer, header)) RaiseTable(KORVEL_HEADERCORRUPT);
  header_ = header;
  header_.HeaderModified = false;
}

bool TDataFile::WriteHeader(bool force) {
  if (!force && !header_.HeaderModified) return false;
  header_.LastUpdateStamp = static_cast<std::int32_t>(static_cast<std::uint32_t>(header_.LastUpdateStamp) + 1);
  header_.EngineVersion = kEngineVersionNum;
  header_.Reserved = 0;
  header_.LastUpdated = Now() - kDateTimeDayOffset;
  std::uint8_t buffer[kDataHeaderSize];
  header_.EncodeTo(buffer);
  WriteAt(0, buffer, kDataHeaderSize);
  owner_->SetHeadersWritten();
  header_.HeaderModified = false;
  return true;
}

void TDataFile::UpdateHeaderStamp() {
  header_.LastUpdateStamp = static_cast<std::int32_t>(static_cast<std::uint32_t>(header_.LastUpdateStamp) + 1);
  header_.HeaderModified = true;
  owner_->SetHeadersWritten();
}

void TDataFile::ClearHeader() {
  // Cached records would otherwise outlive the records they stood for.
  FreeRecordBuffers();
  WriteAt(RecordAreaOffset(), nullptr, 0);
  if (owner_->GetForceBufferFlush()) Flush();
  header_.LastUpdateStamp = 0;
  header_.FirstFreeRecord = 0;
  header_.NextRecordNumber = 1;
  header_.LastRecordID = 0;
  header_.HeaderModified = true;
}

void TDataFile::UpdateHeader(const std::string& password, const std::string& description,
                             std::int32_t lastRecordID, std::uint16_t userMajorVersion,
                             std::uint16_t userMinorVersion) {
  if (header_.Encrypted) {
    header_.Password = StoredText(password.substr(0, kMaxPasswordLength));
    header_.Description = StoredText(description.substr(0, kMaxDescriptionLength));
  } else {
    header_.Password.clear();
    header_.Description = description.substr(0, kMaxDescriptionLength);
  }
  header_.LastRecordID = lastRecordID;
  header_.UserMajorVersion = userMajorVersion;
  header_.UserMinorVersion = userMinorVersion;
  header_.HeaderModified = true;
}

bool TDataFile::CheckForChanges() {
  std::uint8_t buffer[kDataHeaderSize];
  ReadAt(0, buffer, kDataHeaderSize);
  if (GetI32(buffer, TDataHeader::kLastUpdateStamp) == header_.LastUpdateStamp) return false;
  TDataHeader header;
  if (!TDataHeader::DecodeFrom(buffer, header)) RaiseTable(KORVEL_HEADERCORRUPT);
  // The layout of an open table never changes under it; cached records are sized by it.
  if (header.RecordSize != header_.RecordSize || header.FieldCount != header_.FieldCount ||
      header.NextRecordNumber < 1 || header.NextRecordNumber > kMaxRecordNumber + 1)
    RaiseTable(KORVEL_HEADERCORRUPT);
  header_ = header;
  header_.HeaderModified = false;
  return true;
}

std::string TDataFile::PlainText(const std::string& stored) const {
  if (!header_.Encrypted || stored.empty()) return stored;
  std::string text = stored;
  DecryptBuffer(text.data(), text.size(), kTextSeedA, kTextSeedB);
  return text;
}

std::string TDataFile::StoredText(const std::string& plain) const { return PlainText(plain); }

std::string TDataFile::GetDescription() const { return PlainText(header_.Description); }

std::string TDataFile::GetPassword() const { return PlainText(header_.Password); }

void TDataFile::ScrambleData(std::uint8_t* buffer, std::size_t length) const {
  if (header_.Encrypted && length > 0) EncryptBuffer(buffer, length, kTableDataSeedA, kTableDataSeedB);
}

void TDataFile::EnsureReadBuffer(std::size_t size) {
  if (size <= readBufferSize_) return;
  readBufferSize_ = RoundUp(size, kBufferStep);
  readBuffer_ = std::make_unique<std::uint8_t[]>(readBufferSize_);
}

void TDataFile::EnsureWriteBuffer(std::size_t size) {
  if (size <= writeBufferSize_) return;
  writeBufferSize_ = RoundUp(size, kBufferStep);
  writeBuffer_ = std::make_unique<std::uint8_t[]>(writeBufferSize_);
}

void TDataFile::ReadFields() {
  std::size_t size = kFieldDefinitionSize * header_.FieldCount;
  std::vector<std::unique_ptr<TFieldDefinition>> fields;
  if (size > 0) {
    EnsureReadBuffer(size);
    ReadAt(static_cast<std::int64_t>(kDataHeaderSize), readBuffer_.get(), static_cast<std::int64_t>(size));
    ScrambleData(readBuffer_.get(), size);
    for (std::size_t i = 0; i < header_.FieldCount; ++i) {
      auto field = std::make_unique<TFieldDefinition>();
      if (!TFieldDefinition::DecodeFrom(readBuffer_.get() + i * kFieldDefinitionSize, *field))
        RaiseTable(KORVEL_HEADERCORRUPT);
      // Every value the record layout places must lie inside the record.
      if (!field->IsExpression) {
        std::size_t end = field->IsAutoInc() ? kRecordIDOffset + 4
                                             : static_cast<std::size_t>(field->Offset) + 1 + field->PhysicalSize;
        if ((!field->IsAutoInc() && field->Offset < kRecordFieldsOffset) || end > header_.RecordSize)
          RaiseTable(KORVEL_HEADERCORRUPT);
      }
      fields.push_back(std::move(field));
    }
  }
  fields_ = std::move(fields);
  fieldsModified_ = false;
}

bool TDataFile::WriteFields() {
  if (!fieldsModified_) return false;
  std::size_t size = kFieldDefinitionSize * fields_.size();
  if (size > 0) {
    EnsureWriteBuffer(size);
    for (std::size_t i = 0; i < fields_.size(); ++i) fields_[i]->EncodeTo(writeBuffer_.get() + i * kFieldDefinitionSize);
    ScrambleData(writeBuffer_.get(), size);
    WriteAt(static_cast<std::int64_t>(kDataHeaderSize), writeBuffer_.get(), static_cast<std::int64_t>(size));
    if (owner_->GetForceBufferFlush()) Flush();
  }
  fieldsModified_ = false;
  return true;
}

void TDataFile::FreeFieldDefinitions() { fields_.clear(); }

void TDataFile::CreateDataFile(std::uint16_t languageID, std::uint16_t sortID, std::uint16_t userMajorVersion,
                               std::uint16_t userMinorVersion, bool encrypted, const std::string& password,
                               const std::string& description, std::int32_t blobBlockSize,
                               const std::vector<TFieldDefinition>& definitions) {
  if (definitions.size() > static_cast<std::size_t>(kMaxFieldCount)) RaiseTable(KORVEL_FLDLIMIT);
  TDataHeader header;
  header.LanguageID = languageID;
  header.SortID = sortID;
  header.UserMajorVersion = userMajorVersion;
  header.UserMinorVersion = userMinorVersion;
  header.Encrypted = encrypted;
  header.FieldCount = static_cast<std::uint16_t>(definitions.size());
  header.BlobBlockSize = blobBlockSize;
  header_ = header;
  if (encrypted) {
    header_.Password = StoredText(password.substr(0, kMaxPasswordLength));
    header_.Description = StoredText(description.substr(0, kMaxDescriptionLength));
  } else {
    header_.Description = description.substr(0, kMaxDescriptionLength);
  }

  // The layout follows from the types: sizes from type and length, offsets as running totals.
  std::vector<std::unique_ptr<TFieldDefinition>> fields;
  std::int64_t offset = kRecordFieldsOffset;
  std::int32_t blobFields = 0;
  for (std::size_t i = 0; i < definitions.size(); ++i) {
    auto field = std::make_unique<TFieldDefinition>(definitions[i]);
    if (!IsValidDataType(field->DataType)) RaiseTable(KORVEL_INVALIDFLDTYPE);
    if (HasDeclaredLength(field->DataType)) {
      if (field->Length > kMaxFieldLength) RaiseTable(KORVEL_INVALIDFLDTYPE);
    } else {
      field->Length = 0;
    }
    if (field->DataType != dtBCD) field->Decimals = 0;
    if (field->DataType == dtBlob && ++blobFields > kMaxBlobFieldCount) RaiseTable(KORVEL_BLOBLIMIT);
    field->FieldNumber = static_cast<std::uint16_t>(i + 1);
    field->Expression = nullptr;
    UpdateFieldSize(*field);
    if (field->IsAutoInc()) {
      field->Offset = static_cast<std::uint16_t>(kRecordIDOffset);
    } else if (field->IsExpression) {
      field->Offset = 0;
    } else {
      if (offset + 1 + field->PhysicalSize > kMaxRecordSize) RaiseTable(KORVEL_RECTOOBIG);
      field->Offset = static_cast<std::uint16_t>(offset);
      offset += 1 + field->PhysicalSize;
    }
    fields.push_back(std::move(field));
  }
  header_.BlobFieldCount = static_cast<std::uint16_t>(blobFields);
  header_.VersionNum = kDataVersionNum;
  header_.FirstFreeRecord = 0;
  header_.NextRecordNumber = 1;
  header_.LastRecordID = 0;
  header_.RecordSize = static_cast<std::uint16_t>(offset);
  header_.LastUpdateStamp = 0;
  header_.HeaderModified = true;
  fields_ = std::move(fields);
  fieldsModified_ = true;

  FreeRecordBuffers();
  CreateFile();
  readAheadLimit_ = std::max(1, kReadAheadBytes / header_.RecordSize);
  cacheHits_ = cacheMisses_ = recordReads_ = recordWrites_ = 0;
  capacity_ = ComputeCacheLimit();
}

void TDataFile::CheckHeaderVersion() {
  if (header_.VersionNum != kDataVersionNum) RaiseTable(KORVEL_OLDVERSION);
}

void TDataFile::CheckHeader() {
  CheckHeaderVersion();
  if (!OSValidLocale(OSLocaleID(header_.LanguageID, header_.SortID))) RaiseTable(KORVEL_CANNOTLOADLDDRV);
  std::int64_t offset = kRecordFieldsOffset;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const TFieldDefinition& f = *fields_[i];
    const std::string name = f.FieldName;
    if (name.empty() || !IsFieldNameStart(static_cast<unsigned char>(name[0])) || name.size() > kMaxFieldNameLength)
      RaiseTable(KORVEL_HEADERCORRUPT);
    if (f.FieldNumber != i + 1) RaiseTable(KORVEL_HEADERCORRUPT);
    for (std::size_t j = 0; j < i; ++j)
      if (SameName(fields_[j]->FieldName, name)) RaiseTable(KORVEL_HEADERCORRUPT);
    if (!IsValidDataType(f.DataType)) RaiseTable(KORVEL_HEADERCORRUPT);
    if (HasDeclaredLength(f.DataType) ? f.Length > kMaxFieldLength : f.Length != 0) RaiseTable(KORVEL_HEADERCORRUPT);
    if (f.DataType != dtBCD && f.Decimals != 0) RaiseTable(KORVEL_HEADERCORRUPT);
    if (f.PhysicalSize != PhysicalSizeOf(f.DataType, f.Length)) RaiseTable(KORVEL_HEADERCORRUPT);
    if (!IsFieldValueText(f, f.DefaultValue) || !IsFieldValueText(f, f.MinimumValue) || !IsFieldValueText(f, f.MaximumValue))
      RaiseTable(KORVEL_HEADERCORRUPT);
    if (f.IsAutoInc()) {
      if (f.Offset != kRecordIDOffset) RaiseTable(KORVEL_HEADERCORRUPT);
    } else if (!f.IsExpression) {
      if (f.Offset != offset) RaiseTable(KORVEL_HEADERCORRUPT);
      offset += 1 + f.PhysicalSize;
    }
  }
  if (header_.RecordSize != offset) RaiseTable(KORVEL_HEADERCORRUPT);
  std::int64_t area = GetSize() - RecordAreaOffset();
  if (area < 0 || area % header_.RecordSize != 0) RaiseTable(KORVEL_HEADERCORRUPT);
  std::int64_t records = area / header_.RecordSize;
  if (header_.NextRecordNumber != records + 1) RaiseTable(KORVEL_HEADERCORRUPT);
  if (header_.FirstFreeRecord < 0 || header_.FirstFreeRecord > records) RaiseTable(KORVEL_HEADERCORRUPT);
}

const TFieldDefinition& TDataFile::GetFieldDefinitionByPos(std::int32_t pos) const {
  if (pos < 1 || pos > static_cast<std::int32_t>(fields_.size())) RaiseTable(KORVEL_INVALIDFIELDNAME);
  return *fields_[pos - 1];
}

bool TDataFile::GetFieldDefinitionByNumber(std::int32_t number, TFieldDefinition& definition) const {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i]->FieldNumber == number) {
      definition = *fields_[i];
      definition.Position = static_cast<std::uint16_t>(i + 1);
      return true;
    }
  }
  return false;
}

bool TDataFile::GetFieldDefinitionByName(const std::string& name, TFieldDefinition& definition) const {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (SameName(fields_[i]->FieldName, name)) {
      definition = *fields_[i];
      definition.Position = static_cast<std::uint16_t>(i + 1);
      return true;
    }
  }
  return false;
}

std::int32_t TDataFile::GetFieldNumber(const std::string& name) const {
  TFieldDefinition definition;
  return GetFieldDefinitionByName(name, definition) ? definition.FieldNumber : 0;
}

void TDataFile::UpdateFieldDefinitionByPos(std::int32_t pos, const TFieldDefinition& definition) {
  if (pos < 1 || pos > static_cast<std::int32_t>(fields_.size())) RaiseTable(KORVEL_INVALIDFIELDNAME);
  TFieldDefinition& f = *fields_[pos - 1];
  f.FieldNumber = definition.FieldNumber;
  f.FieldName = definition.FieldName.substr(0, kMaxFieldNameLength);
  f.SubType = definition.SubType;
  f.Description = definition.Description.substr(0, kMaxDescriptionLength);
  f.Required = definition.Required;
  f.MinimumValue = definition.MinimumValue.substr(0, kMaxValueTextLength);
  f.MaximumValue = definition.MaximumValue.substr(0, kMaxValueTextLength);
  f.DefaultValue = definition.DefaultValue.substr(0, kMaxValueTextLength);
  fieldsModified_ = true;
}

// ---------------------------------------------------------------------------------------------
// Counters and the free chain

std::int32_t TDataFile::GetNextFreeRecordID() {
  header_.LastRecordID = NextCounter(header_.LastRecordID);
  header_.HeaderModified = true;
  return header_.LastRecordID;
}

void TDataFile::SetNextFreeRecordID(std::int32_t value) {
  if (header_.LastRecordID == value) return;
  header_.LastRecordID = value;
  header_.HeaderModified = true;
}

std::int32_t TDataFile::GetNextFreeBlobSignature() {
  header_.LastBlobSignature = NextCounter(header_.LastBlobSignature);
  header_.HeaderModified = true;
  return header_.LastBlobSignature;
}

std::int32_t TDataFile::GetNextFreeRecordNumber() const {
  if (header_.FirstFreeRecord != 0 && !owner_->GetNoPrimaryIndex()) return header_.FirstFreeRecord;
  return header_.NextRecordNumber;
}

void TDataFile::SetNextFreeRecordNumber(std::int32_t value) {
  header_.FirstFreeRecord = value;
  header_.HeaderModified = true;
}

bool TDataFile::GetNextFreeRecord(TDataCursor* cursor, TRecord*& record) {
  std::int32_t number = GetNextFreeRecordNumber();
  bool fromChain = number != header_.NextRecordNumber;
  if (!GetRecord(cursor, number, false, false, true, record)) return false;
  if (fromChain) {
    // Reusing a live record would overwrite its data: the chain is damaged.
    std::int32_t next = record->GetNextFreeRecord();
    if (!record->GetIsDeleted() || next < 0 || next >= header_.NextRecordNumber || next == number) {
      PutRecord(record);
      record = nullptr;
      RaiseTable(KORVEL_FILECORRUPT);
    }
    header_.FirstFreeRecord = next;
    header_.HeaderModified = true;
  }
  return true;
}

void TDataFile::SetNextFreeRecord(TRecord* record) {
  // Freeing a record twice would link it to itself.
  if (record->GetIsDeleted()) return;
  std::int32_t head = header_.FirstFreeRecord;
  record->SetIsDeleted(true);
  record->SetNextFreeRecord(head == header_.NextRecordNumber ? 0 : head);
  header_.FirstFreeRecord = record->RecordNumber;
  header_.HeaderModified = true;
}

// ---------------------------------------------------------------------------------------------
// The cache

// The index: chained buckets by record number modulo a power of two. Consecutive numbers, the
// usual run, land in distinct buckets; lookups, insertions and removals cost the same however
// many records are cached.

TRecord* TDataFile::FindCachedRecord(std::int32_t recordNumber) const {
  if (buckets_.empty()) return nullptr;
  TRecord* r = buckets_[static_cast<std::uint32_t>(recordNumber) & (buckets_.size() - 1)];
  while (r != nullptr && r->RecordNumber != recordNumber) r = r->HashNext;
  return r;
}

void TDataFile::IndexRehash(std::size_t buckets) {
  std::vector<TRecord*> old;
  old.swap(buckets_);
  buckets_.assign(buckets, nullptr);
  for (TRecord* chain : old) {
    while (chain != nullptr) {
      TRecord* next = chain->HashNext;
      TRecord*& head = buckets_[static_cast<std::uint32_t>(chain->RecordNumber) & (buckets - 1)];
      chain->HashNext = head;
      head = chain;
      chain = next;
    }
  }
}

void TDataFile::IndexInsert(TRecord* record) {
  if (cachedCount_ >= buckets_.size()) IndexRehash(std::max<std::size_t>(64, buckets_.size() * 2));
  TRecord*& head = buckets_[static_cast<std::uint32_t>(record->RecordNumber) & (buckets_.size() - 1)];
  record->HashNext = head;
  head = record;
  ++cachedCount_;
}

void TDataFile::IndexRemove(TRecord* record) {
  TRecord** link = buckets_.empty() ? nullptr
                                    : &buckets_[static_cast<std::uint32_t>(record->RecordNumber) & (buckets_.size() - 1)];
  while (link != nullptr && *link != nullptr && *link != record) link = &(*link)->HashNext;
  // A cached record missing from the index: the cache is inconsistent.
  if (link == nullptr || *link == nullptr) RaiseTable(KORVEL_FILECORRUPT);
  *link = record->HashNext;
  record->HashNext = nullptr;
  --cachedCount_;
}

std::vector<TRecord*> TDataFile::CachedRecordsInOrder() const {
  std::vector<TRecord*> records;
  records.reserve(cachedCount_);
  for (TRecord* r = first_; r != nullptr; r = r->Next) records.push_back(r);
  std::sort(records.begin(), records.end(),
            [](const TRecord* a, const TRecord* b) { return a->RecordNumber < b->RecordNumber; });
  return records;
}

void TDataFile::InsertAsFirstRecordBuffer(TRecord* record) {
  record->Prev = nullptr;
  record->Next = first_;
  if (first_ != nullptr) first_->Prev = record;
  first_ = record;
  if (last_ == nullptr) last_ = record;
}

void TDataFile::UnlinkRecordBuffer(TRecord* record) {
  if (record->Prev != nullptr) record->Prev->Next = record->Next;
  else first_ = record->Next;
  if (record->Next != nullptr) record->Next->Prev = record->Prev;
  else last_ = record->Prev;
  record->Next = record->Prev = nullptr;
}

void TDataFile::MoveToFirstRecordBuffer(TRecord* record) {
  if (record == first_) return;
  UnlinkRecordBuffer(record);
  InsertAsFirstRecordBuffer(record);
}

void TDataFile::InsertRecordBuffer(TRecord* record) {
  IndexInsert(record);
  InsertAsFirstRecordBuffer(record);
}

TRecord* TDataFile::DetachRecordBuffer(TRecord* record) {
  IndexRemove(record);
  UnlinkRecordBuffer(record);
  return record;
}

void TDataFile::ReleaseRecordBuffer(TRecord* record) { stack_.ReturnRecordInstance(std::unique_ptr<TRecord>(record)); }

void TDataFile::DeleteRecordBuffer(TRecord* record) { ReleaseRecordBuffer(DetachRecordBuffer(record)); }

TRecord* TDataFile::FindRecordBufferToDelete(bool all) {
  // A miss looks at a few of the least recently used records only, so that it costs the same
  // however many records are cached. A record that cannot go (pinned, or modified where nothing
  // may be flushed) moves to the front, out of the way of the next search.
  std::size_t left = all ? cachedCount_ : std::min(kRecordVictimSearch, cachedCount_);
  for (; left > 0 && last_ != nullptr; --left) {
    TRecord* r = last_;
    if (!r->Modified && r->UseCount == 0) return r;
    MoveToFirstRecordBuffer(r);
  }
  return nullptr;
}

TRecord* TDataFile::FindOrFlushRecordBufferToDelete() {
  TRecord* victim = FindRecordBufferToDelete(false);
  if (victim == nullptr && !owner_->GetTransactionInProgress()) {
    FlushRecordBuffers();
    victim = FindRecordBufferToDelete(false);
  }
  return victim;
}

TRecord* TDataFile::AcquireRecordBuffer(std::int32_t recordNumber, bool clear) {
  TRecord* record = nullptr;
  if (cachedCount_ >= static_cast<std::size_t>(std::max(capacity_, 0))) {
    TRecord* victim = FindOrFlushRecordBufferToDelete();
    if (victim != nullptr) {
      record = DetachRecordBuffer(victim);
    } else {
      // Every buffer is pinned or holds unwritten changes: grow rather than fail, by half the
      // capacity, so that a long transaction grows the cache a few times, not every 64 records.
      capacity_ += std::max(kCacheGrowth, capacity_ / 2);
    }
  }
  if (record == nullptr) record = stack_.GetNewRecordInstance().release();
  record->RecordNumber = recordNumber;
  if (clear) {
    record->Initialize(false);
  } else {
    record->Prepare();  // the caller fills every byte
  }
  return record;
}

TRecord* TDataFile::GetNewRecordBuffer(std::int32_t recordNumber) {
  TRecord* record = AcquireRecordBuffer(recordNumber, true);
  InsertRecordBuffer(record);
  return record;
}

bool TDataFile::DeleteLastRecordBuffer() {
  TRecord* victim = FindRecordBufferToDelete(true);
  if (victim == nullptr) return false;
  DeleteRecordBuffer(victim);
  return true;
}

std::int32_t TDataFile::ForwardRunLength(std::int32_t recordNumber) {
  // A miss right where the last forward run ended continues a scan: the run doubles, up to half
  // the cache (so that a run never pushes out what the rest of the cache holds) or 1 MiB. Any
  // other miss starts again at the usual read-ahead.
  std::int32_t longest = std::max(readAheadLimit_, std::min(capacity_ / 2, kLongestRunBytes / std::max<std::int32_t>(1, header_.RecordSize)));
  if (recordNumber == nextRunStart_ && runLength_ > 0)
    runLength_ = static_cast<std::int32_t>(std::min<std::int64_t>(static_cast<std::int64_t>(runLength_) * 2, longest));
  else
    runLength_ = readAheadLimit_;
  return runLength_;
}

bool TDataFile::GetRecord(TDataCursor* cursor, std::int32_t recordNumber, bool readAhead, bool cursorReadAhead,
                          bool forward, TRecord*& record) {
  record = nullptr;
  if (recordNumber <= 0 || recordNumber > header_.NextRecordNumber) RaiseTable(KORVEL_FILECORRUPT);

  if (recordNumber == header_.NextRecordNumber) {
    // Appending: the record exists only in the cache until a flush writes it.
    if (header_.NextRecordNumber > kMaxRecordNumber ||
        RecordAreaOffset() + static_cast<std::int64_t>(header_.NextRecordNumber) * header_.RecordSize > kMaxDataFileSize)
      RaiseTable(KORVEL_TABLEFULL);
    TRecord* r = FindCachedRecord(recordNumber);
    if (r != nullptr) {
      MoveToFirstRecordBuffer(r);
      r->Initialize(false);
    } else {
      r = GetNewRecordBuffer(recordNumber);
    }
    r->Modified = true;  // counted in NextRecordNumber, so it must reach the file
    r->IncUseCount();
    ++cacheHits_;
    ++header_.NextRecordNumber;
    header_.HeaderModified = true;
    NoteHandedOut(recordNumber);
    record = r;
    return true;
  }

  TRecord* r = FindCachedRecord(recordNumber);
  if (r != nullptr) {
    MoveToFirstRecordBuffer(r);
    ++cacheHits_;
    r->IncUseCount();
    NoteHandedOut(recordNumber);
    record = r;
    return true;
  }

  ++cacheMisses_;
  if (!owner_->IsReadLocked() && !owner_->ReadLockTable(cursor)) return false;
  std::int32_t count = 1;
  if (readAhead) {
    if (cursorReadAhead)
      count = std::min(owner_->GetNumReadAheadRecords(cursor, readAheadLimit_, forward), readAheadLimit_);
    else
      count = std::min(forward ? ForwardRunLength(recordNumber) : readAheadLimit_,
                       forward ? header_.NextRecordNumber - recordNumber : recordNumber);
    // A run longer than the cache would push out its own first records.
    count = std::max(std::min(count, capacity_), 1);
  }
  ReadRecordBuffers(recordNumber, count, forward);
  r = FindCachedRecord(recordNumber);
  if (r == nullptr) RaiseTable(KORVEL_FILECORRUPT);
  MoveToFirstRecordBuffer(r);
  r->IncUseCount();
  NoteHandedOut(recordNumber);
  record = r;
  return true;
}

bool TDataFile::CopyRecords(TDataCursor* cursor, std::int32_t first, std::int32_t count, std::uint8_t* dest) {
  if (count <= 0) return true;
  const std::int32_t end = first + count;
  if (first <= 0 || end > header_.NextRecordNumber) RaiseTable(KORVEL_FILECORRUPT);
  const std::size_t recordSize = header_.RecordSize;
  std::int32_t n = first;
  while (n < end) {
    if (const TRecord* cached = FindCachedRecord(n)) {
      std::memcpy(dest, cached->Buffer(), recordSize);
      ++cacheHits_;
      ++n;
      dest += recordSize;
      continue;
    }
    // The records up to the next cached one come from the file in one read.
    std::int32_t runEnd = n + 1;
    while (runEnd < end && FindCachedRecord(runEnd) == nullptr) ++runEnd;
    const std::int32_t run = runEnd - n;
    ++cacheMisses_;
    if (!owner_->IsReadLocked() && !owner_->ReadLockTable(cursor)) return false;
    const std::int64_t bytes = static_cast<std::int64_t>(run) * static_cast<std::int64_t>(recordSize);
    const bool allowShort = (owner_->GetExclusive() || owner_->GetTransactionInProgress()) && owner_->GetHeadersWritten();
    const std::int64_t got = ReadAt(RecordOffset(n), dest, bytes, allowShort);
    if (got < 0) Raise(KORVEL_READERR);
    // A record past the end of the file that the cache does not hold exists nowhere.
    if (got < bytes) RaiseTable(KORVEL_FILECORRUPT);
    ++recordReads_;
    for (std::int32_t i = 0; i < run; ++i, ++n, dest += recordSize) {
      if (header_.Encrypted) ScrambleData(dest, recordSize);
      if (dest[kRecordDeletedOffset] == 0) PutI32(dest, kRecordNumberOffset, n);
    }
  }
  return true;
}

void TDataFile::NoteHandedOut(std::int32_t recordNumber) {
  if (handedOutOverflow_) return;
  if (handedOut_.size() >= kMaxHandedOut) {
    handedOutOverflow_ = true;
    handedOut_.clear();
    return;
  }
  handedOut_.push_back(recordNumber);
}

void TDataFile::PutRecord(TRecord* record) {
  if (record == nullptr) return;
  record->DecUseCount();
  if (!record->Detached || record->UseCount > 0) return;
  auto it = std::find(detachedRecords_.begin(), detachedRecords_.end(), record);
  if (it != detachedRecords_.end()) detachedRecords_.erase(it);
  record->Detached = false;
  ReleaseRecordBuffer(record);
}

void TDataFile::ReadRecordBuffers(std::int32_t first, std::int32_t count, bool forward) {
  std::int32_t start = forward ? first : first - count + 1;
  if (start < 1) {
    count -= 1 - start;
    start = 1;
  }
  std::int32_t last = std::min(start + count - 1, header_.NextRecordNumber - 1);
  count = last - start + 1;
  if (count < 1) return;
  const std::size_t recordSize = header_.RecordSize;
  const std::size_t bytes = static_cast<std::size_t>(count) * recordSize;
  EnsureReadBuffer(bytes);
  const std::int64_t offset = RecordOffset(start);

  struct WindowGuard {
    TDataFile* file;
    ~WindowGuard() { file->readWindowOffset_ = file->readWindowLength_ = 0; }
  } guard{this};
  readWindowOffset_ = offset;
  readWindowLength_ = static_cast<std::int64_t>(bytes);

  // Records appended in the cache may lie beyond the end of the file when the table is held
  // exclusively or inside a transaction and has written data.
  bool allowShort = (owner_->GetExclusive() || owner_->GetTransactionInProgress()) && owner_->GetHeadersWritten();
  std::int64_t got = ReadAt(offset, readBuffer_.get(), static_cast<std::int64_t>(bytes), allowShort);
  if (got < 0) Raise(KORVEL_READERR);
  ++recordReads_;
  const std::int32_t whole = static_cast<std::int32_t>(got / static_cast<std::int64_t>(recordSize));
  if (whole < 1) return;

  // The run is walked so that the requested record comes last and ends up the most recently
  // used: from its end backwards when reading forward, from its start otherwise. Each record
  // costs one copy, into a buffer that goes straight into the index.
  for (std::int32_t step = 0; step < whole; ++step) {
    std::int32_t i = forward ? whole - 1 - step : step;
    std::int32_t number = start + i;
    std::uint8_t* source = readBuffer_.get() + static_cast<std::size_t>(i) * recordSize;
    TRecord* cached = FindCachedRecord(number);
    if (cached != nullptr) {
      // A cached record is refreshed only when nobody holds it and it has no unwritten changes.
      if (cached->UseCount == 0 && !cached->Modified) cached->Read(source);
      continue;
    }
    TRecord* r = AcquireRecordBuffer(number, false);
    r->Read(source);
    InsertRecordBuffer(r);
  }
  if (forward) nextRunStart_ = start + whole;
}

bool TDataFile::FlushRecordBuffers() {
  const std::size_t recordSize = header_.RecordSize;
  auto flushable = [&](const TRecord* r) {
    if (!r->Modified || r->UseCount != 0) return false;
    if (readWindowLength_ == 0) return true;
    std::int64_t at = RecordOffset(r->RecordNumber);
    return at + static_cast<std::int64_t>(recordSize) <= readWindowOffset_ || at >= readWindowOffset_ + readWindowLength_;
  };
  // Only a record handed out since the last flush can have changed, so normally only those are
  // looked at; after too many, or a failed write, every cached record is.
  std::vector<TRecord*>& candidates = flushCandidates_;
  candidates.clear();
  if (handedOutOverflow_) {
    candidates = CachedRecordsInOrder();
  } else {
    // Appends and scans hand records out in ascending order: most flushes need no sort.
    if (!std::is_sorted(handedOut_.begin(), handedOut_.end())) std::sort(handedOut_.begin(), handedOut_.end());
    handedOut_.erase(std::unique(handedOut_.begin(), handedOut_.end()), handedOut_.end());
    for (std::int32_t number : handedOut_) {
      TRecord* r = FindCachedRecord(number);
      if (r != nullptr) candidates.push_back(r);
    }
  }
  handedOut_.clear();
  handedOutOverflow_ = false;
  // A record still pinned, or not written now, may change or be written later: it stays listed.
  for (TRecord* r : candidates)
    if (r->UseCount != 0 || (r->Modified && !flushable(r))) NoteHandedOut(r->RecordNumber);

  bool wrote = false;
  std::size_t i = 0;
  const std::size_t n = candidates.size();
  while (i < n) {
    if (!flushable(candidates[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    std::int32_t expected = candidates[i]->RecordNumber;
    while (j < n && candidates[j]->RecordNumber == expected && flushable(candidates[j])) {
      ++j;
      ++expected;
    }
    const std::size_t bytes = (j - i) * recordSize;
    EnsureWriteBuffer(bytes);
    for (std::size_t k = i; k < j; ++k) candidates[k]->Write(writeBuffer_.get() + (k - i) * recordSize);
    try {
      WriteAt(RecordOffset(candidates[i]->RecordNumber), writeBuffer_.get(), static_cast<std::int64_t>(bytes));
    } catch (...) {
      // Not written after all: the changes stay pending, and the next flush looks at everything.
      for (std::size_t k = i; k < j; ++k) candidates[k]->Modified = true;
      handedOutOverflow_ = true;
      throw;
    }
    ++recordWrites_;
    owner_->SetHeadersWritten();
    wrote = true;
    i = j;
  }
  return wrote;
}

void TDataFile::FreeRecordBuffers() {
  handedOut_.clear();
  handedOutOverflow_ = false;
  // A pinned record is in a caller's hands until PutRecord. It leaves the cache all the same:
  // kept there, its stale bytes would be served to the next reader and its changes written over
  // what another session wrote. The holder's copy is freed by its last PutRecord.
  TRecord* record = first_;
  while (record != nullptr) {
    TRecord* next = record->Next;
    record->Next = record->Prev = record->HashNext = nullptr;
    if (record->UseCount > 0) {
      record->Detached = true;
      detachedRecords_.push_back(record);
    } else {
      ReleaseRecordBuffer(record);
    }
    record = next;
  }
  std::fill(buckets_.begin(), buckets_.end(), nullptr);
  cachedCount_ = 0;
  first_ = last_ = nullptr;
  nextRunStart_ = runLength_ = 0;
}

void TDataFile::AdjustRecordBuffers() {
  std::int32_t limit = ComputeCacheLimit();
  bool flushed = false;
  while (static_cast<std::int32_t>(cachedCount_) > limit) {
    if (DeleteLastRecordBuffer()) continue;
    if (flushed || owner_->GetTransactionInProgress()) break;
    FlushRecordBuffers();
    flushed = true;
  }
  capacity_ = std::max(static_cast<std::int32_t>(cachedCount_), limit);
}

void TDataFile::TruncateRecords(std::int32_t recordCount) {
  WriteAt(RecordOffset(recordCount + 1), nullptr, 0);
  if (owner_->GetForceBufferFlush()) Flush();
}

// ---------------------------------------------------------------------------------------------
// Locks

bool TDataFile::WriteLock() { return LockWithRetries(*this, kDataWriteLockOffset, 1); }

bool TDataFile::WriteUnlock() { return LockRegion(kDataWriteLockOffset, 1, false); }

bool TDataFile::UserWriteLockRecord(std::int32_t recordNumber) {
  if (recordNumber < 1 || recordNumber > kMaxRecordNumber) return false;
  return LockRegion(kRecordLockBase - recordNumber, 1, true);
}

bool TDataFile::UserWriteUnlockRecord(std::int32_t recordNumber) {
  if (recordNumber < 1 || recordNumber > kMaxRecordNumber) return false;
  return LockRegion(kRecordLockBase - recordNumber, 1, false);
}

bool TDataFile::UserWriteLockTable() { return LockRegion(kUserTableLockOffset, kUserTableLockLength, true); }

bool TDataFile::UserWriteUnlockTable() { return LockRegion(kUserTableLockOffset, kUserTableLockLength, false); }

bool TDataFile::UserLockSemaphore(std::int32_t number) {
  if (number < 1 || number > kMaxSemaphore) return false;
  return LockRegion(kSemaphoreLockBase - number, 1, true);
}

bool TDataFile::UserUnlockSemaphore(std::int32_t number) {
  if (number < 1 || number > kMaxSemaphore) return false;
  return LockRegion(kSemaphoreLockBase - number, 1, false);
}

}  // namespace korvel
