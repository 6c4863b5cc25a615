// Restructuring: a table takes a new structure and keeps its records.
//
// Both paths work on a copy that replaces the table only when complete (ReplaceTable), so a
// failure or a kill at any point leaves the old table or the new one under the table's name:
//   - the stored record layout stays (same fields in the same places, same types and sizes,
//     same scrambling, language and BLOB block size): the three files are copied byte for
//     byte, then only the changed indexes are rebuilt and the definitions and header updated;
//   - otherwise every live record is converted, in physical order, into a work table created
//     with the new structure, keeping its record identifier.
//
// Fields are matched by FieldNumber: the caller's new definitions carry the number of the old
// field whose values they take (a number not in the old table starts from its default). The
// work table is created with numbers equal to positions, as every table is, and the key field
// lists of the new indexes are translated accordingly.

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/cursor_internal.h"
#include "engine/maintenance_journal.h"
#include "engine/table_maintenance.h"
#include "engine/table_work_table.h"
#include "expr/expression_evaluator.h"
#include "expr/expression_types.h"
#include "support/path_helpers.h"
#include "support/text_forms.h"

namespace korvel {

// ---------------------------------------------------------------------------------------------
// Comparing definitions

bool TTableMaintenance::FieldDefinitionHasChanged(const TFieldDefinition& a, const TFieldDefinition& b) {
  return a.DataType != b.DataType || a.Length != b.Length || a.Decimals != b.Decimals ||
         a.PhysicalSize != b.PhysicalSize || a.IsStored() != b.IsStored() ||
         (a.DataType == dtBlob && a.SubType != b.SubType && (a.SubType == stMemo || b.SubType == stMemo));
}

bool TTableMaintenance::IndexDefinitionHasChanged(const TIndexDefinition& a, const TIndexDefinition& b) {
  if (!SameName(TrimString(a.IndexName), TrimString(b.IndexName)) || a.Descending != b.Descending ||
      a.CaseInsensitive != b.CaseInsensitive || a.Unique != b.Unique || a.Compression != b.Compression ||
      a.KeyFieldCount != b.KeyFieldCount)
    return true;
  for (int i = 0; i < a.KeyFieldCount; ++i)
    if (a.KeyFields[i] != b.KeyFields[i] || a.DescendingKeyFields[i] != b.DescendingKeyFields[i]) return true;
  return false;
}

// ---------------------------------------------------------------------------------------------
// Converting one value

namespace {

bool IsIntegerTarget(std::uint8_t type) {
  return type == dtSmallInt || type == dtInteger || type == dtWord || type == dtUnsignedInt || type == dtLargeInt;
}

// The conversions a restructure makes: those of CAST, with unsigned integers taking part like
// large integers; extended floats only keep their own type.
bool Converts(std::uint8_t from, std::uint8_t to) {
  if (from == to) return true;
  if (from == dtExtended || to == dtExtended) return false;
  auto cast = [](std::uint8_t t) { return t == dtUnsignedInt ? dtLargeInt : t; };
  return CheckCastTypes(cast(to), cast(from));
}

std::pair<double, double> IntegerRange(std::uint8_t type) {
  switch (type) {
    case dtSmallInt: return {-32768.0, 32767.0};
    case dtWord: return {0.0, 65535.0};
    case dtInteger: return {-2147483648.0, 2147483647.0};
    case dtUnsignedInt: return {0.0, 4294967295.0};
    default: return {-9223372036854775808.0, 9223372036854775807.0};
  }
}

// Whether a number read from a non-text source fits an integer target once truncated.
bool FitsInteger(const TFieldDefinition& from, const std::uint8_t* value, std::uint8_t to) {
  if (from.DataType == dtLargeInt && to != dtLargeInt) {
    std::int64_t v = 0;
    std::memcpy(&v, value, 8);
    auto [low, high] = IntegerRange(to);
    return static_cast<double>(v) >= low && static_cast<double>(v) <= high;
  }
  std::uint8_t buffer[kValueBufferSize] = {};
  std::memcpy(buffer, value, from.PhysicalSize);
  if (!ConvertExpression(from.DataType, from.PhysicalSize, from.Decimals, buffer, 0, 8, dtFloat)) return false;
  double d = 0;
  std::memcpy(&d, buffer, 8);
  d = std::trunc(d);
  auto [low, high] = IntegerRange(to);
  if (to == dtLargeInt) return d >= low && d < high;
  return d >= low && d <= high;
}

std::string TextOf(const TFieldDefinition& field, const std::uint8_t* value) {
  std::uint8_t buffer[kValueBufferSize] = {};
  std::memcpy(buffer, value, std::min<std::size_t>(field.PhysicalSize, kValueBufferSize));
  if (field.DataType == dtBytes || field.DataType == dtVarBytes)
    return std::string(reinterpret_cast<const char*>(buffer), field.PhysicalSize);
  if (field.DataType != dtString)
    ConvertExpression(field.DataType, field.PhysicalSize, field.Decimals, buffer, 0, kValueBufferSize, dtString);
  return std::string(reinterpret_cast<const char*>(buffer));
}

}  // namespace

TValueFit ConvertFieldValue(const TFieldDefinition& from, const std::uint8_t* value, const TFieldDefinition& to,
                            std::uint8_t* out) {
  std::memset(out, 0, kValueBufferSize);
  if (from.DataType == to.DataType && from.PhysicalSize == to.PhysicalSize && from.Decimals == to.Decimals) {
    std::memcpy(out, value, from.PhysicalSize);
    return TValueFit::Kept;
  }
  if (!Converts(from.DataType, to.DataType)) return TValueFit::Lost;
  const bool textSource = from.DataType == dtString;
  if (IsIntegerTarget(to.DataType) && !textSource && from.DataType != dtBytes && from.DataType != dtVarBytes &&
      from.DataType != dtBoolean && !FitsInteger(from, value, to.DataType))
    return TValueFit::Lost;
  const bool textTarget = to.DataType == dtString || to.DataType == dtBytes || to.DataType == dtVarBytes;
  // A number or date cut short as text would read as another value.
  if (textTarget && !textSource && from.DataType != dtBytes && from.DataType != dtVarBytes &&
      TextOf(from, value).size() + (to.DataType == dtString ? 1 : 0) > to.PhysicalSize)
    return TValueFit::Lost;
  std::memcpy(out, value, std::min<std::size_t>(from.PhysicalSize, kValueBufferSize));
  if (!ConvertExpression(from.DataType, from.PhysicalSize, from.Decimals, out, to.Decimals, to.PhysicalSize,
                         to.DataType)) {
    std::memset(out, 0, kValueBufferSize);
    return TValueFit::Lost;
  }
  // A text that reads as the new type is that value; it changes only when cut.
  if (textSource && !textTarget) return TValueFit::Kept;
  // Otherwise the value read back in the old type must give the old value.
  std::uint8_t back[kValueBufferSize];
  std::memcpy(back, out, kValueBufferSize);
  if (!ConvertExpression(to.DataType, to.PhysicalSize, to.Decimals, back, from.Decimals, from.PhysicalSize,
                         from.DataType))
    return TValueFit::Changed;
  if (textSource) {
    const std::string before = TextOf(from, value), after(reinterpret_cast<const char*>(back));
    return before == after ? TValueFit::Kept : TValueFit::Changed;
  }
  return TextOf(from, value) == TextOf(from, back) ? TValueFit::Kept : TValueFit::Changed;
}

// ---------------------------------------------------------------------------------------------
// Data loss

bool TTableMaintenance::ReportLoss(TDataLossCause cause, const std::string& context) {
  if (!DataLost || lossesAccepted_) return true;
  bool stopAsking = false, continueWork = true;
  DataLost(cause, context, stopAsking, continueWork);
  if (stopAsking) lossesAccepted_ = true;
  return continueWork;
}

// ---------------------------------------------------------------------------------------------
// RestructureTable

namespace {

// Whether the records can stay as they are stored, untouched and unchecked.
bool SameRecordLayout(const TTableStructure& oldOne, const TTableStructure& newOne, const std::vector<int>& fieldMap) {
  if (oldOne.Fields.size() != newOne.Fields.size() || oldOne.Encrypted != newOne.Encrypted ||
      oldOne.LanguageID != newOne.LanguageID || oldOne.SortID != newOne.SortID ||
      oldOne.BlobBlockSize != newOne.BlobBlockSize)
    return false;
  if (oldOne.Encrypted && oldOne.Password != newOne.Password) return false;
  for (std::size_t i = 0; i < oldOne.Fields.size(); ++i) {
    const TFieldDefinition& a = oldOne.Fields[i];
    const TFieldDefinition& b = newOne.Fields[i];
    if (fieldMap[i] != static_cast<int>(i + 1)) return false;
    if (TTableMaintenance::FieldDefinitionHasChanged(a, b)) return false;
    // Checks that grow stricter, and a new character case, must meet every stored value:
    // the rewrite applies them record by record (and reports the records they refuse).
    if ((b.Required && !a.Required) || (!b.MinimumValue.empty() && b.MinimumValue != a.MinimumValue) ||
        (!b.MaximumValue.empty() && b.MaximumValue != a.MaximumValue) || a.CharCase != b.CharCase)
      return false;
  }
  return true;
}

void TranslateKeyFields(TIndexDefinition& index, const std::vector<TFieldDefinition>& fields) {
  for (int k = 0; k < index.KeyFieldCount && k < static_cast<int>(kMaxKeyFields); ++k) {
    for (std::size_t j = 0; j < fields.size(); ++j)
      if (fields[j].FieldNumber == index.KeyFields[k]) {
        index.KeyFields[k] = static_cast<std::uint16_t>(j + 1);
        break;
      }
  }
}

// Field numbers become positions, and key field lists follow.
void NumberFieldsByPosition(TTableStructure& s) {
  TranslateKeyFields(s.PrimaryIndex, s.Fields);
  for (TIndexDefinition& d : s.SecondaryIndexes) TranslateKeyFields(d, s.Fields);
  TranslateKeyFields(s.TextIndex, s.Fields);
  for (std::size_t j = 0; j < s.Fields.size(); ++j) s.Fields[j].FieldNumber = static_cast<std::uint16_t>(j + 1);
}

// Closes the cursor on every path out of a restructure.
struct TCloseOnExit {
  TDataCursor& cursor;
  ~TCloseOnExit() {
    try {
      if (cursor.IsOpen) cursor.CloseCursor();
    } catch (...) {
    }
  }
};

// Takes a new password into the session for as long as the restructure runs.
struct TSessionPassword {
  TDataSession* session;
  std::string password;
  bool added = false;
  TSessionPassword(TDataSession* s, const TTableStructure& structure) : session(s) {
    if (!structure.Encrypted || structure.Password.empty() || session->CheckForPassword(structure.Password)) return;
    password = structure.Password;
    session->AddPassword(password);
    added = true;
  }
  ~TSessionPassword() {
    if (added) session->DeletePassword(password);
  }
};

}  // namespace

bool TTableMaintenance::RestructureTable(TTableStructure structure, bool keepBackup) {
  CheckNotOpen();
  cursor_.CheckLocal();
  CheckExclusive();
  CheckNotReadOnly();
  VerifyStructureInformation(structure);
  lossesAccepted_ = false;

  cursor_.OpenCursor();
  TCloseOnExit closeSource{cursor_};
  const TTableStructure current = CurrentStructure();
  // fieldMap[i]: the new position of old field i + 1 (its FieldNumber), 0 when deleted.
  std::vector<int> fieldMap(current.Fields.size(), 0);
  for (std::size_t i = 0; i < current.Fields.size(); ++i)
    for (std::size_t j = 0; j < structure.Fields.size(); ++j)
      if (structure.Fields[j].FieldNumber == current.Fields[i].FieldNumber) fieldMap[i] = static_cast<int>(j + 1);
  NumberFieldsByPosition(structure);
  TSessionPassword password(cursor_.Directory->Session, structure);
  if (SameRecordLayout(current, structure, fieldMap)) return RestructureInPlace(structure, keepBackup);
  return RestructureByCopy(structure, fieldMap, keepBackup);
}

namespace {

// The error of an append that failed, as a data-loss cause and its context.
TDataLossCause CauseOf(const EKORVELEngineError& e, std::string& context) {
  switch (e.ErrorCode) {
    case KORVEL_KEYVIOL:
      context = e.ErrorIndexName;
      return dlKeyViolation;
    case KORVEL_MINVALERR:
    case KORVEL_MAXVALERR:
    case KORVEL_REQDERR:
      context = e.ErrorFieldName;
      return dlValidityCheckFail;
    default:
      context = e.ErrorMessage;
      return dlUnknown;
  }
}

}  // namespace

bool TTableMaintenance::RestructureByCopy(const TTableStructure& structure, const std::vector<int>& fieldMap,
                                          bool keepBackup) {
  TDataCursor& source = cursor_;
  source.SetIndexPos(kNoIndexPos);
  TDataDirectory* directory = source.Directory;
  TMaintenanceJournal journal(directory, source.TableName, source.InMemory);
  TWorkTable work(directory, source.InMemory);
  journal.Begin(work.Name(), !keepBackup);
  work.Create(structure, source.PasswordCallback);
  TDataCursor& dest = work.Cursor();

  std::vector<std::uint8_t> from(static_cast<std::size_t>(source.GetRecordSize()));
  std::vector<std::uint8_t> to(static_cast<std::size_t>(dest.GetRecordSize()));
  std::vector<std::uint8_t> value(kValueBufferSize + 8), converted(kValueBufferSize + 8);
  std::vector<std::uint8_t> blob;
  TProgressReporter progress(RestructureProgress, source.GetRecordCount(),
                             directory->Session->GetProgressPercent());
  std::int64_t done = 0;
  source.SetToBegin();
  while (source.GetNextRecord(from.data()) == kCursorOk) {
    dest.InitRecord(to.data());
    const std::int32_t id = TDataCursor::GetRecordID(from.data());
    for (std::int32_t i = 1; i <= source.GetFieldCount(); ++i) {
      const TFieldDefinition& field = source.GetFieldDefinition(i);
      const bool blank = source.GetField(i, from.data(), nullptr);
      const int j = fieldMap[static_cast<std::size_t>(i - 1)];
      if (j == 0) {
        // A field that goes away loses its value in every record that has one.
        if (!blank && !ReportLoss(dlFieldDeletion, field.FieldName)) return false;
        continue;
      }
      const TFieldDefinition& target = dest.GetFieldDefinition(j);
      if (blank) {
        dest.PutField(j, to.data(), nullptr);
        continue;
      }
      if (target.IsAutoInc()) {
        // The new field shows the record identifier, which every record keeps.
        source.GetField(i, from.data(), value.data());
        std::int64_t v = 0;
        const bool same = ConvertFieldValue(field, value.data(), target, converted.data()) != TValueFit::Lost &&
                          (std::memcpy(&v, converted.data(), 4), static_cast<std::int32_t>(v) == id);
        if (!same && !ReportLoss(dlFieldConversion, target.FieldName)) return false;
        continue;
      }
      if (field.DataType == dtBlob || target.DataType == dtBlob) {
        std::int64_t size = 0;
        if (field.DataType == dtBlob) {
          if (target.DataType != dtBlob) {
            if (!ReportLoss(dlFieldConversion, target.FieldName)) return false;
            dest.PutField(j, to.data(), nullptr);
            continue;
          }
          const int code = source.ReadWholeBlob(i, from.data(), false, [&](std::size_t n) {
            blob.resize(n);
            return blob.data();
          });
          if (code != 0) source.RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
        } else {
          // A value becomes the content of a BLOB in its text form (bytes as they are).
          source.GetField(i, from.data(), value.data());
          std::string text = field.DataType == dtBytes || field.DataType == dtVarBytes
                                 ? std::string(reinterpret_cast<const char*>(value.data()), field.PhysicalSize)
                                 : TextOf(field, value.data());
          blob.assign(text.begin(), text.end());
        }
        std::memset(to.data() + target.Offset, 0, 1);
        int code = dest.OpenBlob(j, to.data(), TBlobBuffer::omReadWrite, false, true, size);
        if (code == 0 && !blob.empty())
          code = dest.PutBlob(j, to.data(), false, static_cast<std::int64_t>(blob.size()), blob.data(), 0);
        if (code != 0) dest.RaiseCursor(static_cast<TErrorCode>(code), target.FieldName);
        continue;
      }
      source.GetField(i, from.data(), value.data());
      const TValueFit fit = ConvertFieldValue(field, value.data(), target, converted.data());
      if (fit != TValueFit::Kept && !ReportLoss(dlFieldConversion, target.FieldName)) return false;
      dest.PutField(j, to.data(), fit == TValueFit::Lost ? nullptr : converted.data());
    }
    TDataCursor::PutRecordID(id, to.data());
    try {
      dest.AppendRecord(to.data(), false);
    } catch (const EKORVELEngineError& e) {
      std::string context;
      const TDataLossCause cause = CauseOf(e, context);
      // Without a callback a record is never dropped silently.
      if (!DataLost || (cause != dlKeyViolation && cause != dlValidityCheckFail)) throw;
      dest.FreeAllBlobs(true);
      if (!ReportLoss(cause, context)) return false;
    }
    progress.Report(++done);
  }
  TDataTable& target = *dest.Table;
  target.UpdateDataHeader(structure.Password, structure.Description, source.Table->GetLastRecordID(),
                          structure.UserMajorVersion, structure.UserMinorVersion);
  // The text index was kept up to date by the appends (the work table was created with its
  // definition and parameters).
  work.Close();
  source.CloseCursor();
  journal.BeginSwap();
  ReplaceTable(directory, work.Name(), !keepBackup);
  work.Keep();
  journal.Finish();
  progress.Finish();
  return true;
}

bool TTableMaintenance::RestructureInPlace(const TTableStructure& structure, bool keepBackup) {
  TDataCursor& source = cursor_;
  TDataTable& table = *source.Table;
  TDataDirectory* directory = source.Directory;
  const TTableStructure current = CurrentStructure();
  TMaintenanceJournal journal(directory, source.TableName, source.InMemory);
  TWorkTable work(directory, source.InMemory);
  journal.Begin(work.Name(), !keepBackup);
  work.MarkCreated();
  table.FlushBuffers(false, true, true, true, true);
  table.DataFile->CopyToFile(false, directory->GetTableFileName(work.Name(), kDataFileExt), source.InMemory);
  table.IndexFile->CopyToFile(false, directory->GetTableFileName(work.Name(), kIndexFileExt), source.InMemory);
  if (table.HasBlobFile())
    table.BlobFile->CopyToFile(false, directory->GetTableFileName(work.Name(), kBlobFileExt), source.InMemory);
  const std::int32_t lastID = table.GetLastRecordID();
  source.CloseCursor();
  work.Open(source.PasswordCallback);
  TDataCursor& dest = work.Cursor();
  TDataTable& target = *dest.Table;

  // Which indexes go: the primary index when it changed, and every secondary index from the
  // first one that differs in its place (the ones after it follow in the new order).
  const bool hadPrimary = current.PrimaryIndex.KeyFieldCount > 0;
  const bool hasPrimary = structure.PrimaryIndex.KeyFieldCount > 0;
  const bool primaryChanged =
      hadPrimary != hasPrimary || (hasPrimary && IndexDefinitionHasChanged(current.PrimaryIndex, structure.PrimaryIndex));
  std::size_t keep = 0;
  while (keep < current.SecondaryIndexes.size() && keep < structure.SecondaryIndexes.size() &&
         !IndexDefinitionHasChanged(current.SecondaryIndexes[keep], structure.SecondaryIndexes[keep]))
    ++keep;
  const std::size_t toBuild = (primaryChanged && hasPrimary ? 1 : 0) + (structure.SecondaryIndexes.size() - keep);

  TTableMaintenance m(dest);
  bool abandoned = false;
  if (DataLost) {
    m.DataLost = [&](TDataLossCause cause, const std::string& context, bool& stopAsking, bool& continueWork) {
      continueWork = ReportLoss(cause, context);
      stopAsking = lossesAccepted_;
      if (!continueWork) abandoned = true;
    };
  }
  std::size_t built = 0;
  const std::uint16_t step = directory->Session->GetProgressPercent();
  TProgressReporter progress(RestructureProgress, 100, step);
  if (RestructureProgress) {
    m.IndexProgress = [&](int percent) {
      progress.Report((static_cast<std::int64_t>(built) * 100 + percent) / static_cast<std::int64_t>(toBuild));
    };
  }
  try {
    for (int slot = target.GetIndexCount(); slot > static_cast<int>(keep); --slot) m.DeleteIndexByPos(slot);
    // The secondary indexes are built first: a primary index that is added removes the
    // records it refuses from them like from everything else.
    if (primaryChanged && hadPrimary) m.DeleteIndexByPos(kPrimaryIndexSlot);
    for (std::size_t k = keep; k < structure.SecondaryIndexes.size(); ++k) {
      m.AddSecondaryIndex(structure.SecondaryIndexes[k]);
      ++built;
    }
    if (primaryChanged && hasPrimary) {
      m.AddPrimaryIndex(structure.PrimaryIndex);
      ++built;
    }
  } catch (const EKORVELEngineError&) {
    if (abandoned) return false;
    throw;
  }

  // Properties that do not touch the stored records.
  for (std::size_t i = 0; i < structure.Fields.size(); ++i)
    target.DataFile->UpdateFieldDefinitionByPos(static_cast<std::int32_t>(i + 1), structure.Fields[i]);
  target.DataFile->WriteFields();
  target.UpdateDataHeader(structure.Password, structure.Description, lastID, structure.UserMajorVersion,
                          structure.UserMinorVersion);
  const bool textDefinitionChanged = IndexDefinitionHasChanged(current.TextIndex, structure.TextIndex);
  if (textDefinitionChanged || !(current.TextParams == structure.TextParams)) {
    if (textDefinitionChanged) target.IndexFile->SetIndexDefinition(kSysTextSlot, structure.TextIndex);
    RebuildTextIndex(dest, structure);
  }
  work.Close();
  journal.BeginSwap();
  ReplaceTable(directory, work.Name(), !keepBackup);
  work.Keep();
  journal.Finish();
  progress.Finish();
  return true;
}

void TTableMaintenance::RebuildTextIndex(TDataCursor& work, const TTableStructure& structure) {
  work.SetTextIndexParams(structure.TextParams);
  work.CreateTextIndexes();
}

}  // namespace korvel
