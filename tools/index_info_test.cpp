#include "tools/index_info.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/data_file.h"
#include "engine/index_file.h"
#include "support/data_types.h"
#include "support/test_folder.h"

namespace korvel::tool {
namespace {

using korvel::testing::TTestFolder;

// Index file of a table "customer": primary on field 2, secondaries "ByName" (field 1,
// case-insensitive) and 'By"Code\xE4' (field 3 descending, then 1), 12 records.
void MakeIndexFile(const std::string& path, bool encrypted) {
  TPlainIndexFileOwner owner;
  owner.TableName = "customer";
  owner.Encrypted = encrypted;
  owner.Fields = {{"Name", 1, 0, 21}, {"Number", 6, 0, 4}, {"Code", 12, 0, 2}};
  TIndexFile file(&owner);
  file.FileName = path;
  file.CreateFile();
  TIndexDefinition primary;
  primary.KeyFieldCount = 1;
  primary.KeyFields[0] = 2;
  primary.KeySize = 5;
  file.AddPrimaryIndex(primary);
  TIndexDefinition byName;
  byName.IndexName = "ByName";
  byName.CaseInsensitive = true;
  byName.Compression = 3;
  byName.KeyFieldCount = 1;
  byName.KeyFields[0] = 1;
  byName.KeySize = 26;
  file.AddSecondaryIndex(byName);
  TIndexDefinition both;
  both.IndexName = "By\"Code\xE4";
  both.Unique = true;
  both.KeyFieldCount = 2;
  both.KeyFields[0] = 3;
  both.KeyFields[1] = 1;
  both.DescendingKeyFields[0] = true;
  both.KeySize = 25;
  file.AddSecondaryIndex(both);
  file.SetActualRecordCount(12);
  file.SetRootPageNumber(1, 1);
  TPageBuffer* page = nullptr;
  file.GetNextFreePage(nullptr, 1, page);
  file.PutPage(page);
  file.FlushPageBuffers(false);
  file.WriteHeader();
  file.CloseFile();
}

TEST(IndexInfo, DescribesTheIndexesOfATable) {
  TTestFolder folder;
  MakeIndexFile(folder.File("customer.IDX"), false);
  TIndexFileInfo info = DescribeTableIndexes(folder.Path(), "Customer.dat", false);
  ASSERT_TRUE(info.Available) << info.Warning;
  EXPECT_EQ(info.RecordCount, 12);
  EXPECT_FALSE(info.NoPrimaryIndex);
  EXPECT_EQ(info.PhysicalPagesUsed, 1);
  ASSERT_EQ(info.Indexes.size(), 3u);
  EXPECT_EQ(info.Indexes[0].IndexName, "");
  EXPECT_TRUE(info.Indexes[0].Unique);
  EXPECT_EQ(info.Indexes[1].IndexName, "ByName");
  EXPECT_EQ(info.Indexes[1].RootPageNumber, 1);

  std::ostringstream json;
  WriteIndexInfoJsonMembers(info, json);
  EXPECT_EQ(json.str(),
            "\"RecordCount\":12,\"NoPrimaryIndex\":false,\"Indexes\":["
            "{\"IndexName\":\"\",\"KeySize\":5,\"Descending\":false,\"CaseInsensitive\":false,"
            "\"Unique\":true,\"Compression\":0,\"KeyFields\":[2],\"DescendingKeyFields\":[false],"
            "\"RootPageNumber\":0,\"Temporary\":false},"
            "{\"IndexName\":\"ByName\",\"KeySize\":26,\"Descending\":false,\"CaseInsensitive\":true,"
            "\"Unique\":false,\"Compression\":3,\"KeyFields\":[1],\"DescendingKeyFields\":[false],"
            "\"RootPageNumber\":1,\"Temporary\":false},"
            "{\"IndexName\":\"By\\\"Code\\u00e4\",\"KeySize\":25,\"Descending\":false,\"CaseInsensitive\":false,"
            "\"Unique\":true,\"Compression\":0,\"KeyFields\":[3,1],\"DescendingKeyFields\":[true,false],"
            "\"RootPageNumber\":0,\"Temporary\":false}]");

  std::ostringstream text, err;
  EXPECT_TRUE(WriteIndexInfo(folder.Path(), "customer", false, false, text, err));
  EXPECT_EQ(err.str(), "");
  EXPECT_NE(text.str().find("RecordCount: 12\n"), std::string::npos);
  EXPECT_NE(text.str().find("KeySize 25, fields 3 desc,1, unique,"), std::string::npos);
}

TEST(IndexInfo, EncryptedTablesNeedTheFlag) {
  TTestFolder folder;
  MakeIndexFile(folder.File("secret.IDX"), true);
  EXPECT_TRUE(DescribeTableIndexes(folder.Path(), "secret", true).Available);
  TIndexFileInfo plain = DescribeTableIndexes(folder.Path(), "secret", false);
  EXPECT_FALSE(plain.Available);
  EXPECT_NE(plain.Warning.find("cannot be read"), std::string::npos);
}

TEST(IndexInfo, MissingOrDamagedFilesGiveAWarning) {
  TTestFolder folder;
  std::ostringstream out, err;
  EXPECT_FALSE(WriteIndexInfo(folder.Path(), "ghost", false, true, out, err));
  EXPECT_EQ(out.str(), "\"IndexFileWarning\":\"the index file " + folder.Path() + "ghost.IDX is missing\"");
  EXPECT_NE(err.str().find("warning: the index file"), std::string::npos);

  MakeIndexFile(folder.File("customer.IDX"), false);
  {
    std::fstream f(folder.File("customer.IDX"), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(13);
    f.put(static_cast<char>(40));  // more secondary indexes than a table can have
  }
  TIndexFileInfo info = DescribeTableIndexes(folder.Path(), "customer", false);
  EXPECT_FALSE(info.Available);
  EXPECT_TRUE(info.Indexes.empty());
  EXPECT_NE(info.Warning.find("8961"), std::string::npos);
}

TEST(IndexInfo, BesideAnOpenDataFileTheDefinitionsAreCheckedAgainstItsFields) {
  TTestFolder folder;
  auto field = [](const std::string& name, std::uint8_t type, std::uint8_t length) {
    TFieldDefinition f;
    f.FieldName = name;
    f.DataType = type;
    f.Length = length;
    return f;
  };
  TPlainDataFileOwner dataOwner;
  dataOwner.TableName = "customer";
  TDataFile data(&dataOwner);
  data.FileName = folder.File("customer.DAT");
  data.CreateDataFile(0, 0, 0, 0, false, "", "", 512,
                      {field("Name", dtString, 20), field("Number", dtInteger, 0), field("Code", dtWord, 0)});
  data.WriteHeader(false);
  data.WriteFields();
  MakeIndexFile(folder.File("customer.IDX"), false);

  TIndexFileInfo info = DescribeTableIndexes(data);
  ASSERT_TRUE(info.Available) << info.Warning;
  EXPECT_EQ(info.Warning, "");
  EXPECT_EQ(info.Indexes.size(), 3u);

  // A table whose index definitions name a field it does not have: shown, with a warning.
  data.CloseFile();
  data.CreateDataFile(0, 0, 0, 0, false, "", "", 512, {field("Name", dtString, 20)});
  data.WriteHeader(false);
  data.WriteFields();
  info = DescribeTableIndexes(data);
  EXPECT_TRUE(info.Available);
  EXPECT_EQ(info.Indexes.size(), 3u);
  EXPECT_NE(info.Warning.find("do not match"), std::string::npos);
  std::ostringstream json;
  WriteIndexInfoJsonMembers(info, json);
  EXPECT_EQ(json.str().rfind("{\"IndexFileWarning\":", 0), std::string::npos);
  EXPECT_EQ(json.str().rfind("\"IndexFileWarning\":", 0), 0u);
  EXPECT_NE(json.str().find(",\"RecordCount\":12,"), std::string::npos);

  // An index on an unsigned integer lists its records in raw key order: shown as such.
  data.CloseFile();
  data.CreateDataFile(0, 0, 0, 0, false, "", "", 512,
                      {field("Name", dtString, 20), field("Number", dtUnsignedInt, 0), field("Code", dtWord, 0)});
  data.WriteHeader(false);
  data.WriteFields();
  info = DescribeTableIndexes(data);
  ASSERT_EQ(info.Indexes.size(), 3u);
  EXPECT_EQ(info.Warning, "");
  EXPECT_FALSE(info.Indexes[0].KeyOrderIsValueOrder);  // the primary index, on Number
  EXPECT_TRUE(info.Indexes[1].KeyOrderIsValueOrder);
  EXPECT_TRUE(info.Indexes[2].KeyOrderIsValueOrder);
  std::ostringstream text;
  WriteIndexInfoText(info, text);
  EXPECT_NE(text.str().find("(primary): KeySize 5, fields 2, unique, compression 0, root page 0, key order is not value order\n"),
            std::string::npos)
      << text.str();
  json.str("");
  WriteIndexInfoJsonMembers(info, json);
  EXPECT_NE(json.str().find("\"Temporary\":false,\"KeyOrderIsValueOrder\":false}"), std::string::npos);
}

}  // namespace
}  // namespace korvel::tool
