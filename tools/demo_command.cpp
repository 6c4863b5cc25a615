// korvel demo DIR: writes a small sample table through a session, its data directory and the
// shared table, so that the other commands have something to show.

#include <cstring>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "engine/data_cursor.h"
#include "engine/data_file.h"
#include "engine/data_table.h"
#include "engine/index_file.h"
#include "engine/session.h"
#include "framework/date_time.h"
#include "platform/posix_file.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/path_helpers.h"
#include "tools/cli_parsing.h"
#include "tools/commands.h"

namespace korvel::tool {

namespace {

struct TCustomer {
  const char* Name;
  const char* City;
  int Year, Month, Day;
  double Balance;
  const char* Notes;
};

constexpr TCustomer kCustomers[] = {
    {"Ada Lovelace", "London", 2021, 3, 14, 1250.5, "Prefers letters to calls."},
    {"Alan Turing", "Manchester", 2022, 6, 23, 0, ""},
    {"Grace Hopper", "Arlington", 2020, 12, 9, 310.25, "Asked for a \"debugged\" invoice,\nwith details."},
    {"Edsger Dijkstra", "Eindhoven", 2023, 5, 11, 42, "Moved away; record kept for history."},
    {"Barbara Liskov", "Boston", 2024, 11, 7, 980, "Substitutes freely."},
};

// Appends one customer through a cursor; the notes go to the BLOB file.
void AppendCustomer(TDataCursor& cursor, const TCustomer& c) {
  std::vector<std::uint8_t> record(static_cast<std::size_t>(cursor.GetRecordSize()));
  cursor.InitRecord(record.data());
  cursor.PutField(2, record.data(), c.Name);
  cursor.PutField(3, record.data(), c.City);
  std::int32_t day = DateTimeToDayNumber(EncodeDate(c.Year, c.Month, c.Day));
  cursor.PutField(4, record.data(), &day);
  cursor.PutField(5, record.data(), &c.Balance);
  if (*c.Notes != '\0') {
    std::int64_t size = 0;
    int code = cursor.OpenBlob(6, record.data(), TBlobBuffer::omReadWrite, false, true, size);
    if (code == 0) code = cursor.PutBlob(6, record.data(), false, static_cast<std::int64_t>(std::strlen(c.Notes)), c.Notes, 0);
    if (code != 0) RaiseError(static_cast<TErrorCode>(code), "", "", "", "customers", "Notes");
  }
  cursor.AppendRecord(record.data(), false);
}

// Creates the table through a session and its data directory, then fills it through a cursor,
// as any process sharing the folder would; one customer leaves again.
void WriteDemoTable(const std::string& folder) {
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("demo", folder);
  if (directory->DataTableExists("customers", false)) {
    int result = directory->DeleteDataTable("customers", false);
    if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", folder, "customers");
  }
  TTableStructure structure;
  structure.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 30), MakeField("City", dtString, 20),
                      MakeField("Joined", dtDate), MakeField("Balance", dtFloat), MakeField("Notes", dtBlob, 0, stMemo)};
  structure.UserMajorVersion = 1;
  structure.Description = "Demo customers";
  TDataTable* created = nullptr;
  int result = directory->CreateDataTable("customers", structure, false, false, created);
  if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", folder, "customers");
  TDataCursor cursor(directory);
  cursor.SetTableName("customers");
  cursor.OpenCursor();
  for (const TCustomer& c : kCustomers) AppendCustomer(cursor, c);
  // Physical order: the fourth record goes.
  cursor.SetToBegin();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(cursor.GetRecordSize()));
  for (int i = 0; i < 4; ++i) cursor.GetNextRecord(record.data());
  cursor.DeleteRecord(record.data(), false);
  cursor.CloseCursor();
  session.CloseDataDirectory(directory);
}

}  // namespace

int RunDemoCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  CLI::App app{"writes a small sample table, customers", "korvel demo"};
  std::string folder;
  app.add_option("DIR", folder)->required();
  return RunParsed(app, args, out, err, [&] {
    platform::TFileStatus status;
    if (!platform::StatPath(platform::NormalizeSeparators(folder), status) || !status.IsDirectory) {
      err << "korvel demo: folder '" << folder << "' does not exist\n";
      return kExitFailure;
    }
    WriteDemoTable(platform::NormalizeSeparators(folder));
    out << "wrote the table customers (5 records, one deleted, memo notes) in " << folder << '\n';
    return kExitOk;
  });
}

}  // namespace korvel::tool
