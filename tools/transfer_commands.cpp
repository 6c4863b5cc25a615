#include "tools/transfer_commands.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

#include "engine/data_cursor.h"
#include "engine/data_file.h"
#include "engine/session.h"
#include "engine/table_image.h"
#include "engine/table_transfer.h"
#include "support/byte_order.h"
#include "support/files.h"
#include "tools/cli_parsing.h"
#include "tools/progress_display.h"
#include "tools/tool_table.h"

namespace korvel::tool {

namespace {

[[noreturn]] void Invalid(const std::string& what) { throw CLI::ValidationError(what); }

// One session, one database and one open cursor for the length of a command.
// Another user of the table makes backup and restore (exclusive) fail, never wait long.
class TTransferCursor : public TToolTable {
 public:
  TTransferCursor(const std::string& folder, const std::string& table, const std::string& password, bool readOnly,
                  bool exclusive = false)
      : TToolTable(folder, table, password, {.ReadOnly = readOnly, .Exclusive = exclusive, .ShortLockWait = exclusive}) {}
};

struct TTextOptions {
  std::string Folder, Table, File, Password, Fields, Index, Filter, Delimiter = ",", Decimal = ".";
  std::string DateFormat = kDefaultTransferDateFormat, TimeFormat = kDefaultTransferTimeFormat;
  bool Headers = false;
  TProgressOptions Progress;
};

void AddTextOptions(CLI::App& app, TTextOptions& o) {
  app.add_option("DIR", o.Folder)->required();
  app.add_option("TABLE", o.Table)->required();
  app.add_option("FILE", o.File)->required();
  app.add_option("--password", o.Password, "password of a scrambled table");
  app.add_option("--delimiter", o.Delimiter, "field delimiter, one character (\\t for a tab)");
  app.add_flag("--headers", o.Headers, "a first line of field names");
  app.add_option("--fields", o.Fields, "fields in column order, A,B,... (all fields when absent)");
  app.add_option("--date-format", o.DateFormat, "date format (format letters, e.g. yyyy-mm-dd)");
  app.add_option("--time-format", o.TimeFormat, "time format (format letters, e.g. hh:nn:ss.zzz)");
  app.add_option("--decimal", o.Decimal, "decimal separator of floats and BCD values");
  AddProgressOptions(app, o.Progress);
}

char OneCharacter(const std::string& text, const char* what) {
  if (text == "\\t" || text == "tab") return '\t';
  if (text.size() != 1) Invalid(std::string(what) + " must be one character");
  return text[0];
}

TTransferFormat FormatOf(const TTextOptions& o) {
  TTransferFormat f;
  f.Delimiter = OneCharacter(o.Delimiter, "--delimiter");
  // These would be read as part of a value, a quote or a line end.
  if (std::string_view("\"' \r\n").find(f.Delimiter) != std::string_view::npos || f.Delimiter == '\0')
    Invalid("--delimiter cannot be a quote, a blank or a line end");
  f.DecimalSeparator = OneCharacter(o.Decimal, "--decimal");
  f.DateFormat = o.DateFormat;
  f.TimeFormat = o.TimeFormat;
  f.Headers = o.Headers;
  // Memos as text and other BLOBs in hexadecimal, like every other value the tool writes.
  f.Blobs = true;
  // An empty field is NULL, as export writes it, not the field's default.
  f.EmptyIsNull = true;
  // IDs come back as they were exported; leave the column out (--fields) for new ones.
  f.KeepAutoIncValues = true;
  return f;
}

// The field numbers of --fields, or every field. A name may be left empty on import to skip
// that column.
std::vector<std::int32_t> FieldsOf(TDataCursor& c, const TTextOptions& o, bool allowSkip) {
  std::vector<std::int32_t> fields;
  if (o.Fields.empty()) {
    for (std::int32_t i = 1; i <= c.GetFieldCount(); ++i) fields.push_back(i);
    return fields;
  }
  for (const std::string& name : SplitCsvLine(o.Fields)) {
    if (name.empty() && allowSkip) {
      fields.push_back(0);
      continue;
    }
    std::int32_t number = c.GetFieldNumber(name);
    if (number == 0) RaiseError(KORVEL_OUTOFRANGE, "", "", o.Folder, o.Table, name);
    fields.push_back(number);
  }
  return fields;
}

}  // namespace

int RunImportCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TTextOptions o;
  CLI::App app{"appends the records of a delimited text file", "korvel import"};
  AddTextOptions(app, o);
  return RunParsed(app, args, out, err, [&] {
    TTransferFormat format = FormatOf(o);
    TTransferCursor c(o.Folder, o.Table, o.Password, false);
    // With --headers and no --fields the header line chooses the fields.
    std::vector<std::int32_t> fields = o.Headers && o.Fields.empty() ? std::vector<std::int32_t>{} : FieldsOf(*c, o, true);
    std::int64_t n = ImportTable(*c, o.File, format, fields, MakePercentDisplay(o.Progress, err));
    out << n << " records imported\n";
    return kExitOk;
  });
}

int RunExportCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TTextOptions o;
  CLI::App app{"writes the visible records as delimited text", "korvel export"};
  AddTextOptions(app, o);
  app.add_option("--index", o.Index, "index whose order the records follow (the primary index when absent)");
  app.add_option("--filter", o.Filter, "filter expression: only the records for which it is true");
  return RunParsed(app, args, out, err, [&] {
    TTransferFormat format = FormatOf(o);
    TTransferCursor c(o.Folder, o.Table, o.Password, true);
    if (!o.Index.empty() || c->GetIsPhysicalNavigation()) c->SetIndexName(o.Index);
    if (!o.Filter.empty()) {
      TFilterOptions options;
      options.Cost = true;
      c->ActivateFilter(c->AddFilter(nullptr, o.Filter, nullptr, options));
    }
    std::int64_t n = ExportTable(*c, o.File, format, FieldsOf(*c, o, false), MakePercentDisplay(o.Progress, err));
    out << n << " records exported\n";
    return kExitOk;
  });
}

// ---------------------------------------------------------------------------------------------
// Backup and restore through the table image

namespace {

struct TImageOptions {
  std::string Folder, Table, File, Password;
  TProgressOptions Progress;
};

void AddImageOptions(CLI::App& app, TImageOptions& o) {
  app.add_option("DIR", o.Folder)->required();
  app.add_option("TABLE", o.Table)->required();
  app.add_option("FILE", o.File)->required();
  app.add_option("--password", o.Password, "password of a scrambled table");
  AddProgressOptions(app, o.Progress);
}

std::vector<std::uint8_t> ReadImageFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) RaiseError(KORVEL_OSENOENT, "", "", "", name);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WritePlainFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) RaiseError(KORVEL_WRITEERR, "", "", "", name);
}

// Creates a table's files from an image: the table did not exist. The image is taken apart by
// its sizes, and the new table must open (its own header checks), else its files go again.
void CreateFromImage(const TImageOptions& o, const std::vector<std::uint8_t>& image) {
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("tool", o.Folder);
  const std::int64_t size = static_cast<std::int64_t>(image.size());
  auto bad = [&] { RaiseError(KORVEL_HEADERCORRUPT, "", "", o.Folder, o.Table); };
  if (size < 8) bad();
  const std::int64_t d = GetI32(image.data(), 0);
  if (d < static_cast<std::int64_t>(kDataHeaderSize) || d > size - 8) bad();
  const std::int64_t i = GetI32(image.data(), static_cast<std::size_t>(4 + d));
  if (i < 0 || i > size - 8 - d) bad();
  const bool blob = GetU16(image.data() + 4, TDataHeader::kBlobFieldCount) != 0;
  std::int64_t b = 0;
  if (blob) {
    if (size < 12 + d + i) bad();
    b = GetI32(image.data(), static_cast<std::size_t>(8 + d + i));
    if (b < 0 || b != size - 12 - d - i) bad();
  } else if (size != 8 + d + i) {
    bad();
  }
  const std::string dat = directory->GetTableFileName(o.Table, kDataFileExt);
  const std::string idx = directory->GetTableFileName(o.Table, kIndexFileExt);
  const std::string blb = directory->GetTableFileName(o.Table, kBlobFileExt);
  try {
    WritePlainFile(dat, image.data() + 4, static_cast<std::size_t>(d));
    WritePlainFile(idx, image.data() + 8 + d, static_cast<std::size_t>(i));
    if (blob) WritePlainFile(blb, image.data() + 12 + d + i, static_cast<std::size_t>(b));
    TTransferCursor check(o.Folder, o.Table, o.Password, true);
    check->GetRecordCount();
  } catch (...) {
    std::remove(dat.c_str());
    std::remove(idx.c_str());
    if (blob) std::remove(blb.c_str());
    throw;
  }
}

}  // namespace

int RunBackupCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TImageOptions o;
  CLI::App app{"writes the table's files as one image file", "korvel backup"};
  AddImageOptions(app, o);
  return RunParsed(app, args, out, err, [&] {
    TTransferCursor c(o.Folder, o.Table, o.Password, true, true);
    TTableImage image(*c);
    image.BeginBufferLoad();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(image.GetBufferSize()));
    image.LoadFromBuffer(bytes.data(), 0, image.GetBufferSize());
    image.EndBufferLoad();
    WritePlainFile(o.File, bytes.data(), bytes.size());
    if (auto progress = MakePercentDisplay(o.Progress, err)) progress(100);
    out << bytes.size() << " bytes written\n";
    return kExitOk;
  });
}

int RunRestoreCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TImageOptions o;
  CLI::App app{"replaces the table by an image file (creating it when it does not exist)", "korvel restore"};
  AddImageOptions(app, o);
  return RunParsed(app, args, out, err, [&] {
    std::vector<std::uint8_t> bytes = ReadImageFile(o.File);
    bool exists;
    {
      TDataSession session(false);
      exists = session.OpenDataDirectory("tool", o.Folder)->DataTableExists(o.Table, false);
    }
    if (!exists) {
      CreateFromImage(o, bytes);
    } else {
      TTransferCursor c(o.Folder, o.Table, o.Password, false, true);
      TTableImage image(*c);
      image.BeginBufferSave();
      image.SaveToBuffer(bytes.data(), 0, static_cast<std::int64_t>(bytes.size()));
      image.EndBufferSave();
    }
    if (auto progress = MakePercentDisplay(o.Progress, err)) progress(100);
    TTransferCursor c(o.Folder, o.Table, o.Password, true);
    out << c->GetRecordCount() << " records restored\n";
    return kExitOk;
  });
}

}  // namespace korvel::tool
