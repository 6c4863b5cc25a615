#pragma once
// Moving a table's data in and out through a cursor: delimited text (import and export).
//
// Delimited text: one record per line, lines ended by CR LF on export (CR LF or a lone LF on
// import), fields separated by one delimiter byte. Export writes string fields in double quotes
// with each embedded double quote doubled, so that importing the file gives back every value
// exactly; other values unquoted; NULL as nothing between its delimiters. BLOB fields are
// written as nothing too, unless the format carries BLOB values (then memos as quoted text, other
// BLOBs in upper-case hexadecimal, and import reads them back whole). A header line holds the
// field names, each quoted when it holds the delimiter, a quote or a line end.
// Text forms per type:
//   date, time, timestamp   the caller's date and time formats (framework format letters);
//                           empty formats mean "yyyy-mm-dd" and "hh:nn:ss.zzz"
//   float, extended, BCD    shortest text that reads back to the same value, with the caller's
//                           decimal separator
//   boolean                 True / False
//   integers                decimal
//   bytes, variable bytes   upper-case hexadecimal of every byte
// Import skips a UTF-8 byte order mark at the start of the file and reads values quoted or
// not; every value but a carried BLOB value is cut to 250 characters (the longest string
// field) before conversion.
//
// Import and export move the file through 64 KiB windows; import holds one window of the file
// at a time (grown only for a single line longer than a window).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/data_cursor.h"

namespace korvel {

inline constexpr std::size_t kTransferWindowSize = 65536;
// Longest value text that import converts.
inline constexpr std::size_t kMaxImportValueLength = 250;
inline constexpr const char* kDefaultTransferDateFormat = "yyyy-mm-dd";
inline constexpr const char* kDefaultTransferTimeFormat = "hh:nn:ss.zzz";

struct TTransferFormat {
  char Delimiter = ',';
  std::string DateFormat;  // empty: kDefaultTransferDateFormat
  std::string TimeFormat;  // empty: kDefaultTransferTimeFormat
  char DecimalSeparator = '.';
  bool Headers = false;  // export writes / import reads a first line of field names
  bool Blobs = false;    // BLOB values travel too (else written empty and imported as NULL)
  // An empty value in a column of the line (nothing between its delimiters, or "") imports as
  // NULL, as export writes NULL; else such a column leaves the field at its default.
  bool EmptyIsNull = false;
  // An auto-increment column's values become the records' IDs (a taken ID is a key violation);
  // else the table numbers the records and the column's values are not used.
  bool KeepAutoIncValues = false;
};

// Called with the percentage done (every session progress step, and 100 at the end).
using TTransferProgress = std::function<void(int percent)>;

// Appends the records of the text file `fileName` to the cursor's table. `fields` gives, per
// column, a field number of the cursor's field list (0 skips the column); with Headers the
// first line's names choose the fields instead. Each record is appended on its own (its own
// locks); a failure stops the import with the records before it kept. Returns the number of
// records appended.
std::int64_t ImportTable(TDataCursor& cursor, const std::string& fileName, const TTransferFormat& format,
                         const std::vector<std::int32_t>& fields, const TTransferProgress& progress = {});

// Writes the cursor's visible records (current index order, range and filter) from the first
// to the last to the new text file `fileName`, under the table's read lock. `fields` are
// field numbers of the cursor's field list in column order. Returns the number of records.
std::int64_t ExportTable(TDataCursor& cursor, const std::string& fileName, const TTransferFormat& format,
                         const std::vector<std::int32_t>& fields, const TTransferProgress& progress = {});

// The text form of one field value of `record` as export writes it (without quotes);
// false when the value is NULL or a BLOB.
bool FieldToTransferText(const TDataCursor& cursor, std::int32_t fieldNo, const std::uint8_t* record,
                         const TTransferFormat& format, std::string& text);
// Reads the text form into the field of `record`; false when the text does not read as the
// field's type. A BLOB field is set NULL.
bool TransferTextToField(TDataCursor& cursor, std::int32_t fieldNo, std::uint8_t* record,
                         const TTransferFormat& format, const std::string& text);

}  // namespace korvel
