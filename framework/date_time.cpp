#include "framework/date_time.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "framework/exceptions.h"

namespace korvel {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (valid for every year we accept).
std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr std::int64_t kUnixToSerial = 25569;  // 1970-01-01 is day 25,569 after 1899-12-30

// Splits a value into its day (integer part) and milliseconds of the day, rounding to the
// nearest millisecond and carrying a rounded-up midnight into the next day.
void SplitValue(TDateTime value, std::int64_t& day, std::int64_t& msecs) {
  // Far outside years 1..9999 (or not a number): read as day 0 rather than overflow.
  if (!(std::fabs(value) < 1e9)) value = 0;
  double whole = std::trunc(value);
  day = static_cast<std::int64_t>(whole);
  msecs = static_cast<std::int64_t>(std::llround(std::fabs(value - whole) * kMSecsPerDay));
  if (msecs >= kMSecsPerDay) {
    msecs -= kMSecsPerDay;
    day += value < 0 ? -1 : 1;
  }
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool StartsWithNoCase(const std::string& s, std::size_t pos, const char* what) {
  for (std::size_t i = 0; what[i]; ++i) {
    if (pos + i >= s.size() || Upper(s[pos + i]) != Upper(what[i])) return false;
  }
  return true;
}

void AppendNumber(std::string& out, long long value, int width) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%0*lld", width, value);
  out += buffer;
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  value = static_cast<double>(DaysFromCivil(year, month, day) + kUnixToSerial);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime value = 0;
  if (!TryEncodeDate(year, month, day, value)) throw EConvertError("Invalid argument to date encode");
  return value;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999)
    return false;
  value = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000LL + msec) / kMSecsPerDay;
  return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime value = 0;
  if (!TryEncodeTime(hour, minute, second, msec, value))
    throw EConvertError("Invalid argument to time encode");
  return value;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  std::int64_t d = 0, ms = 0;
  SplitValue(value, d, ms);
  CivilFromDays(d - kUnixToSerial, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
  std::int64_t d = 0, ms = 0;
  SplitValue(value, d, ms);
  msec = static_cast<int>(ms % 1000);
  ms /= 1000;
  second = static_cast<int>(ms % 60);
  ms /= 60;
  minute = static_cast<int>(ms % 60);
  hour = static_cast<int>(ms / 60);
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
  return date < 0 ? date - time : date + time;
}

int DayOfWeek(TDateTime value) {
  std::int64_t d = 0, ms = 0;
  SplitValue(value, d, ms);
  return static_cast<int>(((d - 1) % 7 + 7) % 7) + 1;
}

TDateTime Now() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  TDateTime date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  TDateTime time = 0;
  TryEncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                static_cast<int>(ms), time);
  return date + time;
}

TDateTime Date() { return std::trunc(Now()); }

int CurrentYear() {
  int y = 0, m = 0, d = 0;
  DecodeDate(Now(), y, m, d);
  return y;
}

std::int32_t DateTimeToDayNumber(TDateTime value) {
  std::int64_t d = 0, ms = 0;
  SplitValue(value, d, ms);
  return static_cast<std::int32_t>(d + kDateDelta);
}

TDateTime DayNumberToDateTime(std::int32_t dayNumber) {
  return static_cast<double>(static_cast<std::int64_t>(dayNumber) - kDateDelta);
}

std::int32_t DateTimeToTimeMSecs(TDateTime value) {
  std::int64_t d = 0, ms = 0;
  SplitValue(value, d, ms);
  return static_cast<std::int32_t>(ms);
}

TDateTime TimeMSecsToDateTime(std::int32_t msecs) {
  return static_cast<double>(msecs) / kMSecsPerDay;
}

double DateTimeToTimeStampValue(TDateTime value) {
  std::int64_t d = 0, ms = 0;
  SplitValue(value, d, ms);
  return static_cast<double>(d + kDateDelta) * kMSecsPerDay + static_cast<double>(ms);
}

TDateTime TimeStampValueToDateTime(double timestamp) {
  double days = std::floor(timestamp / kMSecsPerDay);
  double ms = timestamp - days * kMSecsPerDay;
  double day = days - kDateDelta;
  // Before day 0 the time is added as a positive fraction to a negative day.
  return day >= 0 ? day + ms / kMSecsPerDay : day - ms / kMSecsPerDay;
}

// --- formatting ---------------------------------------------------------------------------

namespace {

bool HasAmPm(const std::string& f, std::size_t from) {
  char quote = 0;
  for (std::size_t i = from; i < f.size(); ++i) {
    char c = f[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    if (StartsWithNoCase(f, i, "am/pm") || StartsWithNoCase(f, i, "a/p") ||
        StartsWithNoCase(f, i, "ampm"))
      return true;
  }
  return false;
}

void FormatInto(std::string& out, const std::string& f, TDateTime value,
                const TFormatSettings& s, int depth) {
  if (depth > 3) return;  // a format that names itself (ddddd inside ShortDateFormat) stops here
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, msec);
  bool lastWasHour = false;
  std::size_t i = 0;
  while (i < f.size()) {
    char c = f[i];
    char u = Upper(c);
    std::size_t run = 1;
    while (i + run < f.size() && Upper(f[i + run]) == u) ++run;
    bool hourToken = false;
    switch (u) {
      case '\'':
      case '"': {
        std::size_t end = f.find(c, i + 1);
        if (end == std::string::npos) end = f.size();
        out.append(f, i + 1, end - i - 1);
        i = end < f.size() ? end + 1 : end;
        continue;
      }
      case 'D':
        if (run == 1) AppendNumber(out, day, 0);
        else if (run == 2) AppendNumber(out, day, 2);
        else if (run == 3) out += s.ShortDayNames[DayOfWeek(value) - 1];
        else if (run == 4) out += s.LongDayNames[DayOfWeek(value) - 1];
        else if (run == 5) FormatInto(out, s.ShortDateFormat, value, s, depth + 1);
        else FormatInto(out, s.LongDateFormat, value, s, depth + 1);
        break;
      case 'M':
        if (lastWasHour && run <= 2) {
          AppendNumber(out, minute, run == 1 ? 0 : 2);
        } else if (run == 1) AppendNumber(out, month, 0);
        else if (run == 2) AppendNumber(out, month, 2);
        else if (run == 3) out += s.ShortMonthNames[month - 1];
        else out += s.LongMonthNames[month - 1];
        break;
      case 'Y':
        if (run <= 2) AppendNumber(out, year % 100, 2);
        else AppendNumber(out, year, 4);
        break;
      case 'H': {
        int h = hour;
        if (HasAmPm(f, i)) {
          h = hour % 12;
          if (h == 0) h = 12;
        }
        AppendNumber(out, h, run == 1 ? 0 : 2);
        hourToken = true;
        break;
      }
      case 'N':
        AppendNumber(out, minute, run == 1 ? 0 : 2);
        break;
      case 'S':
        AppendNumber(out, second, run == 1 ? 0 : 2);
        break;
      case 'Z':
        AppendNumber(out, msec, run == 1 ? 0 : 3);
        break;
      case 'T':
        FormatInto(out, run == 1 ? s.ShortTimeFormat : s.LongTimeFormat, value, s, depth + 1);
        break;
      case 'C':
        FormatInto(out, s.ShortDateFormat, value, s, depth + 1);
        if (hour || minute || second || msec) {
          out += ' ';
          FormatInto(out, s.LongTimeFormat, value, s, depth + 1);
        }
        break;
      case 'A':
        run = 1;
        if (StartsWithNoCase(f, i, "ampm")) {
          out += hour < 12 ? s.TimeAMString : s.TimePMString;
          run = 4;
        } else if (StartsWithNoCase(f, i, "am/pm")) {
          // The case of the format's letters carries over: "am/pm", "AM/PM".
          std::size_t at = hour < 12 ? i : i + 3;
          out.append(f, at, 2);
          run = 5;
        } else if (StartsWithNoCase(f, i, "a/p")) {
          out += hour < 12 ? f[i] : f[i + 2];
          run = 3;
        } else {
          out += c;
        }
        break;
      case '/':
        out += s.DateSeparator;
        i += 1;
        continue;  // separators leave the hour context alone: "h:mm" is hours and minutes
      case ':':
        out += s.TimeSeparator;
        i += 1;
        continue;
      default:
        run = 1;
        out += c;
        i += 1;
        continue;
    }
    lastWasHour = hourToken;
    i += run;
  }
}

}  // namespace

std::string FormatDateTime(const std::string& format, TDateTime value,
                           const TFormatSettings& settings) {
  std::string out;
  if (format.empty()) {
    FormatInto(out, "c", value, settings, 0);
  } else {
    FormatInto(out, format, value, settings, 0);
  }
  return out;
}

std::string FormatDateTime(const std::string& format, TDateTime value) {
  return FormatDateTime(format, value, GetFormatSettings());
}

std::string DateToStr(TDateTime value, const TFormatSettings& settings) {
  return FormatDateTime(settings.ShortDateFormat, value, settings);
}

std::string TimeToStr(TDateTime value, const TFormatSettings& settings) {
  return FormatDateTime(settings.LongTimeFormat, value, settings);
}

std::string DateTimeToStr(TDateTime value, const TFormatSettings& settings) {
  return FormatDateTime("c", value, settings);
}

// --- parsing ------------------------------------------------------------------------------

int ExpandTwoDigitYear(int year, int currentYear, int window) {
  int pivot = currentYear - window;
  int result = year + (pivot / 100) * 100;
  if (window != 0 && result < pivot) result += 100;
  return result;
}

namespace {

struct Scanner {
  const std::string& text;
  std::size_t pos = 0;

  void SkipBlanks() {
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
  bool AtEnd() {
    SkipBlanks();
    return pos >= text.size();
  }
  bool Char(char c) {
    SkipBlanks();
    if (pos < text.size() && text[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  // Reads up to 9 decimal digits; digits counts how many were read.
  bool Number(int& value, int& digits) {
    SkipBlanks();
    value = 0;
    digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (digits == 9) return false;
      value = value * 10 + (text[pos] - '0');
      ++digits;
      ++pos;
    }
    return digits > 0;
  }
  // Matches one of the AM/PM markers; returns 0 none, 1 AM, 2 PM.
  int AmPm(const TFormatSettings& s) {
    SkipBlanks();
    auto match = [&](const std::string& m) {
      if (!m.empty() && StartsWithNoCase(text, pos, m.c_str())) {
        pos += m.size();
        return true;
      }
      return false;
    };
    if (match(s.TimeAMString) || match("AM")) return 1;
    if (match(s.TimePMString) || match("PM")) return 2;
    return 0;
  }
};

enum class DateOrder { MDY, DMY, YMD };

DateOrder OrderOf(const std::string& format) {
  for (char c : format) {
    switch (Upper(c)) {
      case 'D': return DateOrder::DMY;
      case 'Y': return DateOrder::YMD;
      case 'M': return DateOrder::MDY;
      default: break;
    }
  }
  return DateOrder::MDY;
}

bool ScanDate(Scanner& sc, TDateTime& value, const TFormatSettings& s) {
  int n[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int count = 0;
  if (!sc.Number(n[0], digits[0])) return false;
  count = 1;
  while (count < 3 && sc.Char(s.DateSeparator)) {
    if (!sc.Number(n[count], digits[count])) return false;
    ++count;
  }
  if (count < 2) return false;
  int year = 0, month = 0, day = 0, yearDigits = 0;
  DateOrder order = OrderOf(s.ShortDateFormat);
  if (count == 2) {
    // Day and month alone: the current year.
    year = CurrentYear();
    yearDigits = 4;
    if (order == DateOrder::DMY) {
      day = n[0];
      month = n[1];
    } else {
      month = n[0];
      day = n[1];
    }
  } else {
    switch (order) {
      case DateOrder::MDY: month = n[0]; day = n[1]; year = n[2]; yearDigits = digits[2]; break;
      case DateOrder::DMY: day = n[0]; month = n[1]; year = n[2]; yearDigits = digits[2]; break;
      case DateOrder::YMD: year = n[0]; month = n[1]; day = n[2]; yearDigits = digits[0]; break;
    }
  }
  if (yearDigits <= 2) year = ExpandTwoDigitYear(year, CurrentYear(), s.TwoDigitYearCenturyWindow);
  return TryEncodeDate(year, month, day, value);
}

bool ScanTime(Scanner& sc, TDateTime& value, const TFormatSettings& s) {
  int ampm = sc.AmPm(s);
  int hour = 0, minute = 0, second = 0, msec = 0, digits = 0;
  if (!sc.Number(hour, digits)) return false;
  if (!sc.Char(s.TimeSeparator)) return false;
  if (!sc.Number(minute, digits)) return false;
  if (sc.Char(s.TimeSeparator)) {
    if (!sc.Number(second, digits)) return false;
    if (sc.Char(s.DecimalSeparator) || sc.Char('.')) {
      if (!sc.Number(msec, digits)) return false;
    }
  }
  if (ampm == 0) ampm = sc.AmPm(s);
  if (ampm != 0) {
    if (hour < 1 || hour > 12) return false;
    if (ampm == 1 && hour == 12) hour = 0;
    if (ampm == 2 && hour < 12) hour += 12;
  }
  return TryEncodeTime(hour, minute, second, msec, value);
}

}  // namespace

bool TryStrToDate(const std::string& text, TDateTime& value, const TFormatSettings& settings) {
  Scanner sc{text};
  TDateTime v = 0;
  if (!ScanDate(sc, v, settings) || !sc.AtEnd()) return false;
  value = v;
  return true;
}

bool TryStrToTime(const std::string& text, TDateTime& value, const TFormatSettings& settings) {
  Scanner sc{text};
  TDateTime v = 0;
  if (!ScanTime(sc, v, settings) || !sc.AtEnd()) return false;
  value = v;
  return true;
}

bool TryStrToDateTime(const std::string& text, TDateTime& value, const TFormatSettings& settings) {
  Scanner sc{text};
  TDateTime date = 0;
  if (ScanDate(sc, date, settings)) {
    if (sc.AtEnd()) {
      value = date;
      return true;
    }
    TDateTime time = 0;
    if (ScanTime(sc, time, settings) && sc.AtEnd()) {
      value = ComposeDateTime(date, time);
      return true;
    }
    return false;
  }
  return TryStrToTime(text, value, settings);
}

TDateTime StrToDate(const std::string& text, const TFormatSettings& settings) {
  TDateTime v = 0;
  if (!TryStrToDate(text, v, settings)) throw EConvertError("'" + text + "' is not a valid date");
  return v;
}

TDateTime StrToTime(const std::string& text, const TFormatSettings& settings) {
  TDateTime v = 0;
  if (!TryStrToTime(text, v, settings)) throw EConvertError("'" + text + "' is not a valid time");
  return v;
}

TDateTime StrToDateTime(const std::string& text, const TFormatSettings& settings) {
  TDateTime v = 0;
  if (!TryStrToDateTime(text, v, settings))
    throw EConvertError("'" + text + "' is not a valid date and time");
  return v;
}

TDateTime StrToDate(const std::string& text) { return StrToDate(text, GetFormatSettings()); }
TDateTime StrToTime(const std::string& text) { return StrToTime(text, GetFormatSettings()); }
TDateTime StrToDateTime(const std::string& text) {
  return StrToDateTime(text, GetFormatSettings());
}

}  // namespace korvel
