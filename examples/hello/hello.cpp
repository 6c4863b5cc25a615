// Creates a table in the folder given on the command line and lists the tables there.
#include <cstdio>

#include "engine/data_table.h"
#include "engine/session.h"
#include "framework/string_list.h"

int main(int argc, char** argv) {
  using namespace korvel;
  if (argc != 2) return 2;
  TDataSession session(false);
  TDataDirectory* dir = session.OpenDataDirectory("hello", argv[1]);
  TTableStructure s;
  TFieldDefinition f;
  f.FieldName = "Name";
  f.DataType = dtString;
  f.Length = 20;
  s.Fields.push_back(f);
  TDataTable* table = nullptr;
  if (dir->CreateDataTable("greetings", s, false, false, table) != 0) return 1;
  TStringList names;
  dir->ListTableNames(names);
  for (std::size_t i = 0; i < names.Count(); ++i) std::printf("%s\n", names[i].c_str());
  return 0;
}
