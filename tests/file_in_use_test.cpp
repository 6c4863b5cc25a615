// A file held open by another program (started with fork and exec, so with descriptors of its
// own) can be neither deleted nor renamed, nor replaced by a rename; once it lets go, both work.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/files.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;

// The file_holder program, talked to through two pipes.
class THolder {
 public:
  THolder(const std::string& path, bool exclusive) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      std::string program = std::string(KORVEL_BINARY_DIR) + "/tests/file_holder";
      execl(program.c_str(), program.c_str(), path.c_str(), exclusive ? "exclusive" : "shared",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fdopen(fromChild[0], "r");
  }
  ~THolder() {
    if (in_ >= 0) close(in_);
    if (out_) fclose(out_);
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  THolder(const THolder&) = delete;
  THolder& operator=(const THolder&) = delete;

  // The next line the holder prints ("" at end of output).
  std::string Reply() {
    char line[256];
    if (!out_ || !fgets(line, sizeof line, out_)) return "";
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  std::string Command(const std::string& command) {
    std::string line = command + "\n";
    if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    return Reply();
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  FILE* out_ = nullptr;
};

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(FileInUse, AFileAnotherProgramHoldsIsNeitherDeletedNorRenamedNorReplaced) {
  TTestFolder dir;
  const std::string held = dir.File("held.DAT");
  const std::string other = dir.File("other.DAT");
  std::ofstream(held) << "start";
  std::ofstream(other) << "other";
  TFileList& list = GetFileList();
  for (bool exclusive : {false, true}) {
    THolder holder(held, exclusive);
    ASSERT_EQ(holder.Reply(), "open 1");
    EXPECT_EQ(list.DeleteFile(held, false), -11013);
    EXPECT_EQ(list.DeleteFile(dir.File("HELD.dat"), false), -11013);
    EXPECT_EQ(list.RenameFile(held, false, dir.File("moved.DAT")), -11013);
    EXPECT_EQ(list.RenameFile(other, false, held), -11013);  // would replace the held file
    EXPECT_TRUE(list.FileExists(held, false));
    EXPECT_FALSE(list.FileExists(dir.File("moved.DAT"), false));
    // The holder's writes land in the file that still has its name.
    EXPECT_EQ(holder.Command("append +more"), "wrote 5");
    EXPECT_EQ(Contents(held), "start+more");
    EXPECT_EQ(Contents(other), "other");
    EXPECT_EQ(holder.Command("close"), "closed");
    std::ofstream(held) << "start";
  }
  // Nobody holds it any more: rename and delete go through.
  EXPECT_EQ(list.RenameFile(held, false, dir.File("moved.DAT")), 0);
  EXPECT_EQ(Contents(dir.File("moved.DAT")), "start");
  EXPECT_EQ(list.DeleteFile(dir.File("moved.DAT"), false), 0);
  EXPECT_FALSE(list.FileExists(dir.File("moved.DAT"), false));
}

TEST(FileInUse, AFileDeletedOrRenamedAwayIsNotOpenedAfterwards) {
  TTestFolder dir;
  const std::string path = dir.File("gone.DAT");
  std::ofstream(path) << "x";
  ASSERT_EQ(GetFileList().DeleteFile(path, false), 0);
  THolder holder(path, false);
  EXPECT_EQ(holder.Reply(), "fail 11010");
}

}  // namespace
}  // namespace korvel
