// korvel info and korvel dump: a table's header, definitions and records, read through the data
// file layer.

#include "tools/inspect_commands.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "framework/currency_bcd.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/path_helpers.h"
#include "support/text_forms.h"
#include "tools/commands.h"
#include "tools/index_info.h"

namespace korvel::tool {
namespace {

// The command line of both commands: flags, an optional password, then DIR and TABLE.
struct TInspectArguments {
  bool Json = false;
  bool Physical = false;
  bool HasPassword = false;
  std::string Password;
  std::string Directory;
  std::string Table;
};

bool ParseArguments(const std::vector<std::string>& args, const char* command, const char* flag, bool& flagValue,
                    TInspectArguments& parsed, std::ostream& err) {
  CLI::App app{"", std::string("korvel ") + command};
  app.add_flag(flag, flagValue);
  app.add_option("--password", parsed.Password, "password of a scrambled table");
  app.add_option("DIR", parsed.Directory)->required();
  app.add_option("TABLE", parsed.Table)->required();
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    err << app.get_name() << ": " << e.what() << '\n'
        << "usage: korvel " << command << " [" << flag << "] [--password P] DIR TABLE\n";
    return false;
  }
  parsed.HasPassword = app.count("--password") > 0;
  return true;
}

// A data file opened for reading, with the password of a scrambled table checked.
class TOpenTable {
 public:
  explicit TOpenTable(const TInspectArguments& a) {
    std::string table = a.Table;
    std::string base = StripFilePathAndExtension(table);
    owner_.TableName = base.empty() ? table : base;
    owner_.DirectoryName = a.Directory;
    owner_.PrivateDirectory = a.Directory;
    file_ = std::make_unique<TDataFile>(&owner_);
    file_->FileName = AddBS(NormalizeFileName(a.Directory)) + EnsureFileExt(table, ".DAT", ".DAT");
    file_->OpenFile();
    if (file_->GetEncrypted() && (!a.HasPassword || a.Password != file_->GetPassword()))
      RaiseTableError(KORVEL_NOTSUFFTABLERIGHTS, owner_.TableName, a.Directory);
    if (file_->GetBlobFieldCount() > 0) OpenBlobFile(EnsureFileExt(file_->FileName, ".DAT", ".BLB"));
  }
  TDataFile& File() { return *file_; }
  // The BLOB file, or null when the table has no BLOB fields or its BLOB file cannot be read
  // (BlobWarning says why).
  TBlobFile* Blobs() { return blobs_.get(); }
  const std::string& BlobWarning() const { return blobWarning_; }

 private:
  void OpenBlobFile(const std::string& name) {
    blobOwner_.TableName = owner_.TableName;
    blobOwner_.DirectoryName = owner_.DirectoryName;
    blobOwner_.Encrypted = file_->GetEncrypted();
    auto blobs = std::make_unique<TBlobFile>(&blobOwner_);
    blobs->FileName = name;
    try {
      blobs->SetBlockSize(file_->GetBlobBlockSize());
      blobs->OpenFile();
      blobs->CheckHeader();
      blobs_ = std::move(blobs);
    } catch (const EKORVELEngineError& e) {
      blobWarning_ = std::string("the BLOB file cannot be read: ") + e.what();
    }
  }

  TPlainDataFileOwner owner_;
  std::unique_ptr<TDataFile> file_;
  TPlainBlobFileOwner blobOwner_;
  std::unique_ptr<TBlobFile> blobs_;
  std::string blobWarning_;
};

const char* TypeName(std::uint8_t type) {
  switch (type) {
    case dtString: return "string";
    case dtDate: return "date";
    case dtBlob: return "BLOB";
    case dtBoolean: return "boolean";
    case dtSmallInt: return "small integer";
    case dtInteger: return "integer";
    case dtFloat: return "float";
    case dtBCD: return "BCD";
    case dtBytes: return "bytes";
    case dtTime: return "time";
    case dtTimeStamp: return "timestamp";
    case dtWord: return "word";
    case dtUnsignedInt: return "unsigned integer";
    case dtExtended: return "extended float";
    case dtVarBytes: return "variable bytes";
    case dtLargeInt: return "large integer";
    default: return "unknown";
  }
}

const char* SubTypeName(std::uint8_t subType) {
  switch (subType) {
    case stNone: return "";
    case stMoney: return "money";
    case stMemo: return "memo";
    case stBinary: return "binary";
    case stGraphic: return "graphic";
    case stAutoInc: return "auto-increment";
    default: return "unknown";
  }
}

// Date-time values the calendar can show: years 1 to 9999.
bool IsShowableDateTime(double value) { return std::isfinite(value) && value >= -693593.0 && value < 2958466.0; }

// "yyyy-mm-dd hh:mm:ss", or empty for a value no calendar holds.
std::string SecondsText(double value) {
  if (!IsShowableDateTime(value)) return "";
  int y, m, d, h, n, s, ms;
  DecodeDate(value, y, m, d);
  DecodeTime(value, h, n, s, ms);
  char b[32];
  std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d", y, m, d, h, n, s);
  return b;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Table text is 8-bit; bytes above 127 are shown by their Latin-1 reading.
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// A BLOB value: memo text as it stands, anything else as hexadecimal. The field holds the
// chain's first block (offset 0) and the value's signature (offset 4).
std::string BlobText(const TFieldDefinition& f, const std::uint8_t* v, TBlobFile* blobs) {
  if (blobs == nullptr) return "";
  TBlobBuffer buffer(blobs, nullptr);
  buffer.FirstBlockNumber = GetI32(v, 0);
  buffer.BlobSignature = GetI32(v, 4);
  buffer.Read();
  const auto& bytes = buffer.GetBuffer();
  if (f.SubType == stMemo) return std::string(bytes.begin(), bytes.end());
  return Hex(bytes.data(), bytes.size());
}

// The text of one stored value (not null) in its ANSI form.
std::string ValueText(const TFieldDefinition& f, const std::uint8_t* v, TBlobFile* blobs) {
  switch (f.DataType) {
    case dtString: {
      std::size_t n = 0;
      while (n < f.PhysicalSize && v[n] != 0) ++n;
      return std::string(reinterpret_cast<const char*>(v), n);
    }
    case dtDate: {
      std::int32_t day = GetI32(v, 0);
      double value = DayNumberToDateTime(day);
      return IsShowableDateTime(value) && day >= 1 ? AnsiDateToStr(value) : std::to_string(day);
    }
    case dtBlob: return BlobText(f, v, blobs);
    case dtBoolean: return AnsiBooleanToStr(GetU16(v, 0) != 0);
    case dtSmallInt: return std::to_string(GetI16(v, 0));
    case dtInteger: return std::to_string(GetI32(v, 0));
    case dtFloat: return AnsiFloatToStr(GetF64(v, 0));
    case dtBCD: return BcdToStr(TBcd::FromBytes(v));
    case dtBytes:
    case dtVarBytes: return Hex(v, f.PhysicalSize);
    case dtTime: {
      std::int32_t ms = GetI32(v, 0);
      if (ms < 0 || ms >= 86400000) return std::to_string(ms);
      return AnsiTimeToStr(TimeMSecsToDateTime(ms), true);
    }
    case dtTimeStamp: {
      double stamp = GetF64(v, 0);
      double value = std::isfinite(stamp) ? TimeStampValueToDateTime(stamp) : NAN;
      if (!IsShowableDateTime(value) || stamp < 86400000.0) return AnsiFloatToStr(stamp);
      return AnsiDateTimeToStr(value, true);
    }
    case dtWord: return std::to_string(GetU16(v, 0));
    case dtUnsignedInt: return std::to_string(GetU32(v, 0));
    case dtExtended: {
      long double x = 0;
      static_assert(sizeof(long double) >= 10, "extended floats need the 80-bit format");
      std::memcpy(&x, v, 10);
      return AnsiFloatToStr(static_cast<double>(x));
    }
    case dtLargeInt: return std::to_string(GetI64(v, 0));
    default: return Hex(v, f.PhysicalSize);
  }
}

void PrintInfoText(TDataFile& f, TBlobFile* blobs, const TIndexFileInfo& indexes, std::ostream& out) {
  const TDataHeader& h = f.Header();
  out << "Table              " << f.GetTableName() << '\n'
      << "File               " << f.FileName << '\n'
      << "VersionNum         " << int(h.VersionNum) << " (" << VersionToStr(h.VersionNum) << ")\n"
      << "EngineVersion      " << h.EngineVersion << '\n'
      << "LastUpdateStamp    " << h.LastUpdateStamp << '\n'
      << "LastUpdated        " << SecondsText(f.GetLastUpdated()) << '\n'
      << "Description        " << f.GetDescription() << '\n'
      << "Encrypted          " << (h.Encrypted ? "yes" : "no") << '\n'
      << "LanguageID         " << h.LanguageID << '\n'
      << "SortID             " << h.SortID << '\n'
      << "UserVersion        " << h.UserMajorVersion << '.' << h.UserMinorVersion << '\n'
      << "RecordSize         " << h.RecordSize << '\n'
      << "FieldCount         " << h.FieldCount << '\n'
      << "BlobFieldCount     " << h.BlobFieldCount << '\n'
      << "BlobBlockSize      " << h.BlobBlockSize << (h.BlobBlockSize == 0 ? " (512)" : "") << '\n'
      << "PhysicalRecords    " << f.GetPhysicalRecordsUsed() << '\n'
      << "NextRecordNumber   " << h.NextRecordNumber << '\n'
      << "FirstFreeRecord    " << h.FirstFreeRecord << '\n'
      << "LastRecordID       " << h.LastRecordID << '\n'
      << "LastBlobSignature  " << h.LastBlobSignature << '\n';
  if (blobs != nullptr)
    out << "BlobBlocksUsed     " << blobs->GetPhysicalBlocksUsed() << '\n'
        << "BlobFreeBlock      " << blobs->GetNextFreeBlockNumber() << '\n';
  out << "\nFields:\n";
  for (std::int32_t i = 1; i <= f.GetFieldCount(); ++i) {
    const TFieldDefinition& d = f.GetFieldDefinitionByPos(i);
    std::string type = TypeName(d.DataType);
    if (d.DataType == dtString || d.DataType == dtBytes || d.DataType == dtVarBytes || d.DataType == dtBCD) {
      type += '(';
      type += std::to_string(d.DataType == dtBCD ? d.Decimals : d.Length);
      type += ')';
    }
    if (d.SubType != stNone) type += std::string(" ") + SubTypeName(d.SubType);
    char line[160];
    std::snprintf(line, sizeof line, "  %4d  %-30s %-26s size %3d at %5d", d.FieldNumber, d.FieldName.c_str(),
                  type.c_str(), d.PhysicalSize, d.Offset);
    out << line;
    if (d.Required) out << "  required";
    if (d.CharCase == 1) out << "  lower case";
    if (d.CharCase == 2) out << "  upper case";
    if (!d.MinimumValue.empty()) out << "  min " << d.MinimumValue;
    if (!d.MaximumValue.empty()) out << "  max " << d.MaximumValue;
    if (!d.DefaultValue.empty()) out << "  default " << d.DefaultValue;
    if (!d.Description.empty()) out << "  -- " << d.Description;
    out << '\n';
  }
  out << '\n';
  WriteIndexInfoText(indexes, out);
}

void PrintInfoJson(TDataFile& f, TBlobFile* blobs, const TIndexFileInfo& indexes, std::ostream& out) {
  const TDataHeader& h = f.Header();
  std::string updated = SecondsText(f.GetLastUpdated());
  out << "{\"LastUpdateStamp\":" << h.LastUpdateStamp << ",\"BlobBlockSize\":" << h.BlobBlockSize
      << ",\"VersionNum\":" << int(h.VersionNum) << ",\"FirstFreeRecord\":" << h.FirstFreeRecord
      << ",\"NextRecordNumber\":" << h.NextRecordNumber << ",\"LastRecordID\":" << h.LastRecordID
      << ",\"RecordSize\":" << h.RecordSize << ",\"FieldCount\":" << h.FieldCount
      << ",\"BlobFieldCount\":" << h.BlobFieldCount
      << ",\"LastUpdated\":" << (updated.empty() ? std::string("null") : JsonString(updated))
      << ",\"Description\":" << JsonString(f.GetDescription())
      << ",\"Encrypted\":" << (h.Encrypted ? "true" : "false") << ",\"LanguageID\":" << h.LanguageID
      << ",\"SortID\":" << h.SortID << ",\"UserMajorVersion\":" << h.UserMajorVersion
      << ",\"UserMinorVersion\":" << h.UserMinorVersion << ",\"LastBlobSignature\":" << h.LastBlobSignature
      << ",\"EngineVersion\":" << h.EngineVersion << ",\"PhysicalRecordsUsed\":" << f.GetPhysicalRecordsUsed();
  if (blobs != nullptr)
    out << ",\"BlobBlocksUsed\":" << blobs->GetPhysicalBlocksUsed()
        << ",\"BlobFreeBlock\":" << blobs->GetNextFreeBlockNumber();
  out << ",\"Fields\":[";
  for (std::int32_t i = 1; i <= f.GetFieldCount(); ++i) {
    const TFieldDefinition& d = f.GetFieldDefinitionByPos(i);
    if (i > 1) out << ',';
    out << "{\"FieldNumber\":" << d.FieldNumber << ",\"FieldName\":" << JsonString(d.FieldName)
        << ",\"Description\":" << JsonString(d.Description) << ",\"DataType\":" << int(d.DataType)
        << ",\"SubType\":" << int(d.SubType) << ",\"Length\":" << int(d.Length)
        << ",\"Decimals\":" << int(d.Decimals) << ",\"PhysicalSize\":" << int(d.PhysicalSize)
        << ",\"Offset\":" << d.Offset << ",\"Required\":" << (d.Required ? "true" : "false")
        << ",\"CharCase\":" << int(d.CharCase) << ",\"MinimumValue\":" << JsonString(d.MinimumValue)
        << ",\"MaximumValue\":" << JsonString(d.MaximumValue)
        << ",\"DefaultValue\":" << JsonString(d.DefaultValue) << '}';
  }
  out << "],";
  WriteIndexInfoJsonMembers(indexes, out);
  out << "}\n";
}

void Dump(TDataFile& f, TBlobFile* blobs, bool physical, std::ostream& out) {
  const std::int32_t fields = f.GetFieldCount();
  std::string line;
  if (physical) line = "#record,#id,#free";
  for (std::int32_t i = 1; i <= fields; ++i) {
    if (!line.empty() || i > 1) line += ',';
    line += CsvField(f.GetFieldDefinitionByPos(i).FieldName);
  }
  out << line << "\r\n";
  const std::int32_t records = f.GetPhysicalRecordsUsed();
  for (std::int32_t n = 1; n <= records; ++n) {
    TRecord* r = nullptr;
    if (!f.GetRecord(nullptr, n, true, false, true, r)) RaiseError(KORVEL_LOCKTIMEOUT);
    const std::uint8_t* b = r->Buffer();
    bool free = r->GetIsDeleted();
    if (free && !physical) {
      f.PutRecord(r);
      continue;
    }
    line.clear();
    if (physical) {
      line = std::to_string(n) + ',' + std::to_string(r->GetRecordID()) + ',';
      if (free) line += std::to_string(r->GetNextFreeRecord());
    }
    for (std::int32_t i = 1; i <= fields; ++i) {
      const TFieldDefinition& d = f.GetFieldDefinitionByPos(i);
      if (physical || i > 1) line += ',';
      if (free || d.IsExpression) continue;
      if (d.IsAutoInc()) {
        line += std::to_string(r->GetRecordID());
      } else if (b[d.Offset] != 0) {
        line += CsvField(ValueText(d, b + d.Offset + 1, blobs));
      }
    }
    f.PutRecord(r);
    out << line << "\r\n";
  }
}

int Guarded(std::ostream& err, const std::function<void()>& body) {
  try {
    body();
    return kExitOk;
  } catch (const EKORVELEngineError& e) {
    err << e.what() << '\n';
  } catch (const std::exception& e) {
    err << "korvel: " << e.what() << '\n';
  }
  return kExitFailure;
}

}  // namespace

int RunInfoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TInspectArguments a;
  if (!ParseArguments(args, "info", "--json", a.Json, a, err)) return kExitUsage;
  return Guarded(err, [&] {
    TOpenTable table(a);
    std::ostringstream text;  // nothing is printed for a table that fails half-way
    TIndexFileInfo indexes = DescribeTableIndexes(table.File());
    if (a.Json)
      PrintInfoJson(table.File(), table.Blobs(), indexes, text);
    else
      PrintInfoText(table.File(), table.Blobs(), indexes, text);
    if (!table.BlobWarning().empty()) err << "korvel info: warning: " << table.BlobWarning() << '\n';
    if (!indexes.Warning.empty()) err << "korvel info: warning: " << indexes.Warning << '\n';
    out << text.str();
  });
}

int RunDumpCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TInspectArguments a;
  if (!ParseArguments(args, "dump", "--physical", a.Physical, a, err)) return kExitUsage;
  std::string oldVersion;
  int status = Guarded(err, [&] {
    TOpenTable table(a);
    // Records of older versions have other value forms (BLOB and BCD): never show them as if
    // they were current.
    const std::uint8_t version = table.File().GetVersionNum();
    if (version != kDataVersionNum) {
      oldVersion = VersionToStr(version).empty() ? std::to_string(version) : VersionToStr(version);
      RaiseTableError(KORVEL_OLDVERSION, a.Table, a.Directory);
    }
    if (!table.BlobWarning().empty()) err << "korvel dump: warning: " << table.BlobWarning() << '\n';
    Dump(table.File(), table.Blobs(), a.Physical, out);
  });
  if (!oldVersion.empty())
    err << "korvel dump: the table has format version " << oldVersion << "; convert it with: korvel upgrade "
        << a.Directory << ' ' << a.Table << '\n';
  return status;
}

}  // namespace korvel::tool
