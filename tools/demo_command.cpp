// korvel demo DIR: writes a small sample table through a session, its data directory and the
// shared table, so that the other commands have something to show.

#include <cstring>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "engine/data_table.h"
#include "engine/index_file.h"
#include "engine/session.h"
#include "framework/date_time.h"
#include "platform/posix_file.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/path_helpers.h"
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

TFieldDefinition Field(const char* name, std::uint8_t type, std::uint8_t length = 0, std::uint8_t subType = stNone) {
  TFieldDefinition f;
  f.FieldName = name;
  f.DataType = type;
  f.Length = length;
  f.SubType = subType;
  return f;
}

void PutValue(TRecord& record, const TFieldDefinition& field, const void* value, std::size_t size) {
  record.Buffer()[field.Offset] = 1;
  std::memcpy(record.Buffer() + field.Offset + 1, value, size);
  record.Modified = true;
}

// Writes one record of the demo table; its notes go to the BLOB file.
void AppendCustomer(TDataTable& table, const TCustomer& c) {
  TRecord* r = nullptr;
  table.GetNextFreeRecord(nullptr, r);
  r->Initialize(true);
  TDataFile& data = *table.DataFile;
  PutValue(*r, data.GetFieldDefinitionByPos(2), c.Name, std::strlen(c.Name) + 1);
  PutValue(*r, data.GetFieldDefinitionByPos(3), c.City, std::strlen(c.City) + 1);
  std::int32_t day = DateTimeToDayNumber(EncodeDate(c.Year, c.Month, c.Day));
  PutValue(*r, data.GetFieldDefinitionByPos(4), &day, 4);
  PutValue(*r, data.GetFieldDefinitionByPos(5), &c.Balance, 8);
  if (*c.Notes != '\0') {
    TBlobBuffer notes(table.BlobFile.get(), nullptr);
    notes.SetSize(std::strlen(c.Notes));
    std::memcpy(notes.GetBuffer().data(), c.Notes, notes.Size());
    notes.BlobSignature = table.GetNextFreeBlobSignature();
    notes.Write();
    unsigned char reference[8];
    PutI32(reference, 0, notes.FirstBlockNumber);
    PutI32(reference, 4, notes.BlobSignature);
    PutValue(*r, data.GetFieldDefinitionByPos(6), reference, 8);
  }
  table.PutRecord(r);
  table.IncActualRecordCount();
}

// A customer leaves: the notes go back to the BLOB file's free blocks, the record onto the free
// chain.
void DeleteCustomer(TDataTable& table, std::int32_t recordNumber) {
  TRecord* gone = nullptr;
  table.GetRecord(nullptr, recordNumber, false, false, true, gone);
  const TFieldDefinition& notes = table.DataFile->GetFieldDefinitionByPos(6);
  std::int32_t firstBlock = GetI32(gone->Buffer(), notes.Offset + 1);
  table.BlobFile->FreeBlobBlocks(nullptr, firstBlock, false, recordNumber, GetI32(gone->Buffer(), notes.Offset + 5));
  table.SetNextFreeRecord(gone);
  table.PutRecord(gone);
  table.DecActualRecordCount();
}

// Creates the table through a session and its data directory, then writes it under the table's
// write lock, as any process sharing the folder would.
void WriteDemoTable(const std::string& folder) {
  TDataSession session(false);
  TDataDirectory* directory = session.OpenDataDirectory("demo", folder);
  if (directory->DataTableExists("customers", false)) {
    int result = directory->DeleteDataTable("customers", false);
    if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", folder, "customers");
  }
  TTableStructure structure;
  structure.Fields = {Field("ID", dtInteger, 0, stAutoInc), Field("Name", dtString, 30), Field("City", dtString, 20),
                      Field("Joined", dtDate), Field("Balance", dtFloat), Field("Notes", dtBlob, 0, stMemo)};
  structure.UserMajorVersion = 1;
  structure.Description = "Demo customers";
  TDataTable* created = nullptr;
  int result = directory->CreateDataTable("customers", structure, false, false, created);
  if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", folder, "customers");
  TDataTable* table = nullptr;
  result = directory->OpenDataTable("customers", table, true, false, false, false, false, false, false);
  if (result < 0) RaiseError(static_cast<TErrorCode>(-result), "", "", folder, "customers");
  table->WriteLockTable();
  try {
    for (const TCustomer& c : kCustomers) AppendCustomer(*table, c);
    DeleteCustomer(*table, 4);
    table->FlushBuffers(false, true, false, true, true);
  } catch (...) {
    table->WriteUnlockTable();
    throw;
  }
  table->WriteUnlockTable();
  directory->CloseDataTable(table, false, false, false);
  session.CloseDataDirectory(directory);
}

}  // namespace

int RunDemoCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 1) {
    err << "korvel demo: expected one folder\n";
    return kExitUsage;
  }
  platform::TFileStatus status;
  if (!platform::StatPath(platform::NormalizeSeparators(args[0]), status) || !status.IsDirectory) {
    err << "korvel demo: folder '" << args[0] << "' does not exist\n";
    return kExitFailure;
  }
  WriteDemoTable(platform::NormalizeSeparators(args[0]));
  out << "wrote the table customers (5 records, one deleted, memo notes) in " << args[0] << '\n';
  return kExitOk;
}

}  // namespace korvel::tool
