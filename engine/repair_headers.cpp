// The header steps of verification and repair: the raw header bytes of the data, index and
// BLOB files, read and checked before the table is opened, so that a header the normal open
// refuses can still be looked at and fixed.
//
// The record layout is the one thing a header fix can make worse: every record is read through
// it. The layout computed from the field types is taken when it agrees with the stored
// RecordSize, or when the file backs it (its record area is a whole number of records of that
// size, as many as the header counts). Otherwise a layout whose stored sizes and offsets agree
// with each other and with RecordSize is kept, and the declared lengths are restored from it.
// When neither holds, the layout findings are reported as ones that cannot be fixed and no
// record is touched.

#include <algorithm>
#include <cstring>

#include "engine/data_file_bytes.h"
#include "engine/repair_internal.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/key_encoding.h"
#include "support/language.h"
#include "support/path_helpers.h"
#include "support/scramble.h"
#include "support/text_forms.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// The log

void TRepairLog::Line(const std::string& text) {
  if (!silent_ && callback_ && *callback_) (*callback_)(text);
}

void TRepairLog::Fixed(const std::string& text, const std::string& fixed) {
  ++problems_;
  Line(verifyOnly_ ? text : text + fixed);
}

void TRepairLog::Unfixable(const std::string& text, const std::string& unfixable) {
  ++problems_;
  ++unfixed_;
  Line(verifyOnly_ ? text : text + unfixable);
}

namespace {

std::string Num(std::int64_t n) { return std::to_string(n); }

// A short string whose length byte exceeds its width is cut to the width; true when it was.
bool ClampShortString(std::uint8_t* buffer, std::size_t offset, std::size_t width) {
  if (buffer[offset] <= width) return false;
  buffer[offset] = static_cast<std::uint8_t>(width);
  return true;
}

// One field definition as stored, with its name as long as the length byte says.
struct TRawField {
  TFieldDefinition Definition;
  std::string Name;
  bool TextsClamped = false;
};

TRawField DecodeRawField(const std::uint8_t* in) {
  std::uint8_t copy[kFieldDefinitionSize];
  std::memcpy(copy, in, kFieldDefinitionSize);
  TRawField raw;
  raw.Name.assign(reinterpret_cast<const char*>(copy + TFieldDefinition::kFieldName + 1),
                  copy[TFieldDefinition::kFieldName]);
  ClampShortString(copy, TFieldDefinition::kFieldName, kMaxFieldNameLength);
  bool clamped = ClampShortString(copy, TFieldDefinition::kDescription, kMaxDescriptionLength);
  clamped = ClampShortString(copy, TFieldDefinition::kMinimumValue, kMaxValueTextLength) || clamped;
  clamped = ClampShortString(copy, TFieldDefinition::kMaximumValue, kMaxValueTextLength) || clamped;
  clamped = ClampShortString(copy, TFieldDefinition::kDefaultValue, kMaxValueTextLength) || clamped;
  TFieldDefinition::DecodeFrom(copy, raw.Definition);
  raw.TextsClamped = clamped;
  return raw;
}

// The running offsets of a layout: each stored field's null-flag byte, and the record size.
struct TLayout {
  std::vector<std::uint16_t> Offsets;
  std::int64_t RecordSize = kRecordFieldsOffset;
};

TLayout LayoutOf(const std::vector<TFieldDefinition>& fields, const std::vector<std::uint8_t>& sizes) {
  TLayout layout;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDefinition& f = fields[i];
    if (f.IsAutoInc()) {
      layout.Offsets.push_back(static_cast<std::uint16_t>(kRecordIDOffset));
    } else if (f.IsExpression) {
      layout.Offsets.push_back(0);
    } else {
      layout.Offsets.push_back(static_cast<std::uint16_t>(std::min<std::int64_t>(layout.RecordSize, 0xFFFF)));
      layout.RecordSize += 1 + sizes[i];
    }
  }
  return layout;
}

bool StoredLayoutConsistent(const std::vector<TFieldDefinition>& fields, std::uint16_t recordSize) {
  std::vector<std::uint8_t> sizes;
  for (const TFieldDefinition& f : fields) sizes.push_back(f.PhysicalSize);
  TLayout layout = LayoutOf(fields, sizes);
  if (layout.RecordSize != recordSize) return false;
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (!fields[i].IsExpression && fields[i].Offset != layout.Offsets[i]) return false;
  return true;
}

// A name cut to 30 characters.
std::string Cut(const std::string& name) { return name.substr(0, kMaxFieldNameLength); }

std::string FieldLabel(const TFieldDefinition& f) {
  return f.FieldName.empty() ? Num(f.FieldNumber) : f.FieldName;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The data file

void WriteDataHeaderState(TFileHandler& file, const TDataHeaderState& state) {
  std::uint8_t header[kDataHeaderSize];
  TDataHeader h = state.Header;
  h.HeaderModified = true;
  h.EngineVersion = kEngineVersionNum;
  h.Reserved = 0;
  h.LastUpdateStamp = static_cast<std::int32_t>(static_cast<std::uint32_t>(h.LastUpdateStamp) + 1);
  h.LastUpdated = Now() - kDateTimeDayOffset;
  h.EncodeTo(header);
  std::vector<std::uint8_t> fields(kFieldDefinitionSize * state.Fields.size());
  for (std::size_t i = 0; i < state.Fields.size(); ++i) state.Fields[i].EncodeTo(fields.data() + i * kFieldDefinitionSize);
  if (h.Encrypted && !fields.empty()) EncryptBuffer(fields.data(), fields.size(), kTableDataSeedA, kTableDataSeedB);
  if (!fields.empty())
    file.WriteAt(static_cast<std::int64_t>(kDataHeaderSize), fields.data(), static_cast<std::int64_t>(fields.size()));
  if (state.RecordAreaEnd >= 0) file.WriteAt(state.RecordAreaEnd, nullptr, 0);
  file.WriteAt(0, header, kDataHeaderSize);
}

namespace {

// The field checks that leave the layout alone, in the order the log gives them.
void CheckFieldNames(std::vector<TFieldDefinition>& fields, std::size_t i, const std::string& rawName,
                     TRepairLog& log) {
  TFieldDefinition& f = fields[i];
  const std::string ending = " in table header";
  const std::string number = Num(static_cast<std::int64_t>(i + 1));
  std::string name = rawName;
  if (TrimString(name).empty()) {
    log.Fixed("Invalid field name (blank) for field # " + number + ending);
    name = "Repaired_Fld" + number;
  } else if (!IsFieldNameStart(static_cast<unsigned char>(name[0]))) {
    log.Fixed("Invalid field name (first character) for field " + name + ending);
    // An underscore is no letter either: the repaired name starts with one.
    name = Cut("F_" + name);
  }
  if (name.size() > kMaxFieldNameLength) {
    log.Fixed("Invalid field name (too long) for field " + name + ending);
    name = Cut(name);
  }
  for (std::size_t j = 0; j < i; ++j) {
    if (!SameName(TrimString(fields[j].FieldName), TrimString(name))) continue;
    log.Fixed("Invalid field name (duplicate) for field " + name + ending);
    // The field number in front makes it unique; a letter in front of that keeps it a name.
    name = Cut("F" + number + name);
    break;
  }
  f.FieldName = name;
}

void CheckFieldValues(TFieldDefinition& f, TRepairLog& log) {
  const std::string ending = " in table header";
  struct {
    std::string* text;
    const char* opening;
  } texts[] = {{&f.DefaultValue, "Invalid default value for field "},
               {&f.MinimumValue, "Invalid minimum value for field "},
               {&f.MaximumValue, "Invalid maximum value for field "}};
  for (auto& t : texts) {
    if (IsFieldValueText(f, *t.text)) continue;
    log.Fixed(t.opening + FieldLabel(f) + ending);
    t.text->clear();
  }
  if (f.DataType != dtBCD && f.Decimals != 0) {
    log.Fixed("Invalid field decimals for field " + FieldLabel(f) + ending);
    f.Decimals = 0;
  }
  f.PhysicalDecimals = f.Decimals;
}

}  // namespace

void RepairDataHeader(TFileHandler& file, const std::string& tableName, TRepairLog& log, bool apply,
                      TDataHeaderState& state) {
  state = TDataHeaderState{};
  const std::int64_t size = file.GetSize();
  std::uint8_t raw[kDataHeaderSize];
  if (size < static_cast<std::int64_t>(kDataHeaderSize)) {
    log.Unfixable("Table header of table " + tableName + " cannot be read");
    return;
  }
  file.ReadAt(0, raw, kDataHeaderSize);
  const std::uint8_t version = raw[TDataHeader::kVersionNum];
  if (version < kDataVersionNum) RaiseTableError(KORVEL_OLDVERSION, tableName, file.FileName);
  bool textsClamped = ClampShortString(raw, TDataHeader::kDescription, kMaxDescriptionLength);
  textsClamped = ClampShortString(raw, TDataHeader::kPassword, kMaxPasswordLength) || textsClamped;
  TDataHeader& h = state.Header;
  TDataHeader::DecodeFrom(raw, h);
  if (textsClamped) log.Fixed("Invalid description or password in table header");
  if (h.VersionNum != kDataVersionNum) {
    log.Fixed("Invalid table version in table header");
    h.VersionNum = kDataVersionNum;
  }
  if (h.LanguageID != 0 && !OSValidLocale(OSLocaleID(h.LanguageID, h.SortID))) {
    // Whatever language the table had, the records are kept: keys are rebuilt bytewise.
    log.Fixed("Invalid language driver in table header");
    h.LanguageID = 0;
    h.SortID = 0;
    state.IndexesInvalid = true;
  }
  const std::int64_t definitionsEnd =
      static_cast<std::int64_t>(kDataHeaderSize) + static_cast<std::int64_t>(kFieldDefinitionSize) * h.FieldCount;
  if (h.FieldCount > kMaxFieldCount || definitionsEnd > size) {
    log.Unfixable("Invalid field count in table header");
    return;
  }

  // The definitions, as stored.
  std::vector<std::uint8_t> block(kFieldDefinitionSize * h.FieldCount);
  if (!block.empty()) {
    file.ReadAt(static_cast<std::int64_t>(kDataHeaderSize), block.data(), static_cast<std::int64_t>(block.size()));
    if (h.Encrypted) EncryptBuffer(block.data(), block.size(), kTableDataSeedA, kTableDataSeedB);
  }
  std::vector<TRawField> raws;
  std::vector<TFieldDefinition>& fields = state.Fields;
  for (std::size_t i = 0; i < h.FieldCount; ++i) {
    raws.push_back(DecodeRawField(block.data() + i * kFieldDefinitionSize));
    TFieldDefinition f = raws.back().Definition;
    // Bytes 247 onwards mean nothing on disk: a stored field is never an expression field.
    if (f.IsExpression && f.Offset != 0) f.IsExpression = false;
    fields.push_back(f);
  }
  state.Readable = true;

  // The layout the types give, with the declared lengths brought into range.
  std::vector<TFieldDefinition> computed = fields;
  std::vector<std::uint8_t> sizes;
  for (TFieldDefinition& f : computed) {
    if (HasDeclaredLength(f.DataType)) {
      if (f.Length > kMaxFieldLength) f.Length = kMaxFieldLength;
    } else {
      f.Length = 0;
    }
    // A field of unknown type keeps the room it had.
    sizes.push_back(IsValidDataType(f.DataType) ? PhysicalSizeOf(f.DataType, f.Length) : f.PhysicalSize);
  }
  TLayout layout = LayoutOf(computed, sizes);
  const std::int64_t area = size - definitionsEnd;
  auto backedByFile = [&](std::int64_t recordSize) {
    return recordSize > 0 && recordSize <= kMaxRecordSize && area % recordSize == 0 &&
           area / recordSize == static_cast<std::int64_t>(h.NextRecordNumber) - 1;
  };
  enum { kComputed, kStored, kUnknown } source = kUnknown;
  if (layout.RecordSize <= kMaxRecordSize && (layout.RecordSize == h.RecordSize || backedByFile(layout.RecordSize)))
    source = kComputed;
  else if (StoredLayoutConsistent(fields, h.RecordSize) && h.RecordSize >= kRecordHeaderSize)
    source = kStored;

  // Field by field, in the order of the log.
  const std::string ending = " in table header";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    TFieldDefinition& f = fields[i];
    if (raws[i].TextsClamped) log.Fixed("Invalid field description for field " + Num(static_cast<std::int64_t>(i + 1)) + ending);
    CheckFieldNames(fields, i, raws[i].Name, log);
    const std::string name = f.FieldName;
    if (!IsValidDataType(f.DataType)) log.Unfixable("Invalid field data type (Unknown) for field " + name + ending);
    if (HasDeclaredLength(f.DataType)) {
      const std::string opening = "Invalid field length for field " + name + ending + " (" + Num(f.Length);
      if (f.Length == 0) {
        log.Unfixable(opening + ")", "), error cannot be fixed");
      } else if (source == kStored && sizes[i] != f.PhysicalSize) {
        // The stored size is what the records were written with.
        std::uint8_t length = f.DataType == dtString ? static_cast<std::uint8_t>(f.PhysicalSize - 1) : f.PhysicalSize;
        if (f.PhysicalSize > 0 && length > 0 && length <= kMaxFieldLength) {
          log.Fixed(opening + ")", "), error fixed");
          f.Length = length;
        } else {
          log.Unfixable(opening + ")", "), error cannot be fixed");
        }
      } else if (f.Length > kMaxFieldLength) {
        if (source == kComputed) {
          log.Fixed(opening + ")", "), error fixed");
          f.Length = kMaxFieldLength;
        } else {
          log.Unfixable(opening + ")", "), error cannot be fixed");
        }
      }
    } else if (f.Length != 0) {
      log.Fixed("Invalid field length for field " + name + ending);
      f.Length = 0;
    }
    CheckFieldValues(f, log);
    if (source == kComputed) {
      f.PhysicalSize = sizes[i];
      if (!f.IsExpression && f.Offset != layout.Offsets[i]) {
        log.Fixed("Invalid field offset for field " + name + ending);
        f.Offset = layout.Offsets[i];
        state.IndexesInvalid = true;
      }
    } else if (source == kStored) {
      if (IsValidDataType(f.DataType) && !HasDeclaredLength(f.DataType) && PhysicalSizeOf(f.DataType, 0) != f.PhysicalSize)
        log.Unfixable("Invalid field data type for field " + name + ending);
    }
    if (f.FieldNumber != i + 1) {
      log.Fixed("Invalid field number for field " + name + ending);
      f.FieldNumber = static_cast<std::uint16_t>(i + 1);
    }
  }

  // The header.
  if (source == kComputed && layout.RecordSize != h.RecordSize) {
    log.Fixed("Invalid physical record length in table header");
    h.RecordSize = static_cast<std::uint16_t>(layout.RecordSize);
    state.IndexesInvalid = true;
  } else if (source == kUnknown) {
    log.Unfixable("Invalid physical record length in table header");
    return;
  }
  state.LayoutKnown = true;
  const std::int64_t recordSize = h.RecordSize;
  if (area % recordSize != 0) {
    log.Fixed("Physical records not aligned on even record size boundaries");
    state.RecordAreaEnd = definitionsEnd + area / recordSize * recordSize;
  }
  const std::int64_t records = area / recordSize;
  if (records > kMaxRecordNumber) {
    log.Unfixable("Physical record count not correct");
    state.LayoutKnown = false;
    return;
  }
  if (h.NextRecordNumber != records + 1) {
    log.Fixed("Physical record count not correct");
    h.NextRecordNumber = static_cast<std::int32_t>(records + 1);
  }
  if (h.FirstFreeRecord < 0 || h.FirstFreeRecord > records) {
    log.Fixed("Invalid next free record pointer");
    h.FirstFreeRecord = 0;
  }
  std::uint16_t blobs = 0;
  for (const TFieldDefinition& f : fields)
    if (f.DataType == dtBlob) ++blobs;
  if (h.BlobFieldCount != blobs) {
    log.Fixed("Invalid BLOB field count in table header");
    h.BlobFieldCount = blobs;
  }
  if (log.Problems() > 0) state.Changed = true;
  if (!log.VerifyOnly() || apply) {
    h.VersionNum = kDataVersionNum;
    h.FirstFreeRecord = 0;
  }
  if (apply) WriteDataHeaderState(file, state);
}

// ---------------------------------------------------------------------------------------------
// The index file

namespace {

std::string IndexLabel(int slot, const TIndexDefinition& d) {
  if (slot == kPrimaryIndexSlot) return "Primary";
  return d.IndexName.empty() ? Num(slot) : d.IndexName;
}

// The key fields of a definition checked against the table: unknown fields removed, the count
// and the key size recomputed. False when the index has to go.
bool CheckKeyFields(int slot, TIndexDefinition& d, const std::vector<TFieldDefinition>& fields, bool noPrimary,
                    TRepairLog& log) {
  const std::string label = IndexLabel(slot, d);
  std::array<std::uint16_t, kMaxKeyFields> kept{};
  std::array<bool, kMaxKeyFields> descending{};
  int count = 0;
  int found = 0;
  bool stale = false;
  for (int k = 0; k < kMaxKeyFields; ++k) {
    std::uint16_t number = d.KeyFields[static_cast<std::size_t>(k)];
    if (number == 0) continue;
    if (k >= d.KeyFieldCount && slot != kSysTextSlot) {
      // Entries past the count are no key fields; the list must end with the count.
      stale = true;
      continue;
    }
    ++found;
    bool valid = number >= 1 && number <= fields.size();
    if (valid) {
      const TFieldDefinition& f = fields[number - 1u];
      if (slot == kSysTextSlot)
        valid = f.DataType == dtString || (f.DataType == dtBlob && f.SubType == stMemo);
      else
        valid = f.DataType != dtBlob && IsValidDataType(f.DataType) && !f.IsExpression;
    }
    if (!valid) {
      log.Fixed("Invalid field number " + Num(number) + " in index " + label,
                ", error fixed and field " + Num(number) + " removed from index");
      continue;
    }
    kept[static_cast<std::size_t>(count)] = number;
    descending[static_cast<std::size_t>(count)] = d.DescendingKeyFields[static_cast<std::size_t>(k)];
    ++count;
  }
  if (slot != kSysTextSlot && (d.KeyFieldCount != found || stale)) {
    log.Fixed("Invalid key field count of " + Num(d.KeyFieldCount) + " for index " + label);
  }
  d.KeyFields = kept;
  d.DescendingKeyFields = descending;
  d.KeyFieldCount = static_cast<std::uint8_t>(count);
  if (slot == kSysTextSlot) return true;
  std::int64_t keySize = 0;
  for (int k = 0; k < count; ++k) {
    const TFieldDefinition& f = fields[kept[static_cast<std::size_t>(k)] - 1u];
    keySize += 1 + static_cast<std::int64_t>(IndexedSize(f.DataType, f.PhysicalSize));
  }
  const bool primaryWithoutKey = slot == kPrimaryIndexSlot && !noPrimary && count == 0;
  const bool secondaryWithoutKey = slot != kPrimaryIndexSlot && count == 0;
  if (keySize > kMaxIndexedKeyBytes || primaryWithoutKey || secondaryWithoutKey) {
    log.Fixed("Invalid key size of " + Num(d.KeySize) + " for index " + label, ", error fixed and index removed");
    return false;
  }
  if (!d.Unique) keySize += 4;
  if (slot != kPrimaryIndexSlot || !noPrimary) {
    if (d.KeySize != keySize) {
      log.Fixed("Invalid key size of " + Num(d.KeySize) + " for index " + label);
      d.KeySize = static_cast<std::uint16_t>(keySize);
    }
  }
  return true;
}

void CheckPagePointers(int slot, TIndexDefinition& d, std::int32_t pagesUsed, TRepairLog& log) {
  const std::string label = IndexLabel(slot, d);
  auto valid = [&](std::int32_t n) { return n == 0 || (n >= 1 && n <= pagesUsed); };
  if (!valid(d.RootPageNumber)) {
    log.Fixed("Invalid root page pointer for index " + label);
    d.RootPageNumber = 0;
  }
  if (!valid(d.NextFreePageNumber)) {
    log.Fixed("Invalid free page pointer for index " + label);
    d.NextFreePageNumber = 0;
  }
  if (!valid(d.DataRootPageNumber)) {
    log.Fixed("Invalid data root page pointer for index " + label);
    d.DataRootPageNumber = 0;
  }
  if (d.Compression > kMaxCompression) {
    log.Fixed("Invalid key compression for index " + label);
    d.Compression = slot == kSysTextSlot ? kSysTextCompression : 0;
  }
}

void CheckSystemSlot(int slot, TIndexDefinition& d, TRepairLog& log) {
  const bool deleted = slot == kSysDeletedSlot;
  const char* name = deleted ? kSysDeletedIndexName : kSysTextIndexName;
  const std::uint16_t keySize = deleted ? kSysDeletedKeySize : kSysTextKeySize;
  const std::uint8_t compression = deleted ? 0 : kSysTextCompression;
  bool keyFields = false;
  if (deleted)
    for (std::uint16_t number : d.KeyFields) keyFields = keyFields || number != 0;
  if (deleted && d.KeyFieldCount != 0) keyFields = true;
  if (d.IndexName != name || d.KeySize != keySize || d.Compression != compression || d.Temporary || keyFields) {
    log.Fixed(std::string("Invalid index definition for index ") + name);
    d.IndexName = name;
    d.KeySize = keySize;
    d.Compression = compression;
    d.Temporary = false;
    d.Unique = false;
    d.Descending = false;
    if (deleted) {
      d.KeyFieldCount = 0;
      d.KeyFields = {};
    }
  }
}

}  // namespace

bool RepairIndexHeader(TFileHandler* file, bool missing, const TDataHeaderState& data, TRepairLog& log, bool apply) {
  const std::int32_t before = log.Problems();
  TIndexHeader h;
  std::int64_t size = file ? file->GetSize() : -1;
  bool fresh = false;
  if (missing || size < static_cast<std::int64_t>(kIndexHeaderSize)) {
    log.Fixed(missing ? "Index file missing" : "Index header cannot be read");
    fresh = true;
    h.VersionNum = kIndexVersionNum;
    h.NextEndingPageNumber = 1;
    h.NoPrimaryIndex = true;
    size = static_cast<std::int64_t>(kIndexHeaderSize);
  } else {
    std::uint8_t raw[kIndexHeaderSize];
    file->ReadAt(0, raw, kIndexHeaderSize);
    if (data.Header.Encrypted) EncryptBuffer(raw, kIndexHeaderSize, kTableDataSeedA, kTableDataSeedB);
    TIndexHeader::DecodeFrom(raw, h);
  }
  if (h.VersionNum != kIndexVersionNum) {
    log.Fixed("Invalid index file version in header");
    h.VersionNum = kIndexVersionNum;
  }
  const std::int64_t pages = (size - static_cast<std::int64_t>(kIndexHeaderSize)) / kIndexPageSize;
  if (h.NextEndingPageNumber != pages + 1 || (size - static_cast<std::int64_t>(kIndexHeaderSize)) % kIndexPageSize != 0) {
    log.Fixed("Invalid page count in index header");
    h.NextEndingPageNumber = static_cast<std::int32_t>(std::min<std::int64_t>(pages + 1, kMaxIndexPageNumber));
  }
  if (h.IndexCount > kMaxSecondaryIndexes) {
    log.Fixed("Invalid index count of " + Num(h.IndexCount) + " in header");
    h.IndexCount = kMaxSecondaryIndexes;
  }
  const bool primaryHasKey = h.IndexDefinitions[0].KeyFieldCount > 0 || h.IndexDefinitions[0].KeySize > 0;
  if (h.NoPrimaryIndex == primaryHasKey) {
    log.Fixed("Invalid internal primary index flag in header");
    h.NoPrimaryIndex = !primaryHasKey;
  }
  const std::int32_t pagesUsed = h.NextEndingPageNumber - 1;

  // The primary index.
  TIndexDefinition& primary = h.IndexDefinitions[0];
  if (h.NoPrimaryIndex && !primary.IndexName.empty()) {
    log.Fixed("Invalid index name for index Primary");
    primary.IndexName.clear();
  }
  if (!h.NoPrimaryIndex) {
    if (!primary.IndexName.empty() || !primary.Unique || primary.Temporary) {
      log.Fixed("Invalid index name for index Primary");
      primary.IndexName.clear();
      primary.Unique = true;
      primary.Temporary = false;
    }
    if (!CheckKeyFields(0, primary, data.Fields, false, log)) {
      TIndexFile::ClearIndexDefinition(primary);
      h.NoPrimaryIndex = true;
    }
  }
  CheckPagePointers(0, primary, pagesUsed, log);

  // Unused slots may hold a parked definition; its page numbers must still name pages.
  for (int slot = h.IndexCount + 1; slot <= kMaxSecondaryIndexes; ++slot) {
    TIndexDefinition& d = h.IndexDefinitions[static_cast<std::size_t>(slot)];
    auto valid = [&](std::int32_t n) { return n >= 0 && n <= pagesUsed; };
    if (valid(d.RootPageNumber) && valid(d.NextFreePageNumber) && valid(d.DataRootPageNumber)) continue;
    log.Fixed("Invalid page pointers in unused index slot " + Num(slot));
    d = TIndexDefinition{};
  }

  // The secondary indexes: a removed one makes the later ones move down a slot.
  std::vector<TIndexDefinition> secondaries;
  for (int slot = 1; slot <= h.IndexCount; ++slot) {
    TIndexDefinition d = h.IndexDefinitions[static_cast<std::size_t>(slot)];
    std::string name = TrimString(d.IndexName);
    if (name.empty() || !IsFieldNameStart(static_cast<unsigned char>(name[0]))) {
      log.Fixed("Invalid index name for index " + (name.empty() ? Num(slot) : name));
      name = name.empty() ? "Repaired_Idx" + Num(slot) : Cut("I_" + name);
    }
    for (const TIndexDefinition& other : secondaries) {
      if (!SameName(TrimString(other.IndexName), name)) continue;
      log.Fixed("Duplicate index name for index " + name);
      name = Cut("I" + Num(slot) + name);
      break;
    }
    d.IndexName = name;
    if (d.Temporary) d.Temporary = false;
    CheckPagePointers(slot, d, pagesUsed, log);
    if (CheckKeyFields(slot, d, data.Fields, false, log)) secondaries.push_back(d);
  }
  for (int slot = 1; slot <= kMaxSecondaryIndexes; ++slot) {
    TIndexDefinition& d = h.IndexDefinitions[static_cast<std::size_t>(slot)];
    if (slot <= static_cast<int>(secondaries.size())) {
      d = secondaries[static_cast<std::size_t>(slot - 1)];
    } else if (slot <= h.IndexCount) {
      d = TIndexDefinition{};
    }
  }
  h.IndexCount = static_cast<std::uint8_t>(secondaries.size());

  // The system indexes.
  for (int slot : {kSysDeletedSlot, kSysTextSlot}) {
    TIndexDefinition& d = h.IndexDefinitions[static_cast<std::size_t>(slot)];
    CheckSystemSlot(slot, d, log);
    if (slot == kSysTextSlot) CheckKeyFields(slot, d, data.Fields, false, log);
    CheckPagePointers(slot, d, pagesUsed, log);
  }

  const bool valid = log.Problems() == before;
  if (apply && (!valid || fresh || !log.VerifyOnly())) {
    h.HeaderModified = true;
    h.LastUpdateStamp = static_cast<std::int32_t>(static_cast<std::uint32_t>(h.LastUpdateStamp) + 1);
    std::uint8_t out[kIndexHeaderSize];
    h.EncodeTo(out);
    if (data.Header.Encrypted) EncryptBuffer(out, kIndexHeaderSize, kTableDataSeedA, kTableDataSeedB);
    if (file) {
      if (fresh || (size - static_cast<std::int64_t>(kIndexHeaderSize)) % kIndexPageSize != 0)
        file->WriteAt(static_cast<std::int64_t>(kIndexHeaderSize) + pages * static_cast<std::int64_t>(kIndexPageSize), nullptr, 0);
      file->WriteAt(0, out, kIndexHeaderSize);
    }
  }
  return valid;
}

// ---------------------------------------------------------------------------------------------
// The BLOB file

namespace {

bool ValidBlockSize(std::int64_t size) { return size >= 64 && size <= 65535 + static_cast<std::int64_t>(kBlockHeaderSize); }

}  // namespace

bool RepairBlobHeader(TFileHandler* file, bool missing, TDataHeaderState& data, TRepairLog& log, bool apply) {
  TBlobHeader h;
  std::int64_t size = file ? file->GetSize() : -1;
  bool fresh = false;
  if (missing || size < static_cast<std::int64_t>(kBlobHeaderSize)) {
    log.Fixed(missing ? "BLOB file missing" : "BLOB header cannot be read");
    fresh = true;
    h = TBlobHeader{};
    size = static_cast<std::int64_t>(kBlobHeaderSize);
  } else {
    unsigned char raw[kBlobHeaderSize];
    file->ReadAt(0, raw, kBlobHeaderSize);
    if (data.Header.Encrypted) EncryptBuffer(raw, kBlobHeaderSize, kTableDataSeedA, kTableDataSeedB);
    h.DecodeFrom(raw);
  }
  bool dataChanged = false;
  const std::int64_t area = size - static_cast<std::int64_t>(kBlobHeaderSize);
  std::int64_t blockSize = data.Header.BlobBlockSize == 0 ? kDefaultBlobBlockSize : data.Header.BlobBlockSize;
  if (!ValidBlockSize(blockSize) || (area > 0 && area % blockSize != 0)) {
    // The block size in the table header may be what was damaged: a size that the BLOB file
    // backs exactly (whole blocks, as many as its header counts) is taken instead.
    std::int64_t backed = 0;
    for (std::int64_t candidate = 64; candidate <= 65536 && backed == 0; candidate *= 2)
      if (area > 0 && area % candidate == 0 && area / candidate == h.NextEndingBlockNumber - 1) backed = candidate;
    if (backed != 0 && backed != blockSize) {
      log.Fixed("Invalid BLOB block size in table header");
      data.Header.BlobBlockSize = static_cast<std::int32_t>(backed);
      blockSize = backed;
      dataChanged = true;
    } else if (!ValidBlockSize(blockSize)) {
      log.Fixed("Invalid BLOB block size in table header");
      data.Header.BlobBlockSize = kDefaultBlobBlockSize;
      blockSize = kDefaultBlobBlockSize;
      dataChanged = true;
    }
  }
  std::int64_t blocks = area / blockSize;
  std::int64_t end = -1;
  if (area % blockSize != 0) {
    log.Fixed("BLOB blocks not aligned on even block size boundaries");
    end = static_cast<std::int64_t>(kBlobHeaderSize) + blocks * blockSize;
  }
  if (blocks >= kMaxBlobBlocks) blocks = kMaxBlobBlocks - 1;
  if (h.NextEndingBlockNumber != blocks + 1) {
    log.Fixed("Physical BLOB block count not correct");
    h.NextEndingBlockNumber = static_cast<std::int32_t>(blocks + 1);
  }
  if (h.NextFreeBlockNumber < 0 || h.NextFreeBlockNumber > blocks || (blocks == 0 && h.NextFreeBlockNumber != 0)) {
    log.Fixed("Invalid free BLOB block pointer in header");
    h.NextFreeBlockNumber = 0;
  }
  if (h.VersionNum != kBlobVersion) {
    log.Fixed("Invalid BLOB file version in header");
    h.VersionNum = kBlobVersion;
  }
  if (apply && file) {
    h.HeaderModified = true;
    h.LastUpdateStamp = static_cast<std::int32_t>(static_cast<std::uint32_t>(h.LastUpdateStamp) + 1);
    unsigned char out[kBlobHeaderSize];
    h.EncodeTo(out);
    if (data.Header.Encrypted) EncryptBuffer(out, kBlobHeaderSize, kTableDataSeedA, kTableDataSeedB);
    if (end >= 0) file->WriteAt(end, nullptr, 0);
    if (fresh) file->WriteAt(static_cast<std::int64_t>(kBlobHeaderSize), nullptr, 0);
    file->WriteAt(0, out, kBlobHeaderSize);
  }
  return !dataChanged;
}

}  // namespace korvel
