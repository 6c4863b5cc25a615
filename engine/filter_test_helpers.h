#pragma once
// A table for the filter tests. Fields: 1 ID (auto-increment), 2 Name (string of 6),
// 3 Amount (integer), 4 Price (float), 5 Flag (boolean), 6 Notes (memo). With indexes:
// primary on ID; ByName (Name, case-sensitive); ByNameCI (Name, case-insensitive); ByAmount
// (Amount, non-unique); ByFlag (Flag, non-unique). Price and Notes have none.

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/cursor_test_helpers.h"
#include "engine/data_cursor.h"

namespace korvel::testing {

inline TTableStructure FilterStructure(bool indexed) {
  TTableStructure s;
  s.Fields = {MakeField("ID", dtInteger, 0, stAutoInc), MakeField("Name", dtString, 6),
              MakeField("Amount", dtInteger),           MakeField("Price", dtFloat),
              MakeField("Flag", dtBoolean),             MakeField("Notes", dtBlob, 0, stMemo)};
  s.PrimaryIndex = CursorIndex("", s.Fields, {1}, true);
  if (indexed)
    s.SecondaryIndexes = {CursorIndex("ByName", s.Fields, {2}, false), CursorIndex("ByNameCI", s.Fields, {2}, false, false, true),
                          CursorIndex("ByAmount", s.Fields, {3}, false), CursorIndex("ByFlag", s.Fields, {5}, false)};
  return s;
}

struct TFilterRow {
  std::optional<std::string> Name;
  std::optional<std::int32_t> Amount;
  std::optional<double> Price;
  std::optional<bool> Flag;
};

inline void FillRecord(TDataCursor& c, std::uint8_t* r, const TFilterRow& row) {
  c.InitRecord(r);
  if (row.Name) c.PutField(2, r, row.Name->c_str()); else c.PutField(2, r, nullptr);
  if (row.Amount) c.PutField(3, r, &*row.Amount); else c.PutField(3, r, nullptr);
  if (row.Price) c.PutField(4, r, &*row.Price); else c.PutField(4, r, nullptr);
  if (row.Flag) {
    std::uint16_t w = *row.Flag ? 1 : 0;
    c.PutField(5, r, &w);
  } else {
    c.PutField(5, r, nullptr);
  }
}

inline std::int32_t AppendRow(TDataCursor& c, const TFilterRow& row) {
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  FillRecord(c, r.data(), row);
  c.AppendRecord(r.data());
  return TDataCursor::GetRecordID(r.data());
}

// IDs of the records the cursor shows, in its order.
inline std::vector<std::int32_t> VisibleIDs(TDataCursor& c, bool forward = true) {
  std::vector<std::int32_t> ids;
  std::vector<std::uint8_t> r(static_cast<std::size_t>(c.GetRecordSize()));
  if (forward) {
    c.SetToBegin();
    while (c.GetNextRecord(r.data()) == 0) ids.push_back(TDataCursor::GetRecordID(r.data()));
  } else {
    c.SetToEnd();
    while (c.GetPriorRecord(r.data()) == 0) ids.push_back(TDataCursor::GetRecordID(r.data()));
  }
  return ids;
}

}  // namespace korvel::testing
