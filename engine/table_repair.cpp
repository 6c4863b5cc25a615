// Verification and repair: the run as a whole, the record pass, the BLOB chains and the index
// rebuild. The header steps are in repair_headers.cpp.

#include "engine/table_repair.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_set>

#include "engine/cursor_internal.h"
#include "engine/repair_internal.h"
#include "engine/table_maintenance.h"
#include "framework/date_time.h"
#include "support/byte_order.h"
#include "support/errors.h"
#include "support/files.h"
#include "support/scramble.h"

namespace korvel {

std::string RepairTimeText() { return FormatDateTime("yyyy-mm-dd hh:nn:ss", Now()); }

namespace {

std::string Num(std::int64_t n) { return std::to_string(n); }

// A block pinned in the BLOB cache for as long as this object lives.
class TBlockPin {
 public:
  TBlockPin() = default;
  TBlockPin(TBlobFile* file, TBlock* block) : file_(file), block_(block) {}
  TBlockPin(TBlockPin&& o) noexcept : file_(o.file_), block_(o.block_) { o.block_ = nullptr; }
  TBlockPin& operator=(TBlockPin&& o) noexcept {
    if (this != &o) {
      Release();
      file_ = o.file_;
      block_ = o.block_;
      o.block_ = nullptr;
    }
    return *this;
  }
  TBlockPin(const TBlockPin&) = delete;
  TBlockPin& operator=(const TBlockPin&) = delete;
  ~TBlockPin() { Release(); }
  void Release() {
    if (block_) file_->PutBlock(block_);
    block_ = nullptr;
  }
  TBlock* operator->() const { return block_; }
  TBlock* get() const { return block_; }

 private:
  TBlobFile* file_ = nullptr;
  TBlock* block_ = nullptr;
};

// Step texts of one run.
struct TStepTexts {
  const char* Headers;
  const char* Records;
};

// The cursor that carries out the record pass and the rebuild: a table cursor opened for repair
// (no index selected, no navigation), with the key building of the cursor at hand.
class TRepairCursor : public TDataCursor {
 public:
  TRepairCursor(TDataDirectory* directory, const std::string& table, bool inMemory, const TPasswordCallback& password)
      : TDataCursor(directory) {
    SetTableName(table);
    SetExclusive(true);
    SetInMemory(inMemory);
    PasswordCallback = password;
    Repairing = true;
  }

  struct TOptions {
    bool VerifyOnly = true;
    bool FixSignatures = false;
    bool ForceIndexRebuild = false;
    bool IndexesValid = true;
  };

  // `headerStep`: the header step's text, whose progress ends here once the text-indexing
  // parameters are read.
  void Run(const TOptions& options, TRepairLog& log, const TRepairProgressCallback& progress, const char* headerStep) {
    options_ = options;
    log_ = &log;
    indexesValid_ = options.IndexesValid;
    TWriteLock lock(*this);
    // What a normal open checks must hold once the header steps are through; anything they did
    // not catch is reported here rather than left for the next open to refuse.
    try {
      Table->CheckHeaders();
    } catch (const EKORVELEngineError& e) {
      if (log.Unfixed() == 0) log.Unfixable(std::string("Table headers still refused: ") + e.what(), "");
    }
    PrepareTrees();
    CheckTextParams();
    if (progress) progress(headerStep, 100);
    RecordPass(progress);
    AssignRecordIDs();
    CheckFreeBlocks();
    if (Table->GetActualRecordCount() != live_) indexesValid_ = false;
    if (indexesValid_) CheckLeafChains();
    if (!indexesValid_ || options_.ForceIndexRebuild) RebuildIndexes(progress);
    CheckLastRecordID();
    if (!options_.VerifyOnly) Table->FlushBuffers(true, true, true, true, true);
    lock.Release();
  }

 private:
  // --- The text-indexing parameters ---

  // They are read as every use of the word index reads them. Parameters that cannot be read are
  // replaced by the defaults (a repair drops the damaged page chain, which stands for the
  // defaults), and the word keys, built with other parameters, are rebuilt. Readable stored
  // parameters are kept to be written back after the rebuild has emptied the index file.
  void CheckTextParams() {
    storedTextParams_.reset();
    const bool stored = Table->IndexFile->GetDataRootPageNumber(kSysTextSlot) != 0;
    try {
      const TTextIndexParams params = GetTextIndex().Params();
      if (stored) storedTextParams_ = params;
    } catch (const EKORVELEngineError&) {
      log_->Fixed("Invalid or corrupt text indexing parameters in index");
      indexesValid_ = false;
      if (Repair()) Table->IndexFile->SetDataRootPageNumber(kSysTextSlot, 0);
    }
  }

  bool Repair() const { return !options_.VerifyOnly; }

  void PrepareTrees() {
    slots_ = EditedIndexSlots();
    trees_.clear();
    for (int slot : slots_) {
      trees_.push_back(std::make_unique<TBTreeCursor>());
      ConfigureTree(*trees_.back(), slot);
    }
    deletedTree_ = std::make_unique<TBTreeCursor>();
    ConfigureTree(*deletedTree_, kSysDeletedSlot);
    textTree_ = std::make_unique<TBTreeCursor>();
    ConfigureTree(*textTree_, kSysTextSlot);
    key_.assign(TPage::kMaxKeySize + 8, 0);
    blobFields_.clear();
    for (std::int32_t i = 1; i <= Table->GetFieldCount(); ++i)
      if (Table->GetFieldDefinitionByPos(i).DataType == dtBlob) blobFields_.push_back(Table->GetFieldDefinitionByPos(i).Offset);
    blobs_ = Table->HasBlobFile() ? Table->BlobFile.get() : nullptr;
    const std::int32_t blocks = blobs_ ? blobs_->GetPhysicalBlocksUsed() : 0;
    usedBy_.assign(static_cast<std::size_t>(blocks) + 1, 0);
  }

  // --- The record pass ---

  void RecordPass(const TRepairProgressCallback& progress) {
    const std::string step = options_.VerifyOnly ? "Verifying record and BLOB data" : "Repairing record and BLOB data";
    TProgressCallback report = [&](int percent) {
      if (progress) progress(step, percent);
    };
    if (progress) progress(step, 0);
    const std::int32_t used = Table->GetPhysicalRecordsUsed();
    TProgressReporter reporter(report, used, Directory->Session->GetProgressPercent());
    ids_.clear();
    ids_.reserve(static_cast<std::size_t>(used));
    for (std::int32_t n = 1; n <= used; ++n) {
      try {
        CheckRecord(n);
      } catch (const EKORVELEngineError& e) {
        UnexpectedError(e.what(), n);
      } catch (const std::exception& e) {
        UnexpectedError(e.what(), n);
      }
      reporter.Report(n);
    }
    reporter.Finish();
  }

  void UnexpectedError(const std::string& message, std::int32_t n) {
    const bool verify = options_.VerifyOnly;
    log_->Unfixable("Unexpected error " + message + (verify ? " during verification" : " during repair") +
                        " for physical record # " + Num(n) +
                        (verify ? ", continuing with verification" : ", continuing with repair"),
                    "");
  }

  void CheckRecord(std::int32_t n) {
    TRecord* record = nullptr;
    if (!Table->GetRecord(this, n, true, false, true, record)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(*Table, record);
    std::uint8_t* buffer = record->Buffer();
    const std::int32_t id = record->GetRecordID();
    if (id <= 0 || !ids_.insert(id).second) {
      log_->Fixed("Logical record ID for physical record # " + Num(n) + " is invalid");
      pendingIDs_.push_back(n);
    } else {
      maxID_ = std::max(maxID_, id);
    }
    if (record->GetIsDeleted()) {
      if (indexesValid_) CheckIndexKeys(buffer, n, true);
      if (Repair()) Table->SetNextFreeRecord(record);
      for (std::uint16_t offset : blobFields_) {
        if (GetI32(buffer, offset + 1u) == 0) continue;
        log_->Fixed("Invalid BLOB offset into BLOB file for physical record # " + Num(n));
        if (Repair()) ClearBlobField(record, offset);
      }
      return;
    }
    ++live_;
    if (indexesValid_) CheckIndexKeys(buffer, n, false);
    for (std::uint16_t offset : blobFields_) {
      const std::int32_t first = GetI32(buffer, offset + 1u);
      // A stored value has its null flag set exactly when it has blocks.
      const bool flagged = buffer[offset] != 0;
      if (first == 0) {
        if (flagged) {
          log_->Fixed("Invalid BLOB offset into BLOB file for physical record # " + Num(n));
          if (Repair()) ClearBlobField(record, offset);
        }
        continue;
      }
      const std::int32_t blocks = blobs_ ? blobs_->GetPhysicalBlocksUsed() : 0;
      if (first < 0 || first > blocks) {
        log_->Fixed("Invalid BLOB offset into BLOB file for physical record # " + Num(n));
        if (Repair()) ClearBlobField(record, offset);
        continue;
      }
      const std::int32_t kept = CheckBlobChain(first, n, GetI32(buffer, offset + 5u));
      if (Repair() && kept != first) {
        if (kept == 0) {
          ClearBlobField(record, offset);
        } else {
          PutI32(buffer, offset + 1u, kept);
          record->Modified = true;
        }
      }
      if (kept != 0 && !flagged) {
        // The chain holds the record's value (its signature matched): the flag was lost.
        log_->Fixed("Invalid BLOB offset into BLOB file for physical record # " + Num(n));
        if (Repair()) {
          buffer[offset] = 1;
          record->Modified = true;
        }
      }
    }
    // After the chains: the words of a memo are those of the value the chain holds now.
    if (indexesValid_) CheckTextKeys(buffer, n);
  }

  // Whether the word index holds a key for every word of the record; the keys are counted, so
  // that the walk of the index afterwards also tells keys that belong to no word of a record.
  void CheckTextKeys(const std::uint8_t* buffer, std::int32_t n) {
    try {
      std::int64_t keys = 0;
      if (!VerifyTextIndexes(buffer, n, &keys)) indexesValid_ = false;
      textKeys_ += keys;
    } catch (const EKORVELEngineError&) {
      indexesValid_ = false;
    }
  }

  static void ClearBlobField(TRecord* record, std::uint16_t offset) {
    std::memset(record->Buffer() + offset, 0, 9);
    record->Modified = true;
  }

  // Whether every index holds this record's key (a deleted record: only the record index does).
  // A failure while reading an index marks the indexes invalid, like a missing key.
  void CheckIndexKeys(const std::uint8_t* buffer, std::int32_t n, bool deleted) {
    try {
      for (std::size_t i = 0; i < slots_.size() && indexesValid_; ++i) {
        BuildKey(slots_[i], buffer, key_.data());
        if (trees_[i]->VerifyIndexKey(key_.data(), n) == deleted) indexesValid_ = false;
      }
      if (!indexesValid_) return;
      BuildKey(kSysDeletedSlot, buffer, key_.data());
      if (!deletedTree_->VerifyIndexKey(key_.data(), n)) indexesValid_ = false;
    } catch (const EKORVELEngineError&) {
      indexesValid_ = false;
    }
  }

  // Every key was found by a descent; navigation walks the leaf chains instead. Each chain must
  // hold as many keys as there are records for it, in order, or the indexes are invalid.
  void CheckLeafChains() {
    auto walk = [&](TBTreeCursor& tree, std::int64_t expected) {
      std::vector<std::uint8_t> previous;
      std::int64_t keys = 0;
      if (!tree.GotoFirstIndexPosition()) return false;
      while (!tree.Bof && !tree.Eof) {
        const std::uint8_t* key = tree.GetKeyEntryPtr();
        if (!previous.empty() && tree.CompareKeys(previous.data(), key, tree.KeySize) >= 0) return false;
        previous.assign(key, key + tree.KeySize);
        if (++keys > expected) return false;
        if (!tree.SkipIndexKeys(1)) return false;
      }
      return keys == expected;
    };
    try {
      for (std::size_t i = 0; i < slots_.size() && indexesValid_; ++i) indexesValid_ = walk(*trees_[i], live_);
      if (indexesValid_) indexesValid_ = walk(*deletedTree_, Table->GetPhysicalRecordsUsed());
      if (indexesValid_) indexesValid_ = walk(*textTree_, textKeys_);
    } catch (const EKORVELEngineError&) {
      indexesValid_ = false;
    }
  }

  // --- BLOB chains ---

  TBlockPin FetchBlock(std::int32_t number) {
    TBlock* block = nullptr;
    if (!blobs_->GetBlock(this, number, false, 1, block)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    return TBlockPin(blobs_, block);
  }

  // Checks the chain of one value and returns the first block the record keeps (0: none).
  std::int32_t CheckBlobChain(std::int32_t first, std::int32_t n, std::int32_t signature) {
    const std::string record = Num(n);
    const std::int64_t dataSize = static_cast<std::int64_t>(blobs_->GetBlockBufferSize());
    const std::int32_t chain = ++chains_;
    TBlockPin head = FetchBlock(first);
    if (head->GetBlobSignature() != signature || usedBy_[static_cast<std::size_t>(first)] != 0) {
      if (options_.FixSignatures && usedBy_[static_cast<std::size_t>(first)] == 0) {
        if (Repair()) head->SetBlobSignature(signature);
      } else {
        log_->Fixed("Invalid BLOB offset in BLOB file for physical record # " + record);
        return 0;
      }
    }
    // Readers follow a chain only where every block links back to the one before it.
    if (head->GetPrevBlockNumber() != 0) {
      log_->Fixed("Invalid intra-block pointer in BLOB file for physical record # " + record);
      if (Repair()) head->SetPrevBlockNumber(0);
    }
    if (head->GetBlobLength() <= 0) {
      log_->Fixed("BLOB size mismatch in BLOB file for physical record # " + record);
      return 0;
    }
    usedBy_[static_cast<std::size_t>(first)] = chain;
    std::vector<std::int32_t> claimed{first};
    std::int32_t currentNumber = first;
    std::int64_t left = head->GetBlobLength();
    std::int64_t found = 0;
    TBlockPin current;  // empty while the head is the current block
    auto cur = [&]() -> TBlock* { return current.get() ? current.get() : head.get(); };
    auto endChain = [&](const char* opening) {
      log_->Fixed(opening + record);
      if (Repair()) cur()->SetNextBlockNumber(0);
    };
    for (;;) {
      TBlock* block = cur();
      const std::int64_t length = std::min<std::int64_t>(block->GetBlockLength(), dataSize);
      if (Repair() && block->GetBlockLength() > dataSize) block->TruncateBlockData(static_cast<std::size_t>(dataSize));
      found += length;
      const std::int32_t next = block->GetNextBlockNumber();
      if (next == 0) break;
      if (block->GetBlockLength() != std::min(dataSize, left)) {
        endChain("Invalid block size in BLOB file for physical record # ");
        break;
      }
      left -= length;
      if (next < 1 || next > blobs_->GetPhysicalBlocksUsed()) {
        endChain("Invalid intra-block pointer in BLOB file for physical record # ");
        break;
      }
      if (usedBy_[static_cast<std::size_t>(next)] == chain) {
        endChain("Recursive intra-block pointer in BLOB file for physical record # ");
        break;
      }
      if (usedBy_[static_cast<std::size_t>(next)] != 0) {
        endChain("Invalid intra-block pointer in BLOB file for physical record # ");
        break;
      }
      TBlockPin following = FetchBlock(next);
      if (following->GetBlobSignature() != signature) {
        if (!options_.FixSignatures) {
          following.Release();
          endChain("Invalid intra-block pointer in BLOB file for physical record # ");
          break;
        }
        if (Repair()) following->SetBlobSignature(signature);
      }
      if (following->GetPrevBlockNumber() != currentNumber) {
        log_->Fixed("Invalid intra-block pointer in BLOB file for physical record # " + record);
        if (Repair()) following->SetPrevBlockNumber(currentNumber);
      }
      if (Repair()) following->SetBlobLength(0);
      usedBy_[static_cast<std::size_t>(next)] = chain;
      claimed.push_back(next);
      currentNumber = next;
      current = std::move(following);
    }
    if (found != head->GetBlobLength()) {
      log_->Fixed("BLOB size mismatch in BLOB file for physical record # " + record);
      if (Repair()) {
        if (found == 0) {
          for (std::int32_t b : claimed) usedBy_[static_cast<std::size_t>(b)] = 0;
          return 0;
        }
        head->SetBlobLength(static_cast<std::int32_t>(found));
      }
    }
    return first;
  }

  // The free-block chain must stay clear of every value's blocks: a repair that finds it
  // wrong gives it every block no value uses.
  void CheckFreeBlocks() {
    if (!blobs_) return;
    const std::int32_t blocks = blobs_->GetPhysicalBlocksUsed();
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(blocks) + 1, 0);
    bool sound = true;
    std::int32_t steps = 0;
    for (std::int32_t n = blobs_->GetNextFreeBlockNumber(); n != 0 && sound; ++steps) {
      if (n < 1 || n > blocks || seen[static_cast<std::size_t>(n)] || usedBy_[static_cast<std::size_t>(n)] != 0 ||
          steps > blocks) {
        sound = false;
        break;
      }
      seen[static_cast<std::size_t>(n)] = 1;
      TBlockPin block = FetchBlock(n);
      n = block->GetNextBlockNumber();
    }
    if (sound) return;
    log_->Fixed("Invalid free BLOB block chain in BLOB file");
    if (!Repair()) return;
    blobs_->SetNextFreeBlockNumber(0);
    for (std::int32_t n = blocks; n >= 1; --n) {
      if (usedBy_[static_cast<std::size_t>(n)] != 0) continue;
      TBlockPin block = FetchBlock(n);
      block->SetPrevBlockNumber(0);
      block->SetBlobSignature(0);
      block->SetBlobLength(0);
      blobs_->SetNextFreeBlock(block.get());
    }
  }

  // --- Record IDs ---

  void AssignRecordIDs() {
    if (pendingIDs_.empty() || !Repair()) return;
    // Keys of non-unique indexes and of the record index hold record IDs.
    indexesValid_ = false;
    std::int32_t next = std::max(maxID_, Table->GetLastRecordID());
    for (std::int32_t n : pendingIDs_) {
      TRecord* record = nullptr;
      if (!Table->GetRecord(this, n, false, false, true, record)) RaiseCursor(KORVEL_LOCKTIMEOUT);
      TRecordPin pin(*Table, record);
      next = next >= 2147483647 ? 1 : next + 1;
      while (ids_.count(next) != 0) ++next;
      ids_.insert(next);
      record->SetRecordID(next);
      maxID_ = std::max(maxID_, next);
    }
  }

  void CheckLastRecordID() {
    if (Table->GetLastRecordID() >= maxID_) return;
    log_->Fixed("Invalid next available record ID (auto-increment)");
    if (Repair()) Table->SetNextFreeRecordID(maxID_);
  }

  // --- The index rebuild ---

  void RebuildIndexes(const TRepairProgressCallback& progress) {
    if (options_.VerifyOnly) {
      log_->Fixed("Indexes do not match record data and are invalid");
      return;
    }
    if (!options_.ForceIndexRebuild || !indexesValid_) {
      if (!options_.ForceIndexRebuild)
        log_->Fixed("Indexes do not match record data and are invalid, starting to fix indexes", "");
    }
    Table->IndexFile->ClearHeader();
    FreeTextIndexPages();  // nothing left to free: forgets the word index's edit tree
    if (storedTextParams_) SetTextIndexParams(*storedTextParams_);
    PrepareTrees();
    const std::string step = options_.ForceIndexRebuild ? "Rebuilding indexes" : "Repairing indexes";
    TProgressCallback report = [&](int percent) {
      if (progress) progress(step, percent);
    };
    if (progress) progress(step, 0);
    const std::int32_t used = Table->GetPhysicalRecordsUsed();
    TProgressReporter reporter(report, used, Directory->Session->GetProgressPercent());
    std::int32_t added = 0;
    for (std::int32_t n = 1; n <= used; ++n) {
      try {
        if (AddRecordKeys(n)) ++added;
      } catch (const EKORVELEngineError& e) {
        log_->Unfixable("Unexpected error " + std::string(e.what()) + " during rebuild of index keys for physical record # " +
                            Num(n) + ", continuing with repair",
                        "");
      }
      reporter.Report(n);
    }
    reporter.Finish();
    Table->IndexFile->SetActualRecordCount(added);
    live_ = added;
    if (!options_.ForceIndexRebuild) log_->Line("Invalid indexes fixed");
  }

  // Adds the keys of record n; true when it is a live record whose keys all went in.
  bool AddRecordKeys(std::int32_t n) {
    TRecord* record = nullptr;
    if (!Table->GetRecord(this, n, true, false, true, record)) RaiseCursor(KORVEL_LOCKTIMEOUT);
    TRecordPin pin(*Table, record);
    std::uint8_t* buffer = record->Buffer();
    if (record->GetIsDeleted()) {
      BuildKey(kSysDeletedSlot, buffer, key_.data());
      deletedTree_->AddIndexKey(key_.data(), n);
      return false;
    }
    bool violation = false;
    for (std::size_t i = 0; i < slots_.size() && !violation; ++i) {
      if (!trees_[i]->Unique) continue;
      BuildKey(slots_[i], buffer, key_.data());
      violation = trees_[i]->CheckForKeyViolation(key_.data());
    }
    BuildKey(kSysDeletedSlot, buffer, key_.data());
    violation = violation || deletedTree_->CheckForKeyViolation(key_.data());
    if (violation) {
      log_->Fixed("Error rebuilding index keys for physical record # " + Num(n), ", error fixed but physical record deleted");
      DropRecord(record);
      return false;
    }
    std::size_t done = 0;
    try {
      for (; done < slots_.size(); ++done) {
        BuildKey(slots_[done], buffer, key_.data());
        trees_[done]->AddIndexKey(key_.data(), n);
      }
      BuildKey(kSysDeletedSlot, buffer, key_.data());
      deletedTree_->AddIndexKey(key_.data(), n);
      ++done;
      AddTextIndexes(buffer, n);  // takes back its own keys when it fails
    } catch (...) {
      // The record keeps no key at all rather than some of them.
      for (std::size_t i = 0; i < done; ++i) {
        try {
          TBTreeCursor& tree = i < slots_.size() ? *trees_[i] : *deletedTree_;
          BuildKey(i < slots_.size() ? slots_[i] : kSysDeletedSlot, buffer, key_.data());
          tree.RemoveIndexKey(key_.data());
        } catch (...) {
        }
      }
      throw;
    }
    return true;
  }

  // A record whose keys cannot go in: its BLOBs emptied, onto the free chain, into the record
  // index as deleted.
  void DropRecord(TRecord* record) {
    std::uint8_t* buffer = record->Buffer();
    for (std::uint16_t offset : blobFields_) {
      std::int32_t first = GetI32(buffer, offset + 1u);
      if (first > 0 && blobs_) {
        try {
          blobs_->FreeBlobBlocks(this, first, true, record->GetRecordNumber(), GetI32(buffer, offset + 5u));
        } catch (const EKORVELEngineError&) {
          // The blocks stay unused; nothing points at them any more.
        }
      }
      ClearBlobField(record, offset);
    }
    Table->SetNextFreeRecord(record);
    BuildKey(kSysDeletedSlot, buffer, key_.data());
    deletedTree_->AddIndexKey(key_.data(), record->GetRecordNumber());
  }

  TOptions options_;
  TRepairLog* log_ = nullptr;
  bool indexesValid_ = true;
  std::vector<int> slots_;
  std::vector<std::unique_ptr<TBTreeCursor>> trees_;
  std::unique_ptr<TBTreeCursor> deletedTree_;
  std::unique_ptr<TBTreeCursor> textTree_;
  std::optional<TTextIndexParams> storedTextParams_;
  std::int64_t textKeys_ = 0;  // word keys of the live records checked so far
  std::vector<std::uint8_t> key_;
  std::vector<std::uint16_t> blobFields_;  // offsets of the BLOB fields' null-flag bytes
  TBlobFile* blobs_ = nullptr;
  std::vector<std::int32_t> usedBy_;  // per block: the chain that holds it, 0 = none
  std::int32_t chains_ = 0;
  std::unordered_set<std::int32_t> ids_;
  std::vector<std::int32_t> pendingIDs_;
  std::int32_t maxID_ = 0;
  std::int32_t live_ = 0;
};

// The three files of one table, opened exclusively for the header steps.
struct TRawFiles {
  TFileHandler Data, Index, Blob;
  bool HasIndex = false, HasBlob = false;

  void Open(TDataDirectory* directory, const std::string& table, bool inMemory) {
    TFileList& files = GetFileList();
    auto open = [&](TFileHandler& file, const char* ext) {
      file.FileName = directory->GetTableFileName(table, ext);
      file.InMemory = inMemory;
      file.Exclusive = true;
      if (!files.FileExists(file.FileName, inMemory)) return false;
      file.OpenFile();
      return true;
    };
    if (!open(Data, kDataFileExt)) RaiseError(KORVEL_OSENOENT, "", "", directory->GetProperDataDirectoryName(), table);
    HasIndex = open(Index, kIndexFileExt);
    HasBlob = open(Blob, kBlobFileExt);
  }
  bool ReadOnly() const {
    return Data.ReadOnly || Data.ReadOnlyAttribute || (HasIndex && (Index.ReadOnly || Index.ReadOnlyAttribute)) ||
           (HasBlob && (Blob.ReadOnly || Blob.ReadOnlyAttribute));
  }
  void Close() {
    Data.CloseFile();
    Index.CloseFile();
    Blob.CloseFile();
  }
  ~TRawFiles() { Close(); }
};

struct THeaderResult {
  bool LayoutKnown = false;
  bool IndexesValid = true;
};

// The header steps of the three files; with `apply`, the fixes are written (a missing index or
// BLOB file is created).
// A scrambled table is looked at only with its password known to the session (asked for
// through the callback until it is): KORVEL_NOTSUFFTABLERIGHTS otherwise.
void CheckTablePassword(TFileHandler& data, TDataDirectory* directory, const std::string& table,
                        const TPasswordCallback& callback) {
  std::uint8_t raw[kDataHeaderSize];
  if (data.GetSize() < static_cast<std::int64_t>(kDataHeaderSize)) return;
  data.ReadAt(0, raw, kDataHeaderSize);
  if (raw[TDataHeader::kEncrypted] == 0) return;
  const std::size_t length = std::min<std::size_t>(raw[TDataHeader::kPassword], kMaxPasswordLength);
  std::string password(reinterpret_cast<const char*>(raw + TDataHeader::kPassword + 1), length);
  if (!password.empty()) DecryptBuffer(password.data(), password.size(), kTextSeedA, kTextSeedB);
  TDataSession& session = *directory->Session;
  while (!session.CheckForPassword(password)) {
    std::string given;
    if (!callback || !callback(table, given) || given.empty())
      RaiseError(KORVEL_NOTSUFFTABLERIGHTS, "", "", directory->GetProperDataDirectoryName(), table);
    session.AddPassword(given);
  }
}

THeaderResult RunHeaderSteps(TDataDirectory* directory, const std::string& table, bool inMemory, TRepairLog& log,
                             bool apply, const TPasswordCallback& password) {
  THeaderResult result;
  TRawFiles files;
  files.Open(directory, table, inMemory);
  if (apply && files.ReadOnly()) RaiseError(KORVEL_OSEACCES, "", "", directory->GetProperDataDirectoryName(), table);
  CheckTablePassword(files.Data, directory, table, password);
  TDataHeaderState data;
  RepairDataHeader(files.Data, table, log, apply, data);
  if (!data.Readable || !data.LayoutKnown) return result;
  result.LayoutKnown = true;
  result.IndexesValid = !data.IndexesInvalid;
  if (apply && !files.HasIndex) {
    files.Index.FileName = directory->GetTableFileName(table, kIndexFileExt);
    files.Index.InMemory = inMemory;
    files.Index.CreateFile();
  }
  bool indexExisted = files.HasIndex;
  if (!RepairIndexHeader(indexExisted || apply ? &files.Index : nullptr, !indexExisted, data, log, apply)) result.IndexesValid = false;
  if (!indexExisted) result.IndexesValid = false;
  if (data.Header.BlobFieldCount > 0) {
    const bool blobExisted = files.HasBlob;
    if (apply && !blobExisted) {
      files.Blob.FileName = directory->GetTableFileName(table, kBlobFileExt);
      files.Blob.InMemory = inMemory;
      files.Blob.CreateFile();
    }
    if (!RepairBlobHeader(blobExisted || apply ? &files.Blob : nullptr, !blobExisted, data, log, apply) && apply)
      WriteDataHeaderState(files.Data, data);
  }
  return result;
}

// A copy of a table's files under a temporary name in the session's private folder; deleted
// with this object.
class TScratchTable {
 public:
  TScratchTable(TDataDirectory* source, const std::string& table, bool inMemory) : inMemory_(inMemory) {
    TDataSession* session = source->Session;
    std::string folder = inMemory ? std::string(kMemoryDatabaseName) : session->GetPrivateDirectory();
    directory_ = inMemory ? session->OpenDataDirectory(kMemoryDatabaseName, "") : session->OpenDataDirectory(folder, folder);
    name_ = directory_->GetTempDataTableName(inMemory);
    const std::size_t dot = name_.rfind('.');
    if (dot != std::string::npos) name_.erase(dot);
    for (const char* ext : {kDataFileExt, kIndexFileExt, kBlobFileExt}) {
      TFileHandler file;
      file.FileName = source->GetTableFileName(table, ext);
      file.InMemory = inMemory;
      if (!GetFileList().FileExists(file.FileName, inMemory)) continue;
      file.OpenFile();
      file.CopyToFile(false, directory_->GetTableFileName(name_, ext), inMemory);
      file.CloseFile();
      copied_ = true;
    }
  }
  ~TScratchTable() {
    if (copied_) directory_->DeleteDataTable(name_, inMemory_);
    directory_->Session->CloseDataDirectory(directory_);
  }
  TScratchTable(const TScratchTable&) = delete;
  TScratchTable& operator=(const TScratchTable&) = delete;
  TDataDirectory* Directory() const { return directory_; }
  const std::string& Name() const { return name_; }

 private:
  bool inMemory_;
  TDataDirectory* directory_ = nullptr;
  std::string name_;
  bool copied_ = false;
};

}  // namespace

TTableRepair::TTableRepair(TDataCursor& cursor) : cursor_(cursor) {}

bool TTableRepair::RepairTable(bool verifyOnly, bool fixSignatures, bool forceIndexRebuild, bool logWanted,
                               bool progressWanted) {
  const std::string& table = cursor_.TableName;
  TDataDirectory* directory = cursor_.Directory;
  auto raise = [&](TErrorCode code) {
    RaiseError(code, "", "", directory->GetProperDataDirectoryName(), table);
  };
  if (cursor_.IsOpen) raise(KORVEL_TABLEOPEN);
  if (directory->Session->IsRemote) raise(KORVEL_REMOTECONNECT);
  if (!cursor_.Exclusive) raise(KORVEL_NEEDEXCLACCESS);
  if (!verifyOnly && cursor_.ReadOnly) raise(KORVEL_OSEACCES);
  TRepairProgressCallback progress = progressWanted ? RepairProgress : nullptr;
  TRepairLog log(logWanted ? &RepairLog : nullptr, verifyOnly);
  const std::string kind = verifyOnly ? "Verification of table " : "Repair of table ";
  log.Line(kind + table + " started at " + RepairTimeText());

  const char* headerStep = verifyOnly ? "Verifying headers" : "Repairing headers";
  if (progress) progress(headerStep, 0);
  THeaderResult headers = RunHeaderSteps(directory, table, cursor_.InMemory, log, !verifyOnly, cursor_.PasswordCallback);
  bool passRan = false;

  if (headers.LayoutKnown) {
    TRepairCursor::TOptions options;
    options.VerifyOnly = verifyOnly;
    options.FixSignatures = fixSignatures;
    options.ForceIndexRebuild = forceIndexRebuild;
    options.IndexesValid = headers.IndexesValid;
    std::unique_ptr<TScratchTable> scratch;
    TDataDirectory* target = directory;
    std::string targetName = table;
    if (verifyOnly && log.Problems() > 0) {
      // The records are read through fixed headers, on a copy: the table itself stays as it is.
      scratch = std::make_unique<TScratchTable>(directory, table, cursor_.InMemory);
      TRepairLog quiet(nullptr, false);
      quiet.SetSilent(true);
      THeaderResult fixed =
          RunHeaderSteps(scratch->Directory(), scratch->Name(), cursor_.InMemory, quiet, true, cursor_.PasswordCallback);
      target = scratch->Directory();
      targetName = scratch->Name();
      if (!fixed.LayoutKnown) target = nullptr;
    }
    if (target != nullptr) {
      TRepairCursor pass(target, targetName, cursor_.InMemory, cursor_.PasswordCallback);
      pass.OpenCursor();
      try {
        passRan = true;
        pass.Run(options, log, progress, headerStep);
      } catch (...) {
        try {
          pass.CloseCursor();
        } catch (...) {
        }
        throw;
      }
      pass.CloseCursor();
    }
  }
  if (!passRan && progress) progress(headerStep, 100);
  log.Line(kind + table + " completed at " + RepairTimeText());
  problems_ = log.Problems();
  unfixed_ = log.Unfixed();
  return problems_ == 0;
}

}  // namespace korvel
