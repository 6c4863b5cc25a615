#include "support/text_forms.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "framework/exceptions.h"
#include "framework/float_text.h"
#include "framework/format_settings.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/number_helpers.h"

namespace korvel {

namespace {

std::string Pad(long long value, int width) {
  std::string s = std::to_string(value);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
  return s;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// An optional sign and decimal digits, nothing else.
bool ParseInt64(const std::string& text, std::int64_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  unsigned long long m = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    if (m > (std::numeric_limits<unsigned long long>::max() - 9) / 10) return false;
    m = m * 10 + static_cast<unsigned>(c - '0');
  }
  if (negative) {
    if (m > 9223372036854775808ULL) return false;
    value = m == 9223372036854775808ULL ? std::numeric_limits<std::int64_t>::min()
                                        : -static_cast<std::int64_t>(m);
  } else {
    if (m > 9223372036854775807ULL) return false;
    value = static_cast<std::int64_t>(m);
  }
  return true;
}

bool ParseInt(const std::string& text, int& value) {
  std::int64_t v = 0;
  if (!ParseInt64(text, v) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    return false;
  value = static_cast<int>(v);
  return true;
}

[[noreturn]] void NotValid(const std::string& text, const char* what) {
  throw EConvertError("'" + text + "' is not a valid " + what);
}

bool TryAnsiDate(const std::string& text, TDateTime& value) {
  std::size_t a = text.find('-');
  if (a == std::string::npos) return false;
  std::size_t b = text.find('-', a + 1);
  if (b == std::string::npos) return false;
  int y = 0, m = 0, d = 0;
  return ParseInt(text.substr(0, a), y) && ParseInt(text.substr(a + 1, b - a - 1), m) &&
         ParseInt(text.substr(b + 1), d) && TryEncodeDate(y, m, d, value);
}

// The text upper-cased and trimmed, without its AM or PM marker; ampm is 1 for AM, 2 for PM,
// 0 without one.
std::string TakeAmPm(const std::string& text, int& ampm) {
  std::string t = Upper(text);
  ampm = 0;
  std::size_t at = t.find("AM");
  if (at != std::string::npos) {
    ampm = 1;
    t.erase(at, 2);
  } else if ((at = t.find("PM")) != std::string::npos) {
    ampm = 2;
    t.erase(at, 2);
  }
  return Trim(t);
}

// The hour of a 12-hour clock on the 24-hour clock.
void ApplyAmPm(int ampm, int& hour) {
  if (ampm == 1 && hour == 12) hour = 0;
  if (ampm == 2 && hour != 12) hour += 12;
}

bool TryAnsiTime(const std::string& text, TDateTime& value) {
  int ampm = 0;
  std::string t = TakeAmPm(text, ampm);
  std::size_t c1 = t.find(':');
  if (c1 == std::string::npos) return false;
  int hour = 0, minute = 0, second = 0, msec = 0;
  if (!ParseInt(t.substr(0, c1), hour)) return false;
  std::string rest = t.substr(c1 + 1);
  std::size_t c2 = rest.find(':');
  if (!ParseInt(rest.substr(0, c2), minute)) return false;
  if (c2 != std::string::npos) {
    std::string sec = rest.substr(c2 + 1);
    std::size_t dot = sec.find('.');
    if (!ParseInt(sec.substr(0, dot), second)) return false;
    if (dot != std::string::npos && !ParseInt(sec.substr(dot + 1), msec)) return false;
  }
  ApplyAmPm(ampm, hour);
  return TryEncodeTime(hour, minute, second, msec, value);
}

bool TryAnsiDateTime(const std::string& text, TDateTime& value) {
  std::string t = Trim(text);
  std::size_t blank = t.find(' ');
  if (blank != std::string::npos) {
    TDateTime d = 0, tm = 0;
    if (!TryAnsiDate(t.substr(0, blank), d) || !TryAnsiTime(t.substr(blank + 1), tm)) return false;
    value = ComposeDateTime(d, tm);
    return true;
  }
  if (t.find(':') != std::string::npos) return TryAnsiTime(t, value);
  return TryAnsiDate(t, value);
}

std::string LocaleNumberText(const std::string& text) {
  std::string t = text;
  char sep = CurrentDecimalSeparator();
  for (char& c : t)
    if (c == '.') c = sep;
  return t;
}

// The letters of a format in the order of their first appearance, AM/PM markers skipped.
std::string LetterOrder(const std::string& format, const char* letters, char& separator) {
  std::string order;
  separator = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = UpperChar(format[i]);
    if (c == 'A') {
      std::string u = Upper(format.substr(i, 5));
      if (u.rfind("AM/PM", 0) == 0) i += 4;
      else if (u.rfind("AMPM", 0) == 0) i += 3;
      else if (u.rfind("A/P", 0) == 0) i += 2;
      continue;
    }
    if (c == 'N') c = 'M';
    if (IsLetter(c)) {
      if (std::strchr(letters, c) && order.find(c) == std::string::npos) order += c;
    } else if (c != ' ' && separator == 0) {
      separator = format[i];
    }
  }
  return order;
}

// The characters a text may be cut at for a format's separator: the separator itself and, for
// "/" and ":", which the formatter writes as the settings' date and time separators, those too.
std::string SeparatorsOf(char sep, char formatted, char settingsSeparator) {
  std::string seps;
  if (sep) seps += sep;
  if (sep == formatted && settingsSeparator != sep) seps += settingsSeparator;
  return seps;
}

bool TryFormatDate(const std::string& text, const std::string& format, TDateTime& value) {
  char sep = 0;
  std::string order = LetterOrder(format, "DMY", sep);
  if (order.empty()) return false;
  const std::string seps = SeparatorsOf(sep, '/', CurrentDateSeparator());
  std::string parts[3];
  int count = 0;
  std::string rest = text;
  while (count < 3) {
    std::size_t p = (!seps.empty() && count < 2) ? rest.find_first_of(seps) : std::string::npos;
    parts[count++] = Trim(rest.substr(0, p));
    if (p == std::string::npos) break;
    rest.erase(0, p + 1);
  }
  if (count < static_cast<int>(order.size())) return false;
  int year = CurrentYear(), month = 1, day = 1;
  for (std::size_t i = 0; i < order.size(); ++i) {
    int v = 0;
    if (!ParseInt(parts[i], v)) return false;
    switch (order[i]) {
      case 'D': day = v; break;
      case 'M': month = v; break;
      default:
        year = v;
        if (parts[i].size() <= 2)
          year = ExpandTwoDigitYear(v, CurrentYear(), CurrentTwoDigitYearCenturyWindow());
        break;
    }
  }
  return TryEncodeDate(year, month, day, value);
}

bool TryFormatTime(const std::string& text, const std::string& format, TDateTime& value) {
  char sep = 0;
  std::string order = LetterOrder(format, "HMSZ", sep);
  if (order.empty() || order[0] == 0) return false;
  int ampm = 0;
  std::string t = TakeAmPm(text, ampm);
  const std::string seps = SeparatorsOf(sep, ':', CurrentTimeSeparator()) + '.';
  int fields[4] = {0, 0, 0, 0};  // H M S Z
  std::size_t part = 0;
  std::size_t start = 0;
  bool hourSeen = false;
  for (std::size_t i = 0; i <= t.size(); ++i) {
    bool cut = i == t.size() || seps.find(t[i]) != std::string::npos;
    if (!cut) continue;
    if (part >= order.size()) return false;
    int v = 0;
    if (!ParseInt(Trim(t.substr(start, i - start)), v)) return false;
    const char* roles = "HMSZ";
    int role = static_cast<int>(std::strchr(roles, order[part]) - roles);
    fields[role] = v;
    if (role == 0) hourSeen = true;
    ++part;
    start = i + 1;
  }
  if (!hourSeen) return false;
  int hour = fields[0];
  ApplyAmPm(ampm, hour);
  return TryEncodeTime(hour, fields[1], fields[2], fields[3], value);
}

bool TryFormatDateTime(const std::string& text, const std::string& dateFormat,
                       const std::string& timeFormat, TDateTime& value) {
  if (dateFormat.empty() || timeFormat.empty()) return false;
  std::string t = Trim(text);
  std::size_t blank = t.find(' ');
  if (blank == std::string::npos) return false;
  TDateTime d = 0, tm = 0;
  if (!TryFormatDate(t.substr(0, blank), dateFormat, d) ||
      !TryFormatTime(t.substr(blank + 1), timeFormat, tm))
    return false;
  value = ComposeDateTime(d, tm);
  return true;
}

std::string BufferText(const unsigned char* buffer) {
  const char* p = reinterpret_cast<const char*>(buffer);
  std::size_t n = 0;
  while (n < kValueBufferSize - 1 && p[n] != 0) ++n;
  return std::string(p, n);
}

void StoreText(unsigned char* buffer, const std::string& text) {
  std::memset(buffer, 0, kValueBufferSize);
  std::memcpy(buffer, text.data(), std::min(text.size(), kValueBufferSize - 1));
}

void StoreDateTime(unsigned char* buffer, std::uint8_t dataType, TDateTime value) {
  std::memset(buffer, 0, 8);
  if (dataType == dtDate) PutI32(buffer, 0, DateTimeToDayNumber(value));
  else if (dataType == dtTime) PutI32(buffer, 0, DateTimeToTimeMSecs(value));
  else PutF64(buffer, 0, DateTimeToTimeStampValue(value));
}

bool IsDateTimeType(std::uint8_t t) { return t == dtDate || t == dtTime || t == dtTimeStamp; }

}  // namespace

// --- ANSI forms ---------------------------------------------------------------------------

std::string AnsiDateToStr(TDateTime value) {
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  std::string out = Pad(y, 4);
  out += '-';
  out += Pad(m, 2);
  out += '-';
  out += Pad(d, 2);
  return out;
}

std::string AnsiTimeToStr(TDateTime value, bool use24Hour) {
  int h = 0, n = 0, s = 0, ms = 0;
  DecodeTime(value, h, n, s, ms);
  int shown = h;
  if (!use24Hour) {
    shown = h % 12;
    if (shown == 0) shown = 12;
  }
  std::string out = Pad(shown, 2);
  out += ':';
  out += Pad(n, 2);
  if (s != 0) {
    out += ':';
    out += Pad(s, 2);
    if (ms != 0) {
      out += '.';
      out += std::to_string(ms);
    }
  }
  if (!use24Hour) out += h >= 12 ? " PM" : " AM";
  return out;
}

std::string AnsiDateTimeToStr(TDateTime value, bool use24Hour) {
  return AnsiDateToStr(value) + " " + AnsiTimeToStr(value, use24Hour);
}

std::string AnsiBooleanToStr(bool value) { return value ? "True" : "False"; }

std::string AnsiFloatToStr(double value) { return FloatToStr(value, '.'); }

std::string AnsiCurrToStr(Currency value) { return CurrToStr(value, '.'); }

TDateTime StrToAnsiDate(const std::string& text) {
  TDateTime v = 0;
  if (!TryAnsiDate(text, v)) NotValid(text, "date");
  return v;
}

TDateTime StrToAnsiTime(const std::string& text) {
  TDateTime v = 0;
  if (!TryAnsiTime(text, v)) NotValid(text, "time");
  return v;
}

TDateTime StrToAnsiDateTime(const std::string& text) {
  TDateTime v = 0;
  if (!TryAnsiDateTime(text, v)) NotValid(text, "date and time");
  return v;
}

bool TryStrToAnsiDate(const std::string& text, TDateTime& value) { return TryAnsiDate(text, value); }
bool TryStrToAnsiTime(const std::string& text, TDateTime& value) { return TryAnsiTime(text, value); }
bool TryStrToAnsiDateTime(const std::string& text, TDateTime& value) {
  return TryAnsiDateTime(text, value);
}

bool StrToAnsiBoolean(const std::string& text) {
  std::string u = Upper(text);
  if (u == "TRUE") return true;
  if (u == "FALSE") return false;
  NotValid(text, "boolean");
}

double StrToAnsiFloat(const std::string& text) { return StrToFloatLocale(LocaleNumberText(text)); }

Currency StrToAnsiCurr(const std::string& text) {
  return StrToCurr(LocaleNumberText(text), CurrentDecimalSeparator());
}

// --- validators ---------------------------------------------------------------------------

bool IsABoolean(const std::string& text) {
  std::string u = Upper(text);
  return u == "TRUE" || u == "FALSE";
}

bool IsAFloat(const std::string& text) {
  double v = 0;
  return TryStrToFloat(LocaleNumberText(text), v, CurrentDecimalSeparator());
}

bool IsABCD(const std::string& text) {
  Currency c;
  return TryStrToCurr(LocaleNumberText(text), c, CurrentDecimalSeparator());
}

bool IsADate(const std::string& text) {
  TDateTime v = 0;
  return TryAnsiDate(text, v);
}

bool IsATime(const std::string& text) {
  TDateTime v = 0;
  return TryAnsiTime(text, v);
}

bool IsADateTime(const std::string& text) {
  TDateTime v = 0;
  return TryAnsiDateTime(text, v);
}

bool IsADateNonAnsi(const std::string& text) {
  TDateTime v = 0;
  return TryStrToDate(text, v, GetFormatSettings());
}

bool IsATimeNonAnsi(const std::string& text) {
  TDateTime v = 0;
  return TryStrToTime(text, v, GetFormatSettings());
}

bool IsADateTimeNonAnsi(const std::string& text) {
  TDateTime v = 0;
  return TryStrToDateTime(text, v, GetFormatSettings());
}

bool IsAnInteger(const std::string& text) {
  int v = 0;
  return ParseInt(text, v);
}

bool IsALargeInt(const std::string& text) {
  std::int64_t v = 0;
  return ParseInt64(text, v);
}

namespace {
bool InRange(const std::string& text, std::int64_t low, std::int64_t high) {
  std::int64_t v = 0;
  return ParseInt64(text, v) && v >= low && v <= high;
}
}  // namespace

bool IsAByte(const std::string& text) { return InRange(text, 0, 255); }
bool IsAWord(const std::string& text) { return InRange(text, 0, 65535); }
bool IsASmallInt(const std::string& text) { return InRange(text, -32768, 32767); }
bool IsAChar(const std::string& text) { return InRange(text, -127, 127); }

// --- user formats -------------------------------------------------------------------------

TDateTime FormatStrToDate(const std::string& text, const std::string& dateFormat) {
  TDateTime v = 0;
  if (!TryFormatDate(text, dateFormat, v)) NotValid(text, "date");
  return v;
}

TDateTime FormatStrToTime(const std::string& text, const std::string& timeFormat) {
  TDateTime v = 0;
  if (!TryFormatTime(text, timeFormat, v)) NotValid(text, "time");
  return v;
}

TDateTime FormatStrToDateTime(const std::string& text, const std::string& dateFormat,
                              const std::string& timeFormat) {
  TDateTime v = 0;
  if (!TryFormatDateTime(text, dateFormat, timeFormat, v)) NotValid(text, "date and time");
  return v;
}

double FormatStrToFloat(const std::string& text, char decimalSeparator) {
  return StrToFloat(text, decimalSeparator);
}

Currency FormatStrToCurr(const std::string& text, char decimalSeparator) {
  return StrToCurr(text, decimalSeparator);
}

std::string FloatToFormatStr(double value, char decimalSeparator) {
  return FloatToStr(value, decimalSeparator);
}

std::string CurrToFormatStr(Currency value, char decimalSeparator) {
  return CurrToStr(value, decimalSeparator);
}

bool ConvertStringToDateTime(unsigned char* buffer, std::uint8_t dataType) {
  if (!IsDateTimeType(dataType)) return true;
  std::string text = BufferText(buffer);
  TDateTime v = 0;
  bool ok = dataType == dtDate   ? TryAnsiDate(text, v)
            : dataType == dtTime ? TryAnsiTime(text, v)
                                 : TryAnsiDateTime(text, v);
  if (!ok) {
    std::memset(buffer, 0, 8);
    return false;
  }
  StoreDateTime(buffer, dataType, v);
  return true;
}

bool ConvertFormatToDateTime(unsigned char* buffer, std::uint8_t dataType,
                             const std::string& dateFormat, const std::string& timeFormat) {
  if (!IsDateTimeType(dataType)) return true;
  std::string text = BufferText(buffer);
  TDateTime v = 0;
  bool ok = dataType == dtDate   ? TryFormatDate(text, dateFormat, v)
            : dataType == dtTime ? TryFormatTime(text, timeFormat, v)
                                 : TryFormatDateTime(text, dateFormat, timeFormat, v);
  if (!ok) {
    std::memset(buffer, 0, 8);
    return false;
  }
  StoreDateTime(buffer, dataType, v);
  return true;
}

bool ConvertDateTimeToFormat(unsigned char* buffer, std::uint8_t dataType,
                             const std::string& dateFormat, const std::string& timeFormat) {
  if (!IsDateTimeType(dataType)) return true;
  TDateTime v = 0;
  std::string format;
  if (dataType == dtDate) {
    v = DayNumberToDateTime(GetI32(buffer, 0));
    format = dateFormat;
  } else if (dataType == dtTime) {
    std::int32_t ms = GetI32(buffer, 0);
    if (ms < 0 || ms >= kMSecsPerDay) {
      StoreText(buffer, "");
      return false;
    }
    v = TimeMSecsToDateTime(ms);  // on the base day, 30 December 1899
    format = timeFormat;
  } else {
    double ts = GetF64(buffer, 0);
    if (!std::isfinite(ts)) {
      StoreText(buffer, "");
      return false;
    }
    v = TimeStampValueToDateTime(ts);
    format = dateFormat + " " + timeFormat;
  }
  int y = 0, m = 0, d = 0;
  DecodeDate(v, y, m, d);
  if (y < 1 || y > 9999) {
    StoreText(buffer, "");
    return false;
  }
  StoreText(buffer, FormatDateTime(format, v));
  return true;
}

bool ConvertFormatToNumber(unsigned char* buffer, std::uint8_t dataType, char decimalSeparator) {
  if (dataType != dtFloat && dataType != dtBCD) return true;
  std::string text = BufferText(buffer);
  if (dataType == dtFloat) {
    double v = 0;
    bool ok = TryStrToFloat(text, v, decimalSeparator);
    std::memset(buffer, 0, 8);
    if (ok) PutF64(buffer, 0, v);
    return ok;
  }
  Currency c;
  bool ok = TryStrToCurr(text, c, decimalSeparator);
  std::memset(buffer, 0, TBcd::kSize);
  if (ok) CurrToTBCD(c, 4).ToBytes(buffer);
  return ok;
}

bool ConvertNumberToFormat(unsigned char* buffer, std::uint8_t dataType, char decimalSeparator) {
  if (dataType != dtFloat && dataType != dtBCD) return true;
  if (dataType == dtFloat) {
    double v = GetF64(buffer, 0);
    StoreText(buffer, FloatToFormatStr(v, decimalSeparator));
    return true;
  }
  Currency c;
  TBcd bcd = TBcd::FromBytes(buffer);
  if (bcd.Precision != 0 && !BCDToCurr(bcd, c)) {
    StoreText(buffer, "");
    return false;
  }
  StoreText(buffer, CurrToFormatStr(c, decimalSeparator));
  return true;
}

// --- old-format value texts ---------------------------------------------------------------

std::string ConvertExpressionToAnsi(const std::string& text, std::uint8_t dataType) {
  if (text.empty()) return text;
  std::string word = Upper(text);
  TFormatSettings settings = GetFormatSettings();
  TDateTime v = 0;
  switch (dataType) {
    case dtDate:
      if (word == "DATE") return "CURRENT_DATE";
      if (TryStrToDate(text, v, settings)) return AnsiDateToStr(v);
      return text;
    case dtTime:
      if (word == "TIME") return "CURRENT_TIME";
      if (TryStrToTime(text, v, settings)) return AnsiTimeToStr(v, true);
      return text;
    case dtTimeStamp:
      if (word == "DATE") return "CURRENT_DATE";
      if (word == "TIME") return "CURRENT_TIME";
      if (word == "NOW") return "CURRENT_TIMESTAMP";
      if (TryStrToDateTime(text, v, settings) || TryStrToDate(text, v, settings) ||
          TryStrToTime(text, v, settings))
        return AnsiDateTimeToStr(v, true);
      return text;
    case dtFloat: {
      double f = 0;
      if (TryStrToFloat(text, f, settings.DecimalSeparator)) return AnsiFloatToStr(f);
      return text;
    }
    case dtBCD: {
      Currency c;
      if (TryStrToCurr(text, c, settings.DecimalSeparator)) return AnsiCurrToStr(c);
      return text;
    }
    default:
      return text;
  }
}

std::string VersionToStr(std::uint8_t version) {
  static const char* const kVersions[] = {"1.00", "1.02", "1.04", "1.08", "2.00", "3.00"};
  return version < 6 ? kVersions[version] : std::string();
}

}  // namespace korvel
