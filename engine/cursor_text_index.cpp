// The cursor's side of the full-text index: the table's parameters, the word keys of a record
// kept in step with every edit, their rebuild, and TEXTSEARCH / TEXTOCCURS on a record.
//
// The edit hooks change only keys; each call notes the keys it added and removed
// (textChanges_), and the edit's undo journal takes exactly those back. A hook that fails half
// way takes back its own keys before the error passes on.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "support/byte_order.h"

namespace korvel {

namespace {

bool IsTextField(const TFieldDefinition& field) {
  return field.DataType == dtString || (field.DataType == dtBlob && field.SubType == stMemo);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Definition and parameters

bool TDataCursor::HasTextIndex() const {
  return IsOpen && Table->IndexFile->IndexDefinition(kSysTextSlot).KeyFieldCount > 0;
}

bool TDataCursor::IsTextIndexed(std::int32_t fieldNumber) const {
  if (!IsOpen || fieldNumber <= 0) return false;
  const TIndexDefinition& text = Table->IndexFile->IndexDefinition(kSysTextSlot);
  for (int i = 0; i < text.KeyFieldCount && i < static_cast<int>(kMaxKeyFields); ++i) {
    if (text.KeyFields[i] == 0) break;
    if (text.KeyFields[i] == fieldNumber) return true;
  }
  return false;
}

const TTextIndex& TDataCursor::GetTextIndex() {
  CheckOpen();
  const std::int32_t root = Table->IndexFile->GetDataRootPageNumber(kSysTextSlot);
  if (textIndex_ != nullptr && textParamsRoot_ == root) return *textIndex_;
  TTextIndexParams params;
  if (root != 0) {
    TOperation operation(*this, false);
    TBTreeCursor tree;
    ConfigureTree(tree, kSysTextSlot);
    std::vector<std::uint8_t> data;
    for (std::int32_t number : tree.GetDataPageNumbers()) {
      TPinnedPage page = tree.FetchPage(number);
      const std::uint8_t* body = page->GetPageDataPtr();
      data.insert(data.end(), body, body + TPageBuffer::kPageBodySize);
    }
    if (!DecodeTextIndexParams(data.data(), data.size(), params)) RaiseCursor(KORVEL_INDEXCORRUPT, "", kSysTextIndexName);
  }
  textIndex_ = std::make_unique<TTextIndex>(params, Table->GetLanguageID(), Table->GetSortID());
  textParamsRoot_ = root;
  searchText_.clear();
  searchWords_.Clear();
  return *textIndex_;
}

void TDataCursor::SetTextIndexParams(const TTextIndexParams& params) {
  CheckOpen();
  CheckLocal();
  CheckNotReadOnly();
  const std::vector<std::uint8_t> data = EncodeTextIndexParams(params);
  TWriteLock lock(*this);
  TBTreeCursor tree;
  ConfigureTree(tree, kSysTextSlot);
  if (Table->IndexFile->GetDataRootPageNumber(kSysTextSlot) != 0) tree.FreeDataPages();
  for (std::size_t at = 0; at < data.size(); at += TPageBuffer::kPageBodySize) {
    TPinnedPage page = tree.AddDataPage();
    std::uint8_t* body = page->GetPageDataPtr();
    const std::size_t n = std::min(TPageBuffer::kPageBodySize, data.size() - at);
    std::memset(body, 0, TPageBuffer::kPageBodySize);
    std::memcpy(body, data.data() + at, n);
    page->SetModified();
  }
  FlushEdit(true, false);
  lock.Release();
  textIndex_ = std::make_unique<TTextIndex>(params, Table->GetLanguageID(), Table->GetSortID());
  textParamsRoot_ = Table->IndexFile->GetDataRootPageNumber(kSysTextSlot);
  searchText_.clear();
  searchWords_.Clear();
}

void TDataCursor::CreateWordsList(const char* text, std::size_t length, bool wildcards, TWordList& list) {
  GetTextIndex().CreateWordsList(text, length, wildcards, list);
}

// ---------------------------------------------------------------------------------------------
// Field texts

bool TDataCursor::ReadFieldText(std::int32_t fieldNumber, const std::uint8_t* record, std::string& text) {
  text.clear();
  const TFieldDefinition& field = Table->GetFieldDefinitionByPos(fieldNumber);
  if (!IsTextField(field) || record[field.Offset] == 0) return false;
  if (field.DataType == dtString) {
    const char* value = reinterpret_cast<const char*>(record + field.Offset + 1);
    text.assign(value, strnlen(value, field.PhysicalSize));
    return true;
  }
  const std::int32_t handle = GetI32(record, field.Offset + 1u);
  if (handle < 0) {
    // A value open in this cursor: the text as it will be posted.
    TBlobBuffer* buffer = nullptr;
    const TFieldDefinition* definition = nullptr;
    if (BlobFieldByHandle(fieldNumber, record, true, buffer, definition) != 0) RaiseCursor(KORVEL_INVALIDBLOBHANDLE, field.FieldName);
    text.assign(reinterpret_cast<const char*>(buffer->GetBuffer().data()), buffer->Size());
    return true;
  }
  // A stored value, read through a copy of the record (its field takes the handle meanwhile).
  textScratch_.assign(record, record + RecordSize);
  const int code = ReadWholeBlob(fieldNumber, textScratch_.data(), true, [&](std::size_t n) {
    text.resize(n);
    return text.data();
  });
  if (code != 0) RaiseCursor(static_cast<TErrorCode>(code), field.FieldName);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Word keys of records

void TDataCursor::UndoTextIndexChanges(const TTextIndexChanges& changes, std::int32_t recordNumber) {
  TBTreeCursor& tree = EditTree(kSysTextSlot);
  for (std::size_t at = changes.Added.size(); at >= kTextKeySize; at -= kTextKeySize)
    tree.RemoveIndexKey(changes.Added.data() + at - kTextKeySize);
  for (std::size_t at = changes.Removed.size(); at >= kTextKeySize; at -= kTextKeySize)
    tree.AddIndexKey(changes.Removed.data() + at - kTextKeySize, recordNumber);
}

namespace {

// Calls `step` for every non-stop word of `words`.
template <typename Step>
void ForEachIndexedWord(const TTextIndex& index, const TWordList& words, Step step) {
  for (const TWord& word : words)
    if (!index.IsStopWord(word.Upper)) step(word);
}

}  // namespace

void TDataCursor::ChangeTextKeys(const std::uint8_t* record, std::int32_t recordNumber, bool add) {
  textChanges_ = TTextIndexChanges();
  if (!HasTextIndex()) return;
  const TTextIndex& index = GetTextIndex();
  const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(kSysTextSlot);
  const std::int32_t id = GetRecordID(record);
  textKey_.resize(kTextKeySize);
  try {
    for (int i = 0; i < definition.KeyFieldCount && definition.KeyFields[i] != 0; ++i) {
      const std::uint16_t field = definition.KeyFields[i];
      if (!ReadFieldText(field, record, newText_)) continue;
      index.CreateWordsList(newText_.data(), newText_.size(), false, newWords_);
      TBTreeCursor& tree = EditTree(kSysTextSlot);
      std::vector<std::uint8_t>& done = add ? textChanges_.Added : textChanges_.Removed;
      ForEachIndexedWord(index, newWords_, [&](const TWord& word) {
        TTextIndex::BuildKey(field, word.Upper, id, textKey_.data());
        if (add)
          tree.AddIndexKey(textKey_.data(), recordNumber);
        else
          tree.RemoveIndexKey(textKey_.data());
        done.insert(done.end(), textKey_.begin(), textKey_.end());
      });
    }
  } catch (...) {
    try {
      UndoTextIndexChanges(textChanges_, recordNumber);
    } catch (...) {
    }
    textChanges_ = TTextIndexChanges();
    throw;
  }
}

void TDataCursor::AddTextIndexes(const std::uint8_t* record, std::int32_t recordNumber) {
  ChangeTextKeys(record, recordNumber, true);
}

void TDataCursor::RemoveTextIndexes(const std::uint8_t* record, std::int32_t recordNumber) {
  ChangeTextKeys(record, recordNumber, false);
}

namespace {

// Whether a field holds the same stored bytes in both records (and no open value).
bool SameStoredValue(const TFieldDefinition& field, const std::uint8_t* a, const std::uint8_t* b) {
  if (field.DataType == dtBlob && (GetI32(a, field.Offset + 1u) < 0 || GetI32(b, field.Offset + 1u) < 0)) return false;
  return std::memcmp(a + field.Offset, b + field.Offset, 1u + field.PhysicalSize) == 0;
}

}  // namespace

// Only the words that changed: the words of the old text that the new one lacks lose their
// keys, the new text's words that the old one lacked get keys. Both lists are unique and in
// key order, so one merge finds them.
bool TDataCursor::ModifyTextIndexes(const std::uint8_t* oldRecord, const std::uint8_t* newRecord,
                                    std::int32_t recordNumber) {
  textChanges_ = TTextIndexChanges();
  if (!HasTextIndex()) return false;
  const TTextIndex& index = GetTextIndex();
  const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(kSysTextSlot);
  const std::int32_t oldId = GetRecordID(oldRecord);
  const std::int32_t newId = GetRecordID(newRecord);
  textKey_.resize(kTextKeySize);
  try {
    for (int i = 0; i < definition.KeyFieldCount && definition.KeyFields[i] != 0; ++i) {
      const std::uint16_t field = definition.KeyFields[i];
      const TFieldDefinition& fieldDefinition = Table->GetFieldDefinitionByPos(field);
      if (oldId == newId && SameStoredValue(fieldDefinition, oldRecord, newRecord)) continue;
      oldWords_.Clear();
      newWords_.Clear();
      if (ReadFieldText(field, oldRecord, oldText_)) index.CreateWordsList(oldText_.data(), oldText_.size(), false, oldWords_);
      if (ReadFieldText(field, newRecord, newText_)) index.CreateWordsList(newText_.data(), newText_.size(), false, newWords_);
      TBTreeCursor& tree = EditTree(kSysTextSlot);
      auto remove = [&](const TWord& word) {
        if (index.IsStopWord(word.Upper)) return;
        TTextIndex::BuildKey(field, word.Upper, oldId, textKey_.data());
        tree.RemoveIndexKey(textKey_.data());
        textChanges_.Removed.insert(textChanges_.Removed.end(), textKey_.begin(), textKey_.end());
      };
      auto add = [&](const TWord& word) {
        if (index.IsStopWord(word.Upper)) return;
        TTextIndex::BuildKey(field, word.Upper, newId, textKey_.data());
        tree.AddIndexKey(textKey_.data(), recordNumber);
        textChanges_.Added.insert(textChanges_.Added.end(), textKey_.begin(), textKey_.end());
      };
      if (oldId != newId) {
        for (const TWord& w : oldWords_) remove(w);
        for (const TWord& w : newWords_) add(w);
        continue;
      }
      std::size_t a = 0, b = 0;
      while (a < oldWords_.Count() || b < newWords_.Count()) {
        int c = a == oldWords_.Count()   ? 1
                : b == newWords_.Count() ? -1
                                         : index.CompareWords(oldWords_[a].Upper, newWords_[b].Upper);
        if (c < 0) {
          remove(oldWords_[a++]);
        } else if (c > 0) {
          add(newWords_[b++]);
        } else {
          ++a;
          ++b;
        }
      }
    }
  } catch (...) {
    try {
      UndoTextIndexChanges(textChanges_, recordNumber);
    } catch (...) {
    }
    textChanges_ = TTextIndexChanges();
    throw;
  }
  return !textChanges_.Added.empty() || !textChanges_.Removed.empty();
}

bool TDataCursor::VerifyTextIndexes(const std::uint8_t* record, std::int32_t recordNumber, std::int64_t* keys) {
  if (keys != nullptr) *keys = 0;
  if (!HasTextIndex()) return true;
  const TTextIndex& index = GetTextIndex();
  const TIndexDefinition& definition = Table->IndexFile->IndexDefinition(kSysTextSlot);
  const std::int32_t id = GetRecordID(record);
  textKey_.resize(kTextKeySize);
  TBTreeCursor tree;
  ConfigureTree(tree, kSysTextSlot);
  for (int i = 0; i < definition.KeyFieldCount && definition.KeyFields[i] != 0; ++i) {
    const std::uint16_t field = definition.KeyFields[i];
    if (!ReadFieldText(field, record, newText_)) continue;
    index.CreateWordsList(newText_.data(), newText_.size(), false, newWords_);
    for (const TWord& word : newWords_) {
      if (index.IsStopWord(word.Upper)) continue;
      TTextIndex::BuildKey(field, word.Upper, id, textKey_.data());
      if (!tree.VerifyIndexKey(textKey_.data(), recordNumber)) return false;
      if (keys != nullptr) ++*keys;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Rebuilding

void TDataCursor::FreeTextIndexPages() {
  TBTreeCursor tree;
  ConfigureTree(tree, kSysTextSlot);
  std::vector<std::int32_t> pending;
  if (tree.GetRootPageNumber() != 0) pending.push_back(tree.GetRootPageNumber());
  while (!pending.empty()) {
    const std::int32_t number = pending.back();
    pending.pop_back();
    TPinnedPage page = tree.FetchPage(number);
    if (page->IsNode())
      for (int pos = 1; pos <= page->KeyEntryCount; ++pos) pending.push_back(page->GetRecordNumber(pos));
    tree.FreePage(*page);
  }
  tree.SetRootPageNumber(0);
  editTreeSlot_ = -1;
}

void TDataCursor::CreateTextIndexes() {
  CheckOpen();
  CheckLocal();
  CheckNotReadOnly();
  TWriteLock lock(*this);
  FreeTextIndexPages();
  if (HasTextIndex()) {
    const std::int32_t used = Table->GetPhysicalRecordsUsed();
    std::vector<std::uint8_t> image(static_cast<std::size_t>(GetStoredRecordSize()));
    for (std::int32_t n = 1; n <= used; ++n) {
      {
        TRecord* record = nullptr;
        if (!Table->GetRecord(this, n, true, false, true, record)) RaiseCursor(KORVEL_LOCKTIMEOUT);
        TRecordPin pin(*Table, record);
        if (record->GetIsDeleted()) continue;
        std::memcpy(image.data(), record->Buffer(), image.size());
      }
      ChangeTextKeys(image.data(), n, true);
    }
    textChanges_ = TTextIndexChanges();
  }
  FlushEdit(true, false);
  lock.Release();
}

// ---------------------------------------------------------------------------------------------
// TEXTSEARCH and TEXTOCCURS

bool TDataCursor::TextSearch(std::int32_t fieldNumber, const std::string& search, const std::uint8_t* record) {
  if (!IsOpen || fieldNumber <= 0 || fieldNumber > Table->GetFieldCount()) return false;
  const TTextIndex& index = GetTextIndex();
  if (searchWords_.Empty() || search != searchText_) {
    index.CreateWordsList(search.data(), search.size(), true, searchWords_);
    searchText_ = search;
  }
  if (!IsTextField(Table->GetFieldDefinitionByPos(fieldNumber))) return false;
  ReadFieldText(fieldNumber, record, newText_);
  index.CreateWordsList(newText_.data(), newText_.size(), false, newWords_);
  return index.Matches(searchWords_, newWords_);
}

std::uint32_t TDataCursor::TextOccurs(std::int32_t fieldNumber, const std::string& search, const std::uint8_t* record) {
  if (!IsOpen || fieldNumber <= 0 || fieldNumber > Table->GetFieldCount()) return 0;
  const TTextIndex& index = GetTextIndex();
  if (searchWords_.Empty() || search != searchText_) {
    index.CreateWordsList(search.data(), search.size(), true, searchWords_);
    searchText_ = search;
  }
  if (!IsTextField(Table->GetFieldDefinitionByPos(fieldNumber))) return 0;
  ReadFieldText(fieldNumber, record, newText_);
  index.CreateWordsList(newText_.data(), newText_.size(), false, newWords_);
  return index.Occurrences(searchWords_, newWords_);
}

}  // namespace korvel
