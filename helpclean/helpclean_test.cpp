// Runs the helpclean program on temporary help folders and checks the files it leaves.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TRun {
  int Status = -1;  // exit status, or -1 when the program did not exit normally
  std::string Err;
};

// Runs the program with `args`; `fileLimit` caps the size of any file it writes. A program that
// does not finish within 20 seconds is killed and counts as a failure.
TRun RunProgram(const std::vector<std::string>& args, rlim_t fileLimit = RLIM_INFINITY) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    rlimit limit{fileLimit, fileLimit};
    if (fileLimit != RLIM_INFINITY) setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<char*> argv{const_cast<char*>(HELPCLEAN_PROGRAM)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(HELPCLEAN_PROGRAM, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  TRun run;
  pollfd readable{pipeFds[0], POLLIN, 0};
  char buffer[4096];
  while (poll(&readable, 1, 20000) > 0) {
    ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    run.Err.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) run.Status = WEXITSTATUS(status);
  return run;
}

// Exactly one line, "helpclean: ..." with a single trailing line break.
bool IsOneLineMessage(const std::string& err) {
  return err.rfind("helpclean: ", 0) == 0 && err.find('\n') == err.size() - 1;
}

// Contents of one file set before and after cleaning for title "KORVEL Help", base "korvel".
const std::string kIndexBefore =
    ":Base main.hlp\r\n:Index KORVEL Help=korvel.hlp\r\n:Index Other=other.hlp\r\n";
const std::string kIndexAfter = ":Base main.hlp\r\n:Index Other=other.hlp\r\n";
const std::string kContentsBefore = ":Include other.cnt\n:Include korvel.cnt\n:Include end.cnt";
const std::string kContentsAfter = ":Include other.cnt\n:Include end.cnt";
const std::string kLinkBefore = ":Link other.hlp\r\n:Link korvel.hlp";
const std::string kLinkAfter = ":Link other.hlp\r\n";

class HelpCleanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "helpclean-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (!entry.is_symlink()) chmod(entry.path().c_str(), 0700);
    }
    fs::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(Path(name), std::ios::binary) << text;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteSet(const std::string& stem) {
    Write(stem + ".ohi", kIndexBefore);
    Write(stem + ".ohc", kContentsBefore);
    Write(stem + ".ohl", kLinkBefore);
  }
  bool SetIs(const std::string& stem, bool cleaned) const {
    return Read(stem + ".ohi") == (cleaned ? kIndexAfter : kIndexBefore) &&
           Read(stem + ".ohc") == (cleaned ? kContentsAfter : kContentsBefore) &&
           Read(stem + ".ohl") == (cleaned ? kLinkAfter : kLinkBefore);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  TRun Clean(const std::string& env, const std::string& version, const std::string& folder,
             rlim_t fileLimit = RLIM_INFINITY) {
    return RunProgram({env, version, folder, "KORVEL Help", "korvel"}, fileLimit);
  }

  fs::path dir_;
};

TEST_F(HelpCleanTest, EachEnvironmentAndVersionCleansOnlyItsOwnFiles) {
  struct TCase {
    const char* Env;
    const char* Version;
    const char* Stem;
  };
  for (const TCase& c : {TCase{"D", "5", "delphi5"}, TCase{"D", "6", "delphi6"},
                         TCase{"C", "5", "bcb5"}, TCase{"d", " 5.0 ", "delphi5"},
                         TCase{"c", "+5", "bcb5"}}) {
    SCOPED_TRACE(std::string(c.Env) + " " + c.Version);
    for (const char* stem : {"delphi5", "delphi6", "bcb5"}) WriteSet(stem);
    TRun run = Clean(c.Env, c.Version, dir_.string());
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    for (const char* stem : {"delphi5", "delphi6", "bcb5"}) {
      EXPECT_TRUE(SetIs(stem, std::string(stem) == c.Stem)) << stem;
    }
    EXPECT_EQ(Names().size(), 9u) << "a work file was left behind";
  }
}

TEST_F(HelpCleanTest, CombinationsWithoutFilesChangeNothing) {
  for (const char* stem : {"delphi5", "delphi6", "bcb5"}) WriteSet(stem);
  const std::vector<std::pair<std::string, std::string>> combinations = {
      {"c", "6"}, {"D", "7"}, {"X", "5"}, {"DC", "5"}, {"", "5"},
      {"D", "abc"}, {"D", ""}, {"D", "5.5"}, {"D", "5x"}, {"D", "-5"}, {"D", "99999999999"}};
  for (const auto& [env, version] : combinations) {
    TRun run = Clean(env, version, dir_.string());
    EXPECT_EQ(run.Status, 0) << env << " " << version << ": " << run.Err;
    // Nothing to do means the folder is not even looked at.
    EXPECT_EQ(Clean(env, version, Path("missing")).Status, 0) << env << " " << version;
  }
  for (const char* stem : {"delphi5", "delphi6", "bcb5"}) EXPECT_TRUE(SetIs(stem, false)) << stem;
}

TEST_F(HelpCleanTest, FolderIsFoundWithOrWithoutTrailingSeparatorAndInAnyCase) {
  for (const std::string& folder : {dir_.string(), dir_.string() + "/", dir_.string() + "\\"}) {
    WriteSet("delphi6");
    EXPECT_EQ(Clean("D", "6", folder).Status, 0) << folder;
    EXPECT_TRUE(SetIs("delphi6", true)) << folder;
  }
  // Names on disk in another letter case than the lower-case ones the program builds; the base
  // name argument is lower-cased, so "KORVEL" still means the lines with "korvel".
  fs::create_directory(dir_ / "Help");
  Write("Help/Delphi6.OHI", kIndexBefore);
  Write("Help/DELPHI6.ohc", kContentsBefore);
  Write("Help/delphi6.OHL", kLinkBefore);
  TRun run = RunProgram({"D", "6", Path("HELP"), "KORVEL Help", "KORVEL"});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(Read("Help/Delphi6.OHI"), kIndexAfter);
  EXPECT_EQ(Read("Help/DELPHI6.ohc"), kContentsAfter);
  EXPECT_EQ(Read("Help/delphi6.OHL"), kLinkAfter);
}

TEST_F(HelpCleanTest, OnlyExactLinesGoAndEveryOtherLineKeepsItsBytes) {
  Write("bcb5.ohi", ":Index korvel help=korvel.hlp\r\n:Index KORVEL Help=korvel.hlp \r\n");
  Write("bcb5.ohc",
        ":Include korvel.cnt\r\n:INCLUDE korvel.cnt\r:Include Korvel.cnt\n"
        ":Include korvel.cnt\r\r\n:Include korvel.cnt");
  Write("bcb5.ohl", "\n:Link korvel.hlp\r:Link korvel.hlp\n\n");
  TRun run = Clean("C", "5", dir_.string());
  EXPECT_EQ(run.Status, 0) << run.Err;
  // A title in another case and a trailing space keep the index file as it was.
  EXPECT_EQ(Read("bcb5.ohi"), ":Index korvel help=korvel.hlp\r\n:Index KORVEL Help=korvel.hlp \r\n");
  // Every copy goes, whatever line break it has; lines in another case stay.
  EXPECT_EQ(Read("bcb5.ohc"), ":INCLUDE korvel.cnt\r:Include Korvel.cnt\n\r\n");
  EXPECT_EQ(Read("bcb5.ohl"), "\n\n");
}

TEST_F(HelpCleanTest, MissingFileStopsTheRunWithOneLine) {
  WriteSet("delphi5");
  fs::remove(Path("delphi5.ohc"));
  TRun run = Clean("D", "5", dir_.string());
  EXPECT_EQ(run.Status, 1);
  EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;
  EXPECT_NE(run.Err.find("delphi5.ohc"), std::string::npos) << run.Err;
  EXPECT_EQ(Read("delphi5.ohi"), kIndexAfter);  // files before the failure stay cleaned
  EXPECT_EQ(Read("delphi5.ohl"), kLinkBefore);  // files after it are not touched

  run = Clean("D", "5", Path("no-such-folder"));
  EXPECT_EQ(run.Status, 1);
  EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;
}

TEST_F(HelpCleanTest, ReadOnlyFileIsRefusedAndKept) {
  WriteSet("delphi5");
  chmod(Path("delphi5.ohi").c_str(), 0444);
  TRun run = Clean("D", "5", dir_.string());
  EXPECT_EQ(run.Status, 1);
  EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;
  EXPECT_NE(run.Err.find("read-only"), std::string::npos) << run.Err;
  EXPECT_TRUE(SetIs("delphi5", false));

  // A read-only file that holds no entry needs no change and is no failure.
  Write("delphi5.ohi", kIndexAfter);
  chmod(Path("delphi5.ohi").c_str(), 0444);
  run = Clean("D", "5", dir_.string());
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(Read("delphi5.ohc"), kContentsAfter);
}

TEST_F(HelpCleanTest, FailedWriteKeepsTheOriginalAndLeavesNoWorkFile) {
  std::string big(200000, 'x');
  Write("delphi6.ohi", big + "\r\n:Index KORVEL Help=korvel.hlp\r\n");
  Write("delphi6.ohc", kContentsBefore);
  Write("delphi6.ohl", kLinkBefore);
  TRun run = Clean("D", "6", dir_.string(), 4096);
  EXPECT_EQ(run.Status, 1);
  EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;
  EXPECT_EQ(Read("delphi6.ohi"), big + "\r\n:Index KORVEL Help=korvel.hlp\r\n");
  EXPECT_EQ(Names(), (std::vector<std::string>{"delphi6.ohc", "delphi6.ohi", "delphi6.ohl"}));
}

TEST_F(HelpCleanTest, ReplacementKeepsModeAndSymbolicLink) {
  WriteSet("bcb5");
  chmod(Path("bcb5.ohi").c_str(), 0640);
  fs::create_directory(dir_ / "real");
  fs::rename(Path("bcb5.ohl"), Path("real/links"));
  fs::create_symlink(dir_ / "real" / "links", Path("bcb5.ohl"));
  TRun run = Clean("C", "5", dir_.string());
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_TRUE(SetIs("bcb5", true));
  EXPECT_EQ(fs::status(Path("bcb5.ohi")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_TRUE(fs::is_symlink(Path("bcb5.ohl")));
  EXPECT_EQ(Read("real/links"), kLinkAfter);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), fs::directory_iterator()), 1);
}

TEST_F(HelpCleanTest, NonRegularOrAmbiguousFilesAreRefusedWithoutChange) {
  ASSERT_EQ(mkfifo(Path("delphi5.ohi").c_str(), 0644), 0);
  TRun run = Clean("D", "5", dir_.string());  // must not wait for a writer
  EXPECT_EQ(run.Status, 1);
  EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;

  // Two names that differ only in case: neither is the lower-case one, so neither is guessed.
  Write("Delphi6.ohi", kIndexBefore);
  Write("DELPHI6.OHI", kIndexBefore);
  run = Clean("D", "6", dir_.string());
  EXPECT_EQ(run.Status, 1);
  EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;
  EXPECT_EQ(Read("Delphi6.ohi"), kIndexBefore);
  EXPECT_EQ(Read("DELPHI6.OHI"), kIndexBefore);
}

TEST_F(HelpCleanTest, UnusableCommandLineIsAUsageError) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"D", "5", dir_.string(), "KORVEL Help"},
           {"D", "5", dir_.string(), "KORVEL Help", "korvel", "extra"},
           {"D", "5", "", "KORVEL Help", "korvel"}}) {
    TRun run = RunProgram(args);
    EXPECT_EQ(run.Status, 2) << args.size();
    EXPECT_TRUE(IsOneLineMessage(run.Err)) << run.Err;
  }
}

}  // namespace
