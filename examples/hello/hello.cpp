// A small application of the KORVEL runtime library: creates a table of greetings in the folder
// given on the command line, appends a few records through a cursor, and lists them in the
// order of a secondary index on the language.
//
//   hello FOLDER
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "support/errors.h"
#include "support/key_encoding.h"

using namespace korvel;

namespace {

// An index over fields (numbered from 1); a non-unique key ends in the 4-byte record ID.
TIndexDefinition Index(const char* name, const std::vector<TFieldDefinition>& fields, std::vector<int> keyFields,
                       bool unique) {
  TIndexDefinition d;
  d.IndexName = name;
  d.Unique = unique;
  d.KeyFieldCount = static_cast<std::uint8_t>(keyFields.size());
  std::size_t size = unique ? 0 : 4;
  for (std::size_t i = 0; i < keyFields.size(); ++i) {
    d.KeyFields[i] = static_cast<std::uint16_t>(keyFields[i]);
    const TFieldDefinition& f = fields[static_cast<std::size_t>(keyFields[i] - 1)];
    size += 1 + IndexedSize(f.DataType, PhysicalSizeOf(f.DataType, f.Length));
  }
  d.KeySize = static_cast<std::uint16_t>(size);
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hello FOLDER\n");
    return 2;
  }
  try {
    TDataSession session(false);
    TDataDirectory* folder = session.OpenDataDirectory("hello", argv[1]);

    TTableStructure structure;
    structure.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Language", dtString, 20),
                        MakeField("Greeting", dtString, 40)};
    structure.PrimaryIndex = Index("", structure.Fields, {1}, true);
    structure.SecondaryIndexes = {Index("ByLanguage", structure.Fields, {2}, false)};
    TDataTable* created = nullptr;
    if (int result = folder->CreateDataTable("greetings", structure, false, false, created); result < 0)
      RaiseError(static_cast<TErrorCode>(-result));

    TDataCursor cursor(folder);
    cursor.SetTableName("greetings");
    cursor.OpenCursor();
    std::vector<std::uint8_t> record(static_cast<std::size_t>(cursor.GetRecordSize()));
    const char* rows[][2] = {{"English", "Hello, world"}, {"German", "Hallo, Welt"},
                             {"French", "Bonjour le monde"}, {"Dutch", "Hallo wereld"}};
    for (const auto& row : rows) {
      cursor.InitRecord(record.data());
      cursor.PutField(2, record.data(), row[0]);
      cursor.PutField(3, record.data(), row[1]);
      cursor.AppendRecord(record.data());
    }

    cursor.SetIndexName("ByLanguage");
    std::printf("%d greetings by language:\n", static_cast<int>(cursor.GetRecordCount()));
    cursor.SetToBegin();
    while (cursor.GetNextRecord(record.data()) == 0) {
      std::int32_t id = 0;
      char language[21] = {}, greeting[41] = {};
      cursor.GetField(1, record.data(), &id);
      cursor.GetField(2, record.data(), language);
      cursor.GetField(3, record.data(), greeting);
      std::printf("%d %s: %s\n", static_cast<int>(id), language, greeting);
    }
    cursor.CloseCursor();
  } catch (const EKORVELEngineError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
