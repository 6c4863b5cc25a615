// korvel empty, drop, rename, copy, optimize, restructure, add-index and drop-index: table maintenance
// through the engine, the table opened exclusively (copy reads it under its read lock).

#include "tools/maintenance_commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "engine/data_cursor.h"
#include "engine/session.h"
#include "engine/table_maintenance.h"
#include "tools/cli_parsing.h"
#include "tools/progress_display.h"
#include "tools/record_commands.h"
#include "tools/tool_table.h"
#include "support/path_helpers.h"

namespace korvel::tool {

namespace {

// A closed cursor on one table, asking for an exclusive open; another user of the table makes
// the command fail, never wait long.
class TMaintenanceCursor : public TToolTable {
 public:
  TMaintenanceCursor(const std::string& folder, const std::string& table, const std::string& password,
                     bool exclusive = true)
      : TToolTable(folder, table, password, {.Exclusive = exclusive, .ShortLockWait = true, .Open = false}) {}
};

bool ReadFile(const std::string& name, std::string& text) {
  std::ifstream in(name);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

}  // namespace

int RunEmptyCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, password;
  CLI::App app{"deletes every record of a table", "korvel empty"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("--password", password, "password of a scrambled table");
  return RunParsed(app, args, out, err, [&] {
    TMaintenanceCursor c(folder, table, password);
    c->OpenCursor();
    TTableMaintenance(*c).EmptyTable();
    out << "emptied the table " << table << '\n';
    return kExitOk;
  });
}

int RunDropCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, password;
  CLI::App app{"deletes a table's files", "korvel drop"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("--password", password, "password of a scrambled table");
  return RunParsed(app, args, out, err, [&] {
    TMaintenanceCursor c(folder, table, password);
    TTableMaintenance(*c).DeleteTable();
    out << "dropped the table " << table << '\n';
    return kExitOk;
  });
}

int RunRenameCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, newName, password;
  CLI::App app{"renames a table's files", "korvel rename"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("NEWNAME", newName)->required();
  app.add_option("--password", password, "password of a scrambled table");
  return RunParsed(app, args, out, err, [&] {
    TMaintenanceCursor c(folder, table, password);
    TTableMaintenance(*c).RenameTable(newName);
    out << "renamed the table " << table << " to " << newName << '\n';
    return kExitOk;
  });
}

int RunCopyCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, destFolder, destTable, password;
  bool noIndexes = false;
  TProgressOptions progress;
  CLI::App app{"copies a table, a consistent snapshot under its read lock", "korvel copy"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("DESTDIR", destFolder)->required();
  app.add_option("DESTTABLE", destTable)->required();
  app.add_flag("--no-indexes", noIndexes, "copy the records without the indexes");
  app.add_option("--password", password, "password of a scrambled table");
  AddProgressOptions(app, progress);
  return RunParsed(app, args, out, err, [&] {
    TMaintenanceCursor c(folder, table, password, false);
    c->SetReadOnly(true);
    c->OpenCursor();
    TTableMaintenance m(*c);
    m.CopyProgress = MakePercentDisplay(progress, err);
    m.CopyTable(destFolder, destTable, !noIndexes);
    out << "copied " << c->GetRecordCount() << " records to " << destTable << '\n';
    return kExitOk;
  });
}

int RunOptimizeCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, index, password;
  bool noBackup = false;
  TProgressOptions progress;
  CLI::App app{"rewrites a table in index order, without free slots", "korvel optimize"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("--index", index, "the index whose order the records take (default: primary)");
  app.add_flag("--no-backup", noBackup, "keep no backup files (.DBK, .IBK, .BBK)");
  app.add_option("--password", password, "password of a scrambled table");
  AddProgressOptions(app, progress);
  return RunParsed(app, args, out, err, [&] {
    TMaintenanceCursor c(folder, table, password);
    TTableMaintenance m(*c);
    m.OptimizeProgress = MakePercentDisplay(progress, err);
    m.OptimizeTable(index, noBackup);
    out << "optimized the table " << table << '\n';
    return kExitOk;
  });
}

namespace {

const char* CauseText(TDataLossCause cause) {
  switch (cause) {
    case dlKeyViolation: return "key violation in index";
    case dlValidityCheckFail: return "validity check failed for field";
    case dlFieldDeletion: return "values of the deleted field";
    case dlFieldConversion: return "value not converted into field";
    default: return "record not written";
  }
}

// The new structure's fields take the values of the old fields of the same name: they get
// those fields' numbers (a new name gets a number after the old ones), and the key field lists,
// which the JSON reader gives as positions, follow.
void NumberFieldsByName(TTableStructure& s, const std::vector<TFieldDefinition>& old) {
  std::vector<std::uint16_t> numbers;
  std::uint16_t next = static_cast<std::uint16_t>(old.size());
  for (const TFieldDefinition& f : s.Fields) {
    std::uint16_t number = 0;
    for (const TFieldDefinition& o : old)
      if (SameName(TrimString(o.FieldName), TrimString(f.FieldName))) number = o.FieldNumber;
    numbers.push_back(number != 0 ? number : ++next);
  }
  auto translate = [&](TIndexDefinition& d) {
    for (int k = 0; k < d.KeyFieldCount; ++k)
      if (d.KeyFields[k] >= 1 && d.KeyFields[k] <= numbers.size()) d.KeyFields[k] = numbers[d.KeyFields[k] - 1];
  };
  translate(s.PrimaryIndex);
  for (TIndexDefinition& d : s.SecondaryIndexes) translate(d);
  translate(s.TextIndex);
  for (std::size_t i = 0; i < s.Fields.size(); ++i) s.Fields[i].FieldNumber = numbers[i];
}

}  // namespace

int RunRestructureCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, file, password;
  bool backup = false, acceptLoss = false;
  TProgressOptions progress;
  CLI::App app{"changes a table's fields, indexes and properties, keeping its records", "korvel restructure"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("STRUCTURE", file, "structure JSON file, as korvel create takes it")->required();
  app.add_flag("--backup", backup, "keep the old files as .DBK, .IBK and .BBK");
  app.add_flag("--accept-loss", acceptLoss,
               "go on when values or records cannot be kept (each kind is counted on standard error)");
  app.add_option("--password", password, "password of a scrambled table");
  AddProgressOptions(app, progress);
  return RunParsed(app, args, out, err, [&] {
    std::string text;
    if (!ReadFile(file, text)) {
      err << "korvel restructure: cannot read '" << file << "'\n";
      return kExitFailure;
    }
    TTableStructure structure;
    try {
      structure = ParseStructureJson(text);
    } catch (const std::exception& e) {
      err << "korvel restructure: " << file << ": " << e.what() << '\n';
      return kExitFailure;
    }
    TMaintenanceCursor c(folder, table, password);
    std::vector<TFieldDefinition> old;
    c->OpenCursor();
    for (std::int32_t i = 1; i <= c->GetFieldCount(); ++i) old.push_back(c->GetFieldDefinition(i));
    c->CloseCursor();
    NumberFieldsByName(structure, old);
    TTableMaintenance m(*c);
    m.RestructureProgress = MakePercentDisplay(progress, err);
    // Each kind of loss (cause and field or index) is counted; without --accept-loss the first
    // one stops the restructure and the table stays as it was.
    std::vector<std::pair<std::string, long>> losses;
    m.DataLost = [&](TDataLossCause cause, const std::string& context, bool&, bool& continueWork) {
      const std::string what = std::string(CauseText(cause)) + " " + context;
      auto found = std::find_if(losses.begin(), losses.end(), [&](const auto& l) { return l.first == what; });
      if (found == losses.end()) losses.push_back({what, 1});
      else ++found->second;
      continueWork = acceptLoss;
    };
    const bool done = m.RestructureTable(structure, backup);
    if (!done) {
      err << "korvel restructure: the table " << table << " is unchanged: " << losses.front().first
          << " (--accept-loss goes on regardless)\n";
      return kExitFailure;
    }
    for (const auto& [what, count] : losses) err << count << " x " << what << '\n';
    out << "restructured the table " << table << '\n';
    return kExitOk;
  });
}

int RunAddIndexCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, file, password;
  TProgressOptions progress;
  CLI::App app{"adds one index from a JSON file (name \"\" adds the primary index)", "korvel add-index"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("INDEX", file, "index JSON file: one member of a structure's indexes")->required();
  app.add_option("--password", password, "password of a scrambled table");
  AddProgressOptions(app, progress);
  return RunParsed(app, args, out, err, [&] {
    std::string text;
    if (!ReadFile(file, text)) {
      err << "korvel add-index: cannot read '" << file << "'\n";
      return kExitFailure;
    }
    TMaintenanceCursor c(folder, table, password);
    c->OpenCursor();
    std::vector<TFieldDefinition> fields;
    for (std::int32_t i = 1; i <= c->GetFieldCount(); ++i) fields.push_back(c->GetFieldDefinition(i));
    TIndexDefinition definition;
    try {
      definition = ParseIndexJson(text, fields);
    } catch (const std::exception& e) {
      err << "korvel add-index: " << file << ": " << e.what() << '\n';
      return kExitFailure;
    }
    TTableMaintenance m(*c);
    m.IndexProgress = MakePercentDisplay(progress, err);
    if (definition.IndexName.empty())
      m.AddPrimaryIndex(definition);
    else
      m.AddSecondaryIndex(definition);
    out << "added the index " << (definition.IndexName.empty() ? "(primary)" : definition.IndexName) << '\n';
    return kExitOk;
  });
}

int RunDropIndexCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, name, password;
  CLI::App app{"deletes one index (\"\" names the primary index)", "korvel drop-index"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("NAME", name)->required();
  app.add_option("--password", password, "password of a scrambled table");
  return RunParsed(app, args, out, err, [&] {
    TMaintenanceCursor c(folder, table, password);
    c->OpenCursor();
    TTableMaintenance(*c).DeleteIndex(name);
    out << "dropped the index " << (name.empty() ? "(primary)" : name) << '\n';
    return kExitOk;
  });
}

}  // namespace korvel::tool
