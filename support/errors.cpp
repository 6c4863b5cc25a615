#include "support/errors.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "support/os_errors.h"

namespace korvel {

namespace {

// One row of the code table.
struct TErrorEntry {
  TErrorCode Code;
  const char* Name;
  const char* Message;   // null: the code has no message
  const char* Contexts;  // the context number of each %s of Message, in order
};

constexpr TErrorEntry kErrorTable[] = {
#include "support/error_table.inc"
};

constexpr std::size_t kErrorCount = sizeof(kErrorTable) / sizeof(kErrorTable[0]);
constexpr int kContextCount = 7;

// The error-information block: one per process, every access under its lock.
struct TErrorInformation {
  std::recursive_mutex Section;
  TErrorCode LastError = 0;
  std::int32_t LastOSError = 0;
  std::int32_t LastSocketError = 0;
  std::string Contexts[kContextCount];
};

TErrorInformation& Block() {
  static TErrorInformation block;
  return block;
}

const TErrorEntry* FindEntry(TErrorCode code) {
  const TErrorEntry* first = kErrorTable;
  const TErrorEntry* last = kErrorTable + kErrorCount;
  const TErrorEntry* it =
      std::lower_bound(first, last, code, [](const TErrorEntry& e, TErrorCode c) { return e.Code < c; });
  return (it != last && it->Code == code) ? it : nullptr;
}

std::string Cut(const std::string& s, std::size_t n) { return s.size() > n ? s.substr(0, n) : s; }

// Fills the %s placeholders of a message from the contexts, in the order the table gives.
std::string FormatMessage(const TErrorEntry& entry, const std::string* contexts) {
  std::string out;
  const char* next = entry.Contexts;
  for (const char* p = entry.Message; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (*next) out += contexts[*next++ - '0'];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// The message of a code filled from the given seven contexts, cut at 254 characters.
std::string FormatErrorString(TErrorCode code, const std::string* contexts) {
  const TErrorEntry* entry = FindEntry(code);
  if (entry == nullptr || entry->Message == nullptr) return kUnknownErrorText;
  return Cut(FormatMessage(*entry, contexts), kMaxErrorStringLength);
}

}  // namespace

EKORVELEngineError::EKORVELEngineError(TErrorCode code, std::int32_t osErrorCode,
                                       std::int32_t socketErrorCode, std::string remoteName,
                                       std::string userName, std::string databaseName,
                                       std::string tableName, std::string fieldName,
                                       std::string indexName, std::string message)
    : Exception(""),
      ErrorCode(code),
      OSErrorCode(osErrorCode),
      SocketErrorCode(socketErrorCode),
      ErrorRemoteName(std::move(remoteName)),
      ErrorUserName(std::move(userName)),
      ErrorDatabaseName(std::move(databaseName)),
      ErrorTableName(std::move(tableName)),
      ErrorFieldName(std::move(fieldName)),
      ErrorIndexName(std::move(indexName)),
      ErrorMessage(std::move(message)) {
  const std::string contexts[kContextCount] = {ErrorRemoteName, ErrorUserName,  ErrorDatabaseName,
                                               ErrorTableName,  ErrorFieldName, ErrorIndexName,
                                               ErrorMessage};
  SetMessage("KORVEL Engine Error # " + std::to_string(code) + " " + FormatErrorString(code, contexts));
}

void LockErrorInformation() { Block().Section.lock(); }
void UnlockErrorInformation() { Block().Section.unlock(); }

void AssignErrorContexts(TErrorCode code, std::int32_t osError, std::int32_t socketError,
                         const std::string& remoteName, const std::string& userName,
                         const std::string& databaseName, const std::string& tableName,
                         const std::string& fieldName, const std::string& indexName,
                         const std::string& message) {
  TErrorInformation& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.Section);
  b.LastError = code;
  b.LastOSError = osError;
  b.LastSocketError = socketError;
  const std::string* values[kContextCount] = {&remoteName, &userName,  &databaseName, &tableName,
                                              &fieldName,  &indexName, &message};
  for (int i = 0; i < kContextCount; ++i) b.Contexts[i] = Cut(*values[i], kMaxErrorContextLength);
}

void ClearErrorContexts() {
  TErrorInformation& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.Section);
  b.LastError = 0;
  b.LastOSError = 0;
  b.LastSocketError = 0;
  for (std::string& c : b.Contexts) c.clear();
}

std::string GetErrorContext(int n) {
  TErrorInformation& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.Section);
  if (n >= 0 && n < kContextCount) return b.Contexts[n];
  if (n == 7) return std::to_string(b.LastOSError);
  if (n == 8) return std::to_string(b.LastSocketError);
  return "";
}

TErrorCode GetLastErrorNumber() {
  TErrorInformation& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.Section);
  return b.LastError;
}

std::string GetErrorString(TErrorCode code) {
  TErrorInformation& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.Section);
  return FormatErrorString(code, b.Contexts);
}

void GetErrorString(TErrorCode code, char* destination) {
  std::string text = GetErrorString(code);
  std::memcpy(destination, text.data(), text.size());
  destination[text.size()] = '\0';
}

const char* TranslateErrorConstant(TErrorCode code) {
  const TErrorEntry* entry = FindEntry(code);
  return entry ? entry->Name : "KORVEL_NONE";
}

const char* GetErrorMessageTemplate(TErrorCode code) {
  const TErrorEntry* entry = FindEntry(code);
  return entry ? entry->Message : nullptr;
}

bool IsKnownErrorCode(TErrorCode code) { return FindEntry(code) != nullptr; }

const TErrorCode* AllErrorCodes(std::size_t& count) {
  static const auto codes = [] {
    std::array<TErrorCode, kErrorCount> a{};
    for (std::size_t i = 0; i < kErrorCount; ++i) a[i] = kErrorTable[i].Code;
    return a;
  }();
  count = kErrorCount;
  return codes.data();
}

void RaiseError(TErrorCode code, const std::string& remoteName, const std::string& userName,
                const std::string& databaseName, const std::string& tableName,
                const std::string& fieldName, const std::string& indexName,
                const std::string& message) {
  ClearErrorContexts();
  std::int32_t osError = OSLastError();
  std::int32_t socketError = OSLastSocketError();
  AssignErrorContexts(code, osError, socketError, remoteName, userName, databaseName, tableName,
                      fieldName, indexName, message);
  // The exception keeps its own copy of the contexts: another thread's error may overwrite the
  // block at any moment after this.
  throw EKORVELEngineError(code, osError, socketError, Cut(remoteName, kMaxErrorContextLength),
                           Cut(userName, kMaxErrorContextLength),
                           Cut(databaseName, kMaxErrorContextLength),
                           Cut(tableName, kMaxErrorContextLength),
                           Cut(fieldName, kMaxErrorContextLength),
                           Cut(indexName, kMaxErrorContextLength), Cut(message, kMaxErrorContextLength));
}

TErrorCode ConvertExceptionToStatus(const std::exception& e) {
  if (auto* engine = dynamic_cast<const EKORVELEngineError*>(&e)) return engine->ErrorCode;
  return KORVEL_OSUNKNOWN;
}

}  // namespace korvel
