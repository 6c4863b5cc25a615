#pragma once
// What `korvel info` shows of a table's index file: the record count it keeps, whether the table
// has a primary index, and every defined index (the primary first, named "", then the
// secondaries in slot order). A missing or damaged index file gives a description with a
// warning instead, so the caller can still show the data file.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace korvel {
class TDataFile;
}

namespace korvel::tool {

struct TIndexInfo {
  std::string IndexName;  // "" for the primary index
  int KeySize = 0;
  bool Descending = false;
  bool CaseInsensitive = false;
  bool Unique = false;
  int Compression = 0;
  std::vector<int> KeyFields;             // field numbers
  std::vector<bool> DescendingKeyFields;  // one per key field
  std::int32_t RootPageNumber = 0;
  bool Temporary = false;
  // False when a key field is an unsigned integer or an extended float, whose raw key bytes do
  // not order as the values: the index lists its records in key order, which is not the values'
  // order, and answers no range. Known only when the table's fields are (beside a data file).
  bool KeyOrderIsValueOrder = true;
};

struct TIndexFileInfo {
  std::string FileName;
  bool Available = false;  // the header could be read; otherwise Warning says why
  std::string Warning;     // also set when the header was read but its definitions do not check
  std::int32_t RecordCount = 0;
  bool NoPrimaryIndex = false;
  std::int32_t PhysicalPagesUsed = 0;
  std::vector<TIndexInfo> Indexes;
};

// Reads the header of an index file. `encrypted` is the data file's flag: the header of an
// encrypted table is scrambled. Never throws for a missing or damaged file.
TIndexFileInfo DescribeIndexFile(const std::string& indexFileName, const std::string& tableName, bool encrypted);
// The index file of table `table` in folder `dataDirectory` ("customer" -> "customer.IDX").
TIndexFileInfo DescribeTableIndexes(const std::string& dataDirectory, const std::string& table, bool encrypted);
// The index file beside an open data file, with its encryption flag and fields; the definitions
// are also checked against the fields, and a failed check is a warning beside the indexes.
TIndexFileInfo DescribeTableIndexes(const TDataFile& dataFile);

// Lines of text, each "Name: value" or an indented index entry; a warning as a line of its own.
// An index whose key order is not the value order says so ("key order is not value order").
void WriteIndexInfoText(const TIndexFileInfo& info, std::ostream& out);
// The members "RecordCount", "NoPrimaryIndex" and "Indexes" of a JSON object (or only
// "IndexFileWarning" when the file could not be read; with it too when the definitions do not
// check), compact and separated by commas, without the braces, for the caller's own object.
// Strings are 8-bit text: bytes above 127 are written as \u00XX. An index whose key order is not
// the value order carries "KeyOrderIsValueOrder":false as its last member.
void WriteIndexInfoJsonMembers(const TIndexFileInfo& info, std::ostream& out);

// Describes the table's index file and writes it to `out` as text or JSON members; a warning,
// when there is one, also goes to `err`. Returns false when the index file could not be read.
bool WriteIndexInfo(const std::string& dataDirectory, const std::string& table, bool encrypted, bool json,
                    std::ostream& out, std::ostream& err);

}  // namespace korvel::tool
