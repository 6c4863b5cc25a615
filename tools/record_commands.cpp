// korvel create, structure, insert, list and count: tables and records through the engine's
// cursor, as an application would use them.

#include "tools/record_commands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "engine/table_maintenance.h"
#include "framework/currency_bcd.h"
#include "framework/date_time.h"
#include "platform/posix_file.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/key_encoding.h"
#include "tools/cli_parsing.h"
#include "tools/tool_table.h"
#include "tools/commands.h"

namespace korvel::tool {

using nlohmann::json;

namespace {

// ---------------------------------------------------------------------------------------------
// Type names of the structure JSON

struct TTypeName {
  const char* Name;
  std::uint8_t Type;
  std::uint8_t SubType;
};

constexpr TTypeName kTypeNames[] = {
    {"string", dtString, stNone},        {"date", dtDate, stNone},
    {"blob", dtBlob, stNone},            {"memo", dtBlob, stMemo},
    {"binary", dtBlob, stBinary},        {"graphic", dtBlob, stGraphic},
    {"boolean", dtBoolean, stNone},      {"smallint", dtSmallInt, stNone},
    {"integer", dtInteger, stNone},      {"autoinc", dtInteger, stAutoInc},
    {"float", dtFloat, stNone},          {"money", dtFloat, stMoney},
    {"bcd", dtBCD, stNone},              {"bytes", dtBytes, stNone},
    {"time", dtTime, stNone},            {"timestamp", dtTimeStamp, stNone},
    {"word", dtWord, stNone},            {"unsigned integer", dtUnsignedInt, stNone},
    {"extended float", dtExtended, stNone}, {"varbytes", dtVarBytes, stNone},
    {"largeint", dtLargeInt, stNone},
};

std::string TypeNameOf(std::uint8_t type, std::uint8_t subType) {
  for (const TTypeName& t : kTypeNames)
    if (t.Type == type && t.SubType == subType) return t.Name;
  for (const TTypeName& t : kTypeNames)
    if (t.Type == type && t.SubType == stNone) return t.Name;
  return std::to_string(type);
}

[[noreturn]] void Invalid(const std::string& what) { throw CLI::ValidationError(what); }

TFieldDefinition FieldFromJson(const json& j) {
  TFieldDefinition f;
  f.FieldName = j.value("name", "");
  if (f.FieldName.empty()) Invalid("a field has no name");
  const json& type = j.at("type");
  if (type.is_number_integer()) {
    f.DataType = type.get<std::uint8_t>();
    f.SubType = j.value("subtype", 0);
  } else {
    std::string name = type.get<std::string>();
    bool known = false;
    for (const TTypeName& t : kTypeNames)
      if (name == t.Name) {
        f.DataType = t.Type;
        f.SubType = t.SubType;
        known = true;
      }
    if (!known) Invalid("field '" + f.FieldName + "': unknown type '" + name + "'");
  }
  f.Length = j.value("length", 0);
  f.Decimals = j.value("decimals", 0);
  f.Required = j.value("required", false);
  std::string charCase = j.value("char_case", "none");
  f.CharCase = charCase == "lower" ? 1 : charCase == "upper" ? 2 : 0;
  f.MinimumValue = j.value("min", "");
  f.MaximumValue = j.value("max", "");
  f.DefaultValue = j.value("default", "");
  f.Description = j.value("description", "");
  return f;
}

TIndexDefinition IndexFromJson(const json& j, const std::vector<TFieldDefinition>& fields) {
  TIndexDefinition d;
  d.IndexName = j.value("name", "");
  const json& keyFields = j.at("fields");
  if (!keyFields.is_array() || keyFields.empty() || keyFields.size() > kMaxKeyFields)
    Invalid("index '" + d.IndexName + "': 1 to 16 fields expected");
  d.Unique = d.IndexName.empty() ? true : j.value("unique", false);
  d.CaseInsensitive = j.value("case_insensitive", false);
  d.Compression = j.value("compression", 0);
  d.KeyFieldCount = static_cast<std::uint8_t>(keyFields.size());
  std::size_t size = d.Unique ? 0 : 4;
  for (std::size_t i = 0; i < keyFields.size(); ++i) {
    int number = 0;
    if (keyFields[i].is_number_integer()) {
      number = keyFields[i].get<int>();
    } else {
      std::string name = keyFields[i].get<std::string>();
      for (std::size_t k = 0; k < fields.size(); ++k)
        if (SameName(fields[k].FieldName, name)) number = static_cast<int>(k + 1);
    }
    if (number < 1 || number > static_cast<int>(fields.size()))
      Invalid("index '" + d.IndexName + "': unknown field " + keyFields[i].dump());
    d.KeyFields[i] = static_cast<std::uint16_t>(number);
    const TFieldDefinition& f = fields[static_cast<std::size_t>(number - 1)];
    size += 1 + IndexedSize(f.DataType, PhysicalSizeOf(f.DataType, f.Length));
  }
  if (j.contains("descending")) {
    const json& descending = j["descending"];
    if (descending.is_boolean()) {
      d.Descending = descending.get<bool>();
    } else {
      if (!descending.is_array() || descending.size() != keyFields.size())
        Invalid("index '" + d.IndexName + "': one descending flag per field expected");
      for (std::size_t i = 0; i < descending.size(); ++i) d.DescendingKeyFields[i] = descending[i].get<bool>();
    }
  }
  if (d.Descending) d.DescendingKeyFields.fill(true);
  d.KeySize = static_cast<std::uint16_t>(size);
  return d;
}

// Text-index words and character sets are bytes; in JSON each byte is the character of the
// same number (U+0000 to U+00FF), so that every byte survives the UTF-8 of JSON.
std::string BytesToJsonText(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back(static_cast<char>(0xC0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return text;
}

std::string JsonTextToBytes(const std::string& text, const std::string& what) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      bytes.push_back(static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F)));
    } else {
      Invalid("text_index: " + what + ": only characters U+0000 to U+00FF (one byte each) are allowed");
    }
  }
  return bytes;
}

// "text_index": { "fields": [...], "stop_words": [...], "space_chars": "...", "include_chars": "..." }
void TextIndexFromJson(const json& j, TTableStructure& s) {
  if (!j.is_object()) Invalid("text_index: an object expected");
  TIndexDefinition& d = s.TextIndex;
  d.IndexName = kSysTextIndexName;
  d.Compression = 3;
  const json& fields = j.at("fields");
  if (!fields.is_array() || fields.empty() || fields.size() > kMaxKeyFields) Invalid("text_index: 1 to 16 fields expected");
  for (std::size_t i = 0; i < fields.size(); ++i) {
    int number = 0;
    if (fields[i].is_number_integer()) {
      number = fields[i].get<int>();
    } else {
      const std::string name = fields[i].get<std::string>();
      for (std::size_t k = 0; k < s.Fields.size(); ++k)
        if (SameName(s.Fields[k].FieldName, name)) number = static_cast<int>(k + 1);
    }
    if (number < 1 || number > static_cast<int>(s.Fields.size())) Invalid("text_index: unknown field " + fields[i].dump());
    d.KeyFields[i] = static_cast<std::uint16_t>(number);
  }
  d.KeyFieldCount = static_cast<std::uint8_t>(fields.size());
  d.KeySize = static_cast<std::uint16_t>(kTextKeySize);
  if (j.contains("stop_words")) {
    if (!j["stop_words"].is_array()) Invalid("text_index: stop_words must be a list of words");
    s.TextParams.StopWords.clear();
    for (const json& w : j["stop_words"]) {
      const std::string word = JsonTextToBytes(w.get<std::string>(), "stop_words");
      if (word.empty()) Invalid("text_index: an empty stop word");
      s.TextParams.StopWords.push_back(word);
    }
  }
  if (j.contains("space_chars"))
    s.TextParams.SpaceChars = StringToCharSet(JsonTextToBytes(j["space_chars"].get<std::string>(), "space_chars"));
  if (j.contains("include_chars"))
    s.TextParams.IncludeChars = StringToCharSet(JsonTextToBytes(j["include_chars"].get<std::string>(), "include_chars"));
}

TTableStructure StructureFromJson(const json& j) {
  TTableStructure s;
  s.Description = j.value("description", "");
  s.LanguageID = j.value("language_id", 0);
  s.SortID = j.value("sort_id", 0);
  s.Encrypted = j.value("encrypted", false);
  s.Password = j.value("password", "");
  s.UserMajorVersion = j.value("user_major", 0);
  s.UserMinorVersion = j.value("user_minor", 0);
  s.BlobBlockSize = j.value("blob_block_size", kDefaultBlobBlockSize);
  if (!j.contains("fields") || !j["fields"].is_array() || j["fields"].empty()) Invalid("the structure has no fields");
  for (const json& f : j["fields"]) s.Fields.push_back(FieldFromJson(f));
  if (j.contains("indexes")) {
    for (const json& i : j["indexes"]) {
      TIndexDefinition d = IndexFromJson(i, s.Fields);
      if (d.IndexName.empty())
        s.PrimaryIndex = d;
      else
        s.SecondaryIndexes.push_back(d);
    }
  }
  if (j.contains("text_index") && !j["text_index"].is_null()) TextIndexFromJson(j["text_index"], s);
  return s;
}

}  // namespace

TTableStructure ParseStructureJson(const std::string& text) { return StructureFromJson(json::parse(text)); }

TIndexDefinition ParseIndexJson(const std::string& text, const std::vector<TFieldDefinition>& fields) {
  return IndexFromJson(json::parse(text), fields);
}

namespace {

json StructureToJson(TDataTable& t, const TTextIndexParams& params) {
  json j;
  j["description"] = t.GetDescription();
  j["language_id"] = t.GetLanguageID();
  j["sort_id"] = t.GetSortID();
  j["encrypted"] = t.GetEncrypted();
  j["user_major"] = t.GetUserMajorVersion();
  j["user_minor"] = t.GetUserMinorVersion();
  j["blob_block_size"] = t.GetBlobBlockSize();
  json fields = json::array();
  for (std::int32_t i = 1; i <= t.GetFieldCount(); ++i) {
    const TFieldDefinition& f = t.GetFieldDefinitionByPos(i);
    json o;
    o["name"] = f.FieldName;
    o["type"] = TypeNameOf(f.DataType, f.SubType);
    if (f.DataType == dtString || f.DataType == dtBytes || f.DataType == dtVarBytes) o["length"] = f.Length;
    if (f.DataType == dtBCD) o["decimals"] = f.Decimals;
    if (f.Required) o["required"] = true;
    if (f.CharCase != 0) o["char_case"] = f.CharCase == 1 ? "lower" : "upper";
    if (!f.MinimumValue.empty()) o["min"] = f.MinimumValue;
    if (!f.MaximumValue.empty()) o["max"] = f.MaximumValue;
    if (!f.DefaultValue.empty()) o["default"] = f.DefaultValue;
    if (!f.Description.empty()) o["description"] = f.Description;
    fields.push_back(o);
  }
  j["fields"] = fields;
  json indexes = json::array();
  for (int slot = t.GetNoPrimaryIndex() ? 1 : 0; slot <= t.GetIndexCount(); ++slot) {
    TIndexDefinition d;
    t.GetIndexDefinition(slot, d);
    if (d.KeyFieldCount == 0) continue;
    json o;
    o["name"] = d.IndexName;
    json keyFields = json::array();
    json descending = json::array();
    bool anyDescending = false;
    for (int i = 0; i < d.KeyFieldCount; ++i) {
      keyFields.push_back(t.GetFieldDefinitionByPos(d.KeyFields[i]).FieldName);
      descending.push_back(d.DescendingKeyFields[i]);
      anyDescending = anyDescending || d.DescendingKeyFields[i];
    }
    o["fields"] = keyFields;
    if (slot != 0) o["unique"] = d.Unique;
    if (d.CaseInsensitive) o["case_insensitive"] = true;
    if (d.Descending)
      o["descending"] = true;
    else if (anyDescending)
      o["descending"] = descending;
    if (d.Compression != 0) o["compression"] = d.Compression;
    indexes.push_back(o);
  }
  j["indexes"] = indexes;
  TIndexDefinition text;
  t.GetIndexDefinition(kSysTextSlot, text);
  if (text.KeyFieldCount > 0) {
    json o;
    json keyFields = json::array();
    for (int i = 0; i < text.KeyFieldCount && text.KeyFields[i] != 0; ++i)
      keyFields.push_back(t.GetFieldDefinitionByPos(text.KeyFields[i]).FieldName);
    o["fields"] = keyFields;
    json stopWords = json::array();
    for (const std::string& word : params.StopWords) stopWords.push_back(BytesToJsonText(word));
    o["stop_words"] = stopWords;
    o["space_chars"] = BytesToJsonText(CharSetToString(params.SpaceChars));
    o["include_chars"] = BytesToJsonText(CharSetToString(params.IncludeChars));
    j["text_index"] = o;
  }
  return j;
}

// ---------------------------------------------------------------------------------------------
// A cursor on one table of a folder

class TToolCursor : public TToolTable {
 public:
  TToolCursor(const std::string& folder, const std::string& table, const std::string& password, bool readOnly)
      : TToolTable(folder, table, password, {.ReadOnly = readOnly}) {}
};

// ---------------------------------------------------------------------------------------------
// Lossless text forms

std::string Two(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }
std::string Three(int v) { return std::string(v < 100 ? (v < 10 ? "00" : "0") : "") + std::to_string(v); }

std::string DateText(std::int32_t day) {
  int y, m, d;
  DecodeDate(DayNumberToDateTime(day), y, m, d);
  std::string year = std::to_string(y);
  while (year.size() < 4) year = "0" + year;
  return year + "-" + Two(m) + "-" + Two(d);
}

std::string TimeText(std::int64_t ms) {
  return Two(static_cast<int>(ms / 3600000)) + ":" + Two(static_cast<int>(ms / 60000 % 60)) + ":" +
         Two(static_cast<int>(ms / 1000 % 60)) + "." + Three(static_cast<int>(ms % 1000));
}

std::string ShortestDouble(double v) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, result.ptr);
}

std::string HexText(const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string FieldText(TDataCursor& c, std::int32_t fieldNo, std::uint8_t* record) {
  const TFieldDefinition& f = c.GetFieldDefinition(fieldNo);
  std::uint8_t v[256] = {};
  if (c.GetField(fieldNo, record, v)) return "";
  switch (f.DataType) {
    case dtString: return std::string(reinterpret_cast<const char*>(v), strnlen(reinterpret_cast<const char*>(v), f.PhysicalSize));
    case dtDate: return DateText(GetI32(v, 0));
    case dtBoolean: return GetU16(v, 0) != 0 ? "True" : "False";
    case dtSmallInt: return std::to_string(GetI16(v, 0));
    case dtInteger: return std::to_string(GetI32(v, 0));
    case dtFloat: return ShortestDouble(GetF64(v, 0));
    case dtBCD: return BcdToStr(TBcd::FromBytes(v));
    case dtTime: return TimeText(GetI32(v, 0));
    case dtTimeStamp: {
      double stamp = GetF64(v, 0);
      auto total = static_cast<std::int64_t>(std::llround(stamp));
      return DateText(static_cast<std::int32_t>(total / kMSecsPerDay)) + " " + TimeText(total % kMSecsPerDay);
    }
    case dtWord: return std::to_string(GetU16(v, 0));
    case dtUnsignedInt: return std::to_string(GetU32(v, 0));
    case dtLargeInt: return std::to_string(GetI64(v, 0));
    case dtBlob: {
      std::string bytes;
      const int code = c.ReadWholeBlob(fieldNo, record, false, [&](std::size_t n) {
        bytes.resize(n);
        return bytes.data();
      });
      if (code != 0) RaiseError(static_cast<TErrorCode>(code), "", "", "", c.TableName, f.FieldName);
      if (f.SubType == stMemo) return bytes;
      return HexText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    default: return HexText(v, f.PhysicalSize);
  }
}

bool ParseHex(const std::string& text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    auto r = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + i + 2) return false;
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

bool ParseDate(const std::string& text, std::int32_t& day) {
  int y, m, d;
  char a, b;
  std::istringstream in(text);
  if (!(in >> y >> a >> m >> b >> d) || a != '-' || b != '-' || !in.eof()) return false;
  TDateTime value;
  if (!TryEncodeDate(y, m, d, value)) return false;
  day = DateTimeToDayNumber(value);
  return true;
}

bool ParseTime(const std::string& text, std::int64_t& ms) {
  int h = 0, n = 0, s = 0, z = 0;
  if (std::sscanf(text.c_str(), "%d:%d:%d.%d", &h, &n, &s, &z) < 2) return false;
  if (h < 0 || h > 23 || n < 0 || n > 59 || s < 0 || s > 59 || z < 0 || z > 999) return false;
  ms = ((h * 60 + n) * 60 + s) * 1000LL + z;
  return true;
}

// Puts a field's value from its text form; empty sets null. False when the text does not fit
// the type.
bool PutFieldText(TDataCursor& c, std::int32_t fieldNo, std::uint8_t* record, const std::string& text) {
  const TFieldDefinition& f = c.GetFieldDefinition(fieldNo);
  if (text.empty()) {
    c.PutField(fieldNo, record, nullptr);
    return true;
  }
  std::uint8_t v[256] = {};
  switch (f.DataType) {
    case dtString:
      c.PutField(fieldNo, record, text.c_str());
      return true;
    case dtDate: {
      std::int32_t day;
      if (!ParseDate(text, day)) return false;
      PutI32(v, 0, day);
      break;
    }
    case dtBoolean: {
      std::string u = text;
      for (char& ch : u) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (u != "true" && u != "false") return false;
      PutU16(v, 0, u == "true" ? 1 : 0);
      break;
    }
    case dtSmallInt: {
      std::int16_t x;
      if (!ParseNumber(text, x)) return false;
      PutI16(v, 0, x);
      break;
    }
    case dtInteger: {
      std::int32_t x;
      if (!ParseNumber(text, x)) return false;
      PutI32(v, 0, x);
      break;
    }
    case dtWord: {
      std::uint16_t x;
      if (!ParseNumber(text, x)) return false;
      PutU16(v, 0, x);
      break;
    }
    case dtUnsignedInt: {
      std::uint32_t x;
      if (!ParseNumber(text, x)) return false;
      PutU32(v, 0, x);
      break;
    }
    case dtLargeInt: {
      std::int64_t x;
      if (!ParseNumber(text, x)) return false;
      PutI64(v, 0, x);
      break;
    }
    case dtFloat: {
      double x;
      if (!ParseNumber(text, x)) return false;
      PutF64(v, 0, x);
      break;
    }
    case dtBCD: {
      TBcd bcd;
      if (!TryStrToBcd(text, bcd)) return false;
      bcd.ToBytes(v);
      break;
    }
    case dtTime: {
      std::int64_t ms;
      if (!ParseTime(text, ms)) return false;
      PutI32(v, 0, static_cast<std::int32_t>(ms));
      break;
    }
    case dtTimeStamp: {
      std::size_t space = text.find(' ');
      std::int32_t day;
      std::int64_t ms = 0;
      if (!ParseDate(text.substr(0, space), day)) return false;
      if (space != std::string::npos && !ParseTime(text.substr(space + 1), ms)) return false;
      PutF64(v, 0, static_cast<double>(day) * kMSecsPerDay + static_cast<double>(ms));
      break;
    }
    case dtBytes:
    case dtVarBytes: {
      std::vector<std::uint8_t> bytes;
      if (!ParseHex(text, bytes) || bytes.size() > f.PhysicalSize) return false;
      std::memcpy(v, bytes.data(), bytes.size());
      break;
    }
    case dtBlob: {
      std::vector<std::uint8_t> bytes(text.begin(), text.end());
      if (f.SubType != stMemo && !ParseHex(text, bytes)) return false;
      std::int64_t size = 0;
      int code = c.OpenBlob(fieldNo, record, TBlobBuffer::omReadWrite, false, true, size);
      if (code == 0) code = c.TruncateBlob(fieldNo, record, false, 0);
      if (code == 0) code = c.PutBlob(fieldNo, record, false, static_cast<std::int64_t>(bytes.size()), bytes.data(), 0);
      if (code != 0) RaiseError(static_cast<TErrorCode>(code), "", "", "", c.TableName, f.FieldName);
      return true;
    }
    default:
      return false;
  }
  c.PutField(fieldNo, record, v);
  return true;
}

// A key on the command line: a CSV line of the index's key fields in order. Returns how many
// fields it gives (0 for an empty line, which leaves that end open).
int KeyFromText(TDataCursor& c, const std::string& text, std::uint8_t* record) {
  c.ClearRecord(record);
  if (text.empty()) return 0;
  std::vector<std::string> values = SplitCsvLine(text);
  const auto& keyFields = c.GetKeyFieldDefinitions();
  if (values.size() > keyFields.size())
    Invalid("the key '" + text + "' has more values than the index has fields");
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::int32_t number = keyFields[i].FieldNumber;
    if (keyFields[i].IsAutoInc()) {
      std::int32_t id;
      if (!ParseNumber(values[i], id)) Invalid("'" + values[i] + "' is no value of the field " + keyFields[i].FieldName);
      TDataCursor::PutRecordID(id, record);
      continue;
    }
    if (!PutFieldText(c, number, record, values[i]))
      Invalid("'" + values[i] + "' is no value of the field " + keyFields[i].FieldName);
  }
  return static_cast<int>(values.size());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Commands

int RunCreateCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, file;
  bool overwrite = false;
  CLI::App app{"creates a table from a structure JSON file", "korvel create"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("STRUCTURE", file, "structure JSON file")->required();
  app.add_flag("--overwrite", overwrite, "replace a table of that name");
  return RunParsed(app, args, out, err, [&] {
    std::ifstream in(file);
    if (!in) {
      err << "korvel create: cannot read '" << file << "'\n";
      return kExitFailure;
    }
    json j;
    try {
      j = json::parse(in);
    } catch (const json::exception& e) {
      err << "korvel create: " << file << ": " << e.what() << '\n';
      return kExitFailure;
    }
    TTableStructure structure;
    try {
      structure = StructureFromJson(j);
    } catch (const json::exception& e) {
      err << "korvel create: " << file << ": " << e.what() << '\n';
      return kExitFailure;
    } catch (const CLI::ValidationError& e) {
      err << "korvel create: " << file << ": " << e.what() << '\n';
      return kExitFailure;
    }
    TDataSession session(false);
    TDataDirectory* directory = session.OpenDataDirectory("tool", folder);
    TDataCursor cursor(directory);
    cursor.SetTableName(table);
    cursor.SetExclusive(true);
    // Every structure check runs before a file is written.
    TTableMaintenance(cursor).CreateTable(structure, overwrite);
    out << "created the table " << table << '\n';
    return kExitOk;
  });
}

int RunStructureCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, password;
  CLI::App app{"prints the structure JSON of a table", "korvel structure"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("--password", password, "password of a scrambled table");
  return RunParsed(app, args, out, err, [&] {
    TToolCursor c(folder, table, password, true);
    out << StructureToJson(*c->Table, c->GetTextIndexParams()).dump(2) << '\n';
    return kExitOk;
  });
}

int RunInsertCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, password;
  std::vector<std::string> assignments;
  CLI::App app{"appends one record; prints its ID", "korvel insert"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("VALUES", assignments, "FIELD=VALUE ...");
  app.add_option("--password", password, "password of a scrambled table");
  return RunParsed(app, args, out, err, [&] {
    TToolCursor c(folder, table, password, false);
    std::vector<std::uint8_t> record(static_cast<std::size_t>(c->GetRecordSize()));
    c->InitRecord(record.data());
    for (const std::string& a : assignments) {
      std::size_t eq = a.find('=');
      if (eq == std::string::npos) {
        err << "korvel insert: '" << a << "' is not FIELD=VALUE\n";
        return kExitUsage;
      }
      std::int32_t number = c->GetFieldNumber(a.substr(0, eq));
      if (number == 0) RaiseError(KORVEL_OUTOFRANGE, "", "", folder, table, a.substr(0, eq));
      const TFieldDefinition& f = c->GetFieldDefinition(number);
      if (f.IsAutoInc()) {
        std::int32_t id;
        if (!ParseNumber(a.substr(eq + 1), id)) {
          err << "korvel insert: '" << a.substr(eq + 1) << "' is no value of the field " << f.FieldName << '\n';
          return kExitFailure;
        }
        c->SetSuppressAutoIncValues(true);
        TDataCursor::PutRecordID(id, record.data());
        continue;
      }
      if (!PutFieldText(*c, number, record.data(), a.substr(eq + 1))) {
        err << "korvel insert: '" << a.substr(eq + 1) << "' is no value of the field " << f.FieldName << '\n';
        return kExitFailure;
      }
    }
    c->AppendRecord(record.data(), false);
    out << TDataCursor::GetRecordID(record.data()) << '\n';
    return kExitOk;
  });
}

namespace {

struct TListOptions {
  std::string Folder, Table, Password, Index, Find, Fields, Filter;
  std::vector<std::string> Range;
  bool Nearest = false, Reverse = false, Json = false;
  std::int64_t Offset = 0, Limit = -1;
};

void AddSelection(CLI::App& app, TListOptions& o) {
  app.add_option("DIR", o.Folder)->required();
  app.add_option("TABLE", o.Table)->required();
  app.add_option("--password", o.Password, "password of a scrambled table");
  app.add_option("--index", o.Index, "index name (the primary index when absent)");
  app.add_option("--range", o.Range, "START END: first and last key, CSV of the key fields")->expected(2);
  app.add_option("--filter", o.Filter, "filter expression: only the records for which it is true");
}

void ApplySelection(TDataCursor& c, const TListOptions& o) {
  if (!o.Index.empty() || c.GetIsPhysicalNavigation()) c.SetIndexName(o.Index);
  if (o.Range.size() == 2) {
    if (c.GetIsPhysicalNavigation()) Invalid("--range needs an index");
    std::vector<std::uint8_t> low(static_cast<std::size_t>(c.GetRecordSize()));
    std::vector<std::uint8_t> high(low.size());
    int lowFields = KeyFromText(c, o.Range[0], low.data());
    int highFields = KeyFromText(c, o.Range[1], high.data());
    c.SetRange(false, lowFields == 0 ? nullptr : low.data(), lowFields, highFields == 0 ? nullptr : high.data(),
               highFields);
  }
  if (!o.Filter.empty()) {
    TFilterOptions options;
    options.Cost = true;
    options.Count = true;
    c.ActivateFilter(c.AddFilter(nullptr, o.Filter, nullptr, options));
  }
}

const char* LevelName(TOptimizeLevel level) {
  switch (level) {
    case olFull: return "full";
    case olPartial: return "partial";
    default: return "none";
  }
}

}  // namespace

int RunListCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TListOptions o;
  CLI::App app{"lists the records in the order of an index", "korvel list"};
  AddSelection(app, o);
  app.add_option("--find", o.Find, "start at this key (CSV of the key fields)");
  app.add_flag("--nearest", o.Nearest, "with --find: start at the nearest key when it is not there");
  app.add_flag("--reverse", o.Reverse, "walk from the end");
  app.add_option("--offset", o.Offset, "records to skip")->check(CLI::NonNegativeNumber);
  app.add_option("--limit", o.Limit, "records to list at most")->check(CLI::NonNegativeNumber);
  app.add_option("--fields", o.Fields, "fields to list, A,B,...");
  app.add_flag("--json", o.Json, "one JSON object per record");
  return RunParsed(app, args, out, err, [&] {
    TToolCursor c(o.Folder, o.Table, o.Password, true);
    ApplySelection(*c, o);
    std::vector<std::int32_t> fields;
    if (o.Fields.empty()) {
      for (std::int32_t i = 1; i <= c->GetFieldCount(); ++i) fields.push_back(i);
    } else {
      for (const std::string& name : SplitCsvLine(o.Fields)) {
        std::int32_t number = c->GetFieldNumber(name);
        if (number == 0) RaiseError(KORVEL_OUTOFRANGE, "", "", o.Folder, o.Table, name);
        fields.push_back(number);
      }
    }
    std::vector<std::uint8_t> record(static_cast<std::size_t>(c->GetRecordSize()));
    bool started = false;
    if (!o.Find.empty()) {
      if (c->GetIsPhysicalNavigation()) Invalid("--find needs an index");
      std::vector<std::uint8_t> key(record.size());
      int count = KeyFromText(*c, o.Find, key.data());
      if (!c->Find(false, key.data(), count, o.Nearest, 0, record.data()) && !o.Nearest) return kExitOk;
      started = true;
    } else if (o.Reverse) {
      c->SetToEnd();
    } else {
      c->SetToBegin();
    }
    if (!o.Json) {
      std::string header;
      for (std::size_t i = 0; i < fields.size(); ++i)
        header += (i ? "," : "") + CsvQuote(c->GetFieldDefinition(fields[i]).FieldName);
      out << header << '\n';
    }
    std::int64_t skipped = 0, listed = 0;
    for (;;) {
      if (o.Limit >= 0 && listed >= o.Limit) break;
      int status;
      if (started) {
        status = c->GetCurrentRecord(record.data());
        started = false;
      } else {
        status = o.Reverse ? c->GetPriorRecord(record.data()) : c->GetNextRecord(record.data());
      }
      if (status != 0) break;
      if (skipped < o.Offset) {
        ++skipped;
        continue;
      }
      if (o.Json) {
        json line = json::object();
        for (std::int32_t f : fields) {
          const std::string text = FieldText(*c, f, record.data());
          if (c->GetField(f, record.data(), nullptr))
            line[c->GetFieldDefinition(f).FieldName] = nullptr;
          else
            line[c->GetFieldDefinition(f).FieldName] = text;
        }
        out << line.dump() << '\n';
      } else {
        std::string line;
        for (std::size_t i = 0; i < fields.size(); ++i)
          line += (i ? "," : "") + CsvQuote(FieldText(*c, fields[i], record.data()));
        out << line << '\n';
      }
      ++listed;
    }
    return kExitOk;
  });
}

int RunCountCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TListOptions o;
  bool explain = false;
  CLI::App app{"prints the number of records", "korvel count"};
  AddSelection(app, o);
  app.add_flag("--explain", explain, "add how far indexes answer the filter");
  return RunParsed(app, args, out, err, [&] {
    TToolCursor c(o.Folder, o.Table, o.Password, true);
    ApplySelection(*c, o);
    out << c->GetRecordCount() << '\n';
    if (explain) out << "optimisation: " << LevelName(c->GetFilterOptimizeLevel()) << '\n';
    return kExitOk;
  });
}

int RunSearchCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  std::string folder, table, password, fieldName, words;
  bool occurs = false;
  CLI::App app{"lists the records whose text-indexed field holds all the words (\"word*\": a prefix)",
               "korvel search"};
  app.add_option("DIR", folder)->required();
  app.add_option("TABLE", table)->required();
  app.add_option("FIELD", fieldName, "a string or memo field")->required();
  app.add_option("WORDS", words, "the words, as one argument")->required();
  app.add_option("--password", password, "password of a scrambled table");
  app.add_flag("--occurs", occurs, "add a last column #occurs: how often the words occur");
  return RunParsed(app, args, out, err, [&] {
    TToolCursor c(folder, table, password, true);
    const std::int32_t number = c->GetFieldNumber(fieldName);
    if (number == 0) RaiseError(KORVEL_OUTOFRANGE, "", "", folder, table, fieldName);
    const TFieldDefinition& field = c->GetFieldDefinition(number);
    if (field.DataType != dtString && !(field.DataType == dtBlob && field.SubType == stMemo))
      RaiseError(KORVEL_SEARCHCOLREQD, "", "", folder, table, field.FieldName);
    std::string quoted;
    for (char ch : words) {
      quoted.push_back(ch);
      if (ch == '\'') quoted.push_back(ch);
    }
    if (c->GetIsPhysicalNavigation()) c->SetIndexName("");
    TFilterOptions options;
    c->ActivateFilter(
        c->AddFilter(nullptr, "TEXTSEARCH('" + quoted + "' IN [" + field.FieldName + "])", nullptr, options));
    std::string header;
    for (std::int32_t i = 1; i <= c->GetFieldCount(); ++i)
      header += (i > 1 ? "," : "") + CsvQuote(c->GetFieldDefinition(i).FieldName);
    if (occurs) header += ",#occurs";
    out << header << '\n';
    std::vector<std::uint8_t> record(static_cast<std::size_t>(c->GetRecordSize()));
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) {
      std::string line;
      for (std::int32_t i = 1; i <= c->GetFieldCount(); ++i)
        line += (i > 1 ? "," : "") + CsvQuote(FieldText(*c, i, record.data()));
      if (occurs) line += "," + std::to_string(c->TextOccurs(field.FieldNumber, words, record.data()));
      out << line << '\n';
    }
    return kExitOk;
  });
}

int RunDeleteCommand(const TArguments& args, std::ostream& out, std::ostream& err) {
  TListOptions o;
  CLI::App app{"deletes the records a filter selects", "korvel delete"};
  app.add_option("DIR", o.Folder)->required();
  app.add_option("TABLE", o.Table)->required();
  app.add_option("--password", o.Password, "password of a scrambled table");
  app.add_option("--filter", o.Filter, "filter expression: the records to delete")->required();
  return RunParsed(app, args, out, err, [&] {
    TToolCursor c(o.Folder, o.Table, o.Password, false);
    c->SetIndexPos(kNoIndexPos);
    ApplySelection(*c, o);
    std::vector<std::uint8_t> record(static_cast<std::size_t>(c->GetRecordSize()));
    std::int64_t deleted = 0;
    // Physical order: a delete clears the record's bit, and the next step goes on from there.
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) {
      c->DeleteRecord(record.data(), false);
      ++deleted;
    }
    out << deleted << (deleted == 1 ? " record deleted" : " records deleted") << '\n';
    return kExitOk;
  });
}

}  // namespace korvel::tool
