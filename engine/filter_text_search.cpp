// TEXTSEARCH in filters: the evaluator's hooks, and the answer of a TEXTSEARCH predicate from
// the word keys of a text-indexed field.
//
// The answer from the keys is the answer of the evaluation, record for record:
//   - a stop word matches every record (it has no keys, and the evaluation always matches it),
//     so it narrows nothing; a search of stop words alone selects every candidate;
//   - a plain word selects the records with its key in that field;
//   - "pre*" selects the records with a key of that field beginning with "PRE". A prefix that
//     also begins a stop word would match that stop word in a text, where no key exists: such
//     a word is left to the evaluation, record by record, of what the other words leave.

#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/filter_internal.h"

namespace korvel {

namespace {

bool FilterTextSearch(void* owner, const void* record, const TExpToken& field, const char* words) {
  TFilter& filter = *static_cast<TFilter*>(owner);
  return filter.Cursor.TextSearch(field.FieldNumber, words != nullptr ? words : "",
                                  static_cast<const std::uint8_t*>(record));
}

std::uint32_t FilterTextOccurs(void* owner, const void* record, const TExpToken& field, const char* words) {
  TFilter& filter = *static_cast<TFilter*>(owner);
  return filter.Cursor.TextOccurs(field.FieldNumber, words != nullptr ? words : "",
                                  static_cast<const std::uint8_t*>(record));
}

const TExpressionHooks kFilterHooks{&FilterTextSearch, &FilterTextOccurs, nullptr, nullptr};

const TExpToken* TextSearchCall(const TExpToken* node) {
  if (!IsTextSearchFunc(node) || node->ArgumentCount() < 2) return nullptr;
  const TExpToken* words = node->GetArgumentExpToken(0);
  const TExpToken* field = node->GetArgumentExpToken(1);
  if (words == nullptr || field == nullptr || words->NodeClass != enCONST || words->IsParameter ||
      field->NodeClass != enFIELD || field->FieldNumber == 0)
    return nullptr;
  return node;
}

// What a walk over the word keys does with one key.
enum class TKeyStep { Take, Skip, Stop };

}  // namespace

const TExpressionHooks* FilterExpressionHooks() { return &kFilterHooks; }

bool TFilterBuilder::AnalyzeTextSearchNode(const TExpToken* node, TTextSearchNode* answer) const {
  if (node == nullptr) return false;
  bool invert = false;
  const TExpToken* call = TextSearchCall(node);
  if (call == nullptr) {
    // TEXTSEARCH(...) = TRUE, <> FALSE, and the inversions.
    if (node->NodeClass != enBINARY || (node->Operator != eoEQ && node->Operator != eoNE)) return false;
    call = TextSearchCall(node->Left);
    const TExpToken* constant = node->Right;
    if (call == nullptr || constant == nullptr || constant->NodeClass != enCONST || constant->IsParameter ||
        constant->IsNull || constant->DataType != dtBoolean)
      return false;
    const bool value = constant->ValueBuffer[0] != 0;
    invert = (node->Operator == eoEQ) != value;
  }
  const TExpToken* field = call->GetArgumentExpToken(1);
  if (!cursor_.IsTextIndexed(field->FieldNumber)) return false;
  if (answer != nullptr) {
    const TExpToken* words = call->GetArgumentExpToken(0);
    answer->Field = field->FieldNumber;
    answer->Words = words->IsNull ? std::string() : std::string(reinterpret_cast<const char*>(words->ValueBuffer.get()));
    answer->Invert = invert;
    TWordList list;
    const TTextIndex& index = cursor_.GetTextIndex();
    index.CreateWordsList(answer->Words.data(), answer->Words.size(), true, list);
    answer->Exact = true;
    for (const TWord& word : list)
      if (IsPrefixWord(word.Upper) && index.PrefixOfStopWord(word.Upper.substr(0, word.Upper.size() - 1)))
        answer->Exact = false;
  }
  return true;
}

bool TFilterBuilder::BuildTextSearchNodeBitmap(TRecordsBitmap& bitmap, const TTextSearchNode& node) {
  if (!node.Invert) return BuildTextSearchBitmap(bitmap, node.Field, node.Words);
  std::unique_ptr<TRecordsBitmap> matches = GetNewRecordsBitmapInstance();
  matches->Assign(bitmap);
  const bool complete = BuildTextSearchBitmap(*matches, node.Field, node.Words);
  if (complete) {
    matches->NotBits();
    bitmap.AndBits(*matches);
  }
  ReturnRecordsBitmapInstance(std::move(matches));
  return complete;
}

namespace {

// Walks the word keys from the first key not below `low`, asking `step` about each key.
template <typename Step>
bool WalkWordKeys(TBTreeCursor& tree, const std::uint8_t* low, Step step) {
  std::uint8_t high[kTextKeySize];
  std::memset(high, 0xFF, sizeof high);
  tree.SetBeginIndexRange(low);
  tree.SetEndIndexRange(high);
  tree.ActivateRange(true);
  return WalkLeafKeys(tree, [&](const std::uint8_t* key, std::int32_t record) {
    return step(key, record) != TKeyStep::Stop;
  });
}

std::string KeyWord(const std::uint8_t* key) {
  const char* word = reinterpret_cast<const char*>(key + kTextKeyWordOffset);
  return std::string(word, strnlen(word, kMaxWordLength));
}

}  // namespace

bool TFilterBuilder::BuildTextSearchBitmap(TRecordsBitmap& bitmap, std::uint16_t field, const std::string& words) {
  const TTextIndex& index = cursor_.GetTextIndex();
  TWordList list;
  index.CreateWordsList(words.data(), words.size(), true, list);
  const bool bytewise = index.LanguageID() == 0;
  std::unique_ptr<TRecordsBitmap> found = GetNewRecordsBitmapInstance();
  struct TReturn {
    std::unique_ptr<TRecordsBitmap>& bitmap;
    ~TReturn() { ReturnRecordsBitmapInstance(std::move(bitmap)); }
  } giveBack{found};
  std::uint8_t low[kTextKeySize];
  bool evaluateRest = false;
  for (const TWord& word : list) {
    const bool prefix = IsPrefixWord(word.Upper);
    const std::string upper = prefix ? word.Upper.substr(0, word.Upper.size() - 1) : word.Upper;
    if (prefix && index.PrefixOfStopWord(upper)) {
      // Its keys are only part of the answer: the evaluation below decides.
      evaluateRest = true;
      continue;
    }
    if (!prefix && index.IsStopWord(upper)) continue;
    found->SetNumOfBits(bitmap.NumOfBits());
    found->ClearBits();
    // Collated prefixes are not one stretch of keys in every language: the whole field is
    // walked and each key's word tested.
    const bool wholeField = prefix && (!bytewise || upper.empty());
    TTextIndex::BuildKey(field, wholeField ? std::string() : upper, 0, low);
    std::memset(low + kTextKeyIdOffset, 0, 4);
    std::string keyWord;
    TBTreeCursor tree;
    cursor_.ConfigureTree(tree, kSysTextSlot);
    const bool complete = WalkWordKeys(tree, low, [&](const std::uint8_t* key, std::int32_t record) {
      if (std::memcmp(key, low, kTextKeyWordOffset) != 0) return TKeyStep::Stop;  // another field
      bool match;
      if (bytewise && !wholeField) {
        const std::size_t n = prefix ? upper.size() : kMaxWordLength;
        const int c = std::memcmp(key + kTextKeyWordOffset, low + kTextKeyWordOffset, n);
        if (c > 0) return TKeyStep::Stop;
        match = c == 0;
      } else {
        keyWord = KeyWord(key);
        if (prefix) {
          match = index.HasPrefix(keyWord, upper);
        } else {
          const int c = index.CompareWords(keyWord, upper);
          if (c > 0) return TKeyStep::Stop;
          match = c == 0;
        }
      }
      if (!match) return TKeyStep::Skip;
      found->SetBit(static_cast<std::uint32_t>(record));
      return TKeyStep::Take;
    });
    if (!complete) return false;
    bitmap.AndBits(*found);
  }
  if (!evaluateRest) return true;
  // The survivors are evaluated record by record.
  TDataTable& table = *cursor_.Table;
  std::uint32_t position = 0, counter = 0;
  while (bitmap.GetNextBitsSet(position, 1, counter)) {
    const std::int32_t n = static_cast<std::int32_t>(position);
    TRecord* stored = nullptr;
    if (!table.GetRecord(&cursor_, n, true, false, true, stored)) return false;
    TRecordPin pin(table, stored);
    if (!cursor_.TextSearch(field, words, stored->Buffer())) bitmap.ClearBit(position);
  }
  return true;
}

}  // namespace korvel
