#pragma once
// A people table for the cursor tests, and a check that every index holds exactly the live
// records of the table.
//
// Fields: 1 ID (auto-increment), 2 Name (string of 30), 3 Amount (integer), 4 Notes (memo).
// Indexes: primary on ID; ByName (Name, case-insensitive, non-unique, compressed); ByAmount
// (Amount, unique); NameDesc (Name descending, non-unique).

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/data_table.h"
#include "engine/session.h"
#include "support/byte_order.h"
#include "support/key_encoding.h"

namespace korvel::testing {

// An index over fields (numbers from 1) of `fields`, with its key size computed.
inline TIndexDefinition CursorIndex(const std::string& name, const std::vector<TFieldDefinition>& fields,
                                    std::vector<int> keyFields, bool unique, bool descending = false,
                                    bool caseInsensitive = false, std::uint8_t compression = 0) {
  TIndexDefinition d;
  d.IndexName = name;
  d.Unique = unique;
  d.Descending = descending;
  d.CaseInsensitive = caseInsensitive;
  d.Compression = compression;
  d.KeyFieldCount = static_cast<std::uint8_t>(keyFields.size());
  std::size_t size = unique ? 0 : 4;
  for (std::size_t i = 0; i < keyFields.size(); ++i) {
    d.KeyFields[i] = static_cast<std::uint16_t>(keyFields[i]);
    const TFieldDefinition& f = fields[static_cast<std::size_t>(keyFields[i] - 1)];
    size += 1 + IndexedSize(f.DataType, PhysicalSizeOf(f.DataType, f.Length));
  }
  d.KeySize = static_cast<std::uint16_t>(size);
  return d;
}

inline TTableStructure PeopleStructure() {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 30),
              MakeField("Amount", dtInteger), MakeField("Notes", dtBlob, 0, stMemo)};
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  s.SecondaryIndexes = {CursorIndex("ByName", s.Fields, {2}, false, false, true, 3),
                        CursorIndex("ByAmount", s.Fields, {3}, true),
                        CursorIndex("NameDesc", s.Fields, {2}, false, true)};
  return s;
}

inline void CreateTable(TDataDirectory* directory, const std::string& name, const TTableStructure& s) {
  TDataTable* table = nullptr;
  int result = directory->CreateDataTable(name, s, false, false, table);
  if (result < 0) RaiseError(static_cast<TErrorCode>(-result));
}

// Exposes the key building of the cursor to the checks.
class TTestCursor : public TDataCursor {
 public:
  using TDataCursor::BuildKey;
  using TDataCursor::ConfigureTree;
  using TDataCursor::EditedIndexSlots;
  using TDataCursor::TDataCursor;
};

inline std::unique_ptr<TTestCursor> OpenPeople(TDataDirectory* directory, const std::string& name = "people") {
  auto c = std::make_unique<TTestCursor>(directory);
  c->SetTableName(name);
  c->OpenCursor();
  return c;
}

inline void SetName(TDataCursor& c, std::uint8_t* record, const std::string& name) {
  c.PutField(2, record, name.c_str());
}
inline void SetAmount(TDataCursor& c, std::uint8_t* record, std::int32_t amount) { c.PutField(3, record, &amount); }
inline std::string NameOf(const TDataCursor& c, const std::uint8_t* record) {
  char text[32] = {};
  c.GetField(2, record, text);
  return text;
}
inline std::int32_t AmountOf(const TDataCursor& c, const std::uint8_t* record) {
  std::int32_t v = 0;
  c.GetField(3, record, &v);
  return v;
}

inline std::int32_t Append(TDataCursor& c, const std::string& name, std::int32_t amount) {
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  c.InitRecord(r.data());
  SetName(c, r.data(), name);
  SetAmount(c, r.data(), amount);
  c.AppendRecord(r.data());
  return TDataCursor::GetRecordID(r.data());
}

// Every index (and the record index) holds exactly one key per live record, built from that
// record, and nothing else; the record count agrees. Returns an empty string or what is wrong.
inline std::string CheckIndexes(TTestCursor& c) {
  TDataTable& t = *c.Table;
  std::vector<std::vector<std::uint8_t>> live;  // record images, live only
  std::vector<std::int32_t> numbers;
  std::vector<std::pair<std::int32_t, std::uint8_t>> all;  // number, deleted flag
  for (std::int32_t n = 1; n <= t.GetPhysicalRecordsUsed(); ++n) {
    TRecord* r = nullptr;
    t.GetRecord(nullptr, n, false, false, true, r);
    std::vector<std::uint8_t> image(r->Buffer(), r->Buffer() + t.GetRecordSize());
    t.PutRecord(r);
    all.push_back({n, image[0]});
    if (image[0] == 0) {
      live.push_back(image);
      numbers.push_back(n);
    }
  }
  if (static_cast<std::int32_t>(live.size()) != t.GetActualRecordCount())
    return "record count " + std::to_string(t.GetActualRecordCount()) + " but " + std::to_string(live.size()) +
           " live records";
  std::vector<int> slots = c.EditedIndexSlots();
  slots.push_back(kSysDeletedSlot);
  for (int slot : slots) {
    TBTreeCursor tree;
    c.ConfigureTree(tree, slot);
    std::multiset<std::pair<std::vector<std::uint8_t>, std::int32_t>> expected, found;
    const std::size_t size = t.IndexFile->IndexDefinition(slot).KeySize;
    if (slot == kSysDeletedSlot) {
      for (auto [n, flag] : all) {
        TRecord* r = nullptr;
        t.GetRecord(nullptr, n, false, false, true, r);
        std::vector<std::uint8_t> key(5);
        key[0] = flag;
        FlipIntegerBits(r->GetRecordID(), key.data() + 1);
        t.PutRecord(r);
        expected.insert({key, n});
      }
    } else {
      for (std::size_t i = 0; i < live.size(); ++i) {
        std::vector<std::uint8_t> key(size);
        c.BuildKey(slot, live[i].data(), key.data());
        expected.insert({key, numbers[i]});
      }
    }
    tree.GotoFirstIndexPosition();
    std::vector<std::uint8_t> previous;
    while (!tree.Bof && !tree.Eof) {
      std::vector<std::uint8_t> key(tree.GetKeyEntryPtr(), tree.GetKeyEntryPtr() + size);
      if (!previous.empty() && tree.CompareKeys(previous.data(), key.data(), size) >= 0)
        return "index " + std::to_string(slot) + " out of order";
      previous = key;
      found.insert({key, tree.TBTreeCursor::GetPhysicalRecordNumber()});
      tree.SkipIndexKeys(1);
    }
    if (found != expected)
      return "index " + std::to_string(slot) + " holds " + std::to_string(found.size()) + " keys, expected " +
             std::to_string(expected.size());
    if (tree.GetIndexKeyCount() != static_cast<std::int32_t>(expected.size()))
      return "index " + std::to_string(slot) + " key count wrong";
  }
  return "";
}

}  // namespace korvel::testing
