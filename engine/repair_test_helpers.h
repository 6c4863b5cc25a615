#pragma once
// A table with every field type for the verification and repair tests, and a snapshot of its
// data that compares records by ID, values and BLOB contents.
//
// Fields: 1 ID (auto-increment), 2 Name (string 20), 3 Code (bytes 6), 4 Flag (boolean),
// 5 Small, 6 Count (integer, unique), 7 Price (float), 8 Amount (BCD, 2 decimals), 9 Day (date),
// 10 Clock (time), 11 Stamp (timestamp), 12 Word, 13 UInt (unsigned), 14 Ext (extended float),
// 15 Raw (variable bytes 12), 16 Big (large integer), 17 Notes (memo), 18 Data (binary BLOB).
// Every field but the BLOBs is part of some index, so that a changed value changes a key.
// The word index covers Name and Notes, with stop words of its own (one of them, KILO, is a
// word of the memos and no default stop word, so that parameters lost or replaced show).

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/btree_cursor.h"
#include "engine/cursor_test_helpers.h"
#include "framework/currency_bcd.h"
#include "support/byte_order.h"

namespace korvel::testing {

inline TTableStructure RichStructure() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 20),
              MakeField("Code", dtBytes, 6),          MakeField("Flag", dtBoolean),
              MakeField("Small", dtSmallInt),          MakeField("Count", dtInteger),
              MakeField("Price", dtFloat),             MakeField("Amount", dtBCD),
              MakeField("Day", dtDate),                MakeField("Clock", dtTime),
              MakeField("Stamp", dtTimeStamp),         MakeField("Word", dtWord),
              MakeField("UInt", dtUnsignedInt),        MakeField("Ext", dtExtended),
              MakeField("Raw", dtVarBytes, 12),        MakeField("Big", dtLargeInt),
              MakeField("Notes", dtBlob, 0, stMemo),   MakeField("Data", dtBlob, 0, stBinary)};
  s.Fields[7].Decimals = 2;
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  s.SecondaryIndexes = {CursorIndex("ByName", s.Fields, {2}, false, false, false, 3),
                        CursorIndex("ByCode", s.Fields, {3, 4, 5}, false, true, false, 1),
                        CursorIndex("ByCount", s.Fields, {6}, true),
                        CursorIndex("ByNums", s.Fields, {7, 8, 9, 10}, false, false, false, 2),
                        CursorIndex("ByMore", s.Fields, {11, 12, 13, 14}, false),
                        CursorIndex("ByRest", s.Fields, {15, 16}, false, false, false, 3)};
  s.TextIndex.KeyFields[0] = 2;
  s.TextIndex.KeyFields[1] = 17;
  s.TextIndex.KeyFieldCount = 2;
  s.TextParams.StopWords = {"AND", "KILO", "THE"};
  return s;
}

// The words of the memos: a handful, so that every word has records to find.
inline const std::vector<std::string>& RichWords() {
  static const std::vector<std::string> words = {"alpha", "bravo",  "charlie", "delta", "echo", "foxtrot", "golf",
                                                 "hotel", "india",  "juliet",  "kilo",  "lima", "the",     "and"};
  return words;
}

// A memo text of about `length` bytes: words of RichWords in any letter case, separated by
// blanks and punctuation.
inline std::string RichMemo(std::mt19937& rng, std::size_t length) {
  std::string text;
  while (text.size() < length) {
    std::string word = RichWords()[rng() % RichWords().size()];
    if (rng() % 4 == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    text += word;
    text += rng() % 5 == 0 ? ", " : " ";
  }
  return text;
}

// Field values of record i (Count = i keeps the unique index satisfied).
inline void FillRich(TDataCursor& c, std::uint8_t* r, std::mt19937& rng, std::int32_t i) {
  c.InitRecord(r);
  auto field = [&](int n) -> std::uint8_t* {
    const TFieldDefinition& f = c.GetFieldDefinition(n);
    r[f.Offset] = 1;
    return r + f.Offset + 1;
  };
  std::string name;
  for (int k = 0, len = 3 + static_cast<int>(rng() % 15); k < len; ++k) name += static_cast<char>('a' + rng() % 26);
  std::memcpy(field(2), name.c_str(), name.size() + 1);
  for (int k = 0; k < 6; ++k) field(3)[k] = static_cast<std::uint8_t>(rng());
  PutU16(field(4), 0, static_cast<std::uint16_t>(rng() % 2));
  PutU16(field(5), 0, static_cast<std::uint16_t>(rng()));
  PutI32(field(6), 0, i);
  double price = static_cast<double>(rng() % 100000) / 7.0;
  std::memcpy(field(7), &price, 8);
  TBcd bcd;
  CurrToBCD(static_cast<Currency>(static_cast<std::int64_t>(rng() % 10000000) * 100), bcd, 32, 2);
  bcd.ToBytes(field(8));
  PutI32(field(9), 0, 700000 + static_cast<std::int32_t>(rng() % 50000));
  PutI32(field(10), 0, static_cast<std::int32_t>(rng() % 86400000));
  double stamp = 6.0e13 + static_cast<double>(rng() % 1000000000);
  std::memcpy(field(11), &stamp, 8);
  PutU16(field(12), 0, static_cast<std::uint16_t>(rng()));
  PutU32(field(13), 0, static_cast<std::uint32_t>(rng()));
  long double ext = static_cast<long double>(rng() % 1000000) / 3.0L;
  std::memcpy(field(14), &ext, 10);
  std::uint8_t* raw = field(15);
  std::uint16_t rawLength = static_cast<std::uint16_t>(rng() % 11);
  PutU16(raw, 0, rawLength);
  for (int k = 0; k < rawLength; ++k) raw[2 + k] = static_cast<std::uint8_t>(rng());
  PutI64(field(16), 0, static_cast<std::int64_t>(rng()) * 1000003);
  // The BLOB fields stay null here; WriteRichBlobs gives them values.
  r[c.GetFieldDefinition(17).Offset] = 0;
  r[c.GetFieldDefinition(18).Offset] = 0;
}

inline void PutBlobValue(TDataCursor& c, std::uint8_t* r, int field, const std::string& value) {
  std::int64_t size = 0;
  if (c.OpenBlob(field, r, TBlobBuffer::omReadWrite, false, true, size) != 0) RaiseError(KORVEL_MEMOCORRUPT);
  if (c.PutBlob(field, r, false, static_cast<std::int64_t>(value.size()), value.data(), 0) != 0)
    RaiseError(KORVEL_MEMOCORRUPT);
}

// Appends `count` records (some with memo and binary values of up to several blocks) and
// deletes every seventh, so that the table holds free records and free BLOB blocks.
// A scrambled table gets the password "secret", which the directory's session then knows.
inline void FillRichTable(TDataDirectory* directory, const std::string& name, int count, unsigned seed,
                          bool encrypted = false) {
  TTableStructure s = RichStructure();
  if (encrypted) {
    s.Encrypted = true;
    s.Password = "secret";
    directory->Session->AddPassword("secret");
  }
  CreateTable(directory, name, s);
  TDataCursor c(directory);
  c.SetTableName(name);
  c.SetExclusive(true);
  c.OpenCursor();
  c.SetTextIndexParams(s.TextParams);
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  for (int i = 1; i <= count; ++i) {
    FillRich(c, r.data(), rng, i);
    if (i % 3 != 0) PutBlobValue(c, r.data(), 17, RichMemo(rng, 20 + rng() % 1400));
    if (i % 4 == 1) {
      std::string data(1 + rng() % 900, '\0');
      for (char& ch : data) ch = static_cast<char>(rng());
      PutBlobValue(c, r.data(), 18, data);
    }
    c.AppendRecord(r.data(), false);
  }
  c.SetIndexPos(kNoIndexPos);
  for (int n = 7; n <= count; n += 7) {
    c.GotoPhysicalRecordNumber(n);
    if (c.GetCurrentRecord(r.data()) == 0) c.DeleteRecord(r.data(), false);
  }
  c.CloseCursor();
}

// The live records of a table by record ID: every field's value bytes and every BLOB's
// contents, as a reader of the table sees them.
using TTableSnapshot = std::map<std::int32_t, std::string>;

inline std::string RecordText(TDataCursor& c, std::uint8_t* r) {
  std::string text;
  for (std::int32_t i = 1; i <= c.GetFieldCount(); ++i) {
    const TFieldDefinition& f = c.GetFieldDefinition(i);
    if (f.DataType == dtBlob) {
      std::int64_t size = 0;
      if (c.GetField(i, r, nullptr)) {
        text += "|null";
        continue;
      }
      if (c.OpenBlob(i, r, TBlobBuffer::omRead, false, false, size) != 0) RaiseError(KORVEL_MEMOCORRUPT);
      std::string value(static_cast<std::size_t>(size), '\0');
      std::int64_t got = 0;
      int code = size > 0 ? c.GetBlob(i, r, false, got, size, value.data(), 0) : 0;
      c.FreeBlob(i, r, false);
      if (code != 0) RaiseError(static_cast<TErrorCode>(code));
      text += "|" + value;
      continue;
    }
    std::uint8_t value[64] = {};
    bool blank = c.GetField(i, r, value);
    Currency amount{};
    if (!blank && f.DataType == dtBCD && BCDToCurr(TBcd::FromBytes(value), amount)) {
      // Digits beyond the precision are no part of the value.
      text += "|" + CurrToStr(amount);
      continue;
    }
    text += blank ? std::string("|null") : "|" + std::string(reinterpret_cast<char*>(value), f.DataType == dtString ? strnlen(reinterpret_cast<char*>(value), 64) : f.PhysicalSize);
  }
  return text;
}

// Reads every live record in physical order and through every index; throws on any failure
// and when an index does not give exactly the live records.
inline TTableSnapshot Snapshot(TDataDirectory* directory, const std::string& name, bool inMemory = false) {
  TDataCursor c(directory);
  c.SetTableName(name);
  c.SetExclusive(true);
  c.SetInMemory(inMemory);
  c.OpenCursor();
  TTableSnapshot snapshot;
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  c.SetIndexPos(kNoIndexPos);
  c.SetToBegin();
  while (c.GetNextRecord(r.data()) == 0) snapshot[TDataCursor::GetRecordID(r.data())] = RecordText(c, r.data());
  for (int pos = 0; pos <= c.GetIndexCount(); ++pos) {
    if (pos == 0 && c.Table->GetNoPrimaryIndex()) continue;
    c.SetIndexPos(pos);
    c.SetToBegin();
    std::size_t seen = 0;
    while (c.GetNextRecord(r.data()) == 0) {
      auto it = snapshot.find(TDataCursor::GetRecordID(r.data()));
      if (it == snapshot.end() || it->second != RecordText(c, r.data())) RaiseError(KORVEL_INDEXCORRUPT);
      ++seen;
    }
    if (seen != snapshot.size()) RaiseError(KORVEL_INDEXCORRUPT);
  }
  c.CloseCursor();
  return snapshot;
}

// Every key of the word index with the physical record number it points at, in index order.
using TTextKeys = std::vector<std::pair<std::string, std::int32_t>>;

inline TTextKeys ReadTextKeys(TTestCursor& c) {
  TTextKeys keys;
  TBTreeCursor tree;
  c.ConfigureTree(tree, kSysTextSlot);
  if (!tree.GotoFirstIndexPosition()) RaiseError(KORVEL_INDEXCORRUPT);
  while (!tree.Bof && !tree.Eof) {
    const std::uint8_t* key = tree.GetKeyEntryPtr();
    keys.push_back({std::string(reinterpret_cast<const char*>(key), kTextKeySize), tree.GetPhysicalRecordNumber()});
    if (!tree.SkipIndexKeys(1)) RaiseError(KORVEL_INDEXCORRUPT);
  }
  return keys;
}

// The records (IDs) that word searches find through the word index: each word of the memos
// and prefixes, in the fields Notes (17) and Name (2).
inline std::map<std::string, std::vector<std::int32_t>> WordSearches(TDataCursor& c) {
  std::map<std::string, std::vector<std::int32_t>> found;
  std::vector<std::string> searches = RichWords();
  searches.push_back("ch* hotel");
  searches.push_back("a*");
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  // By the names the fields have now (a repair may have renamed them).
  for (const std::string& field : {c.GetFieldDefinition(17).FieldName, c.GetFieldDefinition(2).FieldName}) {
    for (const std::string& search : searches) {
      const std::string filter = "TEXTSEARCH('" + search + "' IN [" + field + "])";
      const int h = c.AddFilter(nullptr, filter, nullptr, {});
      c.ActivateFilter(h);
      std::vector<std::int32_t>& ids = found[filter];
      c.SetToBegin();
      while (c.GetNextRecord(r.data()) == 0) ids.push_back(TDataCursor::GetRecordID(r.data()));
      c.DropFilter(h);
      std::sort(ids.begin(), ids.end());
    }
  }
  return found;
}

// Whether the word index of a table holds what a fresh build from its records holds: the same
// keys, and so the same answers to word searches. The table is rebuilt in the check. Returns
// an empty string or what differs.
inline std::string TextIndexMatchesAFreshBuild(TDataDirectory* directory, const std::string& name,
                                               bool inMemory = false) {
  TTestCursor c(directory);
  c.SetTableName(name);
  c.SetExclusive(true);
  c.SetInMemory(inMemory);
  c.OpenCursor();
  const TTextKeys keys = ReadTextKeys(c);
  const auto searches = WordSearches(c);
  c.CreateTextIndexes();
  const TTextKeys fresh = ReadTextKeys(c);
  const auto freshSearches = WordSearches(c);
  c.CloseCursor();
  if (fresh.empty()) return "the fresh build holds no word key";
  if (keys.size() != fresh.size()) return std::to_string(keys.size()) + " word keys, a fresh build has " + std::to_string(fresh.size());
  if (keys != fresh) return "word keys differ from a fresh build";
  if (searches != freshSearches) return "word searches differ from a fresh build";
  return "";
}

}  // namespace korvel::testing
