#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "platform/posix_file.h"
#include "support/match_string.h"
#include "support/os_files.h"
#include "support/path_helpers.h"
#include "support/test_folder.h"

namespace korvel {
namespace {

using testing::TTestFolder;

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::int32_t Open(const std::string& name, bool memory, TAbstractFile*& file, bool exclusive = false,
                  bool* readOnly = nullptr, bool* readOnlyAttribute = nullptr) {
  bool ro = false, roa = false;
  std::int32_t h = GetFileList().OpenFile(name, memory, file, roa, ro, exclusive, false);
  if (readOnly) *readOnly = ro;
  if (readOnlyAttribute) *readOnlyAttribute = roa;
  return h;
}

TEST(MemoryFile, ReadsAndWritesAtEachHandlesOwnPosition) {
  TAbstractFile* f = nullptr;
  std::int32_t created = GetFileList().CreateFile("/mem/a.DAT", true, f, false);
  ASSERT_EQ(created, 1);
  TAbstractFile* g = nullptr;
  EXPECT_EQ(Open("/mem/a.DAT", true, g), -11013);  // a created file is exclusive until closed
  GetFileList().CloseFile(f, true, created);
  std::int32_t h1 = Open("/mem/a.DAT", true, f);
  std::int32_t h2 = Open("/mem/A.dat", true, g);
  ASSERT_EQ(h1, 2);
  ASSERT_EQ(h2, 3);
  ASSERT_EQ(f, g);
  std::vector<unsigned char> data(100);
  for (int i = 0; i < 100; ++i) data[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(f->Write(h1, data.data(), 100), 100);
  EXPECT_EQ(f->GetFileSize(), 100);
  unsigned char buf[200];
  // h2 still reads from 0; a read straddling the end returns the bytes up to the end.
  EXPECT_EQ(f->Seek(h2, 90, soFromBeginning), 90);
  EXPECT_EQ(f->Read(h2, buf, 50), 10);
  EXPECT_EQ(buf[0], 90);
  // At or past the end: 0 and the position stays.
  EXPECT_EQ(f->Read(h2, buf, 10), 0);
  EXPECT_EQ(f->Seek(h2, 0, soFromCurrent), 100);
  f->Seek(h2, 500, soFromBeginning);
  EXPECT_EQ(f->Read(h2, buf, 10), 0);
  EXPECT_EQ(f->Seek(h2, 0, soFromCurrent), 500);
  // A zero-byte write at 10 cuts the file to 10; growing again shows zeros, not old bytes.
  f->Seek(h1, 10, soFromBeginning);
  EXPECT_EQ(f->Write(h1, nullptr, 0), 0);
  EXPECT_EQ(f->GetFileSize(), 10);
  f->Seek(h1, 20, soFromBeginning);
  unsigned char one = 0xEE;
  f->Write(h1, &one, 1);
  f->Seek(h1, 10, soFromBeginning);
  ASSERT_EQ(f->Read(h1, buf, 11), 11);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buf[i], 0) << i;
  EXPECT_EQ(buf[10], 0xEE);
  EXPECT_EQ(static_cast<TMemoryFile*>(f)->Capacity() % 4096, 0u);
  EXPECT_EQ(GetFileList().CloseFile(f, true, h1), 0);
  EXPECT_EQ(GetFileList().CloseFile(f, true, h2), 0);
  EXPECT_EQ(GetFileList().DeleteFile("/mem/a.DAT", true), 0);
}

// Random seek / write / read / truncate sequences on a memory file and on a disk file, each
// against a plain byte vector. Zero-byte writes past the end (which set the size) are frequent.
void RunAgainstReference(TFileList& list, const std::string& name, bool memory, std::uint32_t seed) {
  std::mt19937 rng(seed);
  TAbstractFile* f = nullptr;
  std::int32_t h = list.CreateFile(name, memory, f, false);
  ASSERT_GT(h, 0);
  std::vector<unsigned char> ref;
  std::int64_t pos = 0;
  std::vector<unsigned char> data(9000), buf(9000);
  for (int step = 0; step < 300; ++step) {
    switch (rng() % 5) {
      case 0:  // seek from the start, often past the end
        pos = static_cast<std::int64_t>(rng() % 12000);
        ASSERT_EQ(f->Seek(h, pos, soFromBeginning), pos);
        break;
      case 1:  // seek to the end
        pos = static_cast<std::int64_t>(ref.size());
        ASSERT_EQ(f->Seek(h, 0, soFromEnd), pos);
        break;
      case 2: {  // write
        std::size_t n = rng() % 3 == 0 ? 0 : rng() % data.size();
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(rng());
        ASSERT_EQ(f->Write(h, data.data(), static_cast<std::int64_t>(n)), static_cast<std::int64_t>(n));
        std::size_t at = static_cast<std::size_t>(pos);
        if (n == 0) {
          ref.resize(at, 0);  // a zero-byte write sets the end, growing with zeros
        } else {
          if (ref.size() < at + n) ref.resize(at + n, 0);
          std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), ref.begin() + static_cast<std::ptrdiff_t>(at));
          pos += static_cast<std::int64_t>(n);
        }
        break;
      }
      default: {  // read
        std::size_t n = rng() % buf.size();
        std::size_t at = static_cast<std::size_t>(pos);
        std::size_t expected = at >= ref.size() ? 0 : std::min(n, ref.size() - at);
        ASSERT_EQ(f->Read(h, buf.data(), static_cast<std::int64_t>(n)), static_cast<std::int64_t>(expected))
            << "step " << step;
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(expected),
                               ref.begin() + static_cast<std::ptrdiff_t>(std::min(at, ref.size()))))
            << "step " << step;
        pos += static_cast<std::int64_t>(expected);
        break;
      }
    }
    ASSERT_EQ(f->GetFileSize(), static_cast<std::int64_t>(ref.size())) << "step " << step;
  }
  // Everything reads back after a close and reopen.
  list.CloseFile(f, memory, h);
  bool readOnly = false, attribute = false;
  h = list.OpenFile(name, memory, f, attribute, readOnly, false, false);
  ASSERT_GT(h, 0);
  std::vector<unsigned char> all(ref.size() + 1);
  ASSERT_EQ(f->Read(h, all.data(), static_cast<std::int64_t>(all.size())), static_cast<std::int64_t>(ref.size()));
  all.resize(ref.size());
  EXPECT_EQ(all, ref);
  list.CloseFile(f, memory, h);
  EXPECT_EQ(list.DeleteFile(name, memory), 0);
}

TEST(MemoryFile, RandomOperationsMatchAByteVectorAndADiskFile) {
  TTestFolder dir;
  // The short sequence that once crashed: a zero-byte write past the end, then a read.
  TAbstractFile* f = nullptr;
  std::int32_t h = GetFileList().CreateFile("/mem/zero.DAT", true, f, false);
  f->Seek(h, 100, soFromBeginning);
  EXPECT_EQ(f->Write(h, nullptr, 0), 0);
  f->Seek(h, 0, soFromBeginning);
  std::vector<unsigned char> buf(100, 0xFF);
  ASSERT_EQ(f->Read(h, buf.data(), 100), 100);
  EXPECT_EQ(buf, std::vector<unsigned char>(100, 0));
  GetFileList().CloseFile(f, true, h);
  GetFileList().DeleteFile("/mem/zero.DAT", true);

  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    RunAgainstReference(GetFileList(), "/mem/random.DAT", true, seed);
    RunAgainstReference(GetFileList(), dir.File("random.DAT"), false, seed);
    if (HasFatalFailure()) return;
  }
}

TEST(MemoryFile, ContentsSurviveClosingUnlessTemporary) {
  TFileList& list = GetFileList();
  TAbstractFile* f = nullptr;
  std::int32_t h = list.CreateFile("/mem/keep.DAT", true, f, false);
  f->Write(h, "hello", 5);
  // Creating a memory file that is open is refused.
  TAbstractFile* other = nullptr;
  EXPECT_EQ(list.CreateFile("/mem/keep.DAT", true, other, false), -11013);
  list.CloseFile(f, true, h);
  EXPECT_TRUE(list.FileExists("/mem/keep.DAT", true));
  EXPECT_FALSE(list.FileExists("/mem/keep.DAT", false));  // a disk file of that name is another file
  h = Open("/mem/keep.DAT", true, f);
  char buf[5];
  ASSERT_EQ(f->Read(h, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  list.CloseFile(f, true, h);
  // Creating one that exists but is closed truncates it.
  h = list.CreateFile("/mem/keep.DAT", true, f, false);
  EXPECT_EQ(f->GetFileSize(), 0);
  list.CloseFile(f, true, h);
  EXPECT_EQ(list.DeleteFile("/mem/keep.DAT", true), 0);
  EXPECT_EQ(list.DeleteFile("/mem/keep.DAT", true), -11010);

  h = list.CreateFile("/mem/temp.DAT", true, f, true);
  f->Write(h, "x", 1);
  list.CloseFile(f, true, h);
  EXPECT_FALSE(list.FileExists("/mem/temp.DAT", true));
  EXPECT_EQ(Open("/mem/temp.DAT", true, f), -11010);
}

TEST(MemoryFile, LocksRefuseAnyOverlapAndUnlockNeedsTheExactRange) {
  TAbstractFile* f = nullptr;
  std::int32_t h = GetFileList().CreateFile("/mem/locks.DAT", true, f, false);
  EXPECT_TRUE(f->Lock(0, 10));
  EXPECT_FALSE(f->Lock(9, 1));
  EXPECT_TRUE(f->Lock(10, 5));
  EXPECT_FALSE(f->Unlock(0, 5));
  EXPECT_FALSE(f->Lock(0, 1));  // still held
  EXPECT_TRUE(f->Unlock(0, 10));
  EXPECT_TRUE(f->Lock(0, 1));
  GetFileList().CloseFile(f, true, h);
  GetFileList().DeleteFile("/mem/locks.DAT", true);
}

TEST(FileList, ExclusiveAndSharedOpenersOfOneProcess) {
  TTestFolder dir;
  WriteText(dir.File("t.DAT"), "abc");
  TAbstractFile *a = nullptr, *b = nullptr, *c = nullptr;
  std::int32_t h1 = Open(dir.File("t.DAT"), false, a);
  std::int32_t h2 = Open(dir.File("t.DAT"), false, b);
  EXPECT_EQ(h1, 1);
  EXPECT_EQ(h2, 2);
  EXPECT_EQ(a, b);
  EXPECT_EQ(Open(dir.File("t.DAT"), false, c, true), -11013);
  EXPECT_EQ(GetFileList().DeleteFile(dir.File("t.DAT"), false), -11013);
  EXPECT_EQ(GetFileList().RenameFile(dir.File("t.DAT"), false, dir.File("u.DAT")), -11013);
  GetFileList().CloseFile(a, false, h1);
  GetFileList().CloseFile(a, false, h2);
  EXPECT_EQ(GetFileList().CloseFile(a, false, h2), -11010);  // freed with its last handle
  std::int32_t h = Open(dir.File("t.DAT"), false, a, true);
  ASSERT_GT(h, 0);
  EXPECT_EQ(Open(dir.File("t.DAT"), false, b), -11013);
  GetFileList().CloseFile(a, false, h);
}

TEST(FileList, ReadOnlyAttributeGivesAReadOnlyOpen) {
  TTestFolder dir;
  WriteText(dir.File("ro.DAT"), "abc");
  ASSERT_TRUE(platform::SetReadOnlyAttribute(dir.File("ro.DAT"), true));
  TAbstractFile* f = nullptr;
  bool readOnly = false, attribute = false;
  std::int32_t h = Open(dir.File("ro.DAT"), false, f, false, &readOnly, &attribute);
  ASSERT_GT(h, 0);
  EXPECT_TRUE(readOnly);
  EXPECT_TRUE(attribute);
  EXPECT_EQ(f->Write(h, "x", 1), -1);
  GetFileList().CloseFile(f, false, h);
}

TEST(FileList, NamesResolveWithoutRegardToCaseAndBackslashes) {
  TTestFolder dir;
  WriteText(dir.File("Customer.DAT"), "abc");
  EXPECT_TRUE(FileNameExists(dir.File("CUSTOMER.dat"), false));
  std::string backslashed = dir.Path();
  for (char& ch : backslashed)
    if (ch == '/') ch = '\\';
  TAbstractFile* f = nullptr;
  std::int32_t h = Open(backslashed + "customer.dat", false, f);
  ASSERT_GT(h, 0);
  char buf[3];
  EXPECT_EQ(f->Read(h, buf, 3), 3);
  GetFileList().CloseFile(f, false, h);
  EXPECT_EQ(GetFileList().RenameFile(dir.File("CUSTOMER.DAT"), false, dir.File("orders.DAT")), 0);
  EXPECT_TRUE(FileNameExists(dir.File("orders.DAT"), false));
  EXPECT_FALSE(FileNameExists(dir.File("Customer.DAT"), false));
  EXPECT_EQ(GetFileList().DeleteFile(dir.File("ORDERS.DAT"), false), 0);
  EXPECT_FALSE(FileNameExists(dir.File("orders.DAT"), false));
  EXPECT_EQ(GetFileList().DeleteFile(dir.File("orders.DAT"), false), -11010);
}

// One file is one object, whatever the spelling of its path: an opener under one name keeps a
// delete or rename under another away.
TEST(FileList, AFileOpenUnderAnotherSpellingIsInUse) {
  TTestFolder dir;
  mkdir(dir.File("Folder").c_str(), 0755);
  WriteText(dir.File("Folder/two.DAT"), "two");
  TAbstractFile *a = nullptr, *b = nullptr;
  std::int32_t h = Open(dir.File("Folder/two.DAT"), false, a);
  ASSERT_GT(h, 0);
  const std::string spelling = dir.File("Folder/../folder/./TWO.dat");
  EXPECT_EQ(GetFileList().DeleteFile(spelling, false), -11013);
  EXPECT_EQ(GetFileList().RenameFile(spelling, false, dir.File("three.DAT")), -11013);
  std::int32_t h2 = Open(spelling, false, b);
  EXPECT_EQ(b, a);  // the same shared object
  EXPECT_EQ(Open(spelling, false, b, true), -11013);
  GetFileList().CloseFile(a, false, h2);
  GetFileList().CloseFile(a, false, h);
  EXPECT_EQ(GetFileList().DeleteFile(spelling, false), 0);
  EXPECT_FALSE(FileNameExists(dir.File("Folder/two.DAT"), false));
}

// An open racing with a delete either fails or gets a file that still has its name: never one
// the delete has just unlinked (its writes would be lost).
TEST(FileList, AnOpenRacingADeleteNeverGetsANamelessFile) {
  TTestFolder dir;
  const std::string path = dir.File("race.DAT");
  WriteText(path, "r");
  std::atomic<bool> stop{false};
  std::atomic<int> nameless{0}, opened{0};
  std::thread opener([&] {
    while (!stop) {
      int fd = platform::OpenDescriptor(path, platform::faReadWrite, false);
      if (fd < 0) continue;
      struct stat st {};
      if (fstat(fd, &st) == 0 && st.st_nlink == 0) ++nameless;
      ++opened;
      platform::CloseDescriptor(fd);
    }
  });
  int deleted = 0;
  for (int i = 0; i < 3000 && deleted < 300; ++i) {
    if (platform::DeleteUnlessInUse(path)) {
      ++deleted;
      WriteText(path, "r");
    }
  }
  stop = true;
  opener.join();
  EXPECT_GT(deleted, 0);
  EXPECT_GT(opened.load(), 0);
  EXPECT_EQ(nameless.load(), 0);
}

TEST(FileList, ARenameNeverReplacesAnotherFile) {
  TTestFolder dir;
  WriteText(dir.File("a.DAT"), "a");
  WriteText(dir.File("b.DAT"), "b");
  TFileList& list = GetFileList();
  EXPECT_EQ(list.RenameFile(dir.File("a.DAT"), false, dir.File("b.DAT")), -11013);
  EXPECT_EQ(list.RenameFile(dir.File("a.DAT"), false, dir.File("B.dat")), -11013);  // b under another case
  TAbstractFile* f = nullptr;
  std::int32_t h = Open(dir.File("b.DAT"), false, f);
  EXPECT_EQ(list.RenameFile(dir.File("a.DAT"), false, dir.File("b.DAT")), -11013);
  char buf[2] = {};
  EXPECT_EQ(f->Read(h, buf, 2), 1);
  EXPECT_EQ(buf[0], 'b');
  list.CloseFile(f, false, h);
  TStringList names;
  names.SetSorted(true);
  ListFiles(names, dir.Path() + "*", false, true);
  ASSERT_EQ(names.Count(), 2u);
  EXPECT_EQ(names[0], "a.DAT");
  EXPECT_EQ(names[1], "b.DAT");
  // A rename that changes only the letter case renames the one file.
  EXPECT_EQ(list.RenameFile(dir.File("a.DAT"), false, dir.File("A.dat")), 0);
  ListFiles(names, dir.Path() + "*", false, true);
  ASSERT_EQ(names.Count(), 2u);
  EXPECT_EQ(names[0], "A.dat");
  EXPECT_EQ(list.RenameFile(dir.File("A.dat"), false, dir.File("A.dat")), 0);  // to itself
  // Memory files: the same rules.
  TAbstractFile *m = nullptr, *n = nullptr;
  std::int32_t hm = list.CreateFile("/memren/m.DAT", true, m, false);
  m->Write(hm, "m", 1);
  list.CloseFile(m, true, hm);
  std::int32_t hn = list.CreateFile("/memren/n.DAT", true, n, false);
  list.CloseFile(n, true, hn);
  EXPECT_EQ(list.RenameFile("/memren/m.DAT", true, "/memren/N.dat"), -11013);
  EXPECT_EQ(list.RenameFile("/memren/m.DAT", true, "/memren/M.dat"), 0);
  EXPECT_TRUE(list.FileExists("/memren/m.dat", true));
  EXPECT_EQ(list.DeleteFile("/memren/M.DAT", true), 0);
  EXPECT_EQ(list.DeleteFile("/memren/n.DAT", true), 0);
}

TEST(FileList, AFailedOpenLeavesNoPhantomBehind) {
  TTestFolder dir;
  WriteText(dir.File("plain.DAT"), "p");
  mkdir(dir.File("sub.DAT").c_str(), 0755);
  TFileList& list = GetFileList();
  std::size_t listed = list.Count();
  for (const std::string& name : {dir.File("missing.DAT"), dir.File("sub.DAT"), dir.File("plain.DAT/x.DAT")}) {
    TAbstractFile* f = nullptr;
    EXPECT_LT(Open(name, false, f), 0) << name;
    EXPECT_FALSE(list.FileExists(name, false)) << name;
    EXPECT_LT(list.DeleteFile(name, false), 0) << name;
    EXPECT_EQ(list.Count(), listed) << name;
  }
  TFileHandler handler;
  handler.FileName = dir.File("missing.DAT");
  EXPECT_FALSE(handler.Exists());
}

TEST(FileList, NewNamesFindTheirFolderWithoutRegardToCase) {
  TTestFolder dir;
  mkdir(dir.File("folder").c_str(), 0755);
  WriteText(dir.File("folder/Data.DAT"), "d");
  TFileList& list = GetFileList();
  TAbstractFile* f = nullptr;
  std::int32_t h = list.CreateFile(dir.File("FOLDER/New.DAT"), false, f, false);
  ASSERT_GT(h, 0);
  list.CloseFile(f, false, h);
  EXPECT_TRUE(OSFileExists(dir.File("folder/New.DAT")));
  EXPECT_EQ(list.RenameFile(dir.File("Folder/new.dat"), false, dir.File("FOLDER/Renamed.DAT")), 0);
  EXPECT_TRUE(OSFileExists(dir.File("folder/Renamed.DAT")));
  EXPECT_FALSE(OSFileExists(dir.File("folder/New.DAT")));
  EXPECT_FALSE(OSFileExists(dir.File("FOLDER")));
}

TEST(FileList, ListingMatchesPatternsOfOneKind) {
  TTestFolder dir;
  WriteText(dir.File("a.DAT"), "");
  WriteText(dir.File("b.dat"), "");
  WriteText(dir.File("c.IDX"), "");
  mkdir(dir.File("d.DAT").c_str(), 0755);  // folders are not listed
  TStringList names;
  names.SetSorted(true);
  ListFiles(names, dir.Path() + "*.DAT", false, false);
  ASSERT_EQ(names.Count(), 2u);
  EXPECT_EQ(names[0], "a");
  EXPECT_EQ(names[1], "b");
  ListFiles(names, dir.Path() + "*", false, true);
  EXPECT_EQ(names.Count(), 3u);

  TAbstractFile* f = nullptr;
  std::int32_t h = GetFileList().CreateFile("/memlist/x.DAT", true, f, false);
  ListFiles(names, "/memlist/*.dat", true, true);
  ASSERT_EQ(names.Count(), 1u);
  EXPECT_EQ(names[0], "x.DAT");
  GetFileList().CloseFile(f, true, h);
  GetFileList().DeleteFile("/memlist/x.DAT", true);
}

TEST(FileList, CopyOfAnExactMultipleOfTheChunkSizeIsComplete) {
  TTestFolder dir;
  for (std::int64_t size : {std::int64_t{0}, std::int64_t{65536 * 2}, std::int64_t{70000}}) {
    TAbstractFile* src = nullptr;
    std::int32_t h = GetFileList().CreateFile(dir.File("src.DAT"), false, src, false);
    std::vector<unsigned char> data(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    if (size > 0) src->Write(h, data.data(), size);
    std::vector<int> progress;
    ASSERT_EQ(GetFileList().CopyToFile(src, h, false, "/copies/dst.DAT", true,
                                       [&](int p) { progress.push_back(p); }, 10),
              0);
    GetFileList().CloseFile(src, false, h);
    TAbstractFile* dst = nullptr;
    std::int32_t d = Open("/copies/dst.DAT", true, dst);
    ASSERT_EQ(dst->GetFileSize(), size);
    std::vector<unsigned char> back(static_cast<std::size_t>(size) + 1);
    EXPECT_EQ(dst->Read(d, back.data(), size + 1), size);
    back.resize(static_cast<std::size_t>(size));
    EXPECT_EQ(back, data);
    if (size > 0) {
      ASSERT_FALSE(progress.empty());
      EXPECT_EQ(progress.back(), 100);
    }
    // Copying back over a longer file leaves an exact copy, no old tail.
    std::int32_t big = GetFileList().CreateFile(dir.File("big.DAT"), false, src, false);
    std::vector<unsigned char> junk(200000, 0xAA);
    src->Write(big, junk.data(), static_cast<std::int64_t>(junk.size()));
    ASSERT_EQ(GetFileList().CopyFromFile(src, big, false, "/copies/dst.DAT", true, nullptr, 0), 0);
    EXPECT_EQ(src->GetFileSize(), size);
    GetFileList().CloseFile(src, false, big);
    GetFileList().CloseFile(dst, true, d);
    GetFileList().DeleteFile("/copies/dst.DAT", true);
  }
}

TEST(FileHandler, FailuresRaiseWithTheFileName) {
  TTestFolder dir;
  TFileHandler handler;
  handler.FileName = dir.File("missing.DAT");
  try {
    handler.OpenFile();
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_OSENOENT);
    EXPECT_EQ(e.ErrorTableName, dir.File("missing.DAT"));
  }
  handler.FileName = dir.File("h.DAT");
  handler.CreateFile();
  handler.Write("0123456789", 10);
  handler.Seek(4, soFromBeginning);
  EXPECT_EQ(handler.GetSize(), 10);
  EXPECT_EQ(handler.GetPos(), 4);  // GetSize restores the position
  char buf[10];
  try {
    handler.Read(buf, 10);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_READERR);
  }
  handler.Seek(4, soFromBeginning);
  EXPECT_EQ(handler.Read(buf, 10, true), 6);
  handler.CloseFile();
  EXPECT_FALSE(handler.IsOpen);
  handler.SetIsOpen(true);
  EXPECT_TRUE(handler.IsOpen);
  handler.CloseFile();
  handler.RenameFile(dir.File("g.DAT"));
  EXPECT_EQ(handler.FileName, dir.File("g.DAT"));
  EXPECT_TRUE(handler.Exists());
  handler.DeleteFile();
  EXPECT_FALSE(handler.Exists());
}

// Vectored reads and writes against plain ones, on disk and in memory: more segments than one
// system call takes, empty segments, segments split by short transfers, a read ending inside a
// segment at the end of the file.
TEST(FileHandler, VectoredReadsAndWritesMatchPlainOnes) {
  TTestFolder dir;
  for (bool memory : {false, true}) {
    SCOPED_TRACE(memory ? "memory" : "disk");
    TFileHandler handler;
    handler.InMemory = memory;
    handler.FileName = memory ? "/mem/vector.DAT" : dir.File("vector.DAT");
    handler.CreateFile();
    std::mt19937 random(memory ? 3 : 4);
    std::vector<unsigned char> source(3000 * 7);
    for (auto& b : source) b = static_cast<unsigned char>(random());
    // 3,000 segments of 0 to 13 bytes: IOV_MAX (1,024) is exceeded twice over.
    std::vector<struct iovec> segments;
    std::size_t total = 0;
    while (segments.size() < 3000 && total + 13 <= source.size()) {
      std::size_t n = random() % 14;
      segments.push_back({source.data() + total, n});
      total += n;
    }
    handler.WriteVectorAt(100, segments.data(), segments.size());
    ASSERT_EQ(handler.GetSize(), static_cast<std::int64_t>(100 + total));
    std::vector<unsigned char> plain(total);
    ASSERT_EQ(handler.ReadAt(100, plain.data(), static_cast<std::int64_t>(total)), static_cast<std::int64_t>(total));
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), source.begin()));
    // Read back into other segments, from another offset.
    std::vector<unsigned char> back(total, 0);
    std::vector<struct iovec> into;
    for (std::size_t at = 0; at < total - 50;) {
      std::size_t n = std::min<std::size_t>(random() % 9, total - 50 - at);
      into.push_back({back.data() + at, n});
      at += n;
    }
    std::int64_t want = 0;
    for (const auto& v : into) want += static_cast<std::int64_t>(v.iov_len);
    ASSERT_EQ(handler.ReadVectorAt(150, into.data(), into.size()), want);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + want, source.begin() + 50));
    // Past the end: short with allowShort, an error without.
    std::vector<unsigned char> tail(64, 0);
    struct iovec ends[2] = {{tail.data(), 10}, {tail.data() + 10, 54}};
    std::int64_t offset = static_cast<std::int64_t>(100 + total) - 20;
    EXPECT_EQ(handler.ReadVectorAt(offset, ends, 2, true), 20);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 20, source.begin() + static_cast<std::ptrdiff_t>(total - 20)));
    try {
      handler.ReadVectorAt(offset, ends, 2);
      FAIL();
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_READERR);
    }
    handler.CloseFile();
    handler.DeleteFile();
  }
}

TEST(OSWrappers, TemporaryNamesAndFileFacts) {
  TTestFolder dir;
  std::string name = OSTempFileName(dir.Path(), ".tmp");
  EXPECT_EQ(name.rfind(dir.Path(), 0), 0u);
  EXPECT_EQ(name.substr(name.size() - 5), "0.tmp");
  WriteText(name, "abc");
  EXPECT_NE(OSTempFileName(dir.Path(), ".tmp"), name);
  EXPECT_TRUE(OSFileExists(name));
  EXPECT_FALSE(OSFileExists(dir.Path()));  // a folder is no file
  EXPECT_EQ(OSFileAge(dir.Path()), -1);
  EXPECT_EQ(OSSizeOfFile(name), 3);
  EXPECT_GT(OSTimeStampOfFile(name), 45000.0);  // after 2023
  int fd = OSFileOpen(name, fmReadWriteShared, true);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(OSFileClose(fd));
  EXPECT_FALSE(OSFileExists(name));  // deleted on close
  EXPECT_EQ(OSGetMaxFileSize(dir.Path()), 0x7FFFFFFFFFFFFFFFLL);
}

TEST(PathHelpers, TableFileNames) {
  EXPECT_EQ(EnsureFileExt("customer", ".DAT", ".IDX"), "customer.IDX");
  EXPECT_EQ(EnsureFileExt(" CUSTOMER.dat ", ".DAT", ".BLB"), "CUSTOMER.BLB");
  EXPECT_EQ(EnsureFileExt("cust.old", ".DAT", ".DAT"), "cust.old.DAT");
  EXPECT_EQ(EnsureFileExt("a.b/c", ".DAT", ".DAT"), "a.b/c.DAT");
  EXPECT_EQ(AddBS("/a"), "/a/");
  EXPECT_EQ(AddBS(""), "");
  EXPECT_EQ(RemoveLastDir("/a/b/c/"), "/a/b/");
  EXPECT_EQ(StripFilePathAndExtension("/a/b/c.DAT"), "c");
  EXPECT_EQ(ConvertSlashes("a\\b"), "a/b");
}

TEST(MatchString, WildcardsEscapesAndCase) {
  EXPECT_TRUE(MatchString("Customer.DAT", "*.dat"));
  EXPECT_FALSE(MatchString("Customer.IDX", "*.dat"));
  EXPECT_TRUE(MatchString("anything", "*"));
  EXPECT_TRUE(MatchString("", "*"));
  EXPECT_FALSE(MatchString("", "a"));
  EXPECT_TRUE(MatchString("", ""));
  EXPECT_TRUE(MatchString("abcbc", "a*bc"));
  EXPECT_TRUE(MatchString("abc", "a_c", true));
  EXPECT_FALSE(MatchString("ac", "a_c", true));
  EXPECT_TRUE(MatchString("a%c", "a\\%c", true, '\\'));
  EXPECT_FALSE(MatchString("abc", "a\\%c", true, '\\'));
  EXPECT_TRUE(MatchString("a*", "a\\*", false, '\\'));
  EXPECT_FALSE(MatchString("ab", "a\\*", false, '\\'));
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

TEST(FileList, CompressedCopiesRestoreTheOriginalAndDamagedOnesAreRefused) {
  TFileList& list = GetFileList();
  TAbstractFile* src = nullptr;
  std::int32_t h = list.CreateFile("/cmp/src.DAT", true, src, false);
  std::vector<unsigned char> data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>((i / 100) % 7);
  src->Write(h, data.data(), static_cast<std::int64_t>(data.size()));
  ASSERT_EQ(list.CopyToFile(src, h, true, "/cmp/packed.DAT", true, nullptr, 0), 0);
  TAbstractFile* packed = nullptr;
  std::int32_t p = Open("/cmp/packed.DAT", true, packed);
  EXPECT_LT(packed->GetFileSize(), static_cast<std::int64_t>(data.size()) / 10);
  list.CloseFile(packed, true, p);
  // Restore into the (emptied) source.
  src->Seek(h, 0, soFromBeginning);
  src->Write(h, nullptr, 0);
  ASSERT_EQ(list.CopyFromFile(src, h, true, "/cmp/packed.DAT", true, nullptr, 0), 0);
  std::vector<unsigned char> back(data.size());
  src->Seek(h, 0, soFromBeginning);
  ASSERT_EQ(src->Read(h, back.data(), static_cast<std::int64_t>(back.size())), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(back, data);
  // A plain file read as a compressed copy fails cleanly.
  EXPECT_EQ(list.CopyFromFile(src, h, true, "/cmp/src2.DAT", true, nullptr, 0), -11010);
  TAbstractFile* junk = nullptr;
  std::int32_t j = list.CreateFile("/cmp/junk.DAT", true, junk, false);
  junk->Write(j, "\x10\x00\x00\x00garbage-garbage!", 20);
  list.CloseFile(junk, true, j);
  EXPECT_EQ(list.CopyFromFile(src, h, true, "/cmp/junk.DAT", true, nullptr, 0), -15002);
  list.CloseFile(src, true, h);
  for (const char* n : {"/cmp/src.DAT", "/cmp/packed.DAT", "/cmp/junk.DAT"}) list.DeleteFile(n, true);
}

}  // namespace
}  // namespace korvel
