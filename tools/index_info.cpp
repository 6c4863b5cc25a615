// The index file's part of `korvel info`.

#include "tools/index_info.h"

#include <cstdio>

#include "engine/data_file.h"
#include "engine/index_file.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/key_encoding.h"
#include "support/path_helpers.h"

namespace korvel::tool {

namespace {

TIndexInfo InfoOf(const TIndexDefinition& d, const TIndexFileOwner& owner) {
  TIndexInfo info;
  info.IndexName = d.IndexName;
  info.KeySize = d.KeySize;
  info.Descending = d.Descending;
  info.CaseInsensitive = d.CaseInsensitive;
  info.Unique = d.Unique;
  info.Compression = d.Compression;
  for (int i = 0; i < d.KeyFieldCount; ++i) {
    info.KeyFields.push_back(d.KeyFields[static_cast<std::size_t>(i)]);
    info.DescendingKeyFields.push_back(d.DescendingKeyFields[static_cast<std::size_t>(i)]);
  }
  info.RootPageNumber = d.RootPageNumber;
  info.Temporary = d.Temporary;
  for (int fieldNumber : info.KeyFields) {
    TIndexKeyField field;
    if (owner.GetKeyField(fieldNumber, field) && !KeyOrderIsValueOrder(field.DataType))
      info.KeyOrderIsValueOrder = false;
  }
  return info;
}

const char* Bool(bool value) { return value ? "true" : "false"; }

// A JSON string literal of 8-bit text.
std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

TIndexFileInfo Describe(const std::string& indexFileName, TPlainIndexFileOwner& owner, bool checkDefinitions) {
  TIndexFileInfo info;
  info.FileName = indexFileName;
  if (!FileNameExists(indexFileName, false)) {
    info.Warning = "the index file " + indexFileName + " is missing";
    return info;
  }
  TIndexFile file(&owner);
  file.FileName = indexFileName;
  try {
    file.OpenFile();
    file.CheckHeaderVersion();
    const TIndexHeader& header = file.Header();
    info.RecordCount = header.ActualRecordCount;
    info.NoPrimaryIndex = header.NoPrimaryIndex;
    info.PhysicalPagesUsed = file.GetPhysicalPagesUsed();
    if (!header.NoPrimaryIndex && header.IndexDefinitions[kPrimaryIndexSlot].KeySize != 0)
      info.Indexes.push_back(InfoOf(header.IndexDefinitions[kPrimaryIndexSlot], owner));
    for (int slot = 1; slot <= header.IndexCount; ++slot)
      info.Indexes.push_back(InfoOf(header.IndexDefinitions[static_cast<std::size_t>(slot)], owner));
    info.Available = true;
    if (checkDefinitions) {
      try {
        file.CheckHeader();
      } catch (const EKORVELEngineError& e) {
        info.Warning = "the index definitions of " + indexFileName + " do not match the table: " + e.what();
      }
    }
    file.CloseFile();
  } catch (const EKORVELEngineError& e) {
    info.Available = false;
    info.Warning = "the index file " + indexFileName + " cannot be read: " + e.what();
    info.Indexes.clear();
  }
  return info;
}

}  // namespace

TIndexFileInfo DescribeIndexFile(const std::string& indexFileName, const std::string& tableName, bool encrypted) {
  TPlainIndexFileOwner owner;
  owner.TableName = tableName;
  owner.Encrypted = encrypted;
  return Describe(indexFileName, owner, false);
}

TIndexFileInfo DescribeTableIndexes(const std::string& dataDirectory, const std::string& table, bool encrypted) {
  std::string folder = NormalizeFileName(dataDirectory);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::string name = EnsureFileExt(table, ".DAT", ".IDX");
  return DescribeIndexFile(folder + name, StripFilePathAndExtension(name), encrypted);
}

TIndexFileInfo DescribeTableIndexes(const TDataFile& dataFile) {
  TPlainIndexFileOwner owner;
  owner.TableName = StripFilePathAndExtension(dataFile.FileName);
  owner.Encrypted = dataFile.GetEncrypted();
  owner.Fields = KeyFieldsOf(dataFile);
  return Describe(EnsureFileExt(dataFile.FileName, ".DAT", ".IDX"), owner, true);
}

void WriteIndexInfoText(const TIndexFileInfo& info, std::ostream& out) {
  if (!info.Available) {
    out << "Index file: unavailable (" << info.Warning << ")\n";
    return;
  }
  if (!info.Warning.empty()) out << "Index file warning: " << info.Warning << '\n';
  out << "RecordCount: " << info.RecordCount << '\n';
  out << "NoPrimaryIndex: " << Bool(info.NoPrimaryIndex) << '\n';
  out << "IndexPages: " << info.PhysicalPagesUsed << '\n';
  out << "Indexes: " << info.Indexes.size() << '\n';
  for (const TIndexInfo& index : info.Indexes) {
    out << "  " << (index.IndexName.empty() ? "(primary)" : index.IndexName) << ": KeySize " << index.KeySize
        << ", fields";
    for (std::size_t i = 0; i < index.KeyFields.size(); ++i)
      out << (i == 0 ? " " : ",") << index.KeyFields[i] << (index.DescendingKeyFields[i] ? " desc" : "");
    if (index.Unique) out << ", unique";
    if (index.Descending) out << ", descending";
    if (index.CaseInsensitive) out << ", case-insensitive";
    out << ", compression " << index.Compression << ", root page " << index.RootPageNumber;
    if (index.Temporary) out << ", temporary";
    if (!index.KeyOrderIsValueOrder) out << ", key order is not value order";
    out << '\n';
  }
}

void WriteIndexInfoJsonMembers(const TIndexFileInfo& info, std::ostream& out) {
  if (!info.Warning.empty()) out << "\"IndexFileWarning\":" << JsonText(info.Warning);
  if (!info.Available) return;
  if (!info.Warning.empty()) out << ',';
  out << "\"RecordCount\":" << info.RecordCount << ",\"NoPrimaryIndex\":" << Bool(info.NoPrimaryIndex)
      << ",\"Indexes\":[";
  for (std::size_t n = 0; n < info.Indexes.size(); ++n) {
    const TIndexInfo& index = info.Indexes[n];
    if (n > 0) out << ',';
    out << "{\"IndexName\":" << JsonText(index.IndexName) << ",\"KeySize\":" << index.KeySize
        << ",\"Descending\":" << Bool(index.Descending) << ",\"CaseInsensitive\":" << Bool(index.CaseInsensitive)
        << ",\"Unique\":" << Bool(index.Unique) << ",\"Compression\":" << index.Compression << ",\"KeyFields\":[";
    for (std::size_t i = 0; i < index.KeyFields.size(); ++i) out << (i == 0 ? "" : ",") << index.KeyFields[i];
    out << "],\"DescendingKeyFields\":[";
    for (std::size_t i = 0; i < index.DescendingKeyFields.size(); ++i)
      out << (i == 0 ? "" : ",") << Bool(index.DescendingKeyFields[i]);
    out << "],\"RootPageNumber\":" << index.RootPageNumber << ",\"Temporary\":" << Bool(index.Temporary);
    if (!index.KeyOrderIsValueOrder) out << ",\"KeyOrderIsValueOrder\":false";
    out << '}';
  }
  out << ']';
}

bool WriteIndexInfo(const std::string& dataDirectory, const std::string& table, bool encrypted, bool json,
                    std::ostream& out, std::ostream& err) {
  TIndexFileInfo info = DescribeTableIndexes(dataDirectory, table, encrypted);
  if (!info.Warning.empty()) err << "korvel info: warning: " << info.Warning << '\n';
  if (json)
    WriteIndexInfoJsonMembers(info, out);
  else
    WriteIndexInfoText(info, out);
  return info.Available;
}

}  // namespace korvel::tool
