// Sorting the records of a data file in place (result tables): in memory when the whole file is
// cached, otherwise by sorted runs in temporary files and a merge of the runs.
//
// The sort key of a record is, per sort field, its null-flag byte and its value in the key
// encoding, then the record ID in the integer key encoding, so no two keys are equal and equal
// field values keep record-ID order. Distinct and group tests compare the field part only.

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

#include "engine/data_file.h"
#include "engine/data_file_bytes.h"
#include "support/os_files.h"
#include "support/path_helpers.h"
#include "support/key_encoding.h"
#include "support/language.h"

namespace korvel {

namespace {
class TSortRun;
}  // namespace

// The sort of one data file; a friend of TDataFile.
class TDataFileSorter {
 public:
  TDataFileSorter(TDataFile& file, const TSortOptions& options) : file_(file), options_(options) {}
  void Run();

 private:
  struct Segment {
    const TFieldDefinition* field;
    std::size_t keyOffset;  // of the null-flag byte
    std::size_t size;       // indexed size
    bool collated;          // a string compared by the table's collation
  };

  void Prepare();
  void BuildKey(const std::uint8_t* record, std::uint8_t* key) const;
  int Compare(const std::uint8_t* a, const std::uint8_t* b, bool fieldsOnly) const;
  bool Less(const std::uint8_t* a, const std::uint8_t* b) const { return Compare(a, b, false) < 0; }
  void SortInMemory();
  void SortByMerge();
  // Merges runs [first, last) in key order, handing each entry (key, then record, plain) to
  // `take` until it returns false; the runs are read to their end and removed.
  void MergeRuns(std::vector<std::unique_ptr<TSortRun>>& runs, std::size_t first, std::size_t last,
                 std::size_t entrySize, const std::function<bool(const std::uint8_t*)>& take);
  // Writes every modified record, pinned ones included, so that the file holds what is sorted.
  void WriteAllModifiedRecords();
  // A record still pinned after the sort stays with its holder, re-read from the output (or
  // emptied when the output ends before it).
  void RefreshPinnedRecords();
  void Finish(std::int32_t recordsBefore);

  // Output: rows in key order, written from record 1 through the write buffer.
  void Emit(const std::uint8_t* record, const std::uint8_t* key);
  void StartGroup(const std::uint8_t* record);
  void FinishGroup();
  void WriteRow(const std::uint8_t* record);
  void FlushRows();
  void EndOutput();

  TDataFile& file_;
  const TSortOptions& options_;
  std::vector<Segment> segments_;
  std::size_t fieldsLength_ = 0;
  std::size_t keyLength_ = 0;
  std::size_t recordSize_ = 0;
  bool collation_ = false;
  std::uint16_t language_ = 0;
  std::uint16_t sort_ = 0;

  std::int32_t outputBatch_ = 1;  // rows per write
  std::int32_t buffered_ = 0;
  std::int32_t rows_ = 0;
  bool done_ = false;
  std::vector<std::uint8_t> previousKey_;
  bool havePrevious_ = false;
  std::unique_ptr<TRecord> groupRow_;
  std::unique_ptr<TRecord> finishedRow_;  // the previous group's finished row
  std::unique_ptr<TRecord> scratch_;
  bool groupActive_ = false;
  bool haveFinished_ = false;
};

void TDataFileSorter::Prepare() {
  recordSize_ = file_.header_.RecordSize;
  language_ = file_.header_.LanguageID;
  sort_ = file_.header_.SortID;
  std::size_t at = 0;
  for (const TFieldDefinition& f : options_.Fields) {
    std::size_t end = f.IsAutoInc() ? kRecordIDOffset + 4 : static_cast<std::size_t>(f.Offset) + 1 + f.PhysicalSize;
    if (!f.IsExpression && ((!f.IsAutoInc() && f.Offset < kRecordFieldsOffset) || end > recordSize_))
      file_.RaiseTable(KORVEL_INVALIDFIELDNAME);
    Segment s{&f, at, IndexedSize(f.DataType, f.PhysicalSize), f.DataType == dtString && language_ != 0};
    collation_ = collation_ || language_ != 0;
    segments_.push_back(s);
    at += 1 + s.size;
  }
  fieldsLength_ = at;
  keyLength_ = at + 4;
  previousKey_.assign(keyLength_, 0);
}

void TDataFileSorter::BuildKey(const std::uint8_t* record, std::uint8_t* key) const {
  static const std::uint8_t kZero[256] = {};
  for (const Segment& s : segments_) {
    const TFieldDefinition& f = *s.field;
    std::uint8_t* segment = key + s.keyOffset;
    const std::uint8_t* value;
    if (f.IsAutoInc()) {
      segment[0] = 1;
      value = record + kRecordIDOffset;
    } else if (f.IsExpression) {
      segment[0] = 0;
      value = kZero;
    } else {
      segment[0] = record[f.Offset] != 0 ? 1 : 0;
      // A null value keys as zeros, whatever bytes it left behind.
      value = segment[0] != 0 ? record + f.Offset + 1 : kZero;
    }
    PrepareDataForIndex(f.DataType, f.IsAutoInc() ? 4 : f.PhysicalSize, value, segment, options_.CaseInsensitive,
                        f.Descending, language_, sort_);
  }
  FlipIntegerBits(GetI32(record, kRecordIDOffset), key + fieldsLength_);
}

int TDataFileSorter::Compare(const std::uint8_t* a, const std::uint8_t* b, bool fieldsOnly) const {
  if (!collation_) {
    int c = std::memcmp(a, b, fieldsOnly ? fieldsLength_ : keyLength_);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  // With a language, descending segments are not inverted: the comparison reverses them.
  for (const Segment& s : segments_) {
    const std::uint8_t* x = a + s.keyOffset;
    const std::uint8_t* y = b + s.keyOffset;
    int c;
    if (s.collated) {
      c = x[0] == y[0] ? 0 : (x[0] < y[0] ? -1 : 1);
      if (c == 0)
        c = OSCompareStrings(language_, sort_, reinterpret_cast<const char*>(x + 1), false, s.size,
                             reinterpret_cast<const char*>(y + 1));
    } else {
      c = std::memcmp(x, y, s.size + 1);
    }
    c = c < 0 ? -1 : (c > 0 ? 1 : 0);
    if (s.field->Descending) c = -c;
    if (c != 0) return c;
  }
  if (fieldsOnly) return 0;
  int c = std::memcmp(a + fieldsLength_, b + fieldsLength_, 4);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void TDataFileSorter::Run() {
  Prepare();
  done_ = options_.Limit == 0;  // TOP 0: no row at all
  std::int32_t recordsBefore = file_.GetPhysicalRecordsUsed();
  if (file_.GetRecordBufferCount() == recordsBefore)
    SortInMemory();
  else
    SortByMerge();
  Finish(recordsBefore);
}

// --- output ------------------------------------------------------------------------------------

void TDataFileSorter::WriteRow(const std::uint8_t* record) {
  if (done_) return;
  ++rows_;
  std::uint8_t* slot = file_.writeBuffer_.get() + static_cast<std::size_t>(buffered_) * recordSize_;
  std::memcpy(slot, record, recordSize_);
  slot[kRecordDeletedOffset] = 0;
  PutI32(slot, kRecordNumberOffset, rows_);
  PutI32(slot, kRecordIDOffset, rows_);
  file_.ScrambleData(slot, recordSize_);
  if (++buffered_ == outputBatch_) FlushRows();
  if (options_.Limit >= 0 && rows_ >= options_.Limit) done_ = true;
}

void TDataFileSorter::FlushRows() {
  if (buffered_ == 0) return;
  file_.WriteAt(file_.RecordOffset(rows_ - buffered_ + 1), file_.writeBuffer_.get(),
                static_cast<std::int64_t>(buffered_) * static_cast<std::int64_t>(recordSize_));
  ++file_.recordWrites_;
  file_.owner_->SetHeadersWritten();
  buffered_ = 0;
}

void TDataFileSorter::StartGroup(const std::uint8_t* record) {
  std::memcpy(groupRow_->Buffer(), record, recordSize_);
  groupRow_->Modified = true;
  if (haveFinished_) {
    options_.Group->GroupRecord(*groupRow_, *finishedRow_, true);
  } else {
    std::memcpy(scratch_->Buffer(), record, recordSize_);
    options_.Group->GroupRecord(*groupRow_, *scratch_, true);
  }
  groupActive_ = true;
}

void TDataFileSorter::FinishGroup() {
  if (!groupActive_) return;
  groupActive_ = false;
  options_.Group->FinishGroup(*groupRow_);
  finishedRow_->Copy(*groupRow_);
  haveFinished_ = true;
  if (options_.Group->AcceptGroup(*groupRow_)) WriteRow(groupRow_->Buffer());
}

void TDataFileSorter::Emit(const std::uint8_t* record, const std::uint8_t* key) {
  if (done_) return;
  bool sameFields = havePrevious_ && Compare(key, previousKey_.data(), true) == 0;
  std::memcpy(previousKey_.data(), key, keyLength_);
  havePrevious_ = true;
  if (options_.Group != nullptr) {
    if (groupActive_ && sameFields) {
      std::memcpy(scratch_->Buffer(), record, recordSize_);
      options_.Group->GroupRecord(*groupRow_, *scratch_, false);
      return;
    }
    FinishGroup();
    if (!done_) StartGroup(record);
    return;
  }
  if (options_.Distinct && sameFields) return;
  WriteRow(record);
}

void TDataFileSorter::EndOutput() {
  FinishGroup();
  FlushRows();
}

void TDataFileSorter::Finish(std::int32_t recordsBefore) {
  TDataHeader& h = file_.header_;
  if (options_.Distinct || options_.Group != nullptr || options_.Limit >= 0 || rows_ != recordsBefore) {
    file_.TruncateRecords(rows_);
    h.NextRecordNumber = rows_ + 1;
    h.FirstFreeRecord = 0;  // free records are not carried into the output
    h.HeaderModified = true;
    file_.owner_->SetActualRecordCount(rows_);
  }
  if (h.LastRecordID < rows_) {
    h.LastRecordID = rows_;
    h.HeaderModified = true;
  }
}

// --- in memory ---------------------------------------------------------------------------------

void TDataFileSorter::SortInMemory() {
  std::vector<TRecord*> order;
  order.reserve(static_cast<std::size_t>(file_.GetRecordBufferCount()));
  for (TRecord* r : file_.CachedRecordsInOrder()) {
    if (r->GetIsDeleted()) continue;
    BuildKey(r->Buffer(), r->SortKey(keyLength_));
    order.push_back(r);
  }
  std::stable_sort(order.begin(), order.end(),
                   [this](const TRecord* a, const TRecord* b) { return Less(a->SortKey(), b->SortKey()); });
  outputBatch_ = std::max<std::int32_t>(1, static_cast<std::int32_t>(65536 / recordSize_));
  file_.EnsureWriteBuffer(static_cast<std::size_t>(outputBatch_) * recordSize_);
  groupRow_ = file_.GetNewRecordInstance();
  finishedRow_ = file_.GetNewRecordInstance();
  scratch_ = file_.GetNewRecordInstance();
  for (TRecord* r : order) Emit(r->Buffer(), r->SortKey());
  EndOutput();
  // The rows were written over the records the cache still holds: only the pinned ones stay.
  file_.FreeRecordBuffers();
  RefreshPinnedRecords();
}

void TDataFileSorter::WriteAllModifiedRecords() {
  const std::vector<TRecord*> cached = file_.CachedRecordsInOrder();
  std::vector<std::uint16_t> pins;
  pins.reserve(cached.size());
  for (TRecord* r : cached) {
    pins.push_back(r->UseCount);
    r->UseCount = 0;
  }
  auto restore = [&] {
    for (std::size_t i = 0; i < pins.size(); ++i) cached[i]->UseCount = pins[i];
  };
  try {
    file_.FlushRecordBuffers();
  } catch (...) {
    restore();
    throw;
  }
  restore();
}

void TDataFileSorter::RefreshPinnedRecords() {
  if (file_.GetRecordBufferCount() == 0 && file_.detachedRecords_.empty()) return;
  std::vector<std::uint8_t> bytes(recordSize_);
  auto refresh = [&](TRecord* r) {
    if (r->RecordNumber >= 1 && r->RecordNumber <= rows_) {
      file_.ReadAt(file_.RecordOffset(r->RecordNumber), bytes.data(), static_cast<std::int64_t>(recordSize_));
      r->Read(bytes.data());
    } else {
      r->Initialize(false);
      r->SetIsDeleted(true);
    }
    r->Modified = false;
  };
  // Freeing the cache detaches the records still pinned: their holders keep them, so they are
  // brought up to date with the output too.
  for (TRecord* r : file_.CachedRecordsInOrder()) refresh(r);
  for (TRecord* r : file_.detachedRecords_) refresh(r);
}

// --- external merge ----------------------------------------------------------------------------

namespace {

// Runs merged at once. Each open run holds a descriptor and a 64 KiB read buffer, so a file of
// any size is merged in passes of at most this many runs (64 descriptors, 4 MiB of buffers).
constexpr std::size_t kMaxMergeFanIn = 64;
constexpr std::size_t kRunBufferBytes = 65536;

// One sorted run in a temporary file: entries of key then record (scrambled like the table),
// appended through a buffer, then read back in chunks. The file is open only while it is
// written and while it is read, so that the runs waiting for a later pass hold no descriptor.
class TSortRun {
 public:
  TSortRun(bool inMemory, const std::string& directory, std::size_t entrySize) : entrySize_(entrySize) {
    file_.InMemory = inMemory;
    file_.Exclusive = true;
    file_.FileName = TempName(inMemory, directory);
    file_.CreateFile();
    created_ = true;
  }
  TSortRun(const TSortRun&) = delete;
  TSortRun& operator=(const TSortRun&) = delete;
  ~TSortRun() {
    try {
      file_.CloseFile();
      if (created_) file_.DeleteFile();
    } catch (...) {
      // A run file that cannot be removed is left behind; the sort's own error matters more.
    }
  }

  void WriteAll(const std::uint8_t* data, std::size_t count) {
    file_.WriteAt(0, data, static_cast<std::int64_t>(count * entrySize_));
    count_ = count;
    file_.CloseFile();
  }
  void Append(const std::uint8_t* entry) {
    if (chunk_.empty()) chunk_.resize(std::max<std::size_t>(1, kRunBufferBytes / entrySize_) * entrySize_);
    std::memcpy(chunk_.data() + loaded_ * entrySize_, entry, entrySize_);
    if (++loaded_ * entrySize_ == chunk_.size()) WriteChunk();
  }
  void FinishWriting() {
    WriteChunk();
    file_.CloseFile();
  }
  void StartReading(std::size_t chunkEntries) {
    file_.OpenFile();
    chunk_.resize(chunkEntries * entrySize_);
    next_ = 0;
    Fill();
  }
  bool HasCurrent() const { return position_ < loaded_; }
  const std::uint8_t* Current() const { return chunk_.data() + position_ * entrySize_; }
  void Advance() {
    if (++position_ >= loaded_) Fill();
  }
  // Closes and removes the file once every entry has been read.
  void Discard() {
    file_.CloseFile();
    if (created_) file_.DeleteFile();
    created_ = false;
    std::vector<std::uint8_t>().swap(chunk_);
  }

 private:
  static std::string TempName(bool inMemory, const std::string& directory) {
    if (!inMemory) return OSTempFileName(directory, ".SRT");
    for (int n = 0;; ++n) {
      std::string name = "sort" + std::to_string(n) + ".SRT";
      if (!FileNameExists(name, true)) return name;
    }
  }
  void WriteChunk() {
    if (loaded_ == 0) return;
    file_.WriteAt(static_cast<std::int64_t>(count_ * entrySize_), chunk_.data(),
                  static_cast<std::int64_t>(loaded_ * entrySize_));
    count_ += loaded_;
    loaded_ = 0;
  }
  void Fill() {
    position_ = 0;
    loaded_ = std::min(chunk_.size() / entrySize_, count_ - next_);
    if (loaded_ == 0) return;
    file_.ReadAt(static_cast<std::int64_t>(next_ * entrySize_), chunk_.data(),
                 static_cast<std::int64_t>(loaded_ * entrySize_));
    next_ += loaded_;
  }

  TFileHandler file_;
  bool created_ = false;
  std::size_t entrySize_;
  std::size_t count_ = 0;
  std::size_t next_ = 0;      // entries read from the file so far
  std::size_t loaded_ = 0;    // entries in the chunk (being read or waiting to be written)
  std::size_t position_ = 0;  // current entry in the chunk
  std::vector<std::uint8_t> chunk_;
};

}  // namespace

void TDataFileSorter::MergeRuns(std::vector<std::unique_ptr<TSortRun>>& runs, std::size_t first, std::size_t last,
                                std::size_t entrySize, const std::function<bool(const std::uint8_t*)>& take) {
  const std::size_t count = last - first;
  const std::size_t chunkEntries = std::max<std::size_t>(1, kRunBufferBytes / entrySize);
  std::vector<std::uint8_t> current(count * entrySize);  // descrambled current entries
  auto load = [&](std::size_t i) {
    std::memcpy(current.data() + i * entrySize, runs[first + i]->Current(), entrySize);
    file_.ScrambleData(current.data() + i * entrySize, entrySize);
  };
  auto greater = [&](std::size_t a, std::size_t b) {
    return Less(current.data() + b * entrySize, current.data() + a * entrySize);
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(greater)> heap(greater);
  for (std::size_t i = 0; i < count; ++i) {
    runs[first + i]->StartReading(chunkEntries);
    if (runs[first + i]->HasCurrent()) {
      load(i);
      heap.push(i);
    }
  }
  while (!heap.empty()) {
    std::size_t i = heap.top();
    heap.pop();
    if (!take(current.data() + i * entrySize)) break;
    runs[first + i]->Advance();
    if (runs[first + i]->HasCurrent()) {
      load(i);
      heap.push(i);
    }
  }
  for (std::size_t i = first; i < last; ++i) runs[i]->Discard();
}

void TDataFileSorter::SortByMerge() {
  // Pinned records are sorted with their unwritten changes: everything goes to the file first.
  // They stay in the cache for their holders; the rest of the cache goes.
  WriteAllModifiedRecords();
  file_.FreeRecordBuffers();

  const std::int32_t total = file_.GetPhysicalRecordsUsed();
  const std::int32_t runSize = std::max<std::int32_t>(
      1, std::min<std::int32_t>(file_.owner_->GetMaxTableDataBufferCount(), static_cast<std::int32_t>(1048576 / recordSize_)));
  const std::size_t entrySize = keyLength_ + recordSize_;
  std::string directory = file_.owner_->GetPrivateDirectory();
  if (directory.empty()) directory = OSGetTempDirectory();
  directory = AddBS(directory);

  std::vector<std::unique_ptr<TSortRun>> runs;
  {
    std::vector<std::uint8_t> records(static_cast<std::size_t>(runSize) * recordSize_);
    std::vector<std::uint8_t> entries(static_cast<std::size_t>(runSize) * entrySize);
    std::vector<std::uint8_t> sorted(static_cast<std::size_t>(runSize) * entrySize);
    std::vector<std::uint32_t> order;
    for (std::int32_t start = 1; start <= total; start += runSize) {
      std::int32_t n = std::min(runSize, total - start + 1);
      file_.ReadAt(file_.RecordOffset(start), records.data(), static_cast<std::int64_t>(n) * static_cast<std::int64_t>(recordSize_));
      order.clear();
      for (std::int32_t i = 0; i < n; ++i) {
        std::uint8_t* record = records.data() + static_cast<std::size_t>(i) * recordSize_;
        file_.ScrambleData(record, recordSize_);
        if (record[kRecordDeletedOffset] != 0) continue;
        std::uint8_t* entry = entries.data() + order.size() * entrySize;
        BuildKey(record, entry);
        std::memcpy(entry + keyLength_, record, recordSize_);
        order.push_back(static_cast<std::uint32_t>(order.size()));
      }
      if (order.empty()) continue;
      std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return Less(entries.data() + a * entrySize, entries.data() + b * entrySize);
      });
      for (std::size_t i = 0; i < order.size(); ++i) {
        std::uint8_t* out = sorted.data() + i * entrySize;
        std::memcpy(out, entries.data() + order[i] * entrySize, entrySize);
        // The run files hold table data: scrambled like the table itself.
        file_.ScrambleData(out, entrySize);
      }
      runs.push_back(std::make_unique<TSortRun>(file_.InMemory, directory, entrySize));
      runs.back()->WriteAll(sorted.data(), order.size());
    }
  }

  // Passes of bounded fan-in until one pass can produce the output.
  std::vector<std::uint8_t> scrambled(entrySize);
  while (runs.size() > kMaxMergeFanIn) {
    std::vector<std::unique_ptr<TSortRun>> merged;
    for (std::size_t first = 0; first < runs.size(); first += kMaxMergeFanIn) {
      std::size_t last = std::min(runs.size(), first + kMaxMergeFanIn);
      auto out = std::make_unique<TSortRun>(file_.InMemory, directory, entrySize);
      MergeRuns(runs, first, last, entrySize, [&](const std::uint8_t* entry) {
        std::memcpy(scrambled.data(), entry, entrySize);
        file_.ScrambleData(scrambled.data(), entrySize);
        out->Append(scrambled.data());
        return true;
      });
      out->FinishWriting();
      merged.push_back(std::move(out));
    }
    runs.swap(merged);
  }

  outputBatch_ = runSize;
  file_.EnsureWriteBuffer(static_cast<std::size_t>(outputBatch_) * recordSize_);
  groupRow_ = file_.GetNewRecordInstance();
  finishedRow_ = file_.GetNewRecordInstance();
  scratch_ = file_.GetNewRecordInstance();
  if (!done_) {
    MergeRuns(runs, 0, runs.size(), entrySize, [&](const std::uint8_t* entry) {
      Emit(entry + keyLength_, entry);
      return !done_;
    });
  }
  EndOutput();
  RefreshPinnedRecords();
}

void TDataFile::SortRecordBuffers(const TSortOptions& options) {
  TDataFileSorter sorter(*this, options);
  sorter.Run();
}

}  // namespace korvel
