// The index file: header and definitions, page allocation, the per-index page cache.

#include "engine/index_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/data_file.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/errors.h"
#include "support/os_files.h"
#include "support/path_helpers.h"
#include "support/scramble.h"

namespace korvel {

namespace {

bool IsBlobField(const TIndexKeyField& field) { return field.DataType == dtBlob; }
bool IsStringField(const TIndexKeyField& field) { return field.DataType == dtString; }
bool IsTextBlobField(const TIndexKeyField& field) { return field.DataType == dtBlob && field.SubType == stMemo; }
// Bytes a field takes in a key, without its null-flag byte: BCD values are keyed in 8 bytes.
int IndexedSize(const TIndexKeyField& field) { return field.DataType == dtBCD ? 8 : field.PhysicalSize; }

bool StartsWithLetter(const std::string& name) {
  return !name.empty() && std::isalpha(static_cast<unsigned char>(name[0])) != 0;
}

std::string CutName(const std::string& name) {
  std::string trimmed = TrimString(name);
  if (trimmed.size() > kMaxIndexNameLength) trimmed.resize(kMaxIndexNameLength);
  return trimmed;
}

}  // namespace

std::vector<TIndexKeyField> KeyFieldsOf(const TDataFile& dataFile) {
  std::vector<TIndexKeyField> fields;
  for (std::int32_t pos = 1; pos <= dataFile.GetFieldCount(); ++pos) {
    const TFieldDefinition& d = dataFile.GetFieldDefinitionByPos(pos);
    fields.push_back({d.FieldName, d.DataType, d.SubType, d.PhysicalSize});
  }
  return fields;
}

// ---------------------------------------------------------------------------------------------
// TIndexDefinition and TIndexHeader

void TIndexDefinition::EncodeTo(std::uint8_t* out) const {
  std::memset(out, 0, kEncodedLength);
  std::size_t nameLength = std::min(IndexName.size(), kMaxIndexNameLength);
  out[kIndexName] = static_cast<std::uint8_t>(nameLength);
  std::memcpy(out + kIndexName + 1, IndexName.data(), nameLength);
  PutU16(out, kKeySize, KeySize);
  out[kDescending] = Descending ? 1 : 0;
  out[kCaseInsensitive] = CaseInsensitive ? 1 : 0;
  out[kUnique] = Unique ? 1 : 0;
  out[kCompression] = Compression;
  out[kKeyFieldCount] = KeyFieldCount;
  for (int i = 0; i < kMaxKeyFields; ++i) {
    out[kDescendingKeyFields + static_cast<std::size_t>(i)] = DescendingKeyFields[static_cast<std::size_t>(i)] ? 1 : 0;
    PutU16(out, kKeyFields + 2 * static_cast<std::size_t>(i), KeyFields[static_cast<std::size_t>(i)]);
  }
  PutI32(out, kRootPageNumber, RootPageNumber);
  PutI32(out, kNextFreePageNumber, NextFreePageNumber);
  PutI32(out, kDataRootPageNumber, DataRootPageNumber);
  out[kNoKeyCounts] = NoKeyCounts ? 1 : 0;
  out[kTemporary] = Temporary ? 1 : 0;
}

bool TIndexDefinition::DecodeFrom(const std::uint8_t* in, TIndexDefinition& definition) {
  bool sound = true;
  std::size_t nameLength = in[kIndexName];
  if (nameLength > kMaxIndexNameLength) {
    nameLength = kMaxIndexNameLength;
    sound = false;
  }
  definition.IndexName.assign(reinterpret_cast<const char*>(in + kIndexName + 1), nameLength);
  definition.KeySize = GetU16(in, kKeySize);
  definition.Descending = in[kDescending] != 0;
  definition.CaseInsensitive = in[kCaseInsensitive] != 0;
  definition.Unique = in[kUnique] != 0;
  definition.Compression = in[kCompression];
  if (definition.Compression > kMaxCompression) sound = false;
  definition.KeyFieldCount = in[kKeyFieldCount];
  if (definition.KeyFieldCount > kMaxKeyFields) {
    definition.KeyFieldCount = kMaxKeyFields;
    sound = false;
  }
  for (int i = 0; i < kMaxKeyFields; ++i) {
    definition.DescendingKeyFields[static_cast<std::size_t>(i)] = in[kDescendingKeyFields + static_cast<std::size_t>(i)] != 0;
    definition.KeyFields[static_cast<std::size_t>(i)] = GetU16(in, kKeyFields + 2 * static_cast<std::size_t>(i));
  }
  definition.RootPageNumber = GetI32(in, kRootPageNumber);
  definition.NextFreePageNumber = GetI32(in, kNextFreePageNumber);
  definition.DataRootPageNumber = GetI32(in, kDataRootPageNumber);
  definition.NoKeyCounts = in[kNoKeyCounts] != 0;
  definition.Temporary = in[kTemporary] != 0;
  return sound;
}

void TIndexHeader::EncodeTo(std::uint8_t* out) const {
  std::memset(out, 0, kEncodedLength);
  PutI32(out, kLastUpdateStamp, LastUpdateStamp);
  out[kVersionNum] = VersionNum;
  PutI32(out, kNextEndingPageNumber, NextEndingPageNumber);
  out[kIndexCount] = IndexCount;
  for (int slot = 0; slot < kIndexSlotCount; ++slot)
    IndexDefinitions[static_cast<std::size_t>(slot)].EncodeTo(out + SlotOffset(slot));
  PutI32(out, kActualRecordCount, ActualRecordCount);
  out[kNoPrimaryIndex] = NoPrimaryIndex ? 1 : 0;
  out[kHeaderModified] = HeaderModified ? 1 : 0;
}

bool TIndexHeader::DecodeFrom(const std::uint8_t* in, TIndexHeader& header) {
  header.LastUpdateStamp = GetI32(in, kLastUpdateStamp);
  header.VersionNum = in[kVersionNum];
  header.NextEndingPageNumber = GetI32(in, kNextEndingPageNumber);
  header.IndexCount = in[kIndexCount];
  header.ActualRecordCount = GetI32(in, kActualRecordCount);
  header.NoPrimaryIndex = in[kNoPrimaryIndex] != 0;
  header.HeaderModified = in[kHeaderModified] != 0;
  bool sound = header.IndexCount <= kMaxSecondaryIndexes;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    bool slotSound = TIndexDefinition::DecodeFrom(in + SlotOffset(slot), header.IndexDefinitions[static_cast<std::size_t>(slot)]);
    bool inUse = slot <= header.IndexCount || slot >= kSysDeletedSlot;
    if (inUse && !slotSound) sound = false;
  }
  return sound;
}

// ---------------------------------------------------------------------------------------------
// TPageBuffer

void TPageBuffer::Read(const std::uint8_t* buffer, bool reuse) {
  std::memcpy(image_.data(), buffer, kIndexPageSize);
  PageType = image_[kPageType];
  KeyEntryCount = GetU16(image_.data(), kKeyEntryCount);
  LeftPageNumber = GetI32(image_.data(), kLeftPageNumber);
  RightPageNumber = GetI32(image_.data(), kRightPageNumber);
  CompressedSize = GetU16(image_.data(), kCompressedSize);
  if (reuse) {
    KeyEntryCount = 0;
    std::memset(GetPageDataPtr(), 0, kPageBodySize);
  }
  IsFree = false;
  Modified = false;
}

void TPageBuffer::Write(std::uint8_t* buffer) {
  image_[kPageType] = PageType;
  PutU16(image_.data(), kKeyEntryCount, IsFree ? 0 : KeyEntryCount);
  PutI32(image_.data(), kLeftPageNumber, LeftPageNumber);
  PutI32(image_.data(), kRightPageNumber, RightPageNumber);
  PutU16(image_.data(), kCompressedSize, CompressedSize);
  std::memcpy(buffer, image_.data(), kIndexPageSize);
  Modified = false;
}

void TPageBuffer::Initialize() {
  image_.fill(0);
  PageType = 0;
  KeyEntryCount = 0;
  LeftPageNumber = 0;
  RightPageNumber = 0;
  CompressedSize = 0;
  IsFree = false;
  Modified = false;
}

void TPageBuffer::SetIndexAttributes(int slot, std::uint16_t keySize, bool descending, bool unique,
                                     bool noKeyCounts, std::uint8_t compression) {
  IndexSlot = slot;
  KeySize = keySize;
  Descending = descending;
  Unique = unique;
  NoKeyCounts = noKeyCounts;
  Compression = compression;
}

void TPageBuffer::SetPageType(std::uint8_t type) {
  if (PageType != type) {
    PageType = type;
    Modified = true;
  }
}

void TPageBuffer::SetKeyEntryCount(std::uint16_t count) {
  if (KeyEntryCount != count) {
    KeyEntryCount = count;
    Modified = true;
  }
}

void TPageBuffer::SetLeftPageNumber(std::int32_t number) {
  if (LeftPageNumber != number) {
    LeftPageNumber = number;
    Modified = true;
  }
}

void TPageBuffer::SetRightPageNumber(std::int32_t number) {
  if (RightPageNumber != number) {
    RightPageNumber = number;
    Modified = true;
  }
}

void TPageBuffer::SetCompressedSize(std::uint16_t size) {
  if (CompressedSize != size) {
    CompressedSize = size;
    Modified = true;
  }
}

void TPageBuffer::SetFree() {
  IsFree = true;
  Modified = true;
}

// ---------------------------------------------------------------------------------------------
// TIndexFile: construction, opening and closing

TIndexFile::TIndexFile(TIndexFileOwner* owner) : owner_(owner) {
  std::int32_t limit = GetPageCacheLimit();
  for (auto& cache : caches_) cache.Capacity = limit;
  pool_.reserve(kPagePoolSize);
}

TIndexFile::~TIndexFile() {
  if (IsOpen) {
    try {
      CloseFile();
    } catch (...) {
      // A destructor cannot report; the handles are released by the file layer regardless.
    }
  }
  // Pages may still be linked among themselves; the unique pointers free them.
}

void TIndexFile::RaiseIndexError(TErrorCode code, const std::string& indexName) const {
  RaiseError(code, "", "", owner_->GetProperDataDirectoryName(), owner_->GetTableName(), "", indexName);
}

void TIndexFile::ResetCounters() {
  cacheHits_ = 0;
  pageReads_ = 0;
  completedReads_ = 0;
  pageWrites_ = 0;
  writeOperations_ = 0;
}

void TIndexFile::OpenFile() {
  if (IsOpen) return;
  TFileHandler::OpenFile();
  try {
    ReadHeader();
  } catch (...) {
    TFileHandler::CloseFile();
    throw;
  }
  ResetCounters();
  AdjustPageBuffers();
}

void TIndexFile::CloseFile() {
  DeleteTemporaryIndexes();
  FreePageBuffers(true);
  FreePageBuffers(false);
  ResetCounters();
  TFileHandler::CloseFile();
}

void TIndexFile::InitializeSystemSlots() {
  TIndexDefinition& deleted = header_.IndexDefinitions[kSysDeletedSlot];
  deleted.IndexName = kSysDeletedIndexName;
  deleted.KeySize = kSysDeletedKeySize;
  deleted.Compression = 0;
  TIndexDefinition& text = header_.IndexDefinitions[kSysTextSlot];
  text.IndexName = kSysTextIndexName;
  text.KeySize = kSysTextKeySize;
  text.Compression = kSysTextCompression;
}

void TIndexFile::CreateFile() {
  TFileHandler::CreateFile();
  ResetCaches();
  DeleteTemporaryPageFile();
  header_ = TIndexHeader();
  header_.VersionNum = kIndexVersionNum;
  header_.NextEndingPageNumber = 1;
  InitializeSystemSlots();
  header_.ActualRecordCount = 0;
  SetHeaderModified();
  ResetCounters();
}

// ---------------------------------------------------------------------------------------------
// Header I/O

// Headers and pages of encrypted tables are scrambled as whole 4,096-byte blocks.
void TIndexFile::ScrambleBlock(std::uint8_t* buffer, bool scramble) const {
  if (scramble)
    EncryptBuffer(buffer, kIndexPageSize, kTableDataSeedA, kTableDataSeedB);
  else
    DecryptBuffer(buffer, kIndexPageSize, kTableDataSeedA, kTableDataSeedB);
}

void TIndexFile::ReadRawHeader(std::uint8_t* buffer) {
  std::int64_t n = ReadAt(0, buffer, static_cast<std::int64_t>(kIndexHeaderSize), true);
  if (n != static_cast<std::int64_t>(kIndexHeaderSize)) RaiseIndexError(KORVEL_HEADERCORRUPT);
  if (owner_->GetEncrypted()) ScrambleBlock(buffer, false);
}

void TIndexFile::TakeHeader(const TIndexHeader& read) {
  // Temporary definitions live only in this object: they, and their cached pages (which lie in
  // the temporary page file and stay valid), go after the permanent secondaries read.
  struct TKept {
    TIndexDefinition Definition;
    TSlotCache Cache;
  };
  std::vector<TKept> kept;
  for (int slot = 1; slot <= header_.IndexCount; ++slot) {
    auto index = static_cast<std::size_t>(slot);
    if (!header_.IndexDefinitions[index].Temporary) continue;
    kept.push_back({header_.IndexDefinitions[index], std::move(caches_[index])});
    caches_[index] = TSlotCache();
    caches_[index].Capacity = GetPageCacheLimit();
  }
  header_ = read;
  for (TIndexDefinition& definition : header_.IndexDefinitions) definition.Temporary = false;
  for (TKept& entry : kept) {
    if (header_.IndexCount >= kMaxSecondaryIndexes) {
      FreeCachePages(entry.Cache);  // no slot left for it: the temporary index is dropped
      continue;
    }
    int slot = ++header_.IndexCount;
    auto index = static_cast<std::size_t>(slot);
    // Whatever the slot cached belonged to the old arrangement of the permanent indexes.
    FreeCachePages(caches_[index]);
    header_.IndexDefinitions[index] = entry.Definition;
    caches_[index] = std::move(entry.Cache);
    for (auto& page : caches_[index].Pages) page->IndexSlot = slot;
  }
  if (!kept.empty() && !HasTemporaryIndexes()) DeleteTemporaryPageFile();
  header_.HeaderModified = false;
}

void TIndexFile::ReadHeader() {
  std::uint8_t buffer[kIndexHeaderSize];
  ReadRawHeader(buffer);
  TIndexHeader read;
  if (!TIndexHeader::DecodeFrom(buffer, read)) RaiseIndexError(KORVEL_HEADERCORRUPT);
  TakeHeader(read);
}

void TIndexFile::GetWriteHeader(TIndexHeader& header) const {
  // Temporary indexes never reach the disk. The permanent secondaries keep their order; a
  // permanent index defined after a temporary one moves down over it.
  header = header_;
  int count = 0;
  for (int slot = 1; slot <= header_.IndexCount; ++slot) {
    const TIndexDefinition& definition = header_.IndexDefinitions[static_cast<std::size_t>(slot)];
    if (definition.Temporary) continue;
    header.IndexDefinitions[static_cast<std::size_t>(++count)] = definition;
  }
  for (int slot = count + 1; slot <= header_.IndexCount; ++slot)
    header.IndexDefinitions[static_cast<std::size_t>(slot)] = TIndexDefinition();
  header.IndexCount = static_cast<std::uint8_t>(count);
  if (header.IndexDefinitions[0].Temporary) header.IndexDefinitions[0] = TIndexDefinition();
}

bool TIndexFile::WriteHeader(bool force) {
  if (!force && !header_.HeaderModified) return false;
  header_.LastUpdateStamp = NextUpdateStamp(header_.LastUpdateStamp);
  TIndexHeader disk;
  GetWriteHeader(disk);
  std::uint8_t buffer[kIndexHeaderSize];
  disk.EncodeTo(buffer);
  if (owner_->GetEncrypted()) ScrambleBlock(buffer, true);
  try {
    WriteAt(0, buffer, static_cast<std::int64_t>(kIndexHeaderSize));
  } catch (...) {
    header_.LastUpdateStamp = PreviousUpdateStamp(header_.LastUpdateStamp);
    throw;
  }
  owner_->SetHeadersWritten();
  header_.HeaderModified = false;
  return true;
}

void TIndexFile::UpdateHeaderStamp() {
  header_.LastUpdateStamp = NextUpdateStamp(header_.LastUpdateStamp);
  SetHeaderModified();
  owner_->SetHeadersWritten();
}

void TIndexFile::ClearHeader() {
  // Every page goes: cached ones must not be written over the pages the emptied file hands out.
  ResetCaches();
  WriteAt(static_cast<std::int64_t>(kIndexHeaderSize), nullptr, 0);
  if (owner_->GetForceBufferFlush()) Flush();
  if (tempFile_) {
    tempFile_->WriteAt(static_cast<std::int64_t>(kIndexPageSize), nullptr, 0);
    tempNextEndingPageNumber_ = 1;
  }
  header_.VersionNum = kIndexVersionNum;
  header_.NextEndingPageNumber = 1;
  header_.ActualRecordCount = 0;
  for (TIndexDefinition& definition : header_.IndexDefinitions) {
    definition.RootPageNumber = 0;
    definition.NextFreePageNumber = 0;
    definition.DataRootPageNumber = 0;
  }
  SetHeaderModified();
}

bool TIndexFile::CheckForChanges() {
  std::uint8_t buffer[kIndexHeaderSize];
  ReadRawHeader(buffer);
  if (GetI32(buffer, TIndexHeader::kLastUpdateStamp) == header_.LastUpdateStamp) return false;
  TIndexHeader read;
  if (!TIndexHeader::DecodeFrom(buffer, read)) RaiseIndexError(KORVEL_HEADERCORRUPT);
  TakeHeader(read);
  return true;
}

void TIndexFile::CheckHeaderVersion() {
  if (header_.VersionNum != kIndexVersionNum) RaiseIndexError(KORVEL_OLDVERSION);
}

bool TIndexFile::CheckPageNumber(std::int32_t number) const {
  return number == 0 || (number >= 1 && number <= GetPhysicalPagesUsed());
}

std::int64_t TIndexFile::GetFileSize() const {
  return static_cast<std::int64_t>(kIndexHeaderSize) +
         static_cast<std::int64_t>(std::max(GetPhysicalPagesUsed(), 0)) * static_cast<std::int64_t>(kIndexPageSize);
}

void TIndexFile::CheckHeader() {
  CheckHeaderVersion();
  if (header_.IndexCount > kMaxSecondaryIndexes || header_.NextEndingPageNumber < 1 ||
      header_.NextEndingPageNumber > kMaxIndexPageNumber + 1)
    RaiseIndexError(KORVEL_HEADERCORRUPT);
  const TIndexDefinition& primary = header_.IndexDefinitions[kPrimaryIndexSlot];
  if (!primary.IndexName.empty()) RaiseIndexError(KORVEL_HEADERCORRUPT);
  if (!header_.NoPrimaryIndex && !primary.Unique) RaiseIndexError(KORVEL_HEADERCORRUPT);

  auto checkKeyFields = [&](int slot) {
    const TIndexDefinition& definition = header_.IndexDefinitions[static_cast<std::size_t>(slot)];
    if (definition.Compression > kMaxCompression) RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
    int total = 0;
    for (int i = 0; i < kMaxKeyFields; ++i) {
      std::uint16_t number = definition.KeyFields[static_cast<std::size_t>(i)];
      if (i >= definition.KeyFieldCount) {
        if (number != 0) RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
        continue;
      }
      TIndexKeyField field;
      if (number == 0 || !owner_->GetKeyField(number, field)) RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
      bool allowed = slot == kSysTextSlot ? (IsStringField(field) || IsTextBlobField(field)) : !IsBlobField(field);
      if (!allowed) RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
      total += IndexedSize(field) + 1;
    }
    if (total > kMaxIndexedKeyBytes) RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
  };

  if (!header_.NoPrimaryIndex) checkKeyFields(kPrimaryIndexSlot);
  for (int slot = 1; slot <= header_.IndexCount; ++slot) {
    const TIndexDefinition& definition = header_.IndexDefinitions[static_cast<std::size_t>(slot)];
    std::string name = TrimString(definition.IndexName);
    if (!StartsWithLetter(name)) RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
    for (int other = 1; other < slot; ++other)
      if (SameName(header_.IndexDefinitions[static_cast<std::size_t>(other)].IndexName, name))
        RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
    checkKeyFields(slot);
  }
  checkKeyFields(kSysDeletedSlot);
  checkKeyFields(kSysTextSlot);
  for (const TIndexDefinition& definition : header_.IndexDefinitions) {
    if (!CheckPageNumber(definition.RootPageNumber) || !CheckPageNumber(definition.NextFreePageNumber) ||
        !CheckPageNumber(definition.DataRootPageNumber))
      RaiseIndexError(KORVEL_HEADERCORRUPT, definition.IndexName);
  }
}

// ---------------------------------------------------------------------------------------------
// Definitions

void TIndexFile::CheckSlot(int slot) const {
  if (slot < 0 || slot >= kIndexSlotCount) RaiseIndexError(KORVEL_INDEXLIMIT);
}

const TIndexDefinition& TIndexFile::IndexDefinition(int slot) const {
  CheckSlot(slot);
  return header_.IndexDefinitions[static_cast<std::size_t>(slot)];
}

TIndexDefinition& TIndexFile::MutableDefinition(int slot) {
  CheckSlot(slot);
  return header_.IndexDefinitions[static_cast<std::size_t>(slot)];
}

void TIndexFile::SetIndexCount(int count) {
  if (count < 0 || count > kMaxSecondaryIndexes) RaiseIndexError(KORVEL_INDEXLIMIT);
  if (header_.IndexCount != count) {
    header_.IndexCount = static_cast<std::uint8_t>(count);
    SetHeaderModified();
  }
}

void TIndexFile::SetNoPrimaryIndex(bool value) {
  if (value) {
    FreeSlotPages(kPrimaryIndexSlot);
    ClearIndexDefinition(header_.IndexDefinitions[kPrimaryIndexSlot]);
  }
  header_.NoPrimaryIndex = value;
  SetHeaderModified();
}

void TIndexFile::GetIndexDefinition(int slot, TIndexDefinition& definition) const {
  definition = IndexDefinition(slot);
}

void TIndexFile::SetIndexDefinition(int slot, const TIndexDefinition& definition) {
  TIndexDefinition& target = MutableDefinition(slot);
  target = definition;
  if (target.IndexName.size() > kMaxIndexNameLength) target.IndexName.resize(kMaxIndexNameLength);
  if (target.KeyFieldCount > kMaxKeyFields) target.KeyFieldCount = kMaxKeyFields;
  SetHeaderModified();
}

void TIndexFile::UpdateIndexDefinition(int slot, const TIndexDefinition& definition) {
  TIndexDefinition& target = MutableDefinition(slot);
  target.IndexName = definition.IndexName.substr(0, kMaxIndexNameLength);
  target.KeyFieldCount = std::min<std::uint8_t>(definition.KeyFieldCount, kMaxKeyFields);
  target.KeyFields = definition.KeyFields;
  SetHeaderModified();
}

void TIndexFile::ClearIndexDefinition(TIndexDefinition& definition) {
  std::int32_t nextFree = definition.NextFreePageNumber;
  std::int32_t dataRoot = definition.DataRootPageNumber;
  definition = TIndexDefinition();
  definition.NextFreePageNumber = nextFree;
  definition.DataRootPageNumber = dataRoot;
}

void TIndexFile::ValidateKeyFields(const TIndexDefinition& definition, const std::string& indexName) const {
  if (definition.KeyFieldCount > kMaxKeyFields) RaiseIndexError(KORVEL_INDEXLIMIT, indexName);
  // Pages are sized and encoded by the mode: an unknown one would be sized as one mode and
  // written as another.
  if (definition.Compression > kMaxCompression) RaiseIndexError(KORVEL_INVALIDKEY, indexName);
  int total = 0;
  for (int i = 0; i < definition.KeyFieldCount; ++i) {
    std::uint16_t number = definition.KeyFields[static_cast<std::size_t>(i)];
    TIndexKeyField field;
    if (!owner_->GetKeyField(number, field))
      RaiseError(KORVEL_INVALIDIDXDESC, "", "", owner_->GetProperDataDirectoryName(), owner_->GetTableName(),
                 std::to_string(number), indexName);
    if (IsBlobField(field))
      RaiseError(KORVEL_SEARCHCOLREQD, "", "", owner_->GetProperDataDirectoryName(), owner_->GetTableName(),
                 field.FieldName, indexName);
    total += IndexedSize(field) + 1;
  }
  if (total > kMaxIndexedKeyBytes || definition.KeySize < total) RaiseIndexError(KORVEL_INVALIDKEY, indexName);
}

void TIndexFile::AddPrimaryIndex(const TIndexDefinition& definition) {
  TIndexDefinition& primary = header_.IndexDefinitions[kPrimaryIndexSlot];
  if (primary.KeySize != 0) RaiseIndexError(KORVEL_PRIMARYKEYREDEFINE);
  if (definition.KeyFieldCount > kMaxKeyFields) RaiseIndexError(KORVEL_INDEXLIMIT);
  if (definition.KeyFieldCount == 0) {
    header_.NoPrimaryIndex = true;
    SetHeaderModified();
    return;
  }
  ValidateKeyFields(definition, "Primary");
  header_.NoPrimaryIndex = false;
  primary.IndexName.clear();
  primary.KeySize = definition.KeySize;
  primary.Descending = definition.Descending;
  primary.CaseInsensitive = definition.CaseInsensitive;
  primary.Unique = true;
  primary.NoKeyCounts = definition.NoKeyCounts;
  primary.Compression = definition.Compression;
  primary.KeyFieldCount = definition.KeyFieldCount;
  primary.KeyFields = {};
  primary.DescendingKeyFields = {};
  for (int i = 0; i < definition.KeyFieldCount; ++i) {
    primary.KeyFields[static_cast<std::size_t>(i)] = definition.KeyFields[static_cast<std::size_t>(i)];
    primary.DescendingKeyFields[static_cast<std::size_t>(i)] = definition.DescendingKeyFields[static_cast<std::size_t>(i)];
  }
  SetHeaderModified();
}

void TIndexFile::AddSecondaryIndex(const TIndexDefinition& definition) {
  std::string name = CutName(definition.IndexName);
  if (header_.IndexCount >= kMaxSecondaryIndexes || definition.KeyFieldCount > kMaxKeyFields)
    RaiseIndexError(KORVEL_INDEXLIMIT, name);
  if (name.empty()) RaiseIndexError(KORVEL_INDEXNAMEREQUIRED);
  if (!StartsWithLetter(name)) RaiseIndexError(KORVEL_INVALIDINDEXNAME, name);
  for (int slot = 1; slot <= header_.IndexCount; ++slot)
    if (SameName(header_.IndexDefinitions[static_cast<std::size_t>(slot)].IndexName, name))
      RaiseIndexError(KORVEL_INDEXEXISTS, name);
  ValidateKeyFields(definition, name);
  if (definition.Temporary && !HasTemporaryIndexes()) CreateTemporaryPageFile();

  int slot = header_.IndexCount + 1;
  // The slot may hold a parked definition or stale bytes; its pages, if any were cached, go.
  FreeSlotPages(slot);
  TIndexDefinition& target = header_.IndexDefinitions[static_cast<std::size_t>(slot)];
  // The free chain of the index dropped last is parked here; the new index takes it over so
  // that dropping and re-creating an index does not grow the file by the whole index.
  std::int32_t parkedFree = target.NextFreePageNumber;
  if (target.Temporary || definition.Temporary || !CheckPageNumber(parkedFree)) parkedFree = 0;
  target = TIndexDefinition();
  target.NextFreePageNumber = parkedFree;
  target.IndexName = name;
  target.KeySize = definition.KeySize;
  target.Descending = definition.Descending;
  target.CaseInsensitive = definition.CaseInsensitive;
  target.Unique = definition.Unique;
  target.NoKeyCounts = definition.NoKeyCounts;
  target.Compression = definition.Compression;
  target.KeyFieldCount = definition.KeyFieldCount;
  for (int i = 0; i < definition.KeyFieldCount; ++i) {
    target.KeyFields[static_cast<std::size_t>(i)] = definition.KeyFields[static_cast<std::size_t>(i)];
    target.DescendingKeyFields[static_cast<std::size_t>(i)] = definition.DescendingKeyFields[static_cast<std::size_t>(i)];
  }
  target.RootPageNumber = 0;
  target.Temporary = definition.Temporary;
  header_.IndexCount = static_cast<std::uint8_t>(slot);
  caches_[static_cast<std::size_t>(slot)].Capacity = GetPageCacheLimit();
  SetHeaderModified();
}

void TIndexFile::DeleteIndex(int slot, bool shift) {
  if (slot == kPrimaryIndexSlot) {
    SetNoPrimaryIndex(true);
    return;
  }
  if (slot < 1 || slot > header_.IndexCount) RaiseIndexError(KORVEL_INDEXLIMIT);
  bool wasTemporary = IsTemporarySlot(slot);
  // The index's pages leave the cache; written pages of a permanent index keep the file whole.
  if (!wasTemporary) FlushSlotPages(slot);
  FreeSlotPages(slot);
  if (!shift) {
    ClearIndexDefinition(MutableDefinition(slot));
  } else {
    TIndexDefinition removed = header_.IndexDefinitions[static_cast<std::size_t>(slot)];
    for (int s = slot; s < header_.IndexCount; ++s) {
      header_.IndexDefinitions[static_cast<std::size_t>(s)] = header_.IndexDefinitions[static_cast<std::size_t>(s + 1)];
      std::swap(caches_[static_cast<std::size_t>(s)], caches_[static_cast<std::size_t>(s + 1)]);
      for (auto& page : caches_[static_cast<std::size_t>(s)].Pages) page->IndexSlot = s;
    }
    header_.IndexDefinitions[header_.IndexCount] = removed;
    --header_.IndexCount;
  }
  SetHeaderModified();
  if (wasTemporary && !HasTemporaryIndexes()) DeleteTemporaryPageFile();
}

bool TIndexFile::HasTemporaryIndexes() const {
  for (int slot = 0; slot <= header_.IndexCount; ++slot)
    if (header_.IndexDefinitions[static_cast<std::size_t>(slot)].Temporary) return true;
  return false;
}

void TIndexFile::DeleteTemporaryIndexes() {
  // From the last slot down, so the permanent indexes after a temporary one move down in order.
  for (int slot = header_.IndexCount; slot >= 1; --slot) {
    if (!IsTemporarySlot(slot)) continue;
    FreeSlotPages(slot);
    for (int s = slot; s < header_.IndexCount; ++s) {
      header_.IndexDefinitions[static_cast<std::size_t>(s)] = header_.IndexDefinitions[static_cast<std::size_t>(s + 1)];
      std::swap(caches_[static_cast<std::size_t>(s)], caches_[static_cast<std::size_t>(s + 1)]);
      for (auto& page : caches_[static_cast<std::size_t>(s)].Pages) page->IndexSlot = s;
    }
    header_.IndexDefinitions[header_.IndexCount] = TIndexDefinition();
    --header_.IndexCount;
  }
  DeleteTemporaryPageFile();
}

bool TIndexFile::IndexExists(const std::string& name) const {
  for (int slot = 0; slot <= header_.IndexCount; ++slot)
    if (SameName(header_.IndexDefinitions[static_cast<std::size_t>(slot)].IndexName, name)) return true;
  return false;
}

// ---------------------------------------------------------------------------------------------
// Page numbers and the record count

void TIndexFile::SetRootPageNumber(int slot, std::int32_t number) {
  TIndexDefinition& definition = MutableDefinition(slot);
  if (definition.RootPageNumber != number) {
    definition.RootPageNumber = number;
    SetHeaderModified();
  }
}

void TIndexFile::SetDataRootPageNumber(int slot, std::int32_t number) {
  TIndexDefinition& definition = MutableDefinition(slot);
  if (definition.DataRootPageNumber != number) {
    definition.DataRootPageNumber = number;
    SetHeaderModified();
  }
}

std::int32_t TIndexFile::GetNextFreePageNumber(int slot) const {
  std::int32_t head = IndexDefinition(slot).NextFreePageNumber;
  return head != 0 ? head : GetNextEndingPageNumber(slot);
}

void TIndexFile::SetNextFreePageNumber(int slot, std::int32_t number) {
  TIndexDefinition& definition = MutableDefinition(slot);
  if (definition.NextFreePageNumber != number) {
    definition.NextFreePageNumber = number;
    SetHeaderModified();
  }
}

std::int32_t TIndexFile::GetNextEndingPageNumber(int slot) const {
  return IndexDefinition(slot).Temporary ? tempNextEndingPageNumber_ : header_.NextEndingPageNumber;
}

void TIndexFile::SetNextEndingPageNumber(int slot, std::int32_t number) {
  if (IndexDefinition(slot).Temporary) {
    tempNextEndingPageNumber_ = number;
  } else if (header_.NextEndingPageNumber != number) {
    header_.NextEndingPageNumber = number;
    SetHeaderModified();
  }
}

void TIndexFile::SetActualRecordCount(std::int32_t count) {
  if (header_.ActualRecordCount != count) {
    header_.ActualRecordCount = count;
    SetHeaderModified();
  }
}

void TIndexFile::IncActualRecordCount() {
  ++header_.ActualRecordCount;
  SetHeaderModified();
}

void TIndexFile::DecActualRecordCount() {
  if (header_.ActualRecordCount > 0) --header_.ActualRecordCount;
  SetHeaderModified();
}

// ---------------------------------------------------------------------------------------------
// The temporary page file

TFileHandler& TIndexFile::PageFileOf(int slot) {
  if (IsTemporarySlot(slot)) {
    if (!tempFile_) RaiseIndexError(KORVEL_INDEXCORRUPT, header_.IndexDefinitions[static_cast<std::size_t>(slot)].IndexName);
    return *tempFile_;
  }
  return *this;
}

void TIndexFile::CreateTemporaryPageFile() {
  if (tempFile_) return;
  auto file = std::make_unique<TFileHandler>();
  std::string directory = owner_->GetPrivateDirectory();
  if (!directory.empty() && directory.back() != '/') directory += '/';
  std::string name;
  do {
    name = OSTempFileName(directory, ".TMP");
  } while (InMemory && GetFileList().FileExists(name, true));
  file->FileName = name;
  file->InMemory = InMemory;
  file->Exclusive = true;
  file->Temporary = true;
  file->CreateFile();
  tempFile_ = std::move(file);
  tempNextEndingPageNumber_ = 1;
}

void TIndexFile::DeleteTemporaryPageFile() {
  if (!tempFile_) return;
  // Temporary files are removed when their last handle closes.
  tempFile_->CloseFile();
  tempFile_.reset();
  tempNextEndingPageNumber_ = 1;
}

// ---------------------------------------------------------------------------------------------
// The page pool

std::unique_ptr<TPageBuffer> TIndexFile::CreatePageObject() { return std::make_unique<TPageBuffer>(this); }

std::unique_ptr<TPageBuffer> TIndexFile::GetNewPageInstance() {
  if (!pool_.empty()) {
    std::unique_ptr<TPageBuffer> page = std::move(pool_.back());
    pool_.pop_back();
    return page;
  }
  return CreatePageObject();
}

void TIndexFile::ReturnPageInstance(std::unique_ptr<TPageBuffer> page) {
  if (!page || pool_.size() >= kPagePoolSize) return;
  page->Prev = nullptr;
  page->Next = nullptr;
  page->HashNext = nullptr;
  page->UseCount = 0;
  page->Detached = false;
  page->PageNumber = 0;
  page->Initialize();
  pool_.push_back(std::move(page));
}

// ---------------------------------------------------------------------------------------------
// Cache primitives

std::int32_t TIndexFile::GetPageCacheLimit() const {
  return std::max(owner_->GetMaxTableIndexBufferSize() / kIndexCacheBytesPerPage, 1);
}

std::size_t TIndexFile::GetCachedPageCount(int slot) const {
  CheckSlot(slot);
  return caches_[static_cast<std::size_t>(slot)].Pages.size();
}

std::int32_t TIndexFile::GetPageCacheCapacity(int slot) const {
  CheckSlot(slot);
  return caches_[static_cast<std::size_t>(slot)].Capacity;
}

TPageBuffer* TIndexFile::FindFirstPageBuffer(const TSlotCache& cache, std::int32_t pageNumber) const {
  if (cache.Buckets.empty()) return nullptr;
  TPageBuffer* page = cache.Buckets[BucketOf(cache, pageNumber)];
  while (page != nullptr && page->PageNumber != pageNumber) page = page->HashNext;
  return page;
}

void TIndexFile::GrowBuckets(TSlotCache& cache) {
  // Consecutive page numbers land in consecutive buckets, so the low bits alone spread them.
  std::size_t size = std::max<std::size_t>(64, cache.Buckets.size() * 2);
  while (size < cache.Pages.size()) size *= 2;
  cache.Buckets.assign(size, nullptr);
  for (auto& owned : cache.Pages) {
    TPageBuffer*& head = cache.Buckets[BucketOf(cache, owned->PageNumber)];
    owned->HashNext = head;
    head = owned.get();
  }
}

void TIndexFile::AddPageBuffer(TSlotCache& cache, std::unique_ptr<TPageBuffer> page) {
  TPageBuffer* raw = page.get();
  raw->CachePosition = cache.Pages.size();
  cache.Pages.push_back(std::move(page));
  if (cache.Pages.size() > cache.Buckets.size()) {
    GrowBuckets(cache);  // links every page, the new one included
    return;
  }
  TPageBuffer*& head = cache.Buckets[BucketOf(cache, raw->PageNumber)];
  raw->HashNext = head;
  head = raw;
}

void TIndexFile::NoteHandedOut(TSlotCache& cache, std::int32_t pageNumber) {
  if (cache.HandedOutOverflow) return;
  // A descent and the steps of a scan ask for the same page again and again.
  if (!cache.HandedOut.empty() && cache.HandedOut.back() == pageNumber) return;
  if (cache.HandedOut.size() >= kMaxHandedOutPages) {
    cache.HandedOutOverflow = true;
    cache.HandedOut.clear();
    return;
  }
  cache.HandedOut.push_back(pageNumber);
}

void TIndexFile::InsertAsFirstPageBuffer(TSlotCache& cache, TPageBuffer* page) {
  page->Prev = nullptr;
  page->Next = cache.First;
  if (cache.First != nullptr) cache.First->Prev = page;
  cache.First = page;
  if (cache.Last == nullptr) cache.Last = page;
}

void TIndexFile::UnlinkPageBuffer(TSlotCache& cache, TPageBuffer* page) {
  if (page->Prev != nullptr)
    page->Prev->Next = page->Next;
  else
    cache.First = page->Next;
  if (page->Next != nullptr)
    page->Next->Prev = page->Prev;
  else
    cache.Last = page->Prev;
  page->Prev = nullptr;
  page->Next = nullptr;
}

void TIndexFile::MoveToFirstPageBuffer(TSlotCache& cache, TPageBuffer* page) {
  if (cache.First == page) return;
  UnlinkPageBuffer(cache, page);
  InsertAsFirstPageBuffer(cache, page);
}

std::unique_ptr<TPageBuffer> TIndexFile::DeletePageBuffer(TSlotCache& cache, TPageBuffer* page) {
  std::size_t position = page->CachePosition;
  if (position >= cache.Pages.size() || cache.Pages[position].get() != page || cache.Buckets.empty())
    RaiseIndexError(KORVEL_INDEXCORRUPT, header_.IndexDefinitions[static_cast<std::size_t>(page->IndexSlot)].IndexName);
  TPageBuffer** link = &cache.Buckets[BucketOf(cache, page->PageNumber)];
  while (*link != nullptr && *link != page) link = &(*link)->HashNext;
  if (*link == nullptr)
    RaiseIndexError(KORVEL_INDEXCORRUPT, header_.IndexDefinitions[static_cast<std::size_t>(page->IndexSlot)].IndexName);
  *link = page->HashNext;
  page->HashNext = nullptr;
  UnlinkPageBuffer(cache, page);
  // The last page takes the freed place in the list.
  std::unique_ptr<TPageBuffer> owned = std::move(cache.Pages[position]);
  if (position + 1 != cache.Pages.size()) {
    cache.Pages[position] = std::move(cache.Pages.back());
    cache.Pages[position]->CachePosition = position;
  }
  cache.Pages.pop_back();
  return owned;
}

TPageBuffer* TIndexFile::FindPageBufferToDelete(TSlotCache& cache, bool all) {
  // A miss looks at a few of the least recently used pages only, so that it costs the same
  // however many pages are cached. A page that cannot go (pinned, or modified where nothing may
  // be flushed) moves to the front, out of the way of the next search.
  std::size_t left = all ? cache.Pages.size() : std::min<std::size_t>(kPageVictimSearch, cache.Pages.size());
  for (; left > 0 && cache.Last != nullptr; --left) {
    TPageBuffer* page = cache.Last;
    if (!page->Modified && page->UseCount == 0) return page;
    MoveToFirstPageBuffer(cache, page);
  }
  return nullptr;
}

std::unique_ptr<TPageBuffer> TIndexFile::ClearLastPageBuffer(int slot, bool flushAllowed, bool all) {
  TSlotCache& cache = caches_[static_cast<std::size_t>(slot)];
  TPageBuffer* victim = FindPageBufferToDelete(cache, all);
  if (victim == nullptr && flushAllowed && !owner_->GetTransactionInProgress()) {
    FlushPageBuffers(IsTemporarySlot(slot));
    victim = FindPageBufferToDelete(cache, all);
  }
  if (victim == nullptr) return nullptr;
  return DeletePageBuffer(cache, victim);
}

bool TIndexFile::DeleteLastPageBuffer(int slot, bool flushAllowed) {
  std::unique_ptr<TPageBuffer> page = ClearLastPageBuffer(slot, flushAllowed, true);
  if (!page) return false;
  ReturnPageInstance(std::move(page));
  return true;
}

void TIndexFile::PrepareNewPage(TPageBuffer* page, int slot, std::int32_t pageNumber) {
  const TIndexDefinition& definition = header_.IndexDefinitions[static_cast<std::size_t>(slot)];
  page->Initialize();
  page->PageNumber = pageNumber;
  page->UseCount = 0;
  page->Detached = false;
  page->SetIndexAttributes(slot, definition.KeySize, definition.Descending, definition.Unique, definition.NoKeyCounts,
                           definition.Compression);
}

TPageBuffer* TIndexFile::GetNewPageBuffer(int slot, std::int32_t pageNumber) {
  TSlotCache& cache = caches_[static_cast<std::size_t>(slot)];
  std::unique_ptr<TPageBuffer> page;
  if (static_cast<std::int32_t>(cache.Pages.size()) < cache.Capacity) {
    page = GetNewPageInstance();
  } else {
    page = ClearLastPageBuffer(slot, true, false);
    if (!page) {
      // Every page looked at is pinned or modified (inside a transaction): grow, by half the
      // capacity, so that a long transaction grows the cache a few times, not every few pages.
      cache.Capacity += std::max(kIndexCacheGrowth, cache.Capacity / 2);
      page = GetNewPageInstance();
    }
  }
  TPageBuffer* raw = page.get();
  PrepareNewPage(raw, slot, pageNumber);
  if (FindFirstPageBuffer(cache, pageNumber) != nullptr) {
    ReturnPageInstance(std::move(page));
    RaiseIndexError(KORVEL_INDEXCORRUPT, header_.IndexDefinitions[static_cast<std::size_t>(slot)].IndexName);
  }
  AddPageBuffer(cache, std::move(page));
  InsertAsFirstPageBuffer(cache, raw);
  return raw;
}

TPageBuffer* TIndexFile::ReadPageBuffer(int slot, std::int32_t pageNumber, bool reuse) {
  bool temporary = IsTemporarySlot(slot);
  TFileHandler& file = PageFileOf(slot);
  bool allowShort = owner_->GetHeadersWritten() &&
                    (temporary || Exclusive || owner_->GetTransactionInProgress());
  ++pageReads_;
  std::int64_t offset = static_cast<std::int64_t>(pageNumber) * static_cast<std::int64_t>(kIndexPageSize);
  std::int64_t n = file.ReadAt(offset, readBuffer_.data(), static_cast<std::int64_t>(kIndexPageSize), allowShort);
  if (n < 0) RaiseIndexError(KORVEL_READERR);
  if (n < static_cast<std::int64_t>(kIndexPageSize))
    std::memset(readBuffer_.data() + n, 0, kIndexPageSize - static_cast<std::size_t>(n));
  else if (owner_->GetEncrypted())
    ScrambleBlock(readBuffer_.data(), false);
  // A page taken from a free chain must be free: a page with entries there means a damaged chain,
  // and reusing it would overwrite a live page of the tree.
  if (reuse && GetU16(readBuffer_.data(), TPageBuffer::kKeyEntryCount) != 0)
    RaiseIndexError(KORVEL_INDEXCORRUPT, header_.IndexDefinitions[static_cast<std::size_t>(slot)].IndexName);
  TPageBuffer* page = GetNewPageBuffer(slot, pageNumber);
  page->Read(readBuffer_.data(), reuse);
  ++completedReads_;
  return page;
}

// ---------------------------------------------------------------------------------------------
// Getting and releasing pages

bool TIndexFile::GetPage(TDataCursor* cursor, int slot, std::int32_t pageNumber, TPageBuffer*& page, bool readFlag) {
  page = nullptr;
  CheckSlot(slot);
  const std::string& indexName = header_.IndexDefinitions[static_cast<std::size_t>(slot)].IndexName;
  std::int32_t ending = GetNextEndingPageNumber(slot);
  // Page numbers come from the header and from other pages: never trust one outside the file.
  if (pageNumber <= 0 || pageNumber > ending) RaiseIndexError(KORVEL_INDEXCORRUPT, indexName);
  TSlotCache& cache = caches_[static_cast<std::size_t>(slot)];

  if (pageNumber == ending) {
    if (pageNumber > kMaxIndexPageNumber ||
        (static_cast<std::int64_t>(pageNumber) + 1) * static_cast<std::int64_t>(kIndexPageSize) > kMaxIndexFileSize)
      RaiseIndexError(KORVEL_TABLEFULL);
    TPageBuffer* created = GetNewPageBuffer(slot, pageNumber);
    // It exists only here until written, so it must be written.
    created->Modified = true;
    created->IncUseCount();
    NoteHandedOut(cache, pageNumber);
    ++cacheHits_;
    SetNextEndingPageNumber(slot, ending + 1);
    SetHeaderModified();
    page = created;
    return true;
  }

  TPageBuffer* found = FindFirstPageBuffer(cache, pageNumber);
  if (found != nullptr) {
    MoveToFirstPageBuffer(cache, found);
    ++cacheHits_;
  } else {
    if (!owner_->IsReadLocked() && !owner_->ReadLockTable(cursor)) return false;
    found = ReadPageBuffer(slot, pageNumber, !readFlag);
  }
  if (found->PageNumber != pageNumber) RaiseIndexError(KORVEL_INDEXCORRUPT, indexName);
  found->IncUseCount();
  NoteHandedOut(cache, pageNumber);
  page = found;
  return true;
}

void TIndexFile::PutPage(TPageBuffer* page) {
  if (page == nullptr) return;
  page->DecUseCount();
  if (page->Detached && page->UseCount == 0) {
    for (auto it = detached_.begin(); it != detached_.end(); ++it) {
      if (it->get() == page) {
        std::unique_ptr<TPageBuffer> owned = std::move(*it);
        detached_.erase(it);
        ReturnPageInstance(std::move(owned));
        break;
      }
    }
  }
}

bool TIndexFile::GetRootPage(TDataCursor* cursor, int slot, TPageBuffer*& page, bool& lockFailed) {
  page = nullptr;
  lockFailed = false;
  std::int32_t root = GetRootPageNumber(slot);
  if (root == 0) return false;
  bool ok = GetPage(cursor, slot, root, page, true);
  lockFailed = !ok;
  return ok;
}

bool TIndexFile::GetDataRootPage(TDataCursor* cursor, int slot, TPageBuffer*& page, bool& lockFailed) {
  page = nullptr;
  lockFailed = false;
  std::int32_t root = GetDataRootPageNumber(slot);
  if (root == 0) return false;
  bool ok = GetPage(cursor, slot, root, page, true);
  lockFailed = !ok;
  return ok;
}

void TIndexFile::GetNextFreePage(TDataCursor* cursor, int slot, TPageBuffer*& page) {
  page = nullptr;
  const TIndexDefinition& definition = IndexDefinition(slot);
  std::int32_t number = GetNextFreePageNumber(slot);
  std::int32_t ending = GetNextEndingPageNumber(slot);
  bool fromChain = number != ending;
  TPageBuffer* got = nullptr;
  if (!GetPage(cursor, slot, number, got, false)) RaiseIndexError(KORVEL_LOCKTIMEOUT, definition.IndexName);
  if (fromChain) {
    // The chain runs through the right links of free pages; a link outside the file, or back to
    // the page itself, is a damaged chain.
    std::int32_t next = got->RightPageNumber;
    bool cachedInUse = !got->IsFree && got->KeyEntryCount != 0;
    if (cachedInUse || next < 0 || next >= ending || next == number) {
      PutPage(got);
      RaiseIndexError(KORVEL_INDEXCORRUPT, definition.IndexName);
    }
    SetNextFreePageNumber(slot, next);
  }
  got->SetIndexAttributes(slot, definition.KeySize, definition.Descending, definition.Unique, definition.NoKeyCounts,
                          definition.Compression);
  got->Initialize();
  got->Modified = true;
  page = got;
}

void TIndexFile::SetNextFreePage(TDataCursor* cursor, int slot, TPageBuffer* page) {
  (void)cursor;
  if (page == nullptr) return;
  // A page on another index's chain would be handed out to that index while still in use here.
  if (page->IndexSlot != slot || page->PageNumber <= 0 || page->PageNumber >= GetNextEndingPageNumber(slot))
    RaiseIndexError(KORVEL_INDEXCORRUPT, IndexDefinition(slot).IndexName);
  std::int32_t head = GetNextFreePageNumber(slot);
  page->SetRightPageNumber(head == GetNextEndingPageNumber(slot) ? 0 : head);
  page->SetFree();
  SetNextFreePageNumber(slot, page->PageNumber);
}

// ---------------------------------------------------------------------------------------------
// Flushing and freeing

void TIndexFile::CollectModifiedPages(int slot) {
  TSlotCache& cache = caches_[static_cast<std::size_t>(slot)];
  std::size_t listed = workList_.size();
  if (cache.HandedOutOverflow) {
    for (auto& page : cache.Pages) workList_.push_back(page.get());
  } else {
    std::sort(cache.HandedOut.begin(), cache.HandedOut.end());
    cache.HandedOut.erase(std::unique(cache.HandedOut.begin(), cache.HandedOut.end()), cache.HandedOut.end());
    for (std::int32_t number : cache.HandedOut) {
      TPageBuffer* page = FindFirstPageBuffer(cache, number);
      if (page != nullptr) workList_.push_back(page);
    }
  }
  cache.HandedOut.clear();
  cache.HandedOutOverflow = false;
  // A pinned page may still change after this flush: it stays listed. The rest are written now,
  // or listed again by the failed write.
  std::size_t kept = listed;
  for (std::size_t i = listed; i < workList_.size(); ++i) {
    TPageBuffer* page = workList_[i];
    if (page->UseCount != 0)
      NoteHandedOut(cache, page->PageNumber);
    else if (page->Modified)
      workList_[kept++] = page;
  }
  workList_.resize(kept);
}

bool TIndexFile::WriteWorkList(TFileHandler& file) {
  if (workList_.empty()) return false;
  std::sort(workList_.begin(), workList_.end(),
            [](const TPageBuffer* a, const TPageBuffer* b) { return a->PageNumber < b->PageNumber; });
  bool encrypted = owner_->GetEncrypted();
  std::size_t start = 0;
  while (start < workList_.size()) {
    std::size_t end = start + 1;
    while (end < workList_.size() && workList_[end]->PageNumber == workList_[end - 1]->PageNumber + 1) ++end;
    std::size_t bytes = (end - start) * kIndexPageSize;
    if (writeBuffer_.size() < bytes) writeBuffer_.resize(bytes);  // whole pages: 4,096-byte steps
    try {
      for (std::size_t i = start; i < end; ++i) {
        std::uint8_t* out = writeBuffer_.data() + (i - start) * kIndexPageSize;
        workList_[i]->Write(out);
        if (encrypted) ScrambleBlock(out, true);
      }
      file.WriteAt(static_cast<std::int64_t>(workList_[start]->PageNumber) * static_cast<std::int64_t>(kIndexPageSize),
                   writeBuffer_.data(), static_cast<std::int64_t>(bytes));
    } catch (...) {
      // Nothing of this run reached the file, whichever page or the write failed: a page is
      // clean only once its bytes are on the file.
      for (std::size_t i = start; i < end; ++i) workList_[i]->Modified = true;
      // The pages of this run and of the runs after it are still to be written: the next flush
      // of their slots looks at every cached page.
      for (std::size_t i = start; i < workList_.size(); ++i)
        caches_[static_cast<std::size_t>(workList_[i]->IndexSlot)].HandedOutOverflow = true;
      workList_.clear();
      throw;
    }
    owner_->SetHeadersWritten();
    pageWrites_ += static_cast<std::uint32_t>(end - start);
    ++writeOperations_;
    start = end;
  }
  workList_.clear();
  return true;
}

bool TIndexFile::FlushPageBuffers(bool temporary) {
  workList_.clear();
  if (temporary && !tempFile_) return false;
  int lastSlot = std::min<int>(header_.IndexCount, kMaxSecondaryIndexes);
  for (int slot = 0; slot <= lastSlot; ++slot)
    if (IsTemporarySlot(slot) == temporary) CollectModifiedPages(slot);
  if (!temporary) {
    CollectModifiedPages(kSysDeletedSlot);
    CollectModifiedPages(kSysTextSlot);
  }
  return WriteWorkList(temporary ? *tempFile_ : static_cast<TFileHandler&>(*this));
}

bool TIndexFile::FlushSlotPages(int slot) {
  workList_.clear();
  CollectModifiedPages(slot);
  if (workList_.empty()) return false;
  return WriteWorkList(PageFileOf(slot));
}

void TIndexFile::FreeCachePages(TSlotCache& cache) {
  for (auto& page : cache.Pages) {
    page->Prev = nullptr;
    page->Next = nullptr;
    page->HashNext = nullptr;
    if (page->UseCount > 0) {
      // A caller still holds it: keep the object alive until PutPage, outside the cache.
      page->Detached = true;
      detached_.push_back(std::move(page));
    } else {
      ReturnPageInstance(std::move(page));
    }
  }
  cache.Pages.clear();
  std::fill(cache.Buckets.begin(), cache.Buckets.end(), nullptr);
  cache.HandedOut.clear();
  cache.HandedOutOverflow = false;
  cache.First = nullptr;
  cache.Last = nullptr;
  cache.Capacity = GetPageCacheLimit();
}

void TIndexFile::FreeSlotPages(int slot) { FreeCachePages(caches_[static_cast<std::size_t>(slot)]); }

void TIndexFile::FreePageBuffers(bool temporary) {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    bool slotTemporary = slot <= header_.IndexCount && IsTemporarySlot(slot);
    if (slotTemporary == temporary) FreeSlotPages(slot);
  }
}

void TIndexFile::ResetCaches() {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) FreeSlotPages(slot);
}

void TIndexFile::AdjustPageBuffers() {
  if (header_.IndexCount > kSysTextSlot) return;
  std::int32_t limit = GetPageCacheLimit();
  auto adjust = [&](int slot) {
    TSlotCache& cache = caches_[static_cast<std::size_t>(slot)];
    bool flushAllowed = true;
    while (static_cast<std::int32_t>(cache.Pages.size()) > limit) {
      if (!DeleteLastPageBuffer(slot, flushAllowed)) break;
      flushAllowed = false;  // at most one flush per slot
    }
    cache.Capacity = std::max(static_cast<std::int32_t>(cache.Pages.size()), limit);
  };
  for (int slot = 0; slot <= kMaxSecondaryIndexes; ++slot) adjust(slot);
  adjust(kSysDeletedSlot);
  adjust(kSysTextSlot);
}

// ---------------------------------------------------------------------------------------------
// Locks

bool TIndexFile::WriteLock() { return LockPageWriteRegion(*this); }
bool TIndexFile::WriteUnLock() { return UnlockPageWriteRegion(*this); }
bool TIndexFile::ReadLock(std::uint16_t& slot) { return LockReadSlot(*this, slot); }
bool TIndexFile::ReadUnLock(std::uint16_t slot) { return UnlockReadSlot(*this, slot); }

}  // namespace korvel
