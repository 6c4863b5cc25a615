// Conversion of older table versions; the layouts it reads are described in table_upgrade.h.

#include "engine/table_upgrade.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/data_file_bytes.h"
#include "engine/repair_internal.h"
#include "engine/session.h"
#include "framework/currency_bcd.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/scramble.h"
#include "support/text_forms.h"

namespace korvel {

namespace {

constexpr std::size_t kOldFieldDefinitionSize = 265;
constexpr std::size_t kOldIndexHeaderSize = 2560;
constexpr std::size_t kOldIndexDefinitionSize = 80;
constexpr std::size_t kOldIndexDefinitions = 8;
constexpr int kOldIndexSlots = 31;

// One field of the old table: its definition as converted, where its value lies in an old record.
struct TOldField {
  TFieldDefinition Definition;  // the converted definition (current layout)
  std::uint16_t OldOffset = 0;  // null-flag byte in the old record
  std::uint8_t OldSize = 0;     // value bytes in the old record
};

std::string ReadShort(const std::uint8_t* in, std::size_t offset, std::size_t width) {
  std::size_t n = std::min<std::size_t>(in[offset], width);
  return std::string(reinterpret_cast<const char*>(in + offset + 1), n);
}

std::uint8_t OldValueSize(std::uint8_t type, std::uint8_t length, std::uint8_t version) {
  if (type == dtBlob) return version == 4 ? 8 : 4;
  if (type == dtBCD) return 8;
  return PhysicalSizeOf(type, length);
}

// The old field definitions converted to the current form, with the current layout.
std::vector<TOldField> ReadOldFields(TFileHandler& file, const TDataHeader& header, std::uint8_t version) {
  const std::size_t count = header.FieldCount;
  const std::size_t size = version >= 3 ? kFieldDefinitionSize : kOldFieldDefinitionSize;
  std::vector<std::uint8_t> block(size * count);
  if (!block.empty()) file.ReadAt(static_cast<std::int64_t>(kDataHeaderSize), block.data(), static_cast<std::int64_t>(block.size()));
  if (header.Encrypted && !block.empty()) {
    std::size_t scrambled = version == 4 ? block.size() : block.size() % 65536;
    EncryptBuffer(block.data(), scrambled, kTableDataSeedA, kTableDataSeedB);
  }
  std::vector<TOldField> fields;
  std::uint16_t offset = static_cast<std::uint16_t>(kRecordFieldsOffset);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* in = block.data() + i * size;
    TOldField old;
    TFieldDefinition& f = old.Definition;
    f.FieldNumber = static_cast<std::uint16_t>(i + 1);
    f.FieldName = ReadShort(in, 2, kMaxFieldNameLength);
    f.Description = ReadShort(in, 33, kMaxDescriptionLength);
    f.DataType = in[84];
    f.SubType = in[85];
    f.Length = in[86];
    f.Decimals = in[87];
    if (version >= 3) {
      old.OldOffset = GetU16(in, TFieldDefinition::kOffset);
      f.Required = in[TFieldDefinition::kRequired] != 0;
      f.CharCase = version == 4 ? in[TFieldDefinition::kCharCase] : 0;
      f.MinimumValue = ReadShort(in, TFieldDefinition::kMinimumValue, kMaxValueTextLength);
      f.MaximumValue = ReadShort(in, TFieldDefinition::kMaximumValue, kMaxValueTextLength);
      f.DefaultValue = ReadShort(in, TFieldDefinition::kDefaultValue, kMaxValueTextLength);
    } else {
      old.OldOffset = GetU16(in, 88);
      f.Required = in[90] != 0;
      f.MinimumValue = ReadShort(in, 92, kMaxValueTextLength);
      f.MaximumValue = ReadShort(in, 143, kMaxValueTextLength);
      f.DefaultValue = ReadShort(in, 194, kMaxValueTextLength);
    }
    if (version < 4) {
      // Older versions kept these texts in the locale's forms.
      f.MinimumValue = ConvertExpressionToAnsi(f.MinimumValue, f.DataType).substr(0, kMaxValueTextLength);
      f.MaximumValue = ConvertExpressionToAnsi(f.MaximumValue, f.DataType).substr(0, kMaxValueTextLength);
      f.DefaultValue = ConvertExpressionToAnsi(f.DefaultValue, f.DataType).substr(0, kMaxValueTextLength);
    }
    old.OldSize = OldValueSize(f.DataType, f.Length, version);
    UpdateFieldSize(f);
    if (f.IsAutoInc()) {
      f.Offset = static_cast<std::uint16_t>(kRecordIDOffset);
    } else {
      f.Offset = offset;
      offset = static_cast<std::uint16_t>(offset + 1 + f.PhysicalSize);
    }
    fields.push_back(old);
  }
  return fields;
}

std::int32_t BlockNumberOf(std::int32_t offset, std::int32_t blockSize) {
  return offset > static_cast<std::int32_t>(kBlobHeaderSize) - 1 ? (offset - static_cast<std::int32_t>(kBlobHeaderSize)) / blockSize + 1 : 0;
}

// Converts one old record (plain) into `out` (plain, current layout).
void ConvertRecord(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, const std::vector<TOldField>& fields,
                   const TDataHeader& header, std::uint8_t version, std::int32_t position) {
  std::memcpy(out, in, kRecordFieldsOffset);
  const bool deleted = in[kRecordDeletedOffset] != 0;
  std::int32_t blobOrdinal = 0;
  for (const TOldField& old : fields) {
    const TFieldDefinition& f = old.Definition;
    if (f.IsAutoInc()) continue;
    std::uint8_t* to = out + f.Offset;
    if (static_cast<std::size_t>(old.OldOffset) + 1 + old.OldSize > inSize || old.OldOffset < kRecordFieldsOffset) continue;
    const std::uint8_t* from = in + old.OldOffset;
    if (f.DataType == dtBlob) {
      ++blobOrdinal;
      const std::int32_t first = BlockNumberOf(GetI32(from, 1), header.BlobBlockSize == 0 ? 512 : header.BlobBlockSize);
      if (deleted || first == 0) continue;
      to[0] = from[0];
      PutI32(to, 1, first);
      PutI32(to, 5, version == 4 ? GetI32(from, 5) : (position - 1) * header.BlobFieldCount + blobOrdinal);
      continue;
    }
    if (f.DataType == dtBCD) {
      to[0] = from[0];
      if (from[0] != 0) {
        TBcd bcd;
        CurrToBCD(static_cast<Currency>(GetI64(from, 1)), bcd, 32, f.Decimals);
        bcd.ToBytes(to + 1);
      }
      continue;
    }
    std::memcpy(to, from, 1u + std::min<std::size_t>(old.OldSize, f.PhysicalSize));
  }
}

std::string FileOf(TDataDirectory* directory, const std::string& table, const char* ext) {
  return directory->GetTableFileName(table, ext);
}

// A file under construction, deleted again unless kept.
struct TWorkFile {
  TFileHandler File;
  bool Kept = false;
  TWorkFile(const std::string& name, bool inMemory) {
    File.FileName = name;
    File.InMemory = inMemory;
    File.CreateFile();
  }
  ~TWorkFile() {
    File.CloseFile();
    if (!Kept) GetFileList().DeleteFile(File.FileName, File.InMemory);
  }
};

// The converted 4,096-byte index header from an old one.
void ConvertIndexHeader(const std::vector<std::uint8_t>& raw, std::uint8_t version, bool encrypted, std::uint8_t* out) {
  TIndexHeader h;
  if (version >= 3) {
    std::vector<std::uint8_t> copy = raw;
    copy.resize(kIndexHeaderSize, 0);
    if (encrypted) EncryptBuffer(copy.data(), kIndexHeaderSize, kTableDataSeedA, kTableDataSeedB);
    TIndexHeader::DecodeFrom(copy.data(), h);
  } else {
    std::vector<std::uint8_t> copy = raw;
    copy.resize(kOldIndexHeaderSize, 0);
    if (encrypted) EncryptBuffer(copy.data(), kOldIndexHeaderSize, kTableDataSeedA, kTableDataSeedB);
    h.LastUpdateStamp = GetI32(copy.data(), 0);
    h.IndexCount = std::min<std::uint8_t>(copy[5], kMaxSecondaryIndexes);
    for (int slot = 0; slot < kOldIndexSlots; ++slot) {
      const std::uint8_t* in = copy.data() + kOldIndexDefinitions + static_cast<std::size_t>(slot) * kOldIndexDefinitionSize;
      TIndexDefinition& d = h.IndexDefinitions[static_cast<std::size_t>(slot)];
      d.IndexName = ReadShort(in, 0, kMaxIndexNameLength);
      d.KeySize = GetU16(in, 31);
      d.Descending = in[33] != 0;
      d.CaseInsensitive = in[34] != 0;
      d.Unique = in[35] != 0;
      d.KeyFieldCount = std::min<std::uint8_t>(in[36], kMaxKeyFields);
      for (int k = 0; k < kMaxKeyFields; ++k) {
        d.KeyFields[static_cast<std::size_t>(k)] = GetU16(in, 37 + 2 * static_cast<std::size_t>(k));
        d.DescendingKeyFields[static_cast<std::size_t>(k)] = d.Descending;
      }
    }
    h.NoPrimaryIndex = h.IndexDefinitions[0].KeyFieldCount == 0;
    TIndexDefinition& deleted = h.IndexDefinitions[kSysDeletedSlot];
    deleted.IndexName = kSysDeletedIndexName;
    deleted.KeySize = kSysDeletedKeySize;
    TIndexDefinition& text = h.IndexDefinitions[kSysTextSlot];
    text.IndexName = kSysTextIndexName;
    text.KeySize = kSysTextKeySize;
    text.Compression = kSysTextCompression;
  }
  // The old pages are not carried over: the closing repair builds every index anew.
  for (TIndexDefinition& d : h.IndexDefinitions) {
    d.RootPageNumber = 0;
    d.NextFreePageNumber = 0;
    d.DataRootPageNumber = 0;
  }
  h.VersionNum = kIndexVersionNum;
  h.NextEndingPageNumber = 1;
  h.ActualRecordCount = 0;
  h.HeaderModified = true;
  h.EncodeTo(out);
  if (encrypted) EncryptBuffer(out, kIndexHeaderSize, kTableDataSeedA, kTableDataSeedB);
}

}  // namespace

TTableUpgrade::TTableUpgrade(TDataCursor& cursor) : cursor_(cursor) {}

bool TTableUpgrade::UpgradeTable() {
  const std::string table = cursor_.TableName;
  TDataDirectory* directory = cursor_.Directory;
  TDataSession* session = directory->Session;
  const bool inMemory = cursor_.InMemory;
  auto raise = [&](TErrorCode code) { RaiseError(code, "", "", directory->GetProperDataDirectoryName(), table); };
  if (cursor_.IsOpen) raise(KORVEL_TABLEOPEN);
  if (session->IsRemote) raise(KORVEL_REMOTECONNECT);
  if (!cursor_.Exclusive) raise(KORVEL_NEEDEXCLACCESS);
  if (cursor_.ReadOnly) raise(KORVEL_OSEACCES);
  TRepairLog log(&UpgradeLog, false);
  auto progress = [&](const std::string& step, int percent) {
    if (UpgradeProgress) UpgradeProgress(step, percent);
  };
  const std::string target = VersionToStr(kCurrentTableVersion);
  const std::string upgraded = " upgraded to latest table version " + target;

  // The old files, held exclusively while they are read.
  auto dataFile = std::make_unique<TFileHandler>();
  dataFile->FileName = FileOf(directory, table, kDataFileExt);
  dataFile->InMemory = inMemory;
  dataFile->Exclusive = true;
  if (!GetFileList().FileExists(dataFile->FileName, inMemory)) raise(KORVEL_OSENOENT);
  dataFile->OpenFile();
  if (dataFile->ReadOnly || dataFile->ReadOnlyAttribute) raise(KORVEL_OSEACCES);
  std::uint8_t raw[kDataHeaderSize];
  if (dataFile->GetSize() < static_cast<std::int64_t>(kDataHeaderSize)) raise(KORVEL_HEADERCORRUPT);
  dataFile->ReadAt(0, raw, kDataHeaderSize);
  const std::uint8_t version = raw[TDataHeader::kVersionNum];
  if (version == kCurrentTableVersion) {
    log.Line(table + " is already at the highest table version of " + target + ", upgrade aborted");
    return false;
  }
  if (version > kCurrentTableVersion) {
    log.Line(table + " is already at a higher table version then the current engine version, upgrade aborted");
    return false;
  }
  TDataHeaderState state;
  state.Readable = true;
  raw[TDataHeader::kDescription] = std::min<std::uint8_t>(raw[TDataHeader::kDescription], kMaxDescriptionLength);
  raw[TDataHeader::kPassword] = std::min<std::uint8_t>(raw[TDataHeader::kPassword], kMaxPasswordLength);
  TDataHeader& h = state.Header;
  TDataHeader::DecodeFrom(raw, h);
  if (h.Encrypted) {
    std::string password = h.Password;
    if (!password.empty()) DecryptBuffer(password.data(), password.size(), kTextSeedA, kTextSeedB);
    while (!session->CheckForPassword(password)) {
      std::string given;
      if (!cursor_.PasswordCallback || !cursor_.PasswordCallback(table, given) || given.empty())
        raise(KORVEL_NOTSUFFTABLERIGHTS);
      session->AddPassword(given);
    }
  }
  const std::int64_t oldRecordSize = h.RecordSize;
  const std::int64_t oldDefinitionSize = version >= 3 ? kFieldDefinitionSize : kOldFieldDefinitionSize;
  const std::int64_t oldArea = static_cast<std::int64_t>(kDataHeaderSize) + oldDefinitionSize * h.FieldCount;
  if (h.FieldCount > kMaxFieldCount || oldRecordSize < static_cast<std::int64_t>(kRecordHeaderSize) ||
      dataFile->GetSize() < oldArea)
    raise(KORVEL_HEADERCORRUPT);
  log.Line("Upgrade of table " + table + " to version " + target + " started at " + RepairTimeText());

  // Field definitions.
  progress("Upgrading field definitions for " + table, 0);
  std::vector<TOldField> fields = ReadOldFields(*dataFile, h, version);
  std::int64_t recordSize = kRecordFieldsOffset;
  std::uint16_t blobFields = 0;
  for (const TOldField& f : fields) {
    state.Fields.push_back(f.Definition);
    if (f.Definition.IsStored()) recordSize += 1 + f.Definition.PhysicalSize;
    if (f.Definition.DataType == dtBlob) ++blobFields;
  }
  if (recordSize > kMaxRecordSize) raise(KORVEL_RECTOOBIG);
  const std::int64_t records = std::max<std::int64_t>(0, (dataFile->GetSize() - oldArea) / oldRecordSize);
  h.VersionNum = kCurrentTableVersion;
  h.RecordSize = static_cast<std::uint16_t>(recordSize);
  h.BlobFieldCount = blobFields;
  h.NextRecordNumber = static_cast<std::int32_t>(records + 1);
  h.FirstFreeRecord = 0;
  if (version < 4) h.LastBlobSignature = static_cast<std::int32_t>(blobFields * records);
  progress("Upgrading field definitions for " + table, 100);
  log.Line("Field definitions of " + table + upgraded);

  // Records.
  const std::string workName = [&] {
    std::string name = directory->GetTempDataTableName(inMemory);
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
  }();
  TWorkFile newData(FileOf(directory, workName, kDataFileExt), inMemory);
  WriteDataHeaderState(newData.File, state);
  progress("Upgrading records for " + table, 0);
  {
    std::vector<std::uint8_t> in(static_cast<std::size_t>(oldRecordSize));
    std::vector<std::uint8_t> out(static_cast<std::size_t>(recordSize));
    const std::int64_t newArea = static_cast<std::int64_t>(kDataHeaderSize + kFieldDefinitionSize * fields.size());
    for (std::int64_t n = 1; n <= records; ++n) {
      dataFile->ReadAt(oldArea + (n - 1) * oldRecordSize, in.data(), oldRecordSize);
      if (h.Encrypted) EncryptBuffer(in.data(), in.size(), kTableDataSeedA, kTableDataSeedB);
      std::fill(out.begin(), out.end(), 0);
      ConvertRecord(in.data(), in.size(), out.data(), fields, h, version, static_cast<std::int32_t>(n));
      if (h.Encrypted) EncryptBuffer(out.data(), out.size(), kTableDataSeedA, kTableDataSeedB);
      newData.File.WriteAt(newArea + (n - 1) * recordSize, out.data(), recordSize);
      if (records > 0 && n % 1000 == 0) progress("Upgrading records for " + table, static_cast<int>(n * 100 / records));
    }
  }
  progress("Upgrading records for " + table, 100);
  log.Line(std::to_string(records) + " records of " + table + upgraded);

  // Index definitions and header.
  progress("Upgrading index definitions for " + table, 0);
  TWorkFile newIndex(FileOf(directory, workName, kIndexFileExt), inMemory);
  {
    std::vector<std::uint8_t> old(version >= 3 ? kIndexHeaderSize : kOldIndexHeaderSize, 0);
    TFileHandler oldIndex;
    oldIndex.FileName = FileOf(directory, table, kIndexFileExt);
    oldIndex.InMemory = inMemory;
    oldIndex.Exclusive = true;
    if (GetFileList().FileExists(oldIndex.FileName, inMemory)) {
      oldIndex.OpenFile();
      oldIndex.ReadAt(0, old.data(), static_cast<std::int64_t>(old.size()), true);
      oldIndex.CloseFile();
    }
    std::uint8_t header[kIndexHeaderSize];
    ConvertIndexHeader(old, version, h.Encrypted, header);
    newIndex.File.WriteAt(0, header, kIndexHeaderSize);
  }
  progress("Upgrading index definitions for " + table, 100);
  log.Line("Index definitions of " + table + upgraded);
  log.Line("Index header of " + table + upgraded);

  // BLOB header and blocks.
  std::unique_ptr<TWorkFile> newBlob;
  const std::string oldBlobName = FileOf(directory, table, kBlobFileExt);
  if (GetFileList().FileExists(oldBlobName, inMemory)) {
    TFileHandler oldBlob;
    oldBlob.FileName = oldBlobName;
    oldBlob.InMemory = inMemory;
    oldBlob.Exclusive = true;
    oldBlob.OpenFile();
    newBlob = std::make_unique<TWorkFile>(FileOf(directory, workName, kBlobFileExt), inMemory);
    const std::int32_t blockSize = h.BlobBlockSize == 0 ? kDefaultBlobBlockSize : h.BlobBlockSize;
    const std::int64_t blocks = std::max<std::int64_t>(0, (oldBlob.GetSize() - static_cast<std::int64_t>(kBlobHeaderSize)) / blockSize);
    unsigned char header[kBlobHeaderSize] = {};
    oldBlob.ReadAt(0, header, kBlobHeaderSize, true);
    if (h.Encrypted) EncryptBuffer(header, kBlobHeaderSize, kTableDataSeedA, kTableDataSeedB);
    TBlobHeader converted;
    converted.LastUpdateStamp = GetI32(header, 0);
    converted.VersionNum = kBlobVersion;
    converted.NextFreeBlockNumber = BlockNumberOf(GetI32(header, 5), blockSize);
    if (converted.NextFreeBlockNumber > blocks) converted.NextFreeBlockNumber = 0;
    converted.NextEndingBlockNumber = static_cast<std::int32_t>(blocks + 1);
    converted.HeaderModified = true;
    converted.EncodeTo(header);
    if (h.Encrypted) EncryptBuffer(header, kBlobHeaderSize, kTableDataSeedA, kTableDataSeedB);
    newBlob->File.WriteAt(0, header, kBlobHeaderSize);
    log.Line("BLOB header of " + table + upgraded);
    progress("Upgrading BLOB blocks for " + table, 0);
    std::vector<unsigned char> block(static_cast<std::size_t>(blockSize));
    for (std::int64_t n = 1; n <= blocks; ++n) {
      const std::int64_t at = static_cast<std::int64_t>(kBlobHeaderSize) + (n - 1) * blockSize;
      oldBlob.ReadAt(at, block.data(), blockSize);
      // The block header and the data area are scrambled separately; only the header changes.
      if (h.Encrypted) EncryptBuffer(block.data(), kBlockHeaderSize, kTableDataSeedA, kTableDataSeedB);
      PutI32(block.data(), TBlockHeader::kPrevBlockNumber, BlockNumberOf(GetI32(block.data(), 0), blockSize));
      PutI32(block.data(), TBlockHeader::kNextBlockNumber, BlockNumberOf(GetI32(block.data(), 4), blockSize));
      if (h.Encrypted) EncryptBuffer(block.data(), kBlockHeaderSize, kTableDataSeedA, kTableDataSeedB);
      newBlob->File.WriteAt(at, block.data(), blockSize);
      if (n % 1000 == 0) progress("Upgrading BLOB blocks for " + table, static_cast<int>(n * 100 / blocks));
    }
    oldBlob.CloseFile();
    progress("Upgrading BLOB blocks for " + table, 100);
    log.Line(std::to_string(blocks) + " BLOB blocks of " + table + upgraded);
  }

  // Into place: the old files to their pre-upgrade names, the converted ones to the table's.
  dataFile->CloseFile();
  newData.File.CloseFile();
  newIndex.File.CloseFile();
  if (newBlob) newBlob->File.CloseFile();
  TFileList& files = GetFileList();
  const char* const exts[3] = {kDataFileExt, kIndexFileExt, kBlobFileExt};
  const char* const keeps[3] = {".DUP", ".IUP", ".BUP"};
  for (int i = 0; i < 3; ++i) {
    const std::string current = FileOf(directory, table, exts[i]);
    const std::string kept = FileOf(directory, table, keeps[i]);
    if (!files.FileExists(current, inMemory)) continue;
    if (files.FileExists(kept, inMemory)) {
      int result = files.DeleteFile(kept, inMemory);
      if (result < 0) raise(static_cast<TErrorCode>(-result));
    }
    int result = files.RenameFile(current, inMemory, kept);
    if (result < 0) raise(static_cast<TErrorCode>(-result));
  }
  TWorkFile* converted[3] = {&newData, &newIndex, newBlob.get()};
  for (int i = 0; i < 3; ++i) {
    if (converted[i] == nullptr) continue;
    int result = files.RenameFile(converted[i]->File.FileName, inMemory, FileOf(directory, table, exts[i]));
    if (result < 0) raise(static_cast<TErrorCode>(-result));
    converted[i]->Kept = true;
  }

  // The repair makes the table whole: indexes built anew, BLOB blocks signed.
  TTableRepair repair(cursor_);
  repair.RepairLog = UpgradeLog;
  repair.RepairProgress = UpgradeProgress;
  const bool clean = repair.RepairTable(false, true, true, true, true);
  log.Line("Upgrade of table " + table + " to version " + target + " completed at " + RepairTimeText());
  return clean;
}

}  // namespace korvel
