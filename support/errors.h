#pragma once
// Engine error codes, the process-wide error-information block and the engine exception.
//
// Every failure inside the engine has a 16-bit code with a KORVEL_ name. RaiseError records the
// code and the names of the objects involved (the contexts) in the error-information block and
// throws EKORVELEngineError, which copies everything it needs at construction, so a later error
// on another thread cannot change what it reports.
//
// Contexts of the block:
//   0 remote server name or address    4 field name
//   1 user name                        5 index name
//   2 database name                    6 extra message (filter, SQL, import and export errors)
//   3 table name                       7 (read only) OS error number as decimal text
//                                      8 (read only) socket error number as decimal text

#include <cstdint>
#include <exception>
#include <string>

#include "framework/exceptions.h"

namespace korvel {

using TErrorCode = std::uint16_t;

#include "support/error_codes.inc"

// Longest text GetErrorString delivers, and longest context string the block keeps.
inline constexpr std::size_t kMaxErrorStringLength = 254;
inline constexpr std::size_t kMaxErrorContextLength = 255;
inline constexpr const char* kUnknownErrorText = "An unknown error occurred";

// The engine exception: the code, the OS and socket error numbers and the seven contexts as they
// were when the error was raised. Its message is "KORVEL Engine Error # <code> <message>".
class EKORVELEngineError : public Exception {
 public:
  EKORVELEngineError(TErrorCode code, std::int32_t osErrorCode, std::int32_t socketErrorCode,
                     std::string remoteName, std::string userName, std::string databaseName,
                     std::string tableName, std::string fieldName, std::string indexName,
                     std::string message);

  TErrorCode ErrorCode;
  std::int32_t OSErrorCode;
  std::int32_t SocketErrorCode;
  std::string ErrorRemoteName;
  std::string ErrorUserName;
  std::string ErrorDatabaseName;
  std::string ErrorTableName;
  std::string ErrorFieldName;
  std::string ErrorIndexName;
  std::string ErrorMessage;
};

// Records the error in the block and throws EKORVELEngineError. The single way the engine
// reports a failure.
[[noreturn]] void RaiseError(TErrorCode code, const std::string& remoteName = "",
                             const std::string& userName = "", const std::string& databaseName = "",
                             const std::string& tableName = "", const std::string& fieldName = "",
                             const std::string& indexName = "", const std::string& message = "");

// Shorthand for the common case of an error about one table (and its database).
[[noreturn]] inline void RaiseTableError(TErrorCode code, const std::string& tableName,
                                         const std::string& databaseName = "") {
  RaiseError(code, "", "", databaseName, tableName);
}

void AssignErrorContexts(TErrorCode code, std::int32_t osError, std::int32_t socketError,
                         const std::string& remoteName, const std::string& userName,
                         const std::string& databaseName, const std::string& tableName,
                         const std::string& fieldName, const std::string& indexName,
                         const std::string& message);
void ClearErrorContexts();
std::string GetErrorContext(int n);
TErrorCode GetLastErrorNumber();

// Formats the message of the code from the block's contexts, cut at 254 characters.
std::string GetErrorString(TErrorCode code);
// The same into a caller's buffer of at least 255 bytes (NUL-terminated).
void GetErrorString(TErrorCode code, char* destination);

// The symbolic name of a code, or "KORVEL_NONE" for a code not in the table.
const char* TranslateErrorConstant(TErrorCode code);
// The message text of a code with its %s placeholders unfilled; null when it has none.
const char* GetErrorMessageTemplate(TErrorCode code);
// Whether the code is one of the table's codes.
bool IsKnownErrorCode(TErrorCode code);
// Every code of the table, ascending, KORVEL_NONE first.
const TErrorCode* AllErrorCodes(std::size_t& count);

// The code of an engine exception, or KORVEL_OSUNKNOWN for anything else.
TErrorCode ConvertExceptionToStatus(const std::exception& e);

void LockErrorInformation();
void UnlockErrorInformation();

}  // namespace korvel
