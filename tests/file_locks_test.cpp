// Byte-range locks and sharing modes between processes and between openers of one process.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/posix_file.h"
#include "support/files.h"
#include "support/test_folder.h"
#include "tests/process_helpers.h"

namespace korvel {
namespace {

using testing::AnotherSpelling;
using testing::RunInChild;
using testing::TTestFolder;

constexpr std::int64_t kRegion = 0xFFFFFFFELL;  // protocol ranges lie near the 4 GiB mark

struct TOpened {
  TAbstractFile* File = nullptr;
  std::int32_t Handle = 0;
  bool Ok() const { return Handle > 0; }
  void Close() {
    if (Ok()) GetFileList().CloseFile(File, File->InMemory(), Handle);
    Handle = 0;
  }
};

TOpened OpenDisk(const std::string& name, bool exclusive) {
  TOpened o;
  bool readOnly = false, attribute = false;
  o.Handle = GetFileList().OpenFile(name, false, o.File, attribute, readOnly, exclusive, false);
  return o;
}

// In a child: 0 if the range can be locked (and is unlocked again), 1 if refused, 2 if the file
// does not open.
int ChildTryLock(const std::string& name, std::int64_t offset, std::int64_t length) {
  return RunInChild([&] {
    TOpened o = OpenDisk(AnotherSpelling(name), false);
    if (!o.Ok()) return 2;
    bool locked = o.File->Lock(offset, length);
    if (locked) o.File->Unlock(offset, length);
    o.Close();
    return locked ? 0 : 1;
  });
}

int ChildOpen(const std::string& name, bool exclusive) {
  return RunInChild([&] {
    TOpened o = OpenDisk(AnotherSpelling(name), exclusive);
    int result = o.Ok() ? 0 : -o.Handle == 11013 ? 1 : 3;
    o.Close();
    return result;
  });
}

class FileLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = folder_.File("t.DAT");
    std::ofstream(name_) << "data";
  }
  TTestFolder folder_;
  std::string name_;
};

TEST_F(FileLocks, ARangeLockedInOneProcessIsRefusedInAnother) {
  TOpened o = OpenDisk(name_, false);
  ASSERT_TRUE(o.Ok());
  ASSERT_TRUE(o.File->Lock(kRegion, 10));
  EXPECT_EQ(ChildTryLock(name_, kRegion + 9, 1), 1);   // last byte overlaps
  EXPECT_EQ(ChildTryLock(name_, kRegion - 5, 6), 1);   // first byte overlaps
  EXPECT_EQ(ChildTryLock(name_, kRegion + 10, 5), 0);  // adjacent is free
  ASSERT_TRUE(o.File->Unlock(kRegion, 10));
  EXPECT_EQ(ChildTryLock(name_, kRegion, 10), 0);
  o.Close();
}

TEST_F(FileLocks, TwoOpenersInOneProcessRefuseEachOthersRanges) {
  TFileHandler a, b;
  a.FileName = b.FileName = name_;
  a.OpenFile();
  b.OpenFile();
  ASSERT_EQ(a.File, b.File);
  EXPECT_TRUE(a.LockRegion(100, 10, true));
  EXPECT_FALSE(b.LockRegion(105, 1, true));
  EXPECT_FALSE(a.LockRegion(100, 10, true));  // not re-entrant either: locks have no owner
  EXPECT_TRUE(b.LockRegion(110, 1, true));
  EXPECT_TRUE(a.LockRegion(100, 10, false));
  EXPECT_TRUE(b.LockRegion(105, 1, true));
}

TEST_F(FileLocks, ClosingOneHandleOrDescriptorKeepsTheOtherHandlesLocks) {
  TFileHandler a, b;
  a.FileName = b.FileName = name_;
  a.OpenFile();
  b.OpenFile();
  ASSERT_TRUE(a.LockRegion(kRegion, 4, true));
  b.CloseFile();
  EXPECT_EQ(ChildTryLock(name_, kRegion, 4), 1);
  // Another descriptor of the same file in this process, opened and closed: with per-process
  // record locks this would drop every lock of the file.
  int fd = platform::OpenDescriptor(AnotherSpelling(name_), platform::faReadWrite, false);
  ASSERT_GE(fd, 0);
  platform::CloseDescriptor(fd);
  EXPECT_EQ(ChildTryLock(name_, kRegion, 4), 1);
  a.CloseFile();
  EXPECT_EQ(ChildTryLock(name_, kRegion, 4), 0);  // the last close releases them
}

TEST_F(FileLocks, ExclusiveAndSharedOpensExcludeEachOtherAcrossProcesses) {
  TOpened shared = OpenDisk(name_, false);
  ASSERT_TRUE(shared.Ok());
  EXPECT_EQ(ChildOpen(name_, false), 0);
  EXPECT_EQ(ChildOpen(name_, true), 1);
  shared.Close();
  TOpened exclusive = OpenDisk(name_, true);
  ASSERT_TRUE(exclusive.Ok());
  EXPECT_EQ(ChildOpen(name_, false), 1);
  EXPECT_EQ(ChildOpen(name_, true), 1);
  exclusive.Close();
  EXPECT_EQ(ChildOpen(name_, true), 0);
}

TEST_F(FileLocks, AnExclusiveOpenOfAReadOnlyFileKeepsOthersOut) {
  ASSERT_TRUE(platform::SetReadOnlyAttribute(name_, true));
  TOpened exclusive = OpenDisk(name_, true);
  ASSERT_TRUE(exclusive.Ok());
  EXPECT_TRUE(exclusive.File->ReadOnly);
  EXPECT_EQ(ChildOpen(name_, false), 1);
  EXPECT_EQ(ChildOpen(name_, true), 1);
  exclusive.Close();
  TOpened shared = OpenDisk(name_, false);
  ASSERT_TRUE(shared.Ok());
  EXPECT_EQ(ChildOpen(name_, false), 0);
  EXPECT_EQ(ChildOpen(name_, true), 1);
  shared.Close();
}

TEST_F(FileLocks, CreatingAFileThatAnotherProcessHasOpenIsRefusedAndDestroysNothing) {
  TOpened shared = OpenDisk(name_, false);
  ASSERT_TRUE(shared.Ok());
  int result = RunInChild([&] {
    TAbstractFile* f = nullptr;
    std::int32_t h = GetFileList().CreateFile(AnotherSpelling(name_), false, f, false);
    return h == -11013 ? 0 : 1;
  });
  EXPECT_EQ(result, 0);
  char buf[4];
  shared.File->Seek(shared.Handle, 0, soFromBeginning);
  EXPECT_EQ(shared.File->Read(shared.Handle, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "data");
  shared.Close();
}

}  // namespace
}  // namespace korvel
