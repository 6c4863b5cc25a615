#pragma once
// TTableFileOwner: what every table file (data, index, BLOB) asks of the shared table that owns
// it. Each file class adds the few services only it needs in an interface derived from this
// one; the shared table implements all three, and one override of a method here serves them all.

#include <cstdint>
#include <string>

namespace korvel {

class TDataCursor;  // a cursor on the table; opaque to the files

// The next value of a header's update stamp: it counts on from 0x7FFFFFFF to -0x80000000 (the
// stamp is compared, never ordered).
inline std::int32_t NextUpdateStamp(std::int32_t stamp) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(stamp) + 1u);
}
inline std::int32_t PreviousUpdateStamp(std::int32_t stamp) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(stamp) - 1u);
}

class TTableFileOwner {
 public:
  virtual ~TTableFileOwner() = default;
  // Names for messages.
  virtual std::string GetTableName() const = 0;
  virtual std::string GetProperDataDirectoryName() const = 0;
  // The session's forced flushing: operating-system buffers are flushed after every write.
  virtual bool GetForceBufferFlush() const = 0;
  virtual bool GetTransactionInProgress() const = 0;
  // "Has written data": some header, record, page or block was written since the table opened.
  virtual bool GetHeadersWritten() const = 0;
  virtual void SetHeadersWritten() = 0;
  // Whether the session already holds a read (or write) lock of this table.
  virtual bool IsReadLocked() const = 0;
  // Takes the table's read lock through the cursor before a read from disk. The lock stays
  // held: the operation that caused the read releases it. False when the cursor abandons the
  // read (it then returns without an error); a lock that cannot be had raises
  // KORVEL_LOCKTIMEOUT instead.
  virtual bool ReadLockTable(TDataCursor* cursor) = 0;
};

}  // namespace korvel

namespace korvel {

// The common part of the fixed-setting owners that tools and tests give a table file when no
// shared table is there: names, flags and a read lock that is granted (or refused) on request.
// `Interface` is the file's owner interface (TDataFileOwner, TIndexFileOwner, TBlobFileOwner).
template <typename Interface>
class TPlainTableFileOwner : public Interface {
 public:
  std::string GetTableName() const override { return TableName; }
  std::string GetProperDataDirectoryName() const override { return DirectoryName; }
  bool GetForceBufferFlush() const override { return ForceBufferFlush; }
  bool GetTransactionInProgress() const override { return TransactionInProgress; }
  bool GetHeadersWritten() const override { return HeadersWritten; }
  void SetHeadersWritten() override { HeadersWritten = true; }
  bool IsReadLocked() const override { return ReadLocked; }
  bool ReadLockTable(TDataCursor*) override {
    ++ReadLockRequests;
    return ReadLockGranted;
  }

  std::string TableName;
  std::string DirectoryName;
  bool ForceBufferFlush = false;
  bool TransactionInProgress = false;
  bool HeadersWritten = false;
  bool ReadLocked = false;
  bool ReadLockGranted = true;
  std::int32_t ReadLockRequests = 0;
};

}  // namespace korvel
