#include "tools/inspect_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/blob_file.h"
#include "engine/data_file.h"
#include "framework/currency_bcd.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/test_folder.h"
#include "tools/commands.h"
#include "tools/command_test_helpers.h"

namespace korvel::tool {
namespace {

using command_test::TRun;
using command_test::Invoke;

// Writes a table "people" with one field of every kind: three records, the second deleted.
class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<TFieldDefinition> fields = {
        MakeField("Name", dtString, 20),  MakeField("Born", dtDate),      MakeField("Active", dtBoolean),
        MakeField("Count", dtSmallInt),   MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Amount", dtFloat),
        MakeField("Price", dtBCD),        MakeField("Code", dtBytes, 3),  MakeField("At", dtTime),
        MakeField("Stamp", dtTimeStamp),  MakeField("Big", dtLargeInt),   MakeField("Note", dtBlob, 0, stMemo),
        MakeField("Small", dtWord),       MakeField("Unsigned", dtUnsignedInt)};
    fields[0].DefaultValue = "nobody";
    fields[0].Required = true;
    fields[6].Decimals = 2;
    Create("people", fields, false, "");
  }

  void Create(const std::string& table, const std::vector<TFieldDefinition>& fields, bool encrypted,
              const std::string& password) {
    owner_.TableName = table;
    TDataFile file(&owner_);
    file.FileName = folder_.File(table + ".DAT");
    file.CreateDataFile(0, 0, 1, 2, encrypted, password, "People, \"the\" table", 512, fields);
    const std::int32_t born = DateTimeToDayNumber(EncodeDate(2024, 2, 29));
    const std::int32_t at = DateTimeToTimeMSecs(EncodeTime(13, 5, 7, 40));
    const double stamp = DateTimeToTimeStampValue(EncodeDate(2000, 1, 2) + EncodeTime(3, 4, 5, 0));
    TPlainBlobFileOwner blobOwner;
    blobOwner.Encrypted = encrypted;
    TBlobFile blobs(&blobOwner);
    blobs.FileName = folder_.File(table + ".BLB");
    blobs.CreateFile();
    for (int n = 1; n <= 3; ++n) {
      TRecord* r = nullptr;
      file.GetNextFreeRecord(nullptr, r);
      r->Initialize(true);
      std::uint8_t* b = r->Buffer();
      auto put = [&](int pos, const void* value, std::size_t size) {
        if (pos > file.GetFieldCount()) return;
        const TFieldDefinition& d = file.GetFieldDefinitionByPos(pos);
        b[d.Offset] = 1;
        std::memcpy(b + d.Offset + 1, value, size);
      };
      if (n == 1) {
        put(1, "Smith, John", 12);
        put(2, &born, 4);
        std::uint16_t yes = 1;
        put(3, &yes, 2);
        std::int16_t count = -7;
        put(4, &count, 2);
        double amount = 1.5;
        put(6, &amount, 8);
        std::uint8_t price[34];
        StrToBcd("12.50").ToBytes(price);
        put(7, price, 34);
        put(8, "\x01\xAB\xFF", 3);
        put(9, &at, 4);
        put(10, &stamp, 8);
        std::int64_t big = -9000000000LL;
        put(11, &big, 8);
        TBlobBuffer memo(&blobs, nullptr);
        const std::string text = "Line one, line \"two\"";
        memo.SetSize(text.size());
        std::memcpy(memo.GetBuffer().data(), text.data(), text.size());
        memo.BlobSignature = file.GetNextFreeBlobSignature();
        memo.Write();
        std::int32_t blob[2] = {memo.FirstBlockNumber, memo.BlobSignature};
        put(12, blob, 8);
        std::uint16_t small = 65535;
        put(13, &small, 2);
        std::uint32_t unsignedValue = 4000000000u;
        put(14, &unsignedValue, 4);
      } else if (n == 2) {
        put(1, "gone", 5);
      } else {
        put(1, "He said \"hi\"", 13);
        std::uint16_t no = 0;
        put(3, &no, 2);
      }
      file.PutRecord(r);
    }
    TRecord* r = nullptr;
    file.GetRecord(nullptr, 2, false, false, true, r);
    file.SetNextFreeRecord(r);
    file.PutRecord(r);
    file.FlushRecordBuffers();
    file.WriteHeader(false);
    file.WriteFields();
    blobs.FlushBlockBuffers();
    blobs.WriteHeader(true);
  }

  std::string Path(const std::string& table = "people") { return folder_.File(table + ".DAT"); }

  korvel::testing::TTestFolder folder_;
  TPlainDataFileOwner owner_;
};

TEST_F(InspectTest, DumpsLiveRecordsAsCsv) {
  TRun r = Invoke(RunDumpCommand, {folder_.Path(), "people"});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  EXPECT_EQ(r.Out,
            "Name,Born,Active,Count,ID,Amount,Price,Code,At,Stamp,Big,Note,Small,Unsigned\r\n"
            "\"Smith, John\",2024-02-29,True,-7,1,1.5,12.5,01ABFF,13:05:07.40,2000-01-02 03:04:05,-9000000000,"
            "\"Line one, line \"\"two\"\"\",65535,"
            "4000000000\r\n"
            "\"He said \"\"hi\"\"\",,False,,3,,,,,,,,,\r\n");
  // The table name may carry its extension and differ in case.
  EXPECT_EQ(Invoke(RunDumpCommand, {folder_.Path(), "PEOPLE.dat"}).Out, r.Out);
}

TEST_F(InspectTest, PhysicalDumpListsFreeRecords) {
  TRun r = Invoke(RunDumpCommand, {"--physical", folder_.Path(), "people"});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  std::istringstream lines(r.Out);
  std::string header, first, second, third;
  std::getline(lines, header);
  std::getline(lines, first);
  std::getline(lines, second);
  std::getline(lines, third);
  EXPECT_EQ(header, "#record,#id,#free,Name,Born,Active,Count,ID,Amount,Price,Code,At,Stamp,Big,Note,Small,Unsigned\r");
  EXPECT_EQ(first.substr(0, 20), "1,1,,\"Smith, John\",2");
  EXPECT_EQ(second, "2,2,0,,,,,,,,,,,,,,\r");  // free, the end of the chain
  EXPECT_EQ(third.substr(0, 8), "3,3,,\"He");
}

TEST_F(InspectTest, InfoAsJsonAndText) {
  TRun r = Invoke(RunInfoCommand, {"--json", folder_.Path(), "people"});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  const std::string& j = r.Out;
  for (const char* part :
       {"{\"LastUpdateStamp\":1,", "\"BlobBlockSize\":512,", "\"VersionNum\":5,", "\"FirstFreeRecord\":2,",
        "\"NextRecordNumber\":4,", "\"LastRecordID\":3,", "\"FieldCount\":14,", "\"BlobFieldCount\":1,",
        "\"Description\":\"People, \\\"the\\\" table\",", "\"Encrypted\":false,", "\"LanguageID\":0,",
        "\"UserMajorVersion\":1,", "\"UserMinorVersion\":2,", "\"EngineVersion\":31900,",
        "\"PhysicalRecordsUsed\":3,", "\"BlobBlocksUsed\":1,", "\"BlobFreeBlock\":0,",
        "{\"FieldNumber\":1,\"FieldName\":\"Name\",\"Description\":\"\",\"DataType\":1,\"SubType\":0,\"Length\":20,"
        "\"Decimals\":0,\"PhysicalSize\":21,\"Offset\":9,\"Required\":true,\"CharCase\":0,\"MinimumValue\":\"\","
        "\"MaximumValue\":\"\",\"DefaultValue\":\"nobody\"}",
        "\"FieldName\":\"ID\",\"Description\":\"\",\"DataType\":6,\"SubType\":29,", "\"Offset\":5,"})
    EXPECT_NE(j.find(part), std::string::npos) << part << "\n" << j;
  // "yyyy-mm-dd hh:mm:ss"
  std::size_t at = j.find("\"LastUpdated\":\"");
  ASSERT_NE(at, std::string::npos);
  std::string updated = j.substr(at + 15, 19);
  EXPECT_EQ(updated[4], '-');
  EXPECT_EQ(updated[10], ' ');
  EXPECT_EQ(updated[16], ':');
  EXPECT_EQ(j.substr(at + 34, 1), "\"");
  EXPECT_EQ(j.back(), '\n');
  EXPECT_EQ(std::count(j.begin(), j.end(), '{'), 15);

  TRun text = Invoke(RunInfoCommand, {folder_.Path(), "people"});
  EXPECT_EQ(text.Status, kExitOk);
  EXPECT_NE(text.Out.find("VersionNum         5 (3.00)"), std::string::npos) << text.Out;
  EXPECT_NE(text.Out.find("BCD(2)"), std::string::npos);
  EXPECT_NE(text.Out.find("default nobody"), std::string::npos);
  EXPECT_NE(text.Out.find("BlobBlocksUsed     1"), std::string::npos);
}

TEST_F(InspectTest, BinaryBlobsDumpAsHexAndAMissingBlobFileIsAWarning) {
  std::vector<TFieldDefinition> fields = {MakeField("Data", dtBlob, 0, stBinary)};
  owner_.TableName = "bin";
  {
    TDataFile file(&owner_);
    file.FileName = Path("bin");
    file.CreateDataFile(0, 0, 0, 0, false, "", "", 1024, fields);
    TPlainBlobFileOwner blobOwner;
    TBlobFile blobs(&blobOwner);
    blobs.FileName = folder_.File("bin.BLB");
    blobs.SetBlockSize(file.GetBlobBlockSize());
    blobs.CreateFile();
    TBlobBuffer value(&blobs, nullptr);
    value.SetSize(1500);  // two blocks of 1,024
    for (std::size_t i = 0; i < 1500; ++i) value.GetBuffer()[i] = static_cast<unsigned char>(i);
    value.BlobSignature = file.GetNextFreeBlobSignature();
    value.Write();
    TRecord* r = nullptr;
    file.GetNextFreeRecord(nullptr, r);
    r->Initialize(true);
    const TFieldDefinition& d = file.GetFieldDefinitionByPos(1);
    r->Buffer()[d.Offset] = 1;
    PutI32(r->Buffer(), d.Offset + 1, value.FirstBlockNumber);
    PutI32(r->Buffer(), d.Offset + 5, value.BlobSignature);
    file.PutRecord(r);
    file.FlushRecordBuffers();
    file.WriteHeader(false);
    file.WriteFields();
    blobs.FlushBlockBuffers();
    blobs.WriteHeader(true);
  }
  TRun r = Invoke(RunDumpCommand, {folder_.Path(), "bin"});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  ASSERT_EQ(r.Out.size(), std::string("Data\r\n").size() + 3000 + 2);
  EXPECT_EQ(r.Out.substr(6, 12), "000102030405");
  EXPECT_EQ(r.Out.substr(6 + 2 * 1499, 2), "DB");  // 1499 mod 256
  EXPECT_EQ(r.Err, "");
  std::filesystem::remove(folder_.File("bin.BLB"));
  r = Invoke(RunDumpCommand, {folder_.Path(), "bin"});
  EXPECT_EQ(r.Status, kExitOk);
  EXPECT_EQ(r.Out, "Data\r\n\r\n");
  EXPECT_NE(r.Err.find("warning: the BLOB file cannot be read"), std::string::npos) << r.Err;
}

TEST_F(InspectTest, ScrambledTablesNeedTheirPassword) {
  Create("secret", {MakeField("Name", dtString, 20)}, true, "Pass word");
  std::ifstream in(Path("secret"), std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(raw.find("Smith"), std::string::npos);  // records and definitions are scrambled
  EXPECT_EQ(raw.find("Name"), std::string::npos);
  EXPECT_EQ(raw.find("Pass word"), std::string::npos);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{folder_.Path(), "secret"}, {"--password", "pass word", folder_.Path(), "secret"}}) {
    TRun r = Invoke(RunDumpCommand, args);
    EXPECT_EQ(r.Status, kExitFailure);
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find("KORVEL Engine Error # 10498 Insufficient rights to the table 'secret', a password is required"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(Invoke(RunInfoCommand, args).Status, kExitFailure);
  }
  TRun r = Invoke(RunDumpCommand, {"--password", "Pass word", folder_.Path(), "secret"});
  EXPECT_EQ(r.Status, kExitOk) << r.Err;
  EXPECT_EQ(r.Out, "Name\r\n\"Smith, John\"\r\n\"He said \"\"hi\"\"\"\r\n");
  TRun info = Invoke(RunInfoCommand, {"--json", "--password=Pass word", folder_.Path(), "secret"});
  EXPECT_EQ(info.Status, kExitOk);
  EXPECT_NE(info.Out.find("\"Encrypted\":true"), std::string::npos);
  EXPECT_NE(info.Out.find("\"Description\":\"People, \\\"the\\\" table\""), std::string::npos);
  EXPECT_EQ(info.Out.find("Pass word"), std::string::npos);
}

TEST_F(InspectTest, DamagedOrMissingTablesGiveEngineErrors) {
  auto expectError = [&](const char* text) {
    for (auto command : {RunInfoCommand, RunDumpCommand}) {
      TRun r = Invoke(command, {folder_.Path(), "people"});
      EXPECT_EQ(r.Status, kExitFailure);
      EXPECT_NE(r.Err.find(text), std::string::npos) << r.Err;
    }
  };
  std::string original;
  {
    std::ifstream in(Path(), std::ios::binary);
    original.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto write = [&](const std::string& bytes) { std::ofstream(Path(), std::ios::binary | std::ios::trunc) << bytes; };
  std::string damaged = original;
  PutU16(damaged.data(), 23, 2000);  // FieldCount
  write(damaged);
  expectError("KORVEL Engine Error # 8961");
  damaged = original;
  PutU16(damaged.data(), 127 + 768 * 2 + 90, 65000);  // a field placed outside the record
  write(damaged);
  expectError("KORVEL Engine Error # 8961");
  write(original.substr(0, 60));
  expectError("KORVEL Engine Error # 9217");
  // Records promised by the header but missing from the file.
  write(original.substr(0, original.size() - 10));
  TRun r = Invoke(RunDumpCommand, {folder_.Path(), "people"});
  EXPECT_EQ(r.Status, kExitFailure);
  EXPECT_NE(r.Err.find("KORVEL Engine Error # 9217"), std::string::npos) << r.Err;
  std::filesystem::remove(Path());
  expectError("KORVEL Engine Error # 11010");
}

TEST_F(InspectTest, CommandLineErrors) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {folder_.Path()}, {"--bogus", folder_.Path(), "people"}, {"--password"},
        {folder_.Path(), "people", "extra"}}) {
    TRun r = Invoke(RunInfoCommand, args);
    EXPECT_EQ(r.Status, kExitUsage);
    EXPECT_NE(r.Err, "");
    EXPECT_EQ(Invoke(RunDumpCommand, args).Status, kExitUsage);
  }
  EXPECT_EQ(Invoke(RunDumpCommand, {"--json", folder_.Path(), "people"}).Status, kExitUsage);
}

}  // namespace
}  // namespace korvel::tool
