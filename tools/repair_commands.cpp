// korvel verify, repair and upgrade: the engine's verification, repair and upgrade of a table
// opened exclusively, with its log on standard output.

#include "tools/repair_commands.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>

#include "engine/data_cursor.h"
#include "engine/session.h"
#include "engine/table_repair.h"
#include "engine/table_upgrade.h"
#include "tools/cli_parsing.h"
#include "tools/progress_display.h"
#include "tools/tool_table.h"

namespace korvel::tool {

namespace {

struct TRepairArguments {
  std::string Folder;
  std::string Table;
  std::string Password;
  TProgressOptions Progress;
  bool ForceIndexRebuild = false;
};

void AddCommon(CLI::App& app, TRepairArguments& a) {
  app.add_option("DIR", a.Folder)->required();
  app.add_option("TABLE", a.Table)->required();
  app.add_option("--password", a.Password, "password of a scrambled table");
  AddProgressOptions(app, a.Progress);
}

// A closed cursor asking for an exclusive open; a verification's scratch copy goes to the
// system's temporary folder. Another user of the table makes the command fail, never wait long.
class TRepairSession : public TToolTable {
 public:
  explicit TRepairSession(const TRepairArguments& a)
      : TToolTable(a.Folder, a.Table, a.Password,
                   {.Exclusive = true, .ShortLockWait = true, .Open = false, .PrivateDirectory = TempFolder()}) {}
  TDataCursor& Cursor() { return **this; }

 private:
  static std::string TempFolder() {
    std::error_code ignored;
    return std::filesystem::temp_directory_path(ignored).string();
  }
};

bool Verify(TDataCursor& cursor, const TRepairLogCallback& log, const TRepairProgressCallback& progress) {
  TTableRepair repair(cursor);
  repair.RepairLog = log;
  repair.RepairProgress = progress;
  return repair.RepairTable(true, false, false);
}

}  // namespace

int RunVerifyCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TRepairArguments a;
  CLI::App app{"verifies a table's files; the log on standard output, exit 3 when problems were found",
               "korvel verify"};
  AddCommon(app, a);
  return RunParsed(app, args, out, err, [&] {
    TRepairSession s(a);
    bool healthy = Verify(s.Cursor(), [&out](const std::string& line) { out << line << '\n'; },
                          MakeProgressDisplay(a.Progress, err));
    return healthy ? kExitOk : kExitProblems;
  });
}

int RunRepairCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TRepairArguments a;
  CLI::App app{"repairs a table; the log on standard output, exit 0 when the table verifies afterwards",
               "korvel repair"};
  AddCommon(app, a);
  app.add_flag("--force-index-rebuild", a.ForceIndexRebuild, "rebuild every index even when they look sound");
  return RunParsed(app, args, out, err, [&] {
    TRepairSession s(a);
    TTableRepair repair(s.Cursor());
    repair.RepairLog = [&out](const std::string& line) { out << line << '\n'; };
    repair.RepairProgress = MakeProgressDisplay(a.Progress, err);
    repair.RepairTable(false, false, a.ForceIndexRebuild);
    // The verdict is a verification of the repaired table; its log is shown only when it
    // still finds something.
    std::vector<std::string> lines;
    if (Verify(s.Cursor(), [&lines](const std::string& line) { lines.push_back(line); }, nullptr)) return kExitOk;
    for (const std::string& line : lines) out << line << '\n';
    err << "korvel repair: the table still has problems that could not be fixed\n";
    return kExitFailure;
  });
}

int RunUpgradeCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TRepairArguments a;
  CLI::App app{"converts a table of an older format version to the current one", "korvel upgrade"};
  AddCommon(app, a);
  return RunParsed(app, args, out, err, [&] {
    TRepairSession s(a);
    TTableUpgrade upgrade(s.Cursor());
    upgrade.UpgradeLog = [&out](const std::string& line) { out << line << '\n'; };
    upgrade.UpgradeProgress = MakeProgressDisplay(a.Progress, err);
    upgrade.UpgradeTable();
    return kExitOk;
  });
}

}  // namespace korvel::tool
