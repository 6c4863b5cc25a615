// The korvel command-line tool: inspection and maintenance of KORVEL databases.

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "engine/session.h"
#include "support/errors.h"
#include "tools/commands.h"
#include "tools/inspect_commands.h"
#include "tools/maintenance_commands.h"
#include "tools/record_commands.h"
#include "tools/repair_commands.h"
#include "tools/transfer_commands.h"

namespace korvel::tool {
namespace {

using TCommandFunction = int (*)(const TArguments&, std::ostream&, std::ostream&);

struct TCommand {
  const char* Name;
  TCommandFunction Run;
  const char* Usage;
  const char* Help;
};

constexpr TCommand kCommands[] = {
    {"error", RunErrorCommand, "korvel error CODE | korvel error --all",
     "Prints CODE<TAB>NAME<TAB>MESSAGE for an engine error code (the message with its %s\n"
     "placeholders as they stand). --all prints every code, ascending."},
    {"tables", RunTablesCommand, "korvel tables DIR",
     "Lists the tables of a database folder, one name a line, without extension, sorted\n"
     "without regard to letter case."},
    {"info", RunInfoCommand, "korvel info [--json] [--password P] DIR TABLE",
     "Prints the table header, the field definitions and the BLOB file's block counts;\n"
     "--json prints them as one JSON object. A scrambled table needs its password. The\n"
     "password itself is never printed."},
    {"dump", RunDumpCommand, "korvel dump [--physical] [--password P] DIR TABLE",
     "Prints the live records in record-number order as CSV (RFC 4180) under a header row of\n"
     "field names, values in their ANSI text forms, bytes in hexadecimal, memo BLOBs as text\n"
     "and other BLOBs in hexadecimal, nulls empty. --physical adds the columns #record, #id\n"
     "and #free and lists free records too."},
    {"create", RunCreateCommand, "korvel create DIR TABLE STRUCTURE.json [--overwrite]",
     "Creates a table from a structure JSON file (fields, indexes, properties; see\n"
     "korvel structure for the form). --overwrite replaces a table of that name."},
    {"structure", RunStructureCommand, "korvel structure [--password P] DIR TABLE",
     "Prints the table's structure as the JSON object korvel create reads back."},
    {"insert", RunInsertCommand, "korvel insert [--password P] DIR TABLE FIELD=VALUE...",
     "Appends one record: the fields given take their values (text forms as list prints\n"
     "them; FIELD= sets null), the others their defaults. Prints the new record's ID."},
    {"list", RunListCommand,
     "korvel list DIR TABLE [--index NAME] [--range START END] [--filter EXPR] [--find KEY [--nearest]]\n"
     "              [--reverse] [--offset N] [--limit N] [--fields A,B] [--json]",
     "Lists the records in the order of an index (the primary index, or physical order\n"
     "without one) as CSV under a header row, or one JSON object a line. Keys are CSV\n"
     "lines of the index's key fields; fewer values make a partial key, an empty START or\n"
     "END leaves that end open. --find starts at the key (nothing without --nearest when\n"
     "it is not there). --filter shows only the records for which the expression is true."},
    {"count", RunCountCommand, "korvel count DIR TABLE [--index NAME] [--range START END] [--filter EXPR] [--explain]",
     "Prints the number of records (within the range, passing the filter); --explain adds\n"
     "a line 'optimisation: full', 'partial' or 'none': how far indexes answer the filter."},
    {"search", RunSearchCommand, "korvel search [--password P] DIR TABLE FIELD WORDS [--occurs]",
     "Lists the records whose text-indexed FIELD holds every word of WORDS (one argument;\n"
     "'word*' matches the words beginning with 'word'; stop words match every record),\n"
     "as CSV; --occurs adds a last column #occurs with how often the words occur."},
    {"delete", RunDeleteCommand, "korvel delete DIR TABLE --filter EXPR",
     "Deletes the records for which the filter expression is true; prints how many."},
    {"empty", RunEmptyCommand, "korvel empty [--password P] DIR TABLE",
     "Deletes every record of the table (the table is opened exclusively)."},
    {"drop", RunDropCommand, "korvel drop [--password P] DIR TABLE",
     "Deletes the table's files (.DAT, .IDX and .BLB)."},
    {"rename", RunRenameCommand, "korvel rename [--password P] DIR TABLE NEWNAME",
     "Renames the table's files; a table of the new name is never replaced."},
    {"copy", RunCopyCommand, "korvel copy [--no-indexes] [--progress|--quiet] DIR TABLE DESTDIR DESTTABLE",
     "Copies the table, with its indexes unless --no-indexes, to DESTTABLE in the folder\n"
     "DESTDIR (Memory: the in-memory database), replacing a table of that name. Writers of\n"
     "the source wait until the copy is done, so the copy is one consistent snapshot."},
    {"optimize", RunOptimizeCommand, "korvel optimize [--index NAME] [--no-backup] [--progress|--quiet] DIR TABLE",
     "Rewrites the table in the order of an index (default: the primary index): no free\n"
     "record slots, every index rebuilt, record IDs kept. The old files stay as .DBK, .IBK\n"
     "and .BBK unless --no-backup."},
    {"restructure", RunRestructureCommand,
     "korvel restructure [--backup] [--accept-loss] [--progress|--quiet] DIR TABLE STRUCTURE.json",
     "Gives the table the structure of STRUCTURE.json (as korvel create reads it), keeping\n"
     "its records: fields keep their values by name, converted to their new types. Without\n"
     "--accept-loss, a value or record that cannot be kept leaves the table unchanged (exit 1);\n"
     "with it, each kind of loss is counted on standard error. --backup keeps the old files."},
    {"add-index", RunAddIndexCommand, "korvel add-index [--progress|--quiet] DIR TABLE INDEX.json",
     "Adds one index (one member of a structure's indexes; name \"\" adds the primary\n"
     "index). A unique index over duplicate values is refused with KORVEL_KEYVIOL."},
    {"drop-index", RunDropIndexCommand, "korvel drop-index DIR TABLE NAME",
     "Deletes one index (\"\" names the primary index)."},
    {"verify", RunVerifyCommand, "korvel verify [--password P] [--progress|--quiet] DIR TABLE",
     "Verifies the table (opened exclusively): its headers, every record and BLOB chain and every\n"
     "index key. The log goes to standard output, one line per finding; no byte of the table's\n"
     "files changes. Exit status 0 when the table is healthy, 3 when problems were found."},
    {"repair", RunRepairCommand,
     "korvel repair [--force-index-rebuild] [--password P] [--progress|--quiet] DIR TABLE",
     "Repairs the table (opened exclusively): fixes each problem that can be fixed without losing\n"
     "what the files hold, logs every finding with how it was dealt with, and rebuilds the\n"
     "indexes when they do not match the records (always with --force-index-rebuild). Exit\n"
     "status 0 when the table verifies clean afterwards, 1 otherwise."},
    {"upgrade", RunUpgradeCommand, "korvel upgrade [--password P] [--progress|--quiet] DIR TABLE",
     "Converts a table of an older format version (1.00 to 2.00) to the current one (3.00), then\n"
     "repairs it with every index rebuilt. The old files stay beside the table as .DUP, .IUP and\n"
     ".BUP. A table already at the current version is left alone."},
    {"import", RunImportCommand,
     "korvel import DIR TABLE FILE [--delimiter C] [--headers] [--fields A,B] [--date-format F]\n"
     "              [--time-format F] [--decimal C] [--progress|--quiet]",
     "Appends the records of a delimited text file, one record a line; prints N records\n"
     "imported. Defaults: delimiter ',', no header line, all fields in order, dates\n"
     "yyyy-mm-dd, times hh:nn:ss.zzz, decimal '.', bytes in hexadecimal, memos as text, other\n"
     "BLOBs in hexadecimal, an empty field NULL. An auto-increment column's values become the\n"
     "records' IDs (an empty one takes the next free ID; skip the column with an empty name in\n"
     "--fields, e.g. ,Name, for new IDs). With --headers the first line's field names choose\n"
     "the fields. A failing line stops the import (with its line number for a value that does\n"
     "not read); the lines before it stay imported."},
    {"export", RunExportCommand,
     "korvel export DIR TABLE FILE [same options as import] [--index NAME] [--filter EXPR]",
     "Writes the visible records (in the order of an index, those a filter selects) as\n"
     "delimited text with the same defaults (strings and memos in double quotes, embedded\n"
     "quotes doubled, NULL as an empty field), so that import reads back every value.\n"
     "An existing FILE is replaced."},
    {"backup", RunBackupCommand, "korvel backup DIR TABLE FILE [--progress|--quiet]",
     "Writes the table's files (the table opened exclusively) as one image file."},
    {"restore", RunRestoreCommand, "korvel restore DIR TABLE FILE [--progress|--quiet]",
     "Replaces the table (opened exclusively) by an image file written by backup; creates the\n"
     "table's files when the table does not exist. An image of another table's structure, or\n"
     "a damaged one, is refused and the table stays as it was."},
    {"sql", RunSqlCommand, "korvel sql DIR --check [SCRIPT] [-c SQL]",
     "Parses each statement of SCRIPT (a file, - or nothing for standard input) or of -c\n"
     "without executing it (syntax only: tables and columns are not looked up) and prints\n"
     "its kind, one line per statement (SELECT, INSERT, CREATE TABLE, ...). The first\n"
     "statement that fails prints the engine's error and the command exits with status 1."},
    {"demo", RunDemoCommand, "korvel demo DIR",
     "Writes a small sample table, customers, into a folder (replacing one of that name)."},
};

const TCommand* FindCommand(const std::string& name) {
  for (const TCommand& c : kCommands)
    if (name == c.Name) return &c;
  return nullptr;
}

void PrintUsage(std::ostream& out) {
  out << "usage: korvel COMMAND [ARGUMENTS]\n\n"
         "commands:\n";
  for (const TCommand& c : kCommands) out << "  " << c.Usage << '\n';
  out << "  korvel --version\n"
         "  korvel help COMMAND\n";
}

int PrintHelp(const TArguments& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    PrintUsage(out);
    return kExitOk;
  }
  const TCommand* command = FindCommand(args[0]);
  if (command == nullptr) {
    err << "korvel: unknown command '" << args[0] << "'\n";
    return kExitUsage;
  }
  out << "usage: " << command->Usage << "\n\n" << command->Help << '\n';
  return kExitOk;
}

int Run(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(std::cerr);
    return kExitUsage;
  }
  std::string name = argv[1];
  TArguments args(argv + 2, argv + argc);
  if (name == "--version") {
    std::cout << "korvel " << KORVEL_VERSION_TEXT << " (engine 3.19)\n";
    return kExitOk;
  }
  if (name == "--help" || name == "-h") return PrintHelp({}, std::cout, std::cerr);
  if (name == "help") return PrintHelp(args, std::cout, std::cerr);
  const TCommand* command = FindCommand(name);
  if (command == nullptr) {
    std::cerr << "korvel: unknown command '" << name << "' (korvel --help lists the commands)\n";
    return kExitUsage;
  }
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--help" || a == "-h") return PrintHelp({name}, std::cout, std::cerr);
  }
  try {
    return command->Run(args, std::cout, std::cerr);
  } catch (const EKORVELEngineError& e) {
    std::cerr << e.what() << '\n';
  } catch (const std::exception& e) {
    std::cerr << "korvel: " << e.what() << '\n';
  }
  return kExitFailure;
}

}  // namespace
}  // namespace korvel::tool

int main(int argc, char** argv) { return korvel::tool::Run(argc, argv); }
