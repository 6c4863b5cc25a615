#include "engine/data_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/data_file_bytes.h"
#include "support/scramble.h"

namespace korvel {
namespace {

class DataFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvel-df-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    owner_.TableName = "t";
    owner_.DirectoryName = dir_;
    owner_.PrivateDirectory = dir_;
    owner_.Exclusive = true;
  }
  void TearDown() override {
    file_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name = "t") const { return dir_ + "/" + name + ".DAT"; }

  TDataFile& Create(const std::vector<TFieldDefinition>& fields, bool encrypted = false,
                    const std::string& password = "", const std::string& description = "") {
    file_ = std::make_unique<TDataFile>(&owner_);
    file_->FileName = Path();
    file_->CreateDataFile(0, 0, 3, 4, encrypted, password, description, 1024, fields);
    file_->WriteHeader(false);
    file_->WriteFields();
    return *file_;
  }
  TDataFile& Reopen() {
    file_ = std::make_unique<TDataFile>(&owner_);
    file_->FileName = Path();
    file_->OpenFile();
    return *file_;
  }
  void Close() { file_.reset(); }

  // Appends a record whose bytes field (offset 9, 8 bytes) holds `value`.
  std::int32_t Append(TDataFile& f, const std::string& value = "", std::int32_t id = -1) {
    TRecord* r = nullptr;
    EXPECT_TRUE(f.GetNextFreeRecord(nullptr, r));
    r->Initialize(id < 0);
    if (id >= 0) r->SetRecordID(id);
    if (f.GetRecordSize() > 9 && !value.empty()) {
      r->Buffer()[9] = 1;
      std::memcpy(r->Buffer() + 10, value.data(), std::min<std::size_t>(value.size(), f.GetRecordSize() - 10));
    }
    r->Modified = true;
    std::int32_t n = r->RecordNumber;
    f.PutRecord(r);
    return n;
  }
  std::string Value(TDataFile& f, std::int32_t n, bool forward = true, bool readAhead = true) {
    TRecord* r = nullptr;
    EXPECT_TRUE(f.GetRecord(nullptr, n, readAhead, false, forward, r));
    std::string s(reinterpret_cast<const char*>(r->Buffer() + 10), 8);
    s.erase(s.find_last_not_of('\0') + 1);
    f.PutRecord(r);
    return s;
  }
  void Save(TDataFile& f) {
    f.FlushRecordBuffers();
    f.WriteHeader(false);
    f.WriteFields();
  }
  std::vector<std::uint8_t> Bytes() const {
    std::ifstream in(Path(), std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  void Poke(std::size_t offset, const void* data, std::size_t n) {
    std::fstream io(Path(), std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(offset));
    io.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  }
  void PokeI32(std::size_t offset, std::int32_t v) {
    std::uint8_t b[4];
    PutI32(b, 0, v);
    Poke(offset, b, 4);
  }
  void PokeU16(std::size_t offset, std::uint16_t v) {
    std::uint8_t b[2];
    PutU16(b, 0, v);
    Poke(offset, b, 2);
  }
  TErrorCode OpenError() {
    try {
      Reopen();
    } catch (const EKORVELEngineError& e) {
      return e.ErrorCode;
    }
    return 0;
  }

  std::string dir_;
  TPlainDataFileOwner owner_;
  std::unique_ptr<TDataFile> file_;
};

std::vector<TFieldDefinition> OneBytesField() { return {MakeField("Value", dtBytes, 8)}; }

TEST_F(DataFileTest, HeaderLayoutByOffset) {
  TDataFile& f = Create({MakeField("Name", dtString, 20), MakeField("Picture", dtBlob), MakeField("ID", dtInteger, 0, stAutoInc)},
                        false, "ignored", "Customers");
  Append(f, "x");
  f.GetNextFreeBlobSignature();
  Save(f);
  Close();
  std::vector<std::uint8_t> b = Bytes();
  const std::size_t recordSize = 9 + 22 + 9;
  ASSERT_EQ(b.size(), 127 + 768 * 3 + recordSize);
  EXPECT_EQ(GetI32(b.data(), 0), 2);       // created, then the append's header write
  EXPECT_EQ(GetI32(b.data(), 4), 1024);    // BlobBlockSize
  EXPECT_EQ(b[8], 5);                      // VersionNum
  EXPECT_EQ(GetI32(b.data(), 9), 0);       // FirstFreeRecord
  EXPECT_EQ(GetI32(b.data(), 13), 2);      // NextRecordNumber
  EXPECT_EQ(GetI32(b.data(), 17), 1);      // LastRecordID
  EXPECT_EQ(GetU16(b.data(), 21), recordSize);
  EXPECT_EQ(GetU16(b.data(), 23), 3);      // FieldCount
  EXPECT_EQ(GetU16(b.data(), 25), 1);      // BlobFieldCount
  // A date-time value (days since 30 December 1899) less 693,594: some day of this century.
  double updated = GetF64(b.data(), 27) + 693594.0;
  EXPECT_GT(updated, 44000.0);
  EXPECT_LT(updated, 62000.0);
  EXPECT_EQ(b[35], 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[36]), 9), "Customers");
  EXPECT_EQ(b[86], 0);                     // Encrypted
  EXPECT_EQ(b[87], 0);                     // no password stored for a plain table
  EXPECT_EQ(GetU16(b.data(), 103), 0);     // LanguageID
  EXPECT_EQ(GetU16(b.data(), 105), 0);     // SortID
  EXPECT_EQ(GetU16(b.data(), 107), 3);     // UserMajorVersion
  EXPECT_EQ(GetU16(b.data(), 109), 4);     // UserMinorVersion
  EXPECT_EQ(b[111], 1);                    // HeaderModified as written
  EXPECT_EQ(GetI32(b.data(), 112), 1);     // LastBlobSignature
  EXPECT_EQ(GetI32(b.data(), 116), 31900); // EngineVersion
  for (std::size_t i = 120; i < 127; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST_F(DataFileTest, FieldDefinitionAndRecordLayoutByOffset) {
  TFieldDefinition name = MakeField("Name", dtString, 20);
  name.Description = "the name";
  name.Required = true;
  name.CharCase = 2;
  name.MinimumValue = "A";
  name.MaximumValue = "Z";
  name.DefaultValue = "M";
  TFieldDefinition amount = MakeField("Amount", dtBCD);
  amount.Decimals = 2;
  TDataFile& f = Create({name, MakeField("ID", dtInteger, 0, stAutoInc), amount, MakeField("When", dtTimeStamp)});
  EXPECT_EQ(f.GetRecordSize(), 9 + 22 + 35 + 9);
  Append(f, "Smith");
  Save(f);
  Close();
  std::vector<std::uint8_t> b = Bytes();
  const std::uint8_t* d = b.data() + 127;
  EXPECT_EQ(GetU16(d, 0), 1);
  EXPECT_EQ(d[2], 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 3), 4), "Name");
  EXPECT_EQ(d[33], 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 34), 8), "the name");
  EXPECT_EQ(d[84], dtString);
  EXPECT_EQ(d[85], 0);
  EXPECT_EQ(d[86], 20);   // Length
  EXPECT_EQ(d[87], 0);    // Decimals
  EXPECT_EQ(d[88], 21);   // PhysicalSize: text and terminator
  EXPECT_EQ(GetU16(d, 90), 9);
  EXPECT_EQ(d[92], 1);    // Required
  EXPECT_EQ(d[93], 2);    // CharCase
  EXPECT_EQ(d[94], 1);
  EXPECT_EQ(d[95], 'A');
  EXPECT_EQ(d[145], 1);
  EXPECT_EQ(d[146], 'Z');
  EXPECT_EQ(d[196], 1);
  EXPECT_EQ(d[197], 'M');
  const std::uint8_t* id = d + 768;
  EXPECT_EQ(GetU16(id, 0), 2);
  EXPECT_EQ(id[84], dtInteger);
  EXPECT_EQ(id[85], stAutoInc);
  EXPECT_EQ(id[88], 4);
  EXPECT_EQ(GetU16(id, 90), 5);  // the record ID is its value
  const std::uint8_t* bcd = d + 2 * 768;
  EXPECT_EQ(bcd[87], 2);
  EXPECT_EQ(bcd[88], 34);
  EXPECT_EQ(bcd[89], 2);         // PhysicalDecimals
  EXPECT_EQ(GetU16(bcd, 90), 9 + 22);
  EXPECT_EQ(GetU16(d + 3 * 768, 90), 9 + 22 + 35);
  const std::uint8_t* r = b.data() + 127 + 4 * 768;
  EXPECT_EQ(r[0], 0);               // live
  EXPECT_EQ(GetI32(r, 1), 1);       // its own number
  EXPECT_EQ(GetI32(r, 5), 1);       // record ID
  EXPECT_EQ(r[9], 1);               // null flag of Name
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 10), 5), "Smith");

  TDataFile& g = Reopen();
  TFieldDefinition byName;
  ASSERT_TRUE(g.GetFieldDefinitionByName(" amount ", byName));
  EXPECT_EQ(byName.Position, 3);
  EXPECT_EQ(byName.Decimals, 2);
  EXPECT_EQ(g.GetFieldNumber("WHEN"), 4);
  EXPECT_EQ(g.GetFieldNumber("missing"), 0);
  EXPECT_EQ(g.GetFieldDefinitionByPos(1).DefaultValue, "M");
  EXPECT_NO_THROW(g.CheckHeader());
}

TEST_F(DataFileTest, TableWithoutFields) {
  TDataFile& f = Create({});
  EXPECT_EQ(f.GetRecordSize(), 9);
  for (int i = 0; i < 5; ++i) Append(f);
  Save(f);
  EXPECT_EQ(f.GetFileSize(), 127 + 5 * 9);
  Close();
  EXPECT_EQ(Bytes().size(), 127u + 5 * 9);
  TDataFile& g = Reopen();
  EXPECT_EQ(g.GetPhysicalRecordsUsed(), 5);
  EXPECT_NO_THROW(g.CheckHeader());
}

TEST_F(DataFileTest, CreationLimits) {
  std::vector<TFieldDefinition> blobs(129, MakeField("B", dtBlob));
  EXPECT_THROW(Create(blobs), EKORVELEngineError);
  try {
    Create(blobs);
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_BLOBLIMIT);
  }
  // 257 strings of 250 characters need 257 x 252 + 9 = 64,773 bytes; 261 need 65,781.
  std::vector<TFieldDefinition> wide(261, MakeField("S", dtString, 250));
  try {
    Create(wide);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_RECTOOBIG);
  }
  wide.resize(257);
  EXPECT_EQ(Create(wide).GetRecordSize(), 9 + 257 * 252);
  try {
    Create({MakeField("S", dtString, 251)});
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_INVALIDFLDTYPE);
  }
}

TEST_F(DataFileTest, AppendsReadBackAfterReopenInRuns) {
  TDataFile& f = Create(OneBytesField());  // 18-byte records
  for (int i = 1; i <= 1000; ++i) Append(f, std::to_string(i));
  Save(f);
  Close();
  TDataFile& g = Reopen();
  EXPECT_EQ(g.GetReadAheadLimit(), 8192 / 18);
  for (int i = 1; i <= 1000; ++i) ASSERT_EQ(Value(g, i), std::to_string(i));
  // Sequential reads go through the cache: one read per run of 455 records.
  EXPECT_EQ(g.GetRecordReads(), 3u);
  EXPECT_EQ(g.GetCacheMisses(), 3u);
  EXPECT_LE(g.GetRecordBufferCount(), g.GetRecordBufferCapacity());
  // Backwards, runs end at the record asked for.
  TDataFile& h = Reopen();
  for (int i = 1000; i >= 1; --i) ASSERT_EQ(Value(h, i, false), std::to_string(i));
  EXPECT_EQ(h.GetRecordReads(), 3u);
  // Without read-ahead, one record per read.
  TDataFile& k = Reopen();
  TRecord* r = nullptr;
  ASSERT_TRUE(k.GetRecord(nullptr, 500, false, false, true, r));
  k.PutRecord(r);
  EXPECT_EQ(k.GetRecordBufferCount(), 1);
}

TEST_F(DataFileTest, AFlushWritesEveryChangedRecordAndOnlyThose) {
  owner_.MaxTableDataBufferSize = 1 << 20;
  TDataFile& f = Create(OneBytesField());
  for (int i = 1; i <= 3000; ++i) Append(f, std::to_string(i));
  Save(f);
  const std::uint32_t writes = f.GetRecordWrites();
  // One record changed: one write. A record held pinned across a flush and changed after it
  // is still written by the next one.
  TRecord* held = nullptr;
  ASSERT_TRUE(f.GetRecord(nullptr, 10, false, false, true, held));
  TRecord* r = nullptr;
  ASSERT_TRUE(f.GetRecord(nullptr, 2000, false, false, true, r));
  std::memcpy(r->Buffer() + 10, "changed", 7);
  r->Modified = true;
  f.PutRecord(r);
  f.FlushRecordBuffers();
  EXPECT_EQ(f.GetRecordWrites(), writes + 1);
  std::memcpy(held->Buffer() + 10, "later", 5);
  held->Modified = true;
  f.PutRecord(held);
  f.FlushRecordBuffers();
  EXPECT_EQ(f.GetRecordWrites(), writes + 2);
  f.FlushRecordBuffers();
  EXPECT_EQ(f.GetRecordWrites(), writes + 2);
  Save(f);
  Close();
  TDataFile& g = Reopen();
  EXPECT_EQ(Value(g, 2000), "changed");
  EXPECT_EQ(Value(g, 10), "later");
  EXPECT_EQ(Value(g, 11), "11");
}

TEST_F(DataFileTest, RecordNumbersOutsideTheFile) {
  TDataFile& f = Create(OneBytesField());
  Append(f, "a");
  TRecord* r = nullptr;
  for (std::int32_t n : {0, -1, 3, 100}) {
    try {
      f.GetRecord(nullptr, n, false, false, true, r);
      FAIL() << n;
    } catch (const EKORVELEngineError& e) {
      EXPECT_EQ(e.ErrorCode, KORVEL_FILECORRUPT);
      EXPECT_EQ(e.ErrorTableName, "t");
    }
  }
  // Record NextRecordNumber appends.
  ASSERT_TRUE(f.GetRecord(nullptr, 2, false, false, true, r));
  EXPECT_EQ(r->RecordNumber, 2);
  f.PutRecord(r);
  EXPECT_EQ(f.GetPhysicalRecordsUsed(), 2);
}

TEST_F(DataFileTest, TableFullLimits) {
  TDataFile& f = Create({});
  Save(f);
  Close();
  PokeI32(13, 200000000);  // NextRecordNumber: 199,999,999 records used
  TDataFile& g = Reopen();
  TRecord* r = nullptr;
  ASSERT_TRUE(g.GetRecord(nullptr, 200000000, false, false, true, r));
  g.PutRecord(r);
  try {
    g.GetRecord(nullptr, 200000001, false, false, true, r);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_TABLEFULL);
  }
  g.FreeRecordBuffers();
  Close();

  // 4,000,000,000 bytes: 127 + 768 + n x 1000 may not pass it.
  Create({MakeField("S", dtBytes, 250), MakeField("T", dtBytes, 250), MakeField("U", dtBytes, 250), MakeField("V", dtBytes, 237)});
  ASSERT_EQ(file_->GetRecordSize(), 1000);
  Save(*file_);
  Close();
  const std::int32_t last = static_cast<std::int32_t>((4000000000LL - 127 - 4 * 768) / 1000);
  PokeI32(13, last);
  TDataFile& h = Reopen();
  ASSERT_TRUE(h.GetRecord(nullptr, last, false, false, true, r));
  h.PutRecord(r);
  try {
    h.GetRecord(nullptr, last + 1, false, false, true, r);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_TABLEFULL);
  }
  h.FreeRecordBuffers();
}

TEST_F(DataFileTest, FreedRecordsAreReusedOnlyWithAPrimaryIndex) {
  for (bool primary : {true, false}) {
    owner_.NoPrimaryIndex = !primary;
    TDataFile& f = Create(OneBytesField());
    for (int i = 1; i <= 6; ++i) Append(f, std::to_string(i));
    for (std::int32_t n : {3, 5}) {
      TRecord* r = nullptr;
      ASSERT_TRUE(f.GetRecord(nullptr, n, false, false, true, r));
      f.SetNextFreeRecord(r);
      f.PutRecord(r);
    }
    EXPECT_EQ(f.Header().FirstFreeRecord, 5);
    Save(f);
    Close();
    std::vector<std::uint8_t> b = Bytes();
    const std::size_t area = 127 + 768;
    EXPECT_EQ(b[area + 4 * 18], 1);                 // record 5 is free ...
    EXPECT_EQ(GetI32(b.data(), area + 4 * 18 + 1), 3);  // ... and links to 3
    EXPECT_EQ(GetI32(b.data(), area + 2 * 18 + 1), 0);  // the chain ends at 3
    TDataFile& g = Reopen();
    std::int32_t first = Append(g, "new1");
    std::int32_t second = Append(g, "new2");
    if (primary) {
      EXPECT_EQ(first, 5);
      EXPECT_EQ(second, 3);
      EXPECT_EQ(g.Header().FirstFreeRecord, 0);
      EXPECT_EQ(g.GetPhysicalRecordsUsed(), 6);
    } else {
      EXPECT_EQ(first, 7);
      EXPECT_EQ(second, 8);
      EXPECT_EQ(g.Header().FirstFreeRecord, 5);  // the chain is kept
    }
    Save(g);
    Close();
  }
}

TEST_F(DataFileTest, DamagedFreeChainIsRefused) {
  TDataFile& f = Create(OneBytesField());
  for (int i = 1; i <= 3; ++i) Append(f, "v");
  f.SetNextFreeRecordNumber(2);  // a live record at the head
  TRecord* r = nullptr;
  try {
    f.GetNextFreeRecord(nullptr, r);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_FILECORRUPT);
  }
  EXPECT_EQ(Value(f, 2), "v");
}

TEST_F(DataFileTest, RecordIDsContinueAcrossReopeningAndWrap) {
  TDataFile& f = Create(OneBytesField());
  EXPECT_EQ(f.GetNextFreeRecordID(), 1);
  EXPECT_EQ(f.GetNextFreeRecordID(), 2);
  Save(f);
  Close();
  TDataFile& g = Reopen();
  EXPECT_EQ(g.GetNextFreeRecordID(), 3);
  g.SetNextFreeRecordID(2147483646);
  EXPECT_EQ(g.GetNextFreeRecordID(), 2147483647);
  EXPECT_EQ(g.GetNextFreeRecordID(), 1);
  Save(g);
  Close();
  TDataFile& h = Reopen();
  EXPECT_EQ(h.GetLastRecordID(), 1);
  h.Header();
  EXPECT_FALSE(h.WriteHeader(false));  // nothing changed
  h.SetNextFreeRecordID(1);
  EXPECT_FALSE(h.Header().HeaderModified);
  EXPECT_EQ(h.GetNextFreeBlobSignature(), 1);
  EXPECT_TRUE(h.Header().HeaderModified);
}

TEST_F(DataFileTest, CacheFullOfPinnedOrModifiedRecordsGrowsBy64) {
  owner_.MaxTableDataBufferSize = 18 * 10;  // ten records
  owner_.TransactionInProgress = true;      // nothing may be flushed
  TDataFile& f = Create(OneBytesField());
  EXPECT_EQ(f.GetRecordBufferCapacity(), 10);
  for (int i = 1; i <= 11; ++i) Append(f, std::to_string(i));
  EXPECT_EQ(f.GetRecordBufferCapacity(), 74);
  EXPECT_EQ(f.GetRecordBufferCount(), 11);
  // Pinned records are neither written nor recycled either.
  owner_.TransactionInProgress = false;
  f.FlushRecordBuffers();
  std::vector<TRecord*> pinned;
  for (int i = 1; i <= 11; ++i) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, i, false, false, true, r));
    pinned.push_back(r);
  }
  while (f.GetRecordBufferCount() <= 74) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, f.GetPhysicalRecordsUsed() + 1, false, false, true, r));
    pinned.push_back(r);
  }
  EXPECT_EQ(f.GetRecordBufferCapacity(), 74 + 64);
  EXPECT_FALSE(f.FlushRecordBuffers());
  for (TRecord* r : pinned) f.PutRecord(r);
  // Trimming flushes and evicts down to the limit again.
  f.AdjustRecordBuffers();
  EXPECT_EQ(f.GetRecordBufferCount(), 10);
  EXPECT_EQ(f.GetRecordBufferCapacity(), 10);
  f.WriteHeader(false);
  Close();
  TDataFile& g = Reopen();
  EXPECT_EQ(g.GetPhysicalRecordsUsed(), 75);
  EXPECT_EQ(g.GetFileSize(), static_cast<std::int64_t>(Bytes().size()));
  for (int i = 1; i <= 11; ++i) EXPECT_EQ(Value(g, i), std::to_string(i));
}

TEST_F(DataFileTest, RecyclingKeepsEveryChangeAndFlushesInRuns) {
  owner_.MaxTableDataBufferSize = 18 * 16;
  TDataFile& f = Create(OneBytesField());
  for (int i = 1; i <= 100; ++i) Append(f, std::to_string(i));
  EXPECT_LE(f.GetRecordBufferCount(), 16);
  Save(f);
  // Runs of consecutive modified records are written with one operation each.
  f.FreeRecordBuffers();
  for (std::int32_t n : {2, 3, 4, 7, 9, 10}) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, n, false, false, true, r));
    r->Buffer()[10] = 'x';
    r->Modified = true;
    f.PutRecord(r);
  }
  std::uint32_t before = f.GetRecordWrites();
  EXPECT_TRUE(f.FlushRecordBuffers());
  EXPECT_EQ(f.GetRecordWrites() - before, 3u);
  EXPECT_FALSE(f.FlushRecordBuffers());
  Close();
  TDataFile& g = Reopen();
  for (int i = 1; i <= 100; ++i) {
    std::string expected = std::to_string(i);
    if (i == 2 || i == 3 || i == 4 || i == 7 || i == 9 || i == 10) expected[0] = 'x';
    ASSERT_EQ(Value(g, i), expected) << i;
  }
}

// Random reads, changes, appends, pins, flushes and cache drops through a small cache, checked
// after every step against a plain map of what each record holds, and against the file at the
// end: the index must find every cached record and only those, whatever was evicted.
TEST_F(DataFileTest, ACacheUnderRandomUseAgreesWithAReference) {
  owner_.MaxTableDataBufferSize = 18 * 24;  // 24 records
  TDataFile& f = Create(OneBytesField());
  std::map<std::int32_t, std::string> expected;
  for (int i = 1; i <= 200; ++i) expected[Append(f, "v" + std::to_string(i))] = "v" + std::to_string(i);
  Save(f);
  std::mt19937 random(7);
  std::vector<TRecord*> pinned;
  for (int step = 0; step < 20000; ++step) {
    const std::int32_t used = f.GetPhysicalRecordsUsed();
    const std::int32_t n = static_cast<std::int32_t>(random() % static_cast<unsigned>(used)) + 1;
    switch (random() % 10) {
      case 0:
      case 1: {  // change a record in place
        TRecord* r = nullptr;
        ASSERT_TRUE(f.GetRecord(nullptr, n, random() % 2 == 0, false, random() % 2 == 0, r));
        std::string value = "c" + std::to_string(step);
        r->Buffer()[9] = 1;
        std::memset(r->Buffer() + 10, 0, 8);
        std::memcpy(r->Buffer() + 10, value.data(), std::min<std::size_t>(value.size(), 8));
        r->Modified = true;
        expected[n] = value.substr(0, 8);
        f.PutRecord(r);
        break;
      }
      case 2: {  // append
        std::string value = "a" + std::to_string(step);
        expected[Append(f, value)] = value.substr(0, 8);
        break;
      }
      case 3: {  // hold a record for a while
        TRecord* r = nullptr;
        ASSERT_TRUE(f.GetRecord(nullptr, n, false, false, true, r));
        pinned.push_back(r);
        if (pinned.size() > 6) {
          f.PutRecord(pinned.front());
          pinned.erase(pinned.begin());
        }
        break;
      }
      case 4:
        if (random() % 8 == 0) f.FlushRecordBuffers();
        if (random() % 64 == 0) {
          f.FlushRecordBuffers();
          f.AdjustRecordBuffers();
        }
        break;
      default: {  // read, forward or backward, with or without read-ahead
        bool forward = random() % 2 == 0;
        ASSERT_EQ(Value(f, n, forward, random() % 3 != 0), expected[n]) << "step " << step << " record " << n;
        break;
      }
    }
    ASSERT_LE(f.GetRecordBufferCount(), f.GetRecordBufferCapacity());
  }
  for (TRecord* r : pinned) f.PutRecord(r);
  Save(f);
  Close();
  TDataFile& g = Reopen();
  ASSERT_EQ(g.GetPhysicalRecordsUsed(), static_cast<std::int32_t>(expected.size()));
  for (const auto& [n, value] : expected) ASSERT_EQ(Value(g, n), value) << n;
}

// A forward scan reads longer runs while its misses follow one another, up to half the cache;
// a jump elsewhere starts again at the usual read-ahead.
TEST_F(DataFileTest, ForwardScansReadLongerRunsWithinTheCache) {
  owner_.MaxTableDataBufferSize = 18 * 8000;
  TDataFile& f = Create(OneBytesField());
  for (int i = 1; i <= 20000; ++i) Append(f, std::to_string(i));
  Save(f);
  Close();
  TDataFile& g = Reopen();
  const std::int32_t first = 8192 / 18;  // 455 records
  for (int i = 1; i <= 20000; ++i) ASSERT_EQ(Value(g, i), std::to_string(i));
  // Runs of 455, 910, 1820, 3640, then 4000 (half the cache): 20,000 records in 8 reads
  // instead of 44 at 455 a read.
  EXPECT_EQ(g.GetRecordReads(), 8u);
  EXPECT_LE(g.GetRecordBufferCount(), g.GetRecordBufferCapacity());
  g.FreeRecordBuffers();
  const std::uint32_t before = g.GetRecordReads();
  ASSERT_EQ(Value(g, 5000), "5000");
  ASSERT_EQ(Value(g, 5000 + first), std::to_string(5000 + first));  // continues the run: 910 more
  ASSERT_EQ(Value(g, 15000), "15000");                               // a jump: 455 again
  ASSERT_EQ(Value(g, 15000 + first - 1), std::to_string(15000 + first - 1));
  ASSERT_EQ(Value(g, 15000 + first), std::to_string(15000 + first));
  EXPECT_EQ(g.GetRecordReads() - before, 4u);
  EXPECT_EQ(Value(g, 5000 + 3 * first - 1), std::to_string(5000 + 3 * first - 1));  // still cached
  EXPECT_EQ(g.GetRecordReads() - before, 4u);
  // With the default cache (16 KiB) the runs stay at the usual read-ahead, half the cache.
  owner_.MaxTableDataBufferSize = 16384;
  TDataFile& h = Reopen();
  for (int i = 1; i <= 2000; ++i) ASSERT_EQ(Value(h, i), std::to_string(i));
  EXPECT_EQ(h.GetRecordReads(), static_cast<std::uint32_t>((2000 + first - 1) / first));
}

TEST_F(DataFileTest, ReadLockRefusedGivesNoRecord) {
  TDataFile& f = Create(OneBytesField());
  Append(f, "a");
  Save(f);
  f.FreeRecordBuffers();
  owner_.ReadLockGranted = false;
  TRecord* r = reinterpret_cast<TRecord*>(1);
  EXPECT_FALSE(f.GetRecord(nullptr, 1, true, false, true, r));
  EXPECT_EQ(r, nullptr);
  owner_.ReadLocked = true;  // already inside a read lock: none is asked for
  int requests = owner_.ReadLockRequests;
  EXPECT_TRUE(f.GetRecord(nullptr, 1, true, false, true, r));
  f.PutRecord(r);
  EXPECT_EQ(owner_.ReadLockRequests, requests);
}

// CopyRecords must hand out exactly the images GetRecord does, whatever mix of cached,
// modified, freed, unflushed and on-disk records a span covers, without touching the cache.
TEST_F(DataFileTest, CopyRecordsMatchesGetRecordOverEveryKindOfRecord) {
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "scrambled" : "plain");
    TDataFile& f = Create(OneBytesField(), encrypted, encrypted ? "pw" : "");
    for (int i = 1; i <= 300; ++i) Append(f, "r" + std::to_string(i));
    Save(f);
    f.FreeRecordBuffers();
    // Cached and clean, cached with an unwritten change, freed, and appended past the file's end.
    for (std::int32_t n : {5, 6, 7, 100, 299, 300}) Value(f, n, true, false);
    for (std::int32_t n : {6, 50, 51, 200}) {
      TRecord* r = nullptr;
      ASSERT_TRUE(f.GetRecord(nullptr, n, false, false, true, r));
      r->Buffer()[10] = 'M';
      r->Modified = true;
      f.PutRecord(r);
    }
    TRecord* freed = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, 120, false, false, true, freed));
    f.SetNextFreeRecord(freed);
    f.PutRecord(freed);
    owner_.NoPrimaryIndex = true;  // appends go to the end, not onto the freed record
    for (int i = 301; i <= 305; ++i) Append(f, "n" + std::to_string(i));
    owner_.NoPrimaryIndex = false;
    ASSERT_EQ(f.GetPhysicalRecordsUsed(), 305);

    const std::size_t size = static_cast<std::size_t>(f.GetRecordSize());
    const std::int32_t cached = f.GetRecordBufferCount();
    const std::vector<std::pair<std::int32_t, std::int32_t>> spans = {{1, 305}, {6, 1},   {120, 1}, {2, 10},
                                                                      {49, 4},  {296, 10}, {303, 3}};
    std::vector<std::vector<std::uint8_t>> copies;
    for (auto [first, count] : spans) {
      copies.emplace_back(static_cast<std::size_t>(count) * size, 0xEE);
      ASSERT_TRUE(f.CopyRecords(nullptr, first, count, copies.back().data()));
      ASSERT_EQ(f.GetRecordBufferCount(), cached) << "a copy must not enter the cache";
    }
    for (std::size_t s = 0; s < spans.size(); ++s) {
      for (std::int32_t i = 0; i < spans[s].second; ++i) {
        const auto at = copies[s].begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(i) * size);
        std::vector<std::uint8_t> image(at, at + static_cast<std::ptrdiff_t>(size));
        TRecord* r = nullptr;
        ASSERT_TRUE(f.GetRecord(nullptr, spans[s].first + i, false, false, true, r));
        std::vector<std::uint8_t> expected(r->Buffer(), r->Buffer() + size);
        f.PutRecord(r);
        ASSERT_EQ(image, expected) << "record " << spans[s].first + i;
      }
    }
    std::uint8_t one[64];
    EXPECT_THROW(f.CopyRecords(nullptr, 306, 1, one), EKORVELEngineError);
    EXPECT_THROW(f.CopyRecords(nullptr, 0, 1, one), EKORVELEngineError);
    Close();
  }
}

TEST_F(DataFileTest, CopyRecordsNeedsTheReadLockOnlyForTheFile) {
  TDataFile& f = Create(OneBytesField());
  for (int i = 1; i <= 10; ++i) Append(f, std::to_string(i));
  Save(f);
  f.FreeRecordBuffers();
  Value(f, 3, true, false);
  owner_.ReadLockGranted = false;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(f.GetRecordSize()) * 10);
  EXPECT_TRUE(f.CopyRecords(nullptr, 3, 1, buffer.data()));  // cached: no lock asked
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data() + 10), 1), "3");
  EXPECT_FALSE(f.CopyRecords(nullptr, 1, 10, buffer.data()));
  owner_.ReadLockGranted = true;
  EXPECT_TRUE(f.CopyRecords(nullptr, 1, 10, buffer.data()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data() + 9 * f.GetRecordSize() + 10), 2), "10");
}

TEST_F(DataFileTest, ChangeDetectionBetweenTwoOpeners) {
  owner_.Exclusive = false;
  Save(Create(OneBytesField()));
  Close();  // a file is created for exclusive use
  TDataFile& f = Reopen();
  TPlainDataFileOwner otherOwner = owner_;
  TDataFile other(&otherOwner);
  other.FileName = Path();
  other.OpenFile();
  EXPECT_FALSE(f.CheckForChanges());
  Append(other, "b");
  Save(other);
  EXPECT_TRUE(f.CheckForChanges());
  EXPECT_FALSE(f.CheckForChanges());
  EXPECT_EQ(f.GetPhysicalRecordsUsed(), 1);
  EXPECT_EQ(Value(f, 1), "b");
}

TEST_F(DataFileTest, HeaderChecks) {
  TDataFile& f = Create({MakeField("A", dtInteger), MakeField("B", dtBytes, 4)});
  Append(f, "z");
  Save(f);
  Close();
  auto check = [&]() -> TErrorCode {
    try {
      Reopen().CheckHeader();
    } catch (const EKORVELEngineError& e) {
      return e.ErrorCode;
    }
    return 0;
  };
  EXPECT_EQ(check(), 0);
  const std::size_t second = 127 + 768;
  std::vector<std::uint8_t> original = Bytes();
  auto restore = [&]() {
    Close();
    Poke(0, original.data(), original.size());
  };
  Close();
  Poke(second + 3, "A", 1);  // duplicate name (case does not matter)
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  Poke(second + 3, "1", 1);  // does not start with a letter
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  PokeU16(second, 1);  // FieldNumber not its position
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  PokeU16(second + 90, 13);  // offset not the running total
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  Poke(second + 87, "\x02", 1);  // decimals outside BCD
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  PokeI32(9, 2);  // FirstFreeRecord beyond the records
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  PokeI32(13, 1);  // NextRecordNumber not the record count + 1
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  restore();
  Poke(original.size(), "xyz", 3);  // a partial record at the end
  EXPECT_EQ(check(), KORVEL_HEADERCORRUPT);
  Close();
  std::filesystem::resize_file(Path(), original.size());
  Poke(8, "\x04", 1);
  EXPECT_EQ(check(), KORVEL_OLDVERSION);
  restore();
  EXPECT_EQ(check(), 0);
}

TEST_F(DataFileTest, DamagedFilesFailToOpenWithEngineErrors) {
  TDataFile& f = Create({MakeField("A", dtInteger), MakeField("B", dtBytes, 4)});
  Save(f);
  Close();
  std::vector<std::uint8_t> original = Bytes();
  auto restore = [&]() { Poke(0, original.data(), original.size()); };
  PokeU16(23, 1025);
  EXPECT_EQ(OpenError(), KORVEL_HEADERCORRUPT);
  restore();
  PokeU16(23, 5);  // more definitions than the file holds
  EXPECT_EQ(OpenError(), KORVEL_READERR);
  restore();
  PokeU16(21, 4);  // records smaller than their own header
  EXPECT_EQ(OpenError(), KORVEL_HEADERCORRUPT);
  restore();
  PokeU16(127 + 768 + 90, 60000);  // a field placed outside the record
  EXPECT_EQ(OpenError(), KORVEL_HEADERCORRUPT);
  restore();
  Poke(35, "\x33", 1);  // description length 51 in a 50-character slot
  EXPECT_EQ(OpenError(), KORVEL_HEADERCORRUPT);
  restore();
  PokeI32(13, -5);
  EXPECT_EQ(OpenError(), KORVEL_HEADERCORRUPT);
  restore();
  std::filesystem::resize_file(Path(), 100);
  EXPECT_EQ(OpenError(), KORVEL_READERR);
  std::filesystem::resize_file(Path(), 0);
  EXPECT_EQ(OpenError(), KORVEL_READERR);
}

TEST_F(DataFileTest, RecordsBeyondTheEndOfTheFileAreReported) {
  TDataFile& f = Create(OneBytesField());
  for (int i = 0; i < 5; ++i) Append(f, "v");
  Save(f);
  Close();
  std::filesystem::resize_file(Path(), 127 + 768 + 3 * 18);
  owner_.Exclusive = false;
  TDataFile& g = Reopen();
  EXPECT_EQ(Value(g, 3, true, false), "v");
  TRecord* r = nullptr;
  try {
    g.GetRecord(nullptr, 5, false, false, true, r);
    FAIL();
  } catch (const EKORVELEngineError& e) {
    EXPECT_EQ(e.ErrorCode, KORVEL_READERR);
  }
}

TEST_F(DataFileTest, ClearHeaderEmptiesTheTable) {
  TDataFile& f = Create(OneBytesField());
  for (int i = 0; i < 5; ++i) Append(f, "v");
  Save(f);
  f.ClearHeader();
  EXPECT_EQ(f.GetPhysicalRecordsUsed(), 0);
  EXPECT_EQ(f.GetRecordBufferCount(), 0);
  Append(f, "new");
  Save(f);
  Close();
  EXPECT_EQ(Bytes().size(), 127u + 768 + 18);
  EXPECT_EQ(Value(Reopen(), 1), "new");
}

TEST_F(DataFileTest, UpdatesOfDefinitionsAndHeader) {
  TDataFile& f = Create({MakeField("A", dtInteger), MakeField("B", dtBytes, 4)});
  TFieldDefinition d = f.GetFieldDefinitionByPos(2);
  d.FieldName = "Renamed";
  d.Required = true;
  d.Length = 99;  // layout is not changed this way
  f.UpdateFieldDefinitionByPos(2, d);
  EXPECT_TRUE(f.GetFieldsModified());
  f.UpdateHeader("", "new description", 7, 8, 9);
  Save(f);
  Close();
  TDataFile& g = Reopen();
  EXPECT_EQ(g.GetFieldDefinitionByPos(2).FieldName, "Renamed");
  EXPECT_TRUE(g.GetFieldDefinitionByPos(2).Required);
  EXPECT_EQ(g.GetFieldDefinitionByPos(2).Length, 4);
  EXPECT_EQ(g.GetDescription(), "new description");
  EXPECT_EQ(g.GetLastRecordID(), 7);
  EXPECT_EQ(g.GetUserMajorVersion(), 8);
  EXPECT_EQ(g.GetUserMinorVersion(), 9);
}

TEST_F(DataFileTest, RecordPool) {
  TDataFile& f = Create(OneBytesField());
  std::vector<std::unique_ptr<TRecord>> records;
  for (int i = 0; i < 70; ++i) records.push_back(f.GetNewRecordInstance());
  TRecord* kept = records[63].get();  // the last one the pool of 64 keeps
  kept->Buffer()[10] = 'q';
  kept->IncUseCount();
  for (auto& r : records) f.ReturnRecordInstance(std::move(r));
  std::unique_ptr<TRecord> again = f.GetNewRecordInstance();
  EXPECT_EQ(again.get(), kept);  // the last one pooled comes back first ...
  EXPECT_EQ(again->Buffer()[10], 0);  // ... cleared
  EXPECT_EQ(again->UseCount, 0);
  EXPECT_EQ(again->RecordSize, 18);
  again->DecUseCount();
  EXPECT_EQ(again->UseCount, 0);
}

TEST_F(DataFileTest, LockPrimitives) {
  owner_.Exclusive = false;
  Save(Create(OneBytesField()));
  Close();  // a file is created for exclusive use
  TDataFile& f = Reopen();
  TPlainDataFileOwner otherOwner = owner_;
  TDataFile other(&otherOwner);
  other.FileName = Path();
  other.OpenFile();
  EXPECT_TRUE(f.UserWriteLockRecord(5));
  EXPECT_FALSE(other.UserWriteLockRecord(5));
  EXPECT_TRUE(other.UserWriteLockRecord(6));
  EXPECT_FALSE(other.UserWriteLockTable());  // covers the record bytes
  EXPECT_TRUE(f.UserWriteUnlockRecord(5));
  EXPECT_FALSE(f.UserWriteUnlockRecord(5));
  EXPECT_TRUE(other.UserWriteUnlockRecord(6));
  EXPECT_TRUE(other.UserWriteLockTable());
  EXPECT_FALSE(f.UserWriteLockRecord(200000000));
  EXPECT_TRUE(f.UserLockSemaphore(1));  // outside the table region
  EXPECT_TRUE(f.UserLockSemaphore(1024));
  EXPECT_FALSE(f.UserLockSemaphore(0));
  EXPECT_FALSE(f.UserLockSemaphore(1025));
  EXPECT_TRUE(f.WriteLock());  // the write byte conflicts with nothing of the user locks
  EXPECT_TRUE(f.WriteUnlock());
  EXPECT_TRUE(other.UserWriteUnlockTable());
  EXPECT_TRUE(f.UserUnlockSemaphore(1));
  EXPECT_TRUE(f.UserUnlockSemaphore(1024));
}

// --- sorting ---------------------------------------------------------------------------------

class SortTest : public DataFileTest {
 protected:
  // A table of (Key bytes[2], Tag bytes[4]) records.
  TDataFile& MakeTable(const std::vector<std::pair<std::string, std::string>>& rows) {
    TDataFile& f = Create({MakeField("Key", dtBytes, 2), MakeField("Tag", dtBytes, 4)});
    for (const auto& [key, tag] : rows) {
      TRecord* r = nullptr;
      EXPECT_TRUE(f.GetNextFreeRecord(nullptr, r));
      r->Initialize(true);
      std::uint8_t* b = r->Buffer();
      b[9] = 1;
      std::memcpy(b + 10, key.data(), 2);
      b[12] = 1;
      std::memcpy(b + 13, tag.data(), 4);
      r->Modified = true;
      f.PutRecord(r);
    }
    return f;
  }
  TSortOptions ByKey(bool descending = false) {
    TSortOptions o;
    o.Fields.push_back(file_->GetFieldDefinitionByPos(1));
    o.Fields.back().Descending = descending;
    return o;
  }
  // Tags of the records in record order, each checked for number and ID equal to its position.
  std::vector<std::string> Tags(TDataFile& f) {
    std::vector<std::string> tags;
    for (std::int32_t n = 1; n <= f.GetPhysicalRecordsUsed(); ++n) {
      TRecord* r = nullptr;
      EXPECT_TRUE(f.GetRecord(nullptr, n, true, false, true, r));
      EXPECT_EQ(GetI32(r->Buffer(), 1), n);
      EXPECT_EQ(r->GetRecordID(), n);
      tags.emplace_back(reinterpret_cast<const char*>(r->Buffer() + 13), 4);
      f.PutRecord(r);
    }
    return tags;
  }
  static std::vector<std::pair<std::string, std::string>> Sample() {
    return {{"bb", "t001"}, {"aa", "t002"}, {"cc", "t003"}, {"aa", "t004"}, {"bb", "t005"}, {"aa", "t006"}};
  }
};

TEST_F(SortTest, InMemoryKeepsRecordIDOrderForEqualKeys) {
  TDataFile& f = MakeTable(Sample());
  ASSERT_EQ(f.GetRecordBufferCount(), 6);
  f.SortRecordBuffers(ByKey());
  EXPECT_EQ(f.GetRecordBufferCount(), 0);  // emptied afterwards
  EXPECT_EQ(Tags(f), (std::vector<std::string>{"t002", "t004", "t006", "t001", "t005", "t003"}));
  EXPECT_EQ(owner_.ActualRecordCount, -1);  // no rows dropped: the count is left alone
}

TEST_F(SortTest, DescendingDistinctAndLimit) {
  TDataFile& f = MakeTable(Sample());
  f.SortRecordBuffers(ByKey(true));
  EXPECT_EQ(Tags(f), (std::vector<std::string>{"t003", "t001", "t005", "t002", "t004", "t006"}));

  MakeTable(Sample());
  TSortOptions distinct = ByKey();
  distinct.Distinct = true;
  file_->SortRecordBuffers(distinct);
  EXPECT_EQ(Tags(*file_), (std::vector<std::string>{"t002", "t001", "t003"}));
  EXPECT_EQ(owner_.ActualRecordCount, 3);
  EXPECT_EQ(file_->GetPhysicalRecordsUsed(), 3);
  Save(*file_);
  EXPECT_EQ(std::filesystem::file_size(Path()), 127u + 2 * 768 + 3 * 17);

  MakeTable(Sample());
  TSortOptions limited = ByKey(true);
  limited.Limit = 2;
  file_->SortRecordBuffers(limited);
  EXPECT_EQ(Tags(*file_), (std::vector<std::string>{"t003", "t001"}));
}

// Counts the rows of each group into the first byte of Tag; keeps groups of two or more.
class CountingGroups : public TSortGroupHandler {
 public:
  void GroupRecord(TRecord& row, const TRecord&, bool startsGroup) override {
    row.Buffer()[13] = startsGroup ? 1 : static_cast<std::uint8_t>(row.Buffer()[13] + 1);
  }
  void FinishGroup(TRecord& row) override { row.Buffer()[14] = 'F'; ++finished; }
  bool AcceptGroup(TRecord& row) override { return row.Buffer()[13] >= 2; }
  int finished = 0;
};

TEST_F(SortTest, GroupsAreFinishedAndFiltered) {
  TDataFile& f = MakeTable(Sample());
  CountingGroups groups;
  TSortOptions o = ByKey();
  o.Group = &groups;
  f.SortRecordBuffers(o);
  EXPECT_EQ(groups.finished, 3);
  std::vector<std::string> tags = Tags(f);
  ASSERT_EQ(tags.size(), 2u);  // the "cc" group of one was rejected
  EXPECT_EQ(tags[0].substr(0, 2), std::string("\x03" "F"));
  EXPECT_EQ(tags[1].substr(0, 2), std::string("\x02" "F"));
}

TEST_F(SortTest, ExternalMergeMatchesTheInMemorySort) {
  // Pseudo-random keys with many duplicates, sorted once in memory and once by merging runs.
  std::vector<std::pair<std::string, std::string>> rows;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    std::string key = {static_cast<char>('a' + (seed >> 16) % 7), static_cast<char>('a' + (seed >> 8) % 3)};
    char tag[5];
    std::snprintf(tag, sizeof tag, "%04d", i % 10000);
    rows.emplace_back(key, tag);
  }
  owner_.MaxTableDataBufferSize = 1 << 30;
  TDataFile& f = MakeTable(rows);
  ASSERT_EQ(f.GetRecordBufferCount(), 3000);
  f.SortRecordBuffers(ByKey(true));
  std::vector<std::string> inMemory = Tags(f);
  Close();

  owner_.MaxTableDataBufferSize = 16384;
  owner_.MaxTableDataBufferCount = 128;  // runs of 128 records: 24 run files
  TDataFile& g = MakeTable(rows);
  ASSERT_LT(g.GetRecordBufferCount(), 3000);
  g.SortRecordBuffers(ByKey(true));
  EXPECT_EQ(Tags(g), inMemory);
  // The run files are gone.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);

  TDataFile& h = MakeTable(rows);
  TSortOptions distinct = ByKey();
  distinct.Distinct = true;
  h.SortRecordBuffers(distinct);
  EXPECT_EQ(h.GetPhysicalRecordsUsed(), 21);  // 7 x 3 distinct keys
  std::vector<std::string> firsts = Tags(h);
  // Each distinct key keeps its first record (lowest ID = lowest tag).
  std::map<std::string, std::string> expected;
  for (const auto& [key, tag] : rows) expected.emplace(key, tag);
  std::vector<std::string> want;
  for (const auto& [key, tag] : expected) want.push_back(tag);
  EXPECT_EQ(firsts, want);
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

TEST_F(DataFileTest, ScrambledTableLayout) {
  TDataFile& f = Create({MakeField("Name", dtString, 10)}, true, "secret", "Private");
  Append(f, "Smith");
  Save(f);
  EXPECT_EQ(f.GetPassword(), "secret");
  Close();
  std::vector<std::uint8_t> b = Bytes();
  EXPECT_EQ(b[86], 1);
  // Description and password: the characters scrambled with the text pair, lengths plain.
  EXPECT_EQ(b[35], 7);
  std::vector<std::uint8_t> text(b.begin() + 36, b.begin() + 43);
  DecryptBuffer(text.data(), text.size(), kTextSeedA, kTextSeedB);
  EXPECT_EQ(std::string(text.begin(), text.end()), "Private");
  EXPECT_EQ(b[87], 6);
  std::vector<std::uint8_t> password(b.begin() + 88, b.begin() + 94);
  DecryptBuffer(password.data(), password.size(), kTextSeedA, kTextSeedB);
  EXPECT_EQ(std::string(password.begin(), password.end()), "secret");
  // The definitions as one scrambled block, each record as its own.
  std::vector<std::uint8_t> fields(b.begin() + 127, b.begin() + 127 + 768);
  DecryptBuffer(fields.data(), fields.size(), kTableDataSeedA, kTableDataSeedB);
  EXPECT_EQ(std::string(fields.begin() + 3, fields.begin() + 7), "Name");
  std::vector<std::uint8_t> record(b.begin() + 127 + 768, b.end());
  ASSERT_EQ(record.size(), 21u);
  DecryptBuffer(record.data(), record.size(), kTableDataSeedA, kTableDataSeedB);
  EXPECT_EQ(GetI32(record.data(), 1), 1);
  EXPECT_EQ(std::string(record.begin() + 10, record.begin() + 15), "Smith");
  TDataFile& g = Reopen();
  EXPECT_EQ(g.GetDescription(), "Private");
  EXPECT_EQ(g.GetPassword(), "secret");
  EXPECT_EQ(Value(g, 1), "Smith");
}

TEST_F(SortTest, TypedKeysDescendingAndCaseInsensitive) {
  // Integers sort by value, descending, with strings compared without regard to case second.
  TDataFile& f = Create({MakeField("Group", dtInteger), MakeField("Name", dtString, 8)});
  const std::vector<std::pair<std::int32_t, std::string>> rows = {
      {-5, "beta"}, {10, "Alpha"}, {-5, "ALPHA"}, {10, "alpha"}, {0, "x"}, {-5, "Gamma"}};
  for (const auto& [group, name] : rows) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetNextFreeRecord(nullptr, r));
    r->Initialize(true);
    r->Buffer()[9] = 1;
    PutI32(r->Buffer(), 10, group);
    r->Buffer()[14] = 1;
    std::memcpy(r->Buffer() + 15, name.data(), name.size());
    f.PutRecord(r);
  }
  TSortOptions o;
  o.Fields = {f.GetFieldDefinitionByPos(1), f.GetFieldDefinitionByPos(2)};
  o.Fields[0].Descending = true;
  o.CaseInsensitive = true;
  o.Distinct = true;
  f.SortRecordBuffers(o);
  std::vector<std::string> order;
  for (std::int32_t n = 1; n <= f.GetPhysicalRecordsUsed(); ++n) {
    TRecord* r = nullptr;
    ASSERT_TRUE(f.GetRecord(nullptr, n, true, false, true, r));
    order.push_back(std::to_string(GetI32(r->Buffer(), 10)) + reinterpret_cast<const char*>(r->Buffer() + 15));
    f.PutRecord(r);
  }
  // "alpha" repeats "Alpha" without regard to case and is dropped; ties keep record-ID order.
  EXPECT_EQ(order, (std::vector<std::string>{"10Alpha", "0x", "-5ALPHA", "-5beta", "-5Gamma"}));
}

}  // namespace
}  // namespace korvel
