#include "engine/table_transfer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "engine/data_table.h"
#include "expr/import_parser.h"
#include "framework/currency_bcd.h"
#include "framework/date_time.h"
#include "framework/float_text.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/files.h"
#include "support/text_forms.h"

namespace korvel {

namespace {

// Day number of 9999-12-31, the last day the four-digit year of the lossless form holds.
constexpr std::int32_t kLastIsoDay = 3652059;

const std::string& DateFormatOf(const TTransferFormat& f) {
  static const std::string fallback = kDefaultTransferDateFormat;
  return f.DateFormat.empty() ? fallback : f.DateFormat;
}
const std::string& TimeFormatOf(const TTransferFormat& f) {
  static const std::string fallback = kDefaultTransferTimeFormat;
  return f.TimeFormat.empty() ? fallback : f.TimeFormat;
}

void AppendHex(std::string& out, const std::uint8_t* p, std::size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
}

bool ReadHex(const std::string& text, std::uint8_t* out, std::size_t size) {
  if (text.size() > size * 2 || text.size() % 2 != 0) return false;
  std::memset(out, 0, size);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    auto r = std::from_chars(text.data() + i, text.data() + i + 2, v, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + i + 2) return false;
    out[i / 2] = static_cast<std::uint8_t>(v);
  }
  return true;
}

template <typename T>
bool ReadInteger(const std::string& text, T& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  while (first < last && *first == ' ') ++first;
  while (last > first && last[-1] == ' ') --last;
  if (first < last && *first == '+') ++first;
  auto r = std::from_chars(first, last, value);
  return first < last && r.ec == std::errc() && r.ptr == last;
}

// Swaps the caller's decimal separator for '.' (and refuses a '.' that is not it).
bool ToPointText(const std::string& text, char separator, std::string& out) {
  out = text;
  if (separator == '.') return true;
  for (char& c : out) {
    if (c == '.') return false;
    if (c == separator) c = '.';
  }
  return true;
}

std::string ExtendedToText(long double v, char separator) {
  char buffer[64];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
  std::string s(buffer, r.ptr);
  if (separator != '.') std::replace(s.begin(), s.end(), '.', separator);
  return s;
}

// The lossless forms yyyy-mm-dd, hh:nn:ss.zzz and both with a blank between are read and
// written here directly: they are the tool's defaults and the common case, and the general
// format conversions re-read their format for every value. Anything else (other formats, or
// a text of the default format that does not read here) takes the general path.

bool IsoDateFormat(const TTransferFormat& f) { return DateFormatOf(f) == kDefaultTransferDateFormat; }
bool IsoTimeFormat(const TTransferFormat& f) { return TimeFormatOf(f) == kDefaultTransferTimeFormat; }

// n decimal digits at p, or -1.
int ReadDigits(const char* p, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// "yyyy-mm-dd" at p (10 bytes) as a day number.
bool ReadIsoDate(const char* p, std::int32_t& day) {
  if (p[4] != '-' || p[7] != '-') return false;
  int y = ReadDigits(p, 4), m = ReadDigits(p + 5, 2), d = ReadDigits(p + 8, 2);
  TDateTime v;
  if (y < 1 || m < 0 || d < 0 || !TryEncodeDate(y, m, d, v)) return false;
  day = DateTimeToDayNumber(v);
  return true;
}

// "hh:nn:ss.zzz" at p (12 bytes) as milliseconds of the day.
bool ReadIsoTime(const char* p, std::int32_t& ms) {
  if (p[2] != ':' || p[5] != ':' || p[8] != '.') return false;
  int h = ReadDigits(p, 2), n = ReadDigits(p + 3, 2), sec = ReadDigits(p + 6, 2), z = ReadDigits(p + 9, 3);
  if (h < 0 || h > 23 || n < 0 || n > 59 || sec < 0 || sec > 59 || z < 0) return false;
  ms = ((h * 60 + n) * 60 + sec) * 1000 + z;
  return true;
}

// The native value of a date, time or timestamp in the lossless forms; false when the text
// is not exactly of that form.
bool ReadIsoDateTime(const std::string& text, std::uint8_t type, const TTransferFormat& f, std::uint8_t* v) {
  std::int32_t day = 0, ms = 0;
  switch (type) {
    case dtDate:
      if (text.size() != 10 || !IsoDateFormat(f) || !ReadIsoDate(text.data(), day)) return false;
      PutI32(v, 0, day);
      return true;
    case dtTime:
      if (text.size() != 12 || !IsoTimeFormat(f) || !ReadIsoTime(text.data(), ms)) return false;
      PutI32(v, 0, ms);
      return true;
    default:
      if (text.size() != 23 || text[10] != ' ' || !IsoDateFormat(f) || !IsoTimeFormat(f) ||
          !ReadIsoDate(text.data(), day) || !ReadIsoTime(text.data() + 11, ms))
        return false;
      PutF64(v, 0, static_cast<double>(day) * static_cast<double>(kMSecsPerDay) + ms);
      return true;
  }
}

void AppendPadded(std::string& out, int value, int width) {
  char digits[12];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(digits, static_cast<std::size_t>(width));
}

void AppendIsoDate(std::string& out, std::int32_t dayNumber) {
  int y, m, d;
  DecodeDate(DayNumberToDateTime(dayNumber), y, m, d);
  AppendPadded(out, y, 4);
  out += '-';
  AppendPadded(out, m, 2);
  out += '-';
  AppendPadded(out, d, 2);
}

void AppendIsoTime(std::string& out, std::int64_t ms) {
  AppendPadded(out, static_cast<int>(ms / 3600000), 2);
  out += ':';
  AppendPadded(out, static_cast<int>(ms / 60000 % 60), 2);
  out += ':';
  AppendPadded(out, static_cast<int>(ms / 1000 % 60), 2);
  out += '.';
  AppendPadded(out, static_cast<int>(ms % 1000), 3);
}

// The lossless text of a native date, time or timestamp; false when the format is another or
// the value lies outside what the forms hold (the general path decides then).
bool WriteIsoDateTime(const std::uint8_t* v, std::uint8_t type, const TTransferFormat& f, std::string& text) {
  if (!IsoDateFormat(f) && type != dtTime) return false;
  if (!IsoTimeFormat(f) && type != dtDate) return false;
  if (type == dtDate) {
    std::int32_t day = GetI32(v, 0);
    if (day < 1 || day > kLastIsoDay) return false;
    AppendIsoDate(text, day);
    return true;
  }
  if (type == dtTime) {
    std::int32_t ms = GetI32(v, 0);
    if (ms < 0 || ms >= kMSecsPerDay) return false;
    AppendIsoTime(text, ms);
    return true;
  }
  double stamp = GetF64(v, 0);
  // Whole milliseconds within the calendar only: anything else is rounded by the general path.
  if (!(stamp >= static_cast<double>(kMSecsPerDay)) || stamp >= static_cast<double>(kMSecsPerDay) * (kLastIsoDay + 1))
    return false;
  auto total = static_cast<std::int64_t>(stamp);
  if (static_cast<double>(total) != stamp) return false;
  AppendIsoDate(text, static_cast<std::int32_t>(total / kMSecsPerDay));
  text += ' ';
  AppendIsoTime(text, total % kMSecsPerDay);
  return true;
}

bool TextToExtended(const std::string& text, char separator, long double& v) {
  std::string s;
  if (!ToPointText(text, separator, s)) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

bool FieldToTransferText(const TDataCursor& cursor, std::int32_t fieldNo, const std::uint8_t* record,
                         const TTransferFormat& format, std::string& text) {
  text.clear();
  const TFieldDefinition& f = cursor.GetFieldDefinition(fieldNo);
  if (f.DataType == dtBlob) return false;
  // Large enough for every native value and for the formatted date-time texts.
  alignas(16) std::uint8_t v[264];
  std::uint8_t* value = v;  // a field's value is at most 255 bytes
  std::memset(v, 0, sizeof v);
  if (cursor.GetField(fieldNo, record, value)) return false;
  switch (f.DataType) {
    case dtString:
      text.assign(reinterpret_cast<const char*>(value),
                  strnlen(reinterpret_cast<const char*>(value), static_cast<std::size_t>(f.PhysicalSize)));
      return true;
    case dtDate:
    case dtTime:
    case dtTimeStamp:
      if (WriteIsoDateTime(value, f.DataType, format, text)) return true;
      if (!ConvertDateTimeToFormat(value, f.DataType, DateFormatOf(format), TimeFormatOf(format)))
        RaiseError(KORVEL_EXPORTERROR, "", "", "", cursor.TableName, f.FieldName, "", "Error exporting data value");
      text = reinterpret_cast<const char*>(value);
      return true;
    case dtBoolean: text = GetU16(value, 0) != 0 ? "True" : "False"; return true;
    case dtSmallInt: text = std::to_string(GetI16(value, 0)); return true;
    case dtInteger: text = std::to_string(GetI32(value, 0)); return true;
    case dtWord: text = std::to_string(GetU16(value, 0)); return true;
    case dtUnsignedInt: text = std::to_string(GetU32(value, 0)); return true;
    case dtLargeInt: text = std::to_string(GetI64(value, 0)); return true;
    case dtFloat: text = FloatToStr(GetF64(value, 0), format.DecimalSeparator); return true;
    case dtBCD: text = BcdToStr(TBcd::FromBytes(value), format.DecimalSeparator); return true;
    case dtExtended: {
      long double x = 0;
      std::memcpy(&x, value, 10);
      text = ExtendedToText(x, format.DecimalSeparator);
      return true;
    }
    default: AppendHex(text, value, static_cast<std::size_t>(f.PhysicalSize)); return true;
  }
}

bool TransferTextToField(TDataCursor& cursor, std::int32_t fieldNo, std::uint8_t* record,
                         const TTransferFormat& format, const std::string& text) {
  const TFieldDefinition& f = cursor.GetFieldDefinition(fieldNo);
  alignas(16) std::uint8_t v[kValueBufferSize + 8] = {};
  switch (f.DataType) {
    case dtBlob: cursor.PutField(fieldNo, record, nullptr); return true;
    case dtString: {
      // PutField copies up to the field's length.
      cursor.PutField(fieldNo, record, text.c_str());
      return true;
    }
    case dtDate:
    case dtTime:
    case dtTimeStamp: {
      if (ReadIsoDateTime(text, f.DataType, format, v)) break;
      if (text.size() > kMaxImportValueLength) return false;
      std::memcpy(v, text.data(), text.size());
      if (!ConvertFormatToDateTime(v, f.DataType, DateFormatOf(format), TimeFormatOf(format))) return false;
      break;
    }
    case dtBoolean: {
      std::string u = text;
      for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (u != "TRUE" && u != "FALSE") return false;
      PutU16(v, 0, u == "TRUE" ? 1 : 0);
      break;
    }
    case dtSmallInt: {
      std::int16_t x;
      if (!ReadInteger(text, x)) return false;
      PutI16(v, 0, x);
      break;
    }
    case dtInteger: {
      std::int32_t x;
      if (!ReadInteger(text, x)) return false;
      PutI32(v, 0, x);
      break;
    }
    case dtWord: {
      std::uint16_t x;
      if (!ReadInteger(text, x)) return false;
      PutU16(v, 0, x);
      break;
    }
    case dtUnsignedInt: {
      std::uint32_t x;
      if (!ReadInteger(text, x)) return false;
      PutU32(v, 0, x);
      break;
    }
    case dtLargeInt: {
      std::int64_t x;
      if (!ReadInteger(text, x)) return false;
      PutI64(v, 0, x);
      break;
    }
    case dtFloat: {
      double x;
      if (!TryStrToFloat(text, x, format.DecimalSeparator)) return false;
      PutF64(v, 0, x);
      break;
    }
    case dtBCD: {
      TBcd bcd;
      if (!TryStrToBcd(text, bcd, 32, f.Decimals, format.DecimalSeparator)) return false;
      bcd.ToBytes(v);
      break;
    }
    case dtExtended: {
      long double x = 0;
      if (!TextToExtended(text, format.DecimalSeparator, x)) return false;
      std::memcpy(v, &x, 10);
      break;
    }
    default: {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(f.PhysicalSize));
      if (!ReadHex(text, bytes.data(), bytes.size())) return false;
      cursor.PutField(fieldNo, record, bytes.data());
      return true;
    }
  }
  cursor.PutField(fieldNo, record, v);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Progress

namespace {

// Reports every `step` percent of `total`, and 100 once at the end.
class TProgressReporter {
 public:
  TProgressReporter(const TTransferProgress& callback, const TDataCursor& cursor, std::int64_t total)
      : callback_(callback), total_(total) {
    step_ = 5;
    if (cursor.Directory != nullptr && cursor.Directory->Session != nullptr)
      step_ = std::max<int>(1, cursor.Directory->Session->GetProgressPercent());
  }
  void Report(std::int64_t done) {
    if (!callback_ || total_ <= 0) return;
    int percent = static_cast<int>(std::min<std::int64_t>(100, done * 100 / total_));
    if (percent >= last_ + step_ && percent < 100) {
      last_ = percent - percent % step_;
      callback_(last_);
    }
  }
  void Finish() {
    if (callback_ && last_ < 100) callback_(last_ = 100);
  }

 private:
  const TTransferProgress& callback_;
  std::int64_t total_;
  int step_;
  int last_ = 0;
};

// A plain disk file of the transfer, closed on every path.
class TTransferFile : public TFileHandler {
 public:
  TTransferFile(const std::string& name, bool create) {
    FileName = name;
    Exclusive = true;
    if (create) {
      CreateFile();
    } else {
      ReadOnly = true;
      OpenFile();
    }
  }
  ~TTransferFile() override {
    try {
      if (IsOpen) CloseFile();
    } catch (...) {
      // Closing a handle fails only on a broken descriptor; nothing is left to save.
    }
  }
};

// A delimiter must not be read as part of a value, a quote or a line end.
void CheckDelimiter(const TDataCursor& cursor, char delimiter, TErrorCode code) {
  if (delimiter == '\0' || delimiter == '\r' || delimiter == '\n' || delimiter == '"' || delimiter == '\'' ||
      delimiter == ' ')
    RaiseError(code, "", "", "", cursor.TableName, "", "", "Invalid delimiter character");
}

// A BLOB field's value as export writes it with Blobs: a memo's bytes as they are, any other
// BLOB in hexadecimal. False when the value is NULL. The value is opened and freed here.
bool BlobToTransferText(TDataCursor& cursor, std::int32_t fieldNo, std::uint8_t* record, std::string& text,
                        std::string& scratch) {
  text.clear();
  if (cursor.GetField(fieldNo, record, nullptr)) return false;
  const TFieldDefinition& f = cursor.GetFieldDefinition(fieldNo);
  std::string& bytes = f.SubType == stMemo ? text : scratch;
  const int code = cursor.ReadWholeBlob(fieldNo, record, false, [&](std::size_t n) {
    bytes.resize(n);
    return bytes.data();
  });
  if (code != 0) RaiseError(static_cast<TErrorCode>(code), "", "", "", cursor.TableName, f.FieldName);
  if (&bytes == &scratch) AppendHex(text, reinterpret_cast<const std::uint8_t*>(scratch.data()), scratch.size());
  return true;
}

[[noreturn]] void RaiseImport(const TDataCursor& cursor, const std::string& message, std::int64_t line,
                              const std::string& field = "") {
  std::string text = message;
  if (line > 0) text += " at line " + std::to_string(line);
  RaiseError(KORVEL_IMPORTERROR, "", "", "", cursor.TableName, field, "", text);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Export

std::int64_t ExportTable(TDataCursor& cursor, const std::string& fileName, const TTransferFormat& format,
                         const std::vector<std::int32_t>& fields, const TTransferProgress& progress) {
  if (fields.empty())
    RaiseError(KORVEL_EXPORTERROR, "", "", "", cursor.TableName, "", "", "No fields specified for export data");
  for (std::int32_t n : fields) cursor.GetFieldDefinition(n);  // raises for a field not in the list
  TDataTable& table = *cursor.Table;
  const bool lockedBefore = table.UserReadLocked;
  table.UserReadLockTable();
  const bool tookLock = !lockedBefore && table.UserReadLocked;
  struct TUnlock {
    TDataTable& t;
    bool on;
    ~TUnlock() {
      if (on) try {
          t.UserReadUnlockTable();
        } catch (...) {
          // The slot goes back with the table's last close at the latest.
        }
    }
  } unlock{table, tookLock};

  CheckDelimiter(cursor, format.Delimiter, KORVEL_EXPORTERROR);
  const char specials[] = {format.Delimiter, '"', '\'', '\r', '\n', '\0'};
  TTransferFile file(fileName, true);
  std::string out;
  out.reserve(kTransferWindowSize);
  std::int64_t offset = 0;
  // Writes the buffer out when the next n bytes would not fit in it.
  auto makeRoom = [&](std::size_t n) {
    if (out.size() + n > kTransferWindowSize && !out.empty()) {
      file.WriteAt(offset, out.data(), static_cast<std::int64_t>(out.size()));
      offset += static_cast<std::int64_t>(out.size());
      out.clear();
    }
  };
  auto emit = [&](const char* p, std::size_t n) {
    makeRoom(n);
    out.append(p, n);
  };
  auto endField = [&](std::size_t i) {
    if (i + 1 < fields.size())
      emit(&format.Delimiter, 1);
    else
      emit("\r\n", 2);
  };
  // A value in double quotes, each embedded double quote doubled, so that it reads back whole.
  auto emitQuoted = [&](const std::string& text) {
    makeRoom(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '"')) + 2);
    out += '"';
    for (std::size_t from = 0;;) {
      std::size_t at = text.find('"', from);
      out.append(text, from, at == std::string::npos ? std::string::npos : at + 1 - from);
      if (at == std::string::npos) break;
      out += '"';
      from = at + 1;
    }
    out += '"';
  };
  // Other values go in quotes only when their text (a date format, a decimal separator, a
  // field name) holds the delimiter, a quote, a line end or a blank at its start.
  auto emitPlain = [&](const std::string& text) {
    if (text.find_first_of(specials, 0, sizeof specials) != std::string::npos || (!text.empty() && text[0] == ' '))
      emitQuoted(text);
    else
      emit(text.data(), text.size());
  };
  if (format.Headers) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      emitPlain(cursor.GetFieldDefinition(fields[i]).FieldName);
      endField(i);
    }
  }

  std::vector<const TFieldDefinition*> columns;
  for (std::int32_t n : fields) columns.push_back(&cursor.GetFieldDefinition(n));
  std::vector<std::uint8_t> record(static_cast<std::size_t>(cursor.GetRecordSize()));
  std::string text, scratch;
  std::int64_t written = 0;
  const std::int64_t total = cursor.GetRecordCount();
  TProgressReporter reporter(progress, cursor, total);
  // The cursor's navigation shows the visible records only: its index order, range and filters.
  cursor.SetToBegin();
  while (cursor.GetNextRecord(record.data()) == kCursorOk) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const TFieldDefinition& f = *columns[i];
      if (f.DataType == dtBlob) {
        if (format.Blobs && BlobToTransferText(cursor, fields[i], record.data(), text, scratch)) {
          if (f.SubType == stMemo)
            emitQuoted(text);
          else
            emit(text.data(), text.size());
        }
      } else if (FieldToTransferText(cursor, fields[i], record.data(), format, text)) {
        if (f.DataType == dtString)
          emitQuoted(text);
        else
          emitPlain(text);
      }
      endField(i);
    }
    reporter.Report(++written);
  }
  if (!out.empty()) file.WriteAt(offset, out.data(), static_cast<std::int64_t>(out.size()));
  reporter.Finish();
  return written;
}

// ---------------------------------------------------------------------------------------------
// Import

namespace {

// One import run: the window over the file, the tokenizer and the record being built.
class TImporter {
 public:
  TImporter(TDataCursor& cursor, const std::string& fileName, const TTransferFormat& format,
            const std::vector<std::int32_t>& fields, const TTransferProgress& progress)
      : cursor_(cursor),
        format_(format),
        columns_(fields),
        file_(fileName, false),
        fileSize_(file_.GetSize()),
        reporter_(progress, cursor, fileSize_),
        record_(static_cast<std::size_t>(cursor.GetRecordSize())),
        lastAppended_(record_.size()) {
    if (columns_.empty() && !format.Headers)
      RaiseImport(cursor, "No fields specified for import data", 0);
    for (std::int32_t n : columns_)
      if (n != 0) cursor.GetFieldDefinition(n);
    CheckDelimiter(cursor, format.Delimiter, KORVEL_IMPORTERROR);
    parser_.Delimiter = format.Delimiter;
    parser_.TableName = cursor.TableName;
    window_.resize(kTransferWindowSize);
  }

  ~TImporter() {
    ReleaseBlobs();
    cursor_.SetSuppressAutoIncValues(suppressBefore_);
  }
  TImporter(const TImporter&) = delete;
  TImporter& operator=(const TImporter&) = delete;

  std::int64_t Run() {
    headerLine_ = format_.Headers;
    StartRecord();
    std::size_t filled = 0;  // bytes of the window holding file data
    bool last = false;
    while (true) {
      // Fill the window behind the carried tail.
      std::int64_t want = static_cast<std::int64_t>(window_.size() - filled);
      std::int64_t got = filePos_ < fileSize_ ? file_.ReadAt(filePos_, window_.data() + filled, want, true) : 0;
      if (got < 0) RaiseTableError(KORVEL_READERR, cursor_.TableName);
      filePos_ += got;
      filled += static_cast<std::size_t>(got);
      if (filePos_ == got) SkipByteOrderMark(filled);
      last = got < want || filePos_ >= fileSize_;
      std::size_t carried = ParseWindow(filled, last);
      reporter_.Report(filePos_ - static_cast<std::int64_t>(filled - carried));
      if (last) break;
      if (carried == filled) {
        // One line fills the whole window: grow the window for it.
        window_.resize(window_.size() * 2);
        continue;
      }
      std::memmove(window_.data(), window_.data() + (filled - carried), carried);
      filled = carried;
    }
    if (appended_ > 0) cursor_.SetToRecordBuffer(lastAppended_.data());
    reporter_.Finish();
    return appended_;
  }

 private:
  // A UTF-8 byte order mark that text editors put at the start of a file is no part of the
  // first value (or field name).
  void SkipByteOrderMark(std::size_t& filled) {
    static const char mark[] = {'\xEF', '\xBB', '\xBF'};
    if (filled < sizeof mark || std::memcmp(window_.data(), mark, sizeof mark) != 0) return;
    std::memmove(window_.data(), window_.data() + sizeof mark, filled - sizeof mark);
    filled -= sizeof mark;
  }

  void StartRecord() {
    ReleaseBlobs();
    cursor_.InitRecord(record_.data());
    column_ = 0;
    lineHasContent_ = false;
    columnHasValue_ = false;
    idGiven_ = false;
  }

  // Parses the complete lines of window_[0, length). Returns the number of bytes at the end
  // that belong to a line not complete in this window, carried to the next one (0 in the last
  // window; all of them when no line ends in this window).
  std::size_t ParseWindow(std::size_t length, bool last) {
    parser_.SetExpression(window_.data(), length);
    std::size_t lineStart = 0;
    auto carry = [&]() -> std::size_t {
      // The record of the incomplete line is dropped and parsed again from its start.
      StartRecord();
      return length - lineStart;
    };
    for (;;) {
      if (!last && OpenQuoteRunsToEnd(length)) return carry();
      int kind = parser_.NextToken();
      // A token that touches the window's end may continue in the next window.
      if (!last && parser_.GetReadPos() >= length) return carry();
      if (kind == itEnd) {
        if (parser_.GetCurPos() < length) RaiseImport(cursor_, "Embedded NULL (0x00) found in import data", line_);
        if (lineHasContent_ && !columnHasValue_) EmptyColumn();
        EndLine();
        return 0;
      }
      if (kind == static_cast<unsigned char>(format_.Delimiter)) {
        lineHasContent_ = true;
        if (!columnHasValue_) EmptyColumn();
        ++column_;
        columnHasValue_ = false;
      } else if (kind == itCarriageReturn || kind == itLineFeed) {
        if (kind == itCarriageReturn && parser_.NextToken() != itLineFeed)
          RaiseImport(cursor_, "Missing line feed after carriage return in import data", line_);
        if (lineHasContent_ && !columnHasValue_) EmptyColumn();
        EndLine();
        StartRecord();
        lineStart = parser_.GetReadPos();
      } else {
        Value();
      }
    }
  }

  // Whether a quote opened at the next token stays unclosed up to the window's end; then the
  // value continues in the next window rather than being an error.
  bool OpenQuoteRunsToEnd(std::size_t length) const {
    std::size_t p = parser_.GetReadPos();
    while (p < length && window_[p] == ' ') ++p;
    if (p >= length || (window_[p] != '"' && window_[p] != '\'')) return false;
    char q = window_[p];
    for (std::size_t i = p + 1; i < length; ++i) {
      if (window_[i] == '\0') return false;
      if (window_[i] == q) {
        if (i + 1 < length && window_[i + 1] == q) {
          ++i;
          continue;
        }
        // A closing quote as the window's last byte might be the first of a doubled pair.
        return i + 1 >= length;
      }
    }
    return true;
  }

  // Nothing between two delimiters: with EmptyIsNull the column's field is NULL, else it keeps
  // its default.
  void EmptyColumn() {
    if (!format_.EmptyIsNull || headerLine_ || column_ >= columns_.size() || columns_[column_] == 0) return;
    cursor_.PutField(columns_[column_], record_.data(), nullptr);
  }

  void Value() {
    lineHasContent_ = true;
    columnHasValue_ = true;
    if (headerLine_) {
      parser_.TokenToString(text_, 255);
      std::int32_t n = cursor_.GetFieldNumber(text_);
      if (n == 0) RaiseImport(cursor_, "Invalid field name in import data", line_, text_);
      if (columns_.size() <= column_) columns_.resize(column_ + 1, 0);
      columns_[column_] = n;
      return;
    }
    if (column_ >= columns_.size()) RaiseImport(cursor_, "Invalid number of fields in import data", line_);
    std::int32_t n = columns_[column_];
    if (n == 0) return;
    const TFieldDefinition& f = cursor_.GetFieldDefinition(n);
    if (f.DataType == dtBlob && format_.Blobs) {
      parser_.TokenToString(text_);
      PutBlobValue(n, f);
      return;
    }
    if (f.IsAutoInc() && format_.KeepAutoIncValues) {
      PutGivenRecordID(f);
      return;
    }
    parser_.TokenToString(text_, kMaxImportValueLength);
    if (text_.empty() && format_.EmptyIsNull) {
      cursor_.PutField(n, record_.data(), nullptr);
      return;
    }
    if (!TransferTextToField(cursor_, n, record_.data(), format_, text_))
      RaiseImport(cursor_, "Invalid data value in import data", line_, f.FieldName);
  }

  // A memo's text as it stands, another BLOB's from hexadecimal; empty stays NULL. The value
  // stays open in the record until the append writes it.
  void PutBlobValue(std::int32_t n, const TFieldDefinition& f) {
    if (text_.empty()) return;
    const std::string* bytes = &text_;
    if (f.SubType != stMemo) {
      if (text_.size() % 2 != 0) RaiseImport(cursor_, "Invalid data value in import data", line_, f.FieldName);
      blobBytes_.resize(text_.size() / 2);
      if (!ReadHex(text_, reinterpret_cast<std::uint8_t*>(blobBytes_.data()), blobBytes_.size()))
        RaiseImport(cursor_, "Invalid data value in import data", line_, f.FieldName);
      bytes = &blobBytes_;
    }
    std::int64_t size = 0;
    int code = cursor_.OpenBlob(n, record_.data(), TBlobBuffer::omReadWrite, false, true, size);
    if (code == 0) blobsOpen_ = true;
    if (code == 0) code = cursor_.TruncateBlob(n, record_.data(), false, 0);
    if (code == 0)
      code = cursor_.PutBlob(n, record_.data(), false, static_cast<std::int64_t>(bytes->size()), bytes->data(), 0);
    if (code != 0) RaiseError(static_cast<TErrorCode>(code), "", "", "", cursor_.TableName, f.FieldName);
  }

  // An auto-increment value given by the file becomes the record's ID (appended as given);
  // an empty one leaves the ID to the table.
  void PutGivenRecordID(const TFieldDefinition& f) {
    parser_.TokenToString(text_, kMaxImportValueLength);
    if (text_.empty()) return;
    std::int32_t id = 0;
    if (!ReadInteger(text_, id) || id <= 0) RaiseImport(cursor_, "Invalid data value in import data", line_, f.FieldName);
    TDataCursor::PutRecordID(id, record_.data());
    idGiven_ = true;
  }

  // Frees the BLOB values opened for a record that is not appended (carried to the next window,
  // or failed).
  void ReleaseBlobs() noexcept {
    if (!blobsOpen_) return;
    for (std::int32_t n : columns_)
      if (n != 0 && cursor_.GetFieldDefinition(n).DataType == dtBlob) cursor_.FreeBlob(n, record_.data(), false);
    blobsOpen_ = false;
  }

  void EndLine() {
    if (headerLine_) {
      if (!lineHasContent_) RaiseImport(cursor_, "No fields specified for import data", line_);
      headerLine_ = false;
    } else if (lineHasContent_) {
      if (format_.KeepAutoIncValues) cursor_.SetSuppressAutoIncValues(idGiven_);
      // Repositioning after every append would cost a key search each; the cursor goes to
      // the last record appended once, at the end.
      cursor_.AppendRecord(record_.data(), false);
      blobsOpen_ = false;  // the append wrote and freed them
      lastAppended_.swap(record_);
      ++appended_;
    }
    ++line_;
  }

  TDataCursor& cursor_;
  const TTransferFormat& format_;
  std::vector<std::int32_t> columns_;
  TTransferFile file_;
  std::int64_t fileSize_;
  std::int64_t filePos_ = 0;
  TProgressReporter reporter_;
  std::vector<std::uint8_t> record_;
  std::vector<std::uint8_t> lastAppended_;  // the record appended last, as stored
  std::vector<char> window_;
  TImportParser parser_;
  std::string text_;
  std::string blobBytes_;
  bool blobsOpen_ = false;  // record_ holds BLOB values opened by this import
  std::size_t column_ = 0;
  bool lineHasContent_ = false;
  bool columnHasValue_ = false;  // a value token was read in the current column
  bool idGiven_ = false;         // the line gave the record's auto-increment value
  bool suppressBefore_ = cursor_.GetSuppressAutoIncValues();
  bool headerLine_ = false;
  std::int64_t line_ = 1;
  std::int64_t appended_ = 0;
};

}  // namespace

std::int64_t ImportTable(TDataCursor& cursor, const std::string& fileName, const TTransferFormat& format,
                         const std::vector<std::int32_t>& fields, const TTransferProgress& progress) {
  TImporter importer(cursor, fileName, format, fields, progress);
  return importer.Run();
}

}  // namespace korvel
