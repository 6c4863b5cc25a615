#include "expr/expression_evaluator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "expr/expression_checker.h"
#include "expr/expression_types.h"
#include "framework/float_text.h"
#include "support/byte_order.h"
#include "support/data_types.h"
#include "support/errors.h"
#include "support/language.h"
#include "support/number_helpers.h"
#include "support/string_functions.h"
#include "support/text_forms.h"

namespace korvel {

namespace {

constexpr double kMSecsPerDayF = 86400000.0;
constexpr std::int32_t kBaseDay = kDateDelta;  // 30 December 1899, the zero of dates
constexpr double kBaseTimeStamp = kDateDelta * kMSecsPerDayF;

// ---- reading values ------------------------------------------------------------------------

std::uint8_t* Buf(TExpToken& t) { return t.ValueBuffer.get(); }
const std::uint8_t* Buf(const TExpToken& t) { return t.ValueBuffer.get(); }

// The text of a string or memo value; the empty text for NULL.
const char* Str(const TExpToken& t) {
  return t.IsNull ? "" : reinterpret_cast<const char*>(t.ValueBuffer.get());
}
std::size_t StrLen(const TExpToken& t) {
  return t.IsNull ? 0 : strnlen(reinterpret_cast<const char*>(t.ValueBuffer.get()), t.ValueBufferSize);
}
bool IsStr(const TExpToken& t) { return IsStringType(t.DataType, t.SubType); }

// Integer view of the integer-like types (booleans, dates and times by their numbers).
std::int64_t IntOf(const TExpToken& t) {
  const std::uint8_t* b = Buf(t);
  switch (t.DataType) {
    case dtSmallInt: return GetI16(b, 0);
    case dtBoolean:
    case dtWord: return GetU16(b, 0);
    case dtInteger:
    case dtDate:
    case dtTime: return GetI32(b, 0);
    case dtUnsignedInt: return GetU32(b, 0);
    case dtLargeInt: return GetI64(b, 0);
    case dtFloat:
    case dtTimeStamp: {
      const double d = GetF64(b, 0);
      return std::isfinite(d) && std::fabs(d) < 9.2e18 ? static_cast<std::int64_t>(d) : 0;
    }
    default: return 0;
  }
}

TBcd BcdOf(const TExpToken& t) { return TBcd::FromBytes(Buf(t)); }

double FloatOf(const TExpToken& t) {
  switch (t.DataType) {
    case dtFloat:
    case dtTimeStamp: return GetF64(Buf(t), 0);
    case dtBCD: {
      Currency c;
      return BCDToCurr(BcdOf(t), c) ? CurrToDouble(c) : BcdToDouble(BcdOf(t));
    }
    default: return static_cast<double>(IntOf(t));
  }
}

bool CurrOf(const TExpToken& t, Currency& c) {
  switch (t.DataType) {
    case dtBCD: return BCDToCurr(BcdOf(t), c);
    case dtFloat: return TryDoubleToCurr(GetF64(Buf(t), 0), c);
    default: {
      const std::int64_t i = IntOf(t);
      if (i > INT64_MAX / Currency::kScale || i < INT64_MIN / Currency::kScale) return false;
      c = Currency::FromInt(i);
      return true;
    }
  }
}

bool Truth(const TExpToken& t) { return !t.IsNull && GetU16(Buf(t), 0) != 0; }

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Day number and milliseconds of the day of a timestamp value (one that ValidTimeStamp
// accepts; far outside the calendar the day does not fit 64 bits).
std::int64_t TimeStampDays(double ts) { return static_cast<std::int64_t>(std::floor(ts / kMSecsPerDayF)); }
double TimeStampTimeOfDay(double ts) { return ts - static_cast<double>(TimeStampDays(ts)) * kMSecsPerDayF; }

// Dates and timestamps lie in years 1 to 9999 and times within one day; a result outside is an
// overflow (NULL), as is a float result that is not a finite number.
bool InCalendar(std::int64_t day) { return day >= kFirstDayNumber && day <= kLastDayNumber; }
bool ValidTime(std::int64_t ms) { return ms >= 0 && ms < kMSecsPerDay; }
bool ValidTimeStamp(double ts) {
  return ts >= static_cast<double>(kFirstDayNumber) * kMSecsPerDayF &&
         ts < (static_cast<double>(kLastDayNumber) + 1) * kMSecsPerDayF;  // false for NaN
}

// ---- writing values ------------------------------------------------------------------------

void SetNull(TExpToken& t) {
  t.IsNull = 1;
  const std::size_t n = std::min<std::size_t>(std::max(t.DataSize, 8), t.ValueBufferSize);
  std::memset(Buf(t), 0, n);
}

void SetBoolean(TExpToken& t, bool value) {
  t.IsNull = 0;
  PutU16(Buf(t), 0, value ? 1 : 0);
}

// Makes t ready for text of length n (plus the terminator): DataSize grows, never shrinks
// below the checked size.
char* TextRoom(TExpToken& t, std::size_t n) {
  if (static_cast<std::size_t>(std::max(t.DataSize, 0)) < n + 1) t.SetDataSize(static_cast<std::int32_t>(n + 1));
  t.ResizeValueBuffer(n + 1);
  return reinterpret_cast<char*>(Buf(t));
}

// Stores a text; an empty text is NULL, as everywhere in the engine.
void SetText(TExpToken& t, const char* text, std::size_t n) {
  char* p = TextRoom(t, n);
  std::memmove(p, text, n);
  p[n] = 0;
  t.IsNull = n == 0 ? 1 : 0;
}

bool FitsInt32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

void SetFloat(TExpToken& t, double v);

// Integer results of the result's width; a value that does not fit is NULL.
void SetInteger(TExpToken& t, std::int64_t v) {
  t.IsNull = 0;
  switch (t.DataType) {
    case dtSmallInt:
      if (v < INT16_MIN || v > INT16_MAX) return SetNull(t);
      PutI16(Buf(t), 0, static_cast<std::int16_t>(v));
      return;
    case dtWord:
      if (v < 0 || v > UINT16_MAX) return SetNull(t);
      PutU16(Buf(t), 0, static_cast<std::uint16_t>(v));
      return;
    case dtDate:
      if (!InCalendar(v)) return SetNull(t);
      PutI32(Buf(t), 0, static_cast<std::int32_t>(v));
      return;
    case dtTime:
      if (!ValidTime(v)) return SetNull(t);
      PutI32(Buf(t), 0, static_cast<std::int32_t>(v));
      return;
    case dtInteger:
      if (!FitsInt32(v)) return SetNull(t);
      PutI32(Buf(t), 0, static_cast<std::int32_t>(v));
      return;
    case dtLargeInt:
      PutI64(Buf(t), 0, v);
      return;
    case dtFloat:
    case dtTimeStamp:
      return SetFloat(t, static_cast<double>(v));
    default:
      SetNull(t);
  }
}

// Float and timestamp results (by t's type).
void SetFloat(TExpToken& t, double v) {
  if (!std::isfinite(v) || (t.DataType == dtTimeStamp && !ValidTimeStamp(v))) return SetNull(t);
  t.IsNull = 0;
  PutF64(Buf(t), 0, v);
}

// BCD values keep at most four decimals: the engine computes them through currency.
int BcdPlaces(std::uint8_t decimals) { return std::min<int>(decimals, 4); }

void SetCurrencyAsBcd(TExpToken& t, Currency c) {
  TBcd bcd;
  if (!CurrToBCD(c, bcd, 32, BcdPlaces(t.Decimals))) return SetNull(t);
  t.IsNull = 0;
  bcd.ToBytes(Buf(t));
}

// A BCD value rounded once to t's decimals.
void SetBcd(TExpToken& t, const TBcd& value) {
  TBcd bcd;
  if (!RoundBcd(value, BcdPlaces(t.Decimals), bcd)) return SetNull(t);
  t.IsNull = 0;
  bcd.ToBytes(Buf(t));
}

// num / den rounded to an integer, halves away from zero.
__int128 RoundedQuotient(__int128 num, __int128 den) {
  __int128 q = num / den;
  const __int128 rest = num % den;
  if (rest != 0 && 2 * (rest < 0 ? -rest : rest) >= (den < 0 ? -den : den)) q += ((num < 0) != (den < 0)) ? -1 : 1;
  return q;
}

__int128 PowerOfTen(int n) {
  __int128 p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

// A result token shaped like node: same type, subtype, size and decimals, not NULL.
void Begin(TExpToken& out, const TExpToken& node) {
  out.NodeClass = enCONST;
  out.Operator = eoCONST;
  out.IsNull = 0;
  out.IsParameter = 0;
  out.DataType = node.DataType;
  out.SubType = node.SubType;
  out.Decimals = node.Decimals;
  const std::int32_t fixed = FixedTypeSize(node.DataType);
  const std::int32_t size = fixed != 0 && node.DataType != dtBlob ? fixed : std::max(node.DataSize, 0);
  if (out.DataSize != size) out.SetDataSize(size);
  if (out.ValueBufferSize < 34) out.ResizeValueBuffer(34);  // room for any fixed-size value
}

// A value copied as it is (type, size and bytes).
void CopyValue(TExpToken& out, const TExpToken& v) {
  out.DataType = v.DataType;
  out.SubType = v.SubType;
  out.Decimals = v.Decimals;
  out.SetDataSize(std::max(v.DataSize, 0));
  const std::size_t n = IsStr(v) ? StrLen(v) + 1 : static_cast<std::size_t>(std::max(v.DataSize, 0));
  out.ResizeValueBuffer(std::min<std::size_t>(n, v.ValueBufferSize));
  std::memcpy(Buf(out), Buf(v), std::min<std::size_t>(n, v.ValueBufferSize));
  out.IsNull = v.IsNull;
}

// ---- comparison ----------------------------------------------------------------------------

// What CompareValues gives for a pair without an order (a NaN on either side): equal to
// nothing, greater and smaller than nothing.
constexpr int kUnordered = std::numeric_limits<int>::min();

int Sign(std::int64_t a, std::int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
int SignF(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return kUnordered;
  return a < b ? -1 : (a > b ? 1 : 0);
}

// Orders two non-NULL values of comparable types (as the checker allows them): -1, 0, 1, or
// kUnordered.
int CompareValues(const TExpToken& l, const TExpToken& r, std::uint16_t sortId, std::uint16_t languageId) {
  if (IsStr(l) || IsStr(r)) return OSCompareStrings(languageId, sortId, Str(l), false, 0, Str(r));
  const std::uint8_t lt = l.DataType, rt = r.DataType;
  if (lt == dtBoolean || rt == dtBoolean) return Sign(Truth(l) ? 1 : 0, Truth(r) ? 1 : 0);
  if (lt == dtBytes || lt == dtVarBytes || rt == dtBytes || rt == dtVarBytes) {
    const std::size_t ln = static_cast<std::size_t>(std::max(l.DataSize, 0));
    const std::size_t rn = static_cast<std::size_t>(std::max(r.DataSize, 0));
    const int c = CompareBytes(Buf(l), Buf(r), std::min(ln, rn), false);
    return c != 0 ? c : Sign(static_cast<std::int64_t>(ln), static_cast<std::int64_t>(rn));
  }
  if (lt == dtTimeStamp || rt == dtTimeStamp) {
    auto stamp = [](const TExpToken& t) {
      return t.DataType == dtDate ? static_cast<double>(IntOf(t)) * kMSecsPerDayF : FloatOf(t);
    };
    return SignF(stamp(l), stamp(r));
  }
  if (lt == dtFloat || rt == dtFloat) return SignF(FloatOf(l), FloatOf(r));
  if (lt == dtBCD || rt == dtBCD) {
    Currency a, b;
    if (CurrOf(l, a) && CurrOf(r, b)) return Sign(a.Raw, b.Raw);
    return SignF(FloatOf(l), FloatOf(r));
  }
  return Sign(IntOf(l), IntOf(r));
}

// ---- arithmetic ----------------------------------------------------------------------------

void Arithmetic(TExpOperator op, const TExpToken& l, const TExpToken& r, TExpToken& out) {
  if (op == eoADD && IsStr(out)) {
    // Concatenation: NULL texts act as empty.
    const std::size_t ln = StrLen(l), rn = StrLen(r);
    char* p = TextRoom(out, ln + rn);
    std::memmove(p, Str(l), ln);
    std::memmove(p + ln, Str(r), rn);
    p[ln + rn] = 0;
    out.IsNull = ln + rn == 0 ? 1 : 0;
    return;
  }
  if (l.IsNull || r.IsNull || l.DataType == 0 || r.DataType == 0) return SetNull(out);
  const std::uint8_t lt = l.DataType, rt = r.DataType;
  switch (out.DataType) {
    case dtFloat: {
      double a = FloatOf(l), b = FloatOf(r);
      switch (op) {
        case eoADD: return SetFloat(out, a + b);
        case eoSUB: return SetFloat(out, a - b);
        case eoMUL: return SetFloat(out, a * b);
        case eoDIV: return b == 0 ? SetNull(out) : SetFloat(out, a / b);
        default: return SetNull(out);
      }
    }
    case dtBCD: {
      // The exact result, scaled to the result's decimals and rounded once; it must fit the
      // currency range.
      Currency a, b;
      if (!CurrOf(l, a) || !CurrOf(r, b)) return SetNull(out);
      const int places = BcdPlaces(out.Decimals);
      const __int128 x = a.Raw, y = b.Raw;
      __int128 num = 0, den = 1;
      switch (op) {
        case eoADD: num = x + y; den = PowerOfTen(4 - places); break;
        case eoSUB: num = x - y; den = PowerOfTen(4 - places); break;
        case eoMUL: num = x * y; den = PowerOfTen(8 - places); break;  // |x * y| < 2^126
        case eoDIV:
          if (y == 0) return SetNull(out);
          num = x * PowerOfTen(places);
          den = y;
          break;
        default: return SetNull(out);
      }
      const __int128 raw = RoundedQuotient(num, den) * PowerOfTen(4 - places);
      if (raw > INT64_MAX || raw < INT64_MIN) return SetNull(out);
      return SetCurrencyAsBcd(out, Currency::FromRaw(static_cast<std::int64_t>(raw)));
    }
    case dtTimeStamp: {
      // timestamp +- days, or days + timestamp
      const bool leftStamp = lt == dtTimeStamp;
      const double stamp = FloatOf(leftStamp ? l : r);
      if (!ValidTimeStamp(stamp)) return SetNull(out);
      const double days = static_cast<double>(IntOf(leftStamp ? r : l));
      if (op == eoADD) return SetFloat(out, stamp + days * kMSecsPerDayF);
      if (op == eoSUB && leftStamp) return SetFloat(out, stamp - days * kMSecsPerDayF);
      return SetNull(out);
    }
    default:
      break;
  }
  // Integer results: integers, dates and times by their numbers; large integers in 64 bits.
  std::int64_t a = IntOf(l), b = IntOf(r);
  if (lt == dtTimeStamp) {
    const double stamp = FloatOf(l);
    if (!ValidTimeStamp(stamp)) return SetNull(out);
    if (rt == dtDate) a = TimeStampDays(stamp);
    else a = static_cast<std::int64_t>(TimeStampTimeOfDay(stamp));
  }
  std::int64_t v = 0;
  bool overflow = false;
  switch (op) {
    case eoADD: overflow = __builtin_add_overflow(a, b, &v); break;
    case eoSUB: overflow = __builtin_sub_overflow(a, b, &v); break;
    case eoMUL: overflow = __builtin_mul_overflow(a, b, &v); break;
    default: overflow = true;
  }
  if (overflow) return SetNull(out);
  SetInteger(out, v);
}

// ---- conversion ----------------------------------------------------------------------------

std::string_view TextView(const std::uint8_t* p, std::size_t capacity) {
  const char* s = reinterpret_cast<const char*>(p);
  return std::string_view(s, strnlen(s, capacity));
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool ParseInt64(std::string_view s, std::int64_t& v) {
  s = TrimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && ptr == s.data() + s.size() && !s.empty();
}

// The low bits of a double's integer part, as a truncating conversion keeps them.
std::int64_t TruncateToInt64(double d) {
  if (!std::isfinite(d)) return 0;
  d = std::trunc(d);
  if (std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
  const double m = std::fmod(d, 18446744073709551616.0);
  const double u = m < 0 ? m + 18446744073709551616.0 : m;
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(u));
}

// One source value in the forms the targets are made from.
struct TSource {
  std::uint8_t type;
  const std::uint8_t* bytes;
  std::size_t capacity;   // readable bytes
  std::size_t size;       // meaningful bytes (bytes types)
  bool IsText() const { return type == dtString || type == dtBlob; }
  std::int64_t Int() const {
    switch (type) {
      case dtSmallInt: return GetI16(bytes, 0);
      case dtBoolean:
      case dtWord: return GetU16(bytes, 0);
      case dtInteger:
      case dtDate:
      case dtTime: return GetI32(bytes, 0);
      case dtUnsignedInt: return GetU32(bytes, 0);
      case dtLargeInt: return GetI64(bytes, 0);
      case dtFloat:
      case dtTimeStamp: return TruncateToInt64(GetF64(bytes, 0));
      case dtBCD: {
        Currency c;
        return BCDToCurr(TBcd::FromBytes(bytes), c) ? c.Raw / Currency::kScale
                                                    : TruncateToInt64(BcdToDouble(TBcd::FromBytes(bytes)));
      }
      default: return 0;
    }
  }
  double Float() const {
    switch (type) {
      case dtFloat:
      case dtTimeStamp: return GetF64(bytes, 0);
      case dtBCD: {
        Currency c;
        return BCDToCurr(TBcd::FromBytes(bytes), c) ? CurrToDouble(c) : BcdToDouble(TBcd::FromBytes(bytes));
      }
      default: return static_cast<double>(Int());
    }
  }
};

void PutText(std::uint8_t* dst, std::size_t capacity, std::int32_t targetSize, std::string_view text) {
  std::size_t n = text.size();
  if (targetSize > 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(targetSize) - 1);
  n = std::min(n, capacity - 1);
  std::memmove(dst, text.data(), n);
  std::memset(dst + n, 0, std::min<std::size_t>(capacity - n, targetSize > 0 ? targetSize - n : 1));
}

// The text form of a non-text source.
std::string SourceText(const TSource& s, std::uint8_t decimals) {
  (void)decimals;
  switch (s.type) {
    case dtDate: return AnsiDateToStr(DayNumberToDateTime(GetI32(s.bytes, 0)));
    case dtTime: return AnsiTimeToStr(TimeMSecsToDateTime(GetI32(s.bytes, 0)), true);
    case dtTimeStamp: return AnsiDateTimeToStr(TimeStampValueToDateTime(GetF64(s.bytes, 0)), true);
    case dtBoolean: return AnsiBooleanToStr(GetU16(s.bytes, 0) != 0);
    case dtFloat: return AnsiFloatToStr(GetF64(s.bytes, 0));
    case dtBCD: {
      Currency c;
      const TBcd bcd = TBcd::FromBytes(s.bytes);
      return BCDToCurr(bcd, c) ? AnsiCurrToStr(c) : BcdToStr(bcd);
    }
    case dtBytes:
    case dtVarBytes:
      return std::string(reinterpret_cast<const char*>(s.bytes), std::min(s.size, s.capacity));
    default: return std::to_string(s.Int());
  }
}

// How a conversion ended: done, a text that does not read as the target type (its zero value
// is stored), or a value outside the target's range or the calendar (NULL).
enum class TConversion { Done, Unreadable, Overflow };

// Whether a non-text source holds a value the engine can convert: a finite float, a date or
// timestamp within the calendar, a time within a day.
bool SourceInRange(const TSource& s) {
  switch (s.type) {
    case dtFloat: return std::isfinite(GetF64(s.bytes, 0));
    case dtDate: return InCalendar(GetI32(s.bytes, 0));
    case dtTime: return ValidTime(GetI32(s.bytes, 0));
    case dtTimeStamp: return ValidTimeStamp(GetF64(s.bytes, 0));
    default: return true;
  }
}

// The zero value of a fixed-size target: 0, false, midnight, 30 December 1899.
void StoreZero(std::uint8_t targetType, std::uint8_t* dst, std::size_t capacity) {
  std::memset(dst, 0, std::min<std::size_t>(capacity, TBcd::kSize));
  if (targetType == dtDate) PutI32(dst, 0, kBaseDay);
  if (targetType == dtTimeStamp) PutF64(dst, 0, kBaseTimeStamp);
}

// The range of an integer target, for texts: a text outside it does not read as that type.
bool FitsIntegerTarget(std::uint8_t targetType, std::int64_t v) {
  switch (targetType) {
    case dtSmallInt: return v >= INT16_MIN && v <= INT16_MAX;
    case dtWord: return v >= 0 && v <= UINT16_MAX;
    case dtInteger: return FitsInt32(v);
    case dtUnsignedInt: return v >= 0 && v <= UINT32_MAX;
    default: return true;
  }
}

TConversion ConvertToBcd(const TSource& s, std::string_view text, std::uint8_t targetDecimals, std::uint8_t* dst) {
  const int places = BcdPlaces(targetDecimals);
  TBcd bcd;
  TConversion result = TConversion::Done;
  if (s.IsText()) {
    if (!TryStrToBcd(std::string(TrimBlanks(text)), bcd, 32, places)) result = TConversion::Unreadable;
  } else if (s.type == dtFloat || s.type == dtTimeStamp) {
    if (!DoubleToBcd(GetF64(s.bytes, 0), bcd, 32, places)) result = TConversion::Overflow;
  } else if (s.type == dtBCD) {
    if (!RoundBcd(TBcd::FromBytes(s.bytes), places, bcd)) result = TConversion::Overflow;
  } else if (!Int64ToBCD(s.Int(), bcd, 32, places)) {
    result = TConversion::Overflow;
  }
  if (result != TConversion::Done) bcd = TBcd{};
  bcd.ToBytes(dst);
  return result;
}

// Converts s into the target type at dst (capacity bytes).
TConversion ConvertNative(const TSource& s, std::uint8_t sourceDecimals, std::uint8_t targetType,
                          std::int32_t targetSize, std::uint8_t targetDecimals, std::uint8_t* dst,
                          std::size_t capacity) {
  const std::string_view text = s.IsText() ? TextView(s.bytes, s.capacity) : std::string_view();
  const bool rawBytes = s.type == dtBytes || s.type == dtVarBytes;
  const bool fixedTarget = targetType != dtString && targetType != dtBlob && targetType != dtBytes &&
                           targetType != dtVarBytes;
  if (!s.IsText() && !rawBytes && !SourceInRange(s)) {
    if (fixedTarget) StoreZero(targetType, dst, capacity);
    else PutText(dst, capacity, targetSize, "");
    return TConversion::Overflow;
  }
  switch (targetType) {
    case dtString:
    case dtBlob:
      if (s.IsText()) PutText(dst, capacity, targetSize, text);
      else PutText(dst, capacity, targetSize, SourceText(s, sourceDecimals));
      return TConversion::Done;
    case dtBytes:
    case dtVarBytes: {
      const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(std::max(targetSize, 0)), capacity);
      std::memset(dst, 0, n);
      if (s.IsText()) std::memcpy(dst, text.data(), std::min(n, text.size()));
      else std::memcpy(dst, s.bytes, std::min({n, s.size, s.capacity}));
      return TConversion::Done;
    }
    default:
      break;
  }
  const std::size_t fixed = static_cast<std::size_t>(FixedTypeSize(targetType));
  if (rawBytes) {
    // Bytes become the target's native value as they are.
    std::memset(dst, 0, std::min(fixed, capacity));
    std::memcpy(dst, s.bytes, std::min({fixed, s.size, s.capacity}));
    return TConversion::Done;
  }
  if (s.type == targetType && targetType != dtBCD) {
    std::memmove(dst, s.bytes, std::min(fixed, capacity));
    return TConversion::Done;
  }
  auto unreadable = [&] {
    StoreZero(targetType, dst, capacity);
    return TConversion::Unreadable;
  };
  auto overflow = [&] {
    StoreZero(targetType, dst, capacity);
    return TConversion::Overflow;
  };
  switch (targetType) {
    case dtDate: {
      std::int64_t day = kBaseDay;
      if (s.IsText()) {
        TDateTime v = 0;
        if (!TryStrToAnsiDate(std::string(text), v)) return unreadable();
        day = DateTimeToDayNumber(v);
      } else if (s.type == dtTimeStamp) {
        day = TimeStampDays(GetF64(s.bytes, 0));
      } else if (s.type != dtTime) {
        day = s.Int();
      }
      if (!InCalendar(day)) return overflow();
      PutI32(dst, 0, static_cast<std::int32_t>(day));
      return TConversion::Done;
    }
    case dtTime: {
      std::int64_t ms = 0;
      if (s.IsText()) {
        TDateTime v = 0;
        if (!TryStrToAnsiTime(std::string(text), v)) return unreadable();
        ms = DateTimeToTimeMSecs(v);
      } else if (s.type == dtTimeStamp) {
        ms = static_cast<std::int64_t>(TimeStampTimeOfDay(GetF64(s.bytes, 0)));
      } else if (s.type != dtDate) {
        ms = s.Int();
      }
      if (!ValidTime(ms)) return overflow();
      PutI32(dst, 0, static_cast<std::int32_t>(ms));
      return TConversion::Done;
    }
    case dtTimeStamp: {
      double ts = kBaseTimeStamp;
      if (s.IsText()) {
        TDateTime v = 0;
        if (!TryStrToAnsiDateTime(std::string(text), v)) return unreadable();
        ts = DateTimeToTimeStampValue(v);
      } else if (s.type == dtDate) {
        ts = static_cast<double>(GetI32(s.bytes, 0)) * kMSecsPerDayF;
      } else if (s.type == dtTime) {
        ts = kBaseTimeStamp + GetI32(s.bytes, 0);
      } else {
        ts = s.Float();
      }
      if (!ValidTimeStamp(ts)) return overflow();
      PutF64(dst, 0, ts);
      return TConversion::Done;
    }
    case dtBoolean: {
      bool b = false;
      if (s.IsText()) {
        const std::string_view t = TrimBlanks(text);
        auto same = [&](const char* w) {
          const std::size_t n = std::strlen(w);
          if (t.size() != n) return false;
          for (std::size_t i = 0; i < n; ++i) {
            if (std::toupper(static_cast<unsigned char>(t[i])) != w[i]) return false;
          }
          return true;
        };
        b = same("TRUE");
        if (!b && !same("FALSE")) return unreadable();
      } else if (s.type == dtFloat || s.type == dtBCD) {
        b = s.Float() != 0;
      } else {
        b = s.Int() != 0;
      }
      PutU16(dst, 0, b ? 1 : 0);
      return TConversion::Done;
    }
    case dtFloat: {
      double d = 0;
      if (s.IsText()) {
        if (!TryStrToFloat(std::string(TrimBlanks(text)), d, '.')) return unreadable();
        if (!std::isfinite(d)) return overflow();  // "NAN", "INF"
      } else {
        d = s.Float();
      }
      PutF64(dst, 0, d);
      return TConversion::Done;
    }
    case dtBCD:
      return ConvertToBcd(s, text, targetDecimals, dst);
    default: {
      // Integer types: read as 64 bits, keep the target width's low bits (a text must read as
      // a number of the target's range).
      std::int64_t v = 0;
      if (s.IsText()) {
        if (!ParseInt64(text, v) || !FitsIntegerTarget(targetType, v)) return unreadable();
      } else if (s.type == dtFloat || s.type == dtTimeStamp) {
        v = TruncateToInt64(GetF64(s.bytes, 0));
      } else {
        v = s.Int();
      }
      if (targetType == dtWord && s.type == dtBoolean) v = v != 0;
      switch (targetType) {
        case dtSmallInt: PutI16(dst, 0, static_cast<std::int16_t>(static_cast<std::uint16_t>(v))); break;
        case dtWord: PutU16(dst, 0, static_cast<std::uint16_t>(v)); break;
        case dtInteger: PutI32(dst, 0, static_cast<std::int32_t>(static_cast<std::uint32_t>(v))); break;
        case dtUnsignedInt: PutU32(dst, 0, static_cast<std::uint32_t>(v)); break;
        case dtLargeInt: PutI64(dst, 0, v); break;
        default: std::memset(dst, 0, std::min<std::size_t>(capacity, 8)); break;
      }
      return TConversion::Done;
    }
  }
}

// Converts the value of token v into out, whose type and size are set.
void ConvertInto(TExpToken& out, const TExpToken& v) {
  const bool text = IsStr(v);
  TSource s{text ? dtString : v.DataType, Buf(v), v.ValueBufferSize,
            static_cast<std::size_t>(std::max(v.DataSize, 0))};
  if (out.DataType == dtString || out.DataType == dtBlob) {
    // Room for the longest text form: the checked size, or a value that is all of the source.
    std::size_t need = static_cast<std::size_t>(std::max(out.DataSize, 1));
    out.ResizeValueBuffer(need);
    const TConversion c =
        ConvertNative(s, v.Decimals, dtString, out.DataSize, out.Decimals, Buf(out), out.ValueBufferSize);
    out.IsNull = c == TConversion::Overflow || Buf(out)[0] == 0 ? 1 : 0;
    return;
  }
  out.ResizeValueBuffer(std::max<std::size_t>(34, static_cast<std::size_t>(std::max(out.DataSize, 0))));
  const TConversion c =
      ConvertNative(s, v.Decimals, out.DataType, out.DataSize, out.Decimals, Buf(out), out.ValueBufferSize);
  if (c == TConversion::Overflow) return SetNull(out);
  out.IsNull = 0;
}

// ---- EXTRACT -------------------------------------------------------------------------------

void Extract(TExpOperator op, const TExpToken& v, TExpToken& out) {
  if (v.IsNull) return SetNull(out);
  std::int64_t day = 0;
  std::int64_t ms = 0;
  bool hasDate = true, hasTime = true;
  switch (v.DataType) {
    case dtDate: day = IntOf(v); hasTime = false; break;
    case dtTime: ms = IntOf(v); hasDate = false; break;
    default: {
      const double ts = FloatOf(v);
      if (!ValidTimeStamp(ts)) return SetNull(out);
      day = TimeStampDays(ts);
      ms = static_cast<std::int64_t>(TimeStampTimeOfDay(ts));
    }
  }
  const bool datePart = op == eoEXTRACTYEAR || op == eoEXTRACTMONTH || op == eoEXTRACTDAY ||
                        op == eoEXTRACTWEEK || op == eoEXTRACTDAYOFWEEK || op == eoEXTRACTDAYOFYEAR;
  if (datePart && !hasDate) return SetInteger(out, 0);
  if (!datePart && !hasTime) return SetInteger(out, 0);
  if (datePart) {
    if (!InCalendar(day)) return SetNull(out);
    const TDateTime d = DayNumberToDateTime(static_cast<std::int32_t>(day));
    int y = 0, m = 0, dd = 0;
    DecodeDate(d, y, m, dd);
    switch (op) {
      case eoEXTRACTYEAR: return SetInteger(out, y);
      case eoEXTRACTMONTH: return SetInteger(out, m);
      case eoEXTRACTDAY: return SetInteger(out, dd);
      case eoEXTRACTWEEK: return SetInteger(out, ISOWeekNumber(d));
      case eoEXTRACTDAYOFWEEK: return SetInteger(out, ISODayOfWeek(d));
      default: return SetInteger(out, ISODayOfYear(d));
    }
  }
  // A time counts from midnight and may lie beyond a day (time arithmetic does not wrap).
  const std::int64_t seconds = FloorDiv(ms, 1000);
  switch (op) {
    case eoEXTRACTHOUR: return SetInteger(out, FloorDiv(seconds, 3600));
    case eoEXTRACTMINUTE: return SetInteger(out, FloorDiv(seconds, 60) - FloorDiv(seconds, 3600) * 60);
    default: return SetInteger(out, seconds - FloorDiv(seconds, 60) * 60);
  }
}

}  // namespace

// ---- operators on evaluated operands -----------------------------------------------------

bool CompareTokens(TExpOperator op, const TExpToken& l, const TExpToken& r, std::uint16_t sortId,
                   std::uint16_t languageId) {
  const bool ln = l.IsNull || l.DataType == 0, rn = r.IsNull || r.DataType == 0;
  switch (op) {
    case eoEQ:
      if (ln || rn) return ln && rn;
      return CompareValues(l, r, sortId, languageId) == 0;
    case eoNE:
      if (ln || rn) return !(ln && rn);
      return CompareValues(l, r, sortId, languageId) != 0;
    default:
      break;
  }
  int c = 0;
  if (IsStr(l) || IsStr(r)) {
    c = OSCompareStrings(languageId, sortId, Str(l), false, 0, Str(r));  // NULL reads as ""
  } else if (ln != rn) {
    return false;
  } else if (!ln) {
    c = CompareValues(l, r, sortId, languageId);
    if (c == kUnordered) return false;
  }
  switch (op) {
    case eoGT: return c > 0;
    case eoLT: return c < 0;
    case eoGE: return c >= 0;
    case eoLE: return c <= 0;
    default: return false;
  }
}

void EvaluateUnary(const TExpToken& node, const TExpToken& v, TExpToken& out) {
  switch (node.Operator) {
    case eoNOT: return SetBoolean(out, !Truth(v));
    case eoISBLANK: return SetBoolean(out, v.IsNull != 0);
    case eoNOTBLANK: return SetBoolean(out, v.IsNull == 0);
    case eoPLUS: return CopyValue(out, v);
    case eoMINUS: break;
    default: return SetNull(out);
  }
  if (v.IsNull || v.DataType == 0) return SetNull(out);
  out.DataType = v.DataType;
  out.SubType = v.SubType;
  out.Decimals = v.Decimals;
  switch (v.DataType) {
    case dtFloat:
    case dtTimeStamp: return SetFloat(out, -GetF64(Buf(v), 0));
    case dtBCD: {
      std::memcpy(Buf(out), Buf(v), TBcd::kSize);
      Buf(out)[1] ^= 0x80;
      out.IsNull = 0;
      return;
    }
    case dtLargeInt: {
      const std::int64_t i = IntOf(v);
      if (i == INT64_MIN) return SetNull(out);
      return SetInteger(out, -i);
    }
    default: return SetInteger(out, -IntOf(v));
  }
}

void EvaluateBinary(TExpOperator op, const TExpToken& l, const TExpToken& r, TExpToken& out,
                    std::uint16_t sortId, std::uint16_t languageId) {
  switch (op) {
    case eoEQ:
    case eoNE:
    case eoGT:
    case eoLT:
    case eoGE:
    case eoLE:
      return SetBoolean(out, CompareTokens(op, l, r, sortId, languageId));
    case eoAND: return SetBoolean(out, Truth(l) && Truth(r));
    case eoOR: return SetBoolean(out, Truth(l) || Truth(r));
    case eoADD:
    case eoSUB:
    case eoMUL:
    case eoDIV:
      return Arithmetic(op, l, r, out);
    default:
      return SetNull(out);
  }
}

void EvaluateCompare(const TExpToken& node, const TExpToken& l, const TExpToken& r, TExpToken& out,
                     std::uint16_t sortId, std::uint16_t languageId) {
  const bool ln = l.IsNull || l.DataType == 0, rn = r.IsNull || r.DataType == 0;
  bool equal = false;
  if (ln || rn) {
    equal = ln && rn;
  } else if (IsStr(l) && IsStr(r)) {
    equal = OSCompareStrings(languageId, sortId, Str(l), node.CaseInsensitive != 0,
                             static_cast<std::size_t>(std::max(node.PartialLength, 0)), Str(r)) == 0;
  } else {
    equal = CompareValues(l, r, sortId, languageId) == 0;
  }
  SetBoolean(out, node.Operator == eoNE ? !equal : equal);
}

void EvaluateExpression(TExpToken& target, const TExpToken& value) {
  if (value.IsNull || value.DataType == 0) return SetNull(target);
  if (target.DataType == dtBlob || value.DataType == dtBlob) {
    const bool sourceText = IsStr(value);
    std::size_t n = sourceText ? StrLen(value) : std::min<std::size_t>(std::max(value.DataSize, 0), value.ValueBufferSize);
    if (target.DataType == dtString) n = std::min<std::size_t>(n, static_cast<std::size_t>(std::max(target.DataSize, 1)) - 1);
    if (target.DataType == dtString || IsStr(target)) {
      SetText(target, reinterpret_cast<const char*>(Buf(value)), n);
      return;
    }
    if (target.DataType == dtBlob) {
      target.SetDataSize(static_cast<std::int32_t>(n));
      target.ResizeValueBuffer(n + 1);
      std::memmove(Buf(target), Buf(value), n);
      Buf(target)[n] = 0;
      target.IsNull = n == 0 ? 1 : 0;
      return;
    }
  }
  ConvertInto(target, value);
}

bool ConvertExpression(std::uint8_t sourceType, std::int32_t sourceSize, std::uint8_t sourceDecimals,
                       std::uint8_t* buffer, std::uint8_t targetDecimals, std::int32_t targetSize,
                       std::uint8_t targetType) {
  std::uint8_t source[kValueBufferSize];
  std::memcpy(source, buffer, kValueBufferSize);
  TSource s{sourceType == dtBlob ? dtString : sourceType, source, kValueBufferSize,
            static_cast<std::size_t>(std::clamp<std::int32_t>(sourceSize, 0, kValueBufferSize))};
  if (targetType == dtString && targetSize <= 0) targetSize = static_cast<std::int32_t>(kValueBufferSize);
  std::memset(buffer, 0, kValueBufferSize);
  return ConvertNative(s, sourceDecimals, targetType, std::min<std::int32_t>(targetSize, kValueBufferSize),
                       targetDecimals, buffer, kValueBufferSize) == TConversion::Done;
}

// ---- the evaluator -------------------------------------------------------------------------

TExpressionEvaluator::~TExpressionEvaluator() {
  for (TExpToken*& t : scratch_) ReturnExpTokenInstance(t);
}

TExpToken& TExpressionEvaluator::Slot() {
  if (top_ == scratch_.size()) scratch_.push_back(GetNewExpTokenInstance());
  return *scratch_[top_++];
}

const TExpToken& TExpressionEvaluator::Evaluate(TExpToken& root, const TEvaluationContext& context) {
  context_ = &context;
  top_ = 0;
  return Eval(root);
}

bool TExpressionEvaluator::EvaluateBoolean(TExpToken& root, const TEvaluationContext& context) {
  const TExpToken& v = Evaluate(root, context);
  return v.DataType == dtBoolean && Truth(v);
}

const TExpToken& TExpressionEvaluator::Field(TExpToken& node) {
  if (context_->Fetcher != nullptr) {
    context_->Fetcher(context_->Owner, context_->RecordBuffer, node);
    return node;
  }
  if (!node.FromStringConstant) {
    RaiseError(KORVEL_SQLPARSE, "", "", "", "", "", "",
               "Internal error: Column '" + node.Name + "'" + " specified illegally");
  }
  // Without a record a string constant that names a field is the constant again.
  TExpToken& out = Slot();
  out.NodeClass = enCONST;
  out.DataType = node.ConstantDataType;
  out.SubType = node.ConstantSubType;
  out.Decimals = node.ConstantDecimals;
  out.SetDataSize(node.ConstantDataSize);
  const std::size_t n = strnlen(reinterpret_cast<const char*>(Buf(node)), node.ValueBufferSize);
  SetText(out, reinterpret_cast<const char*>(Buf(node)), n);
  return out;
}

const TExpToken& TExpressionEvaluator::Eval(TExpToken& node) {
  switch (node.NodeClass) {
    case enCONST: return node;
    case enFIELD: return Field(node);
    default: break;
  }
  const std::size_t mark = top_;
  TExpToken& out = Slot();
  Begin(out, node);
  const std::uint16_t sortId = context_->SortID, languageId = context_->LanguageID;
  switch (node.NodeClass) {
    case enUNARY:
      EvaluateUnary(node, Eval(*node.Left), out);
      break;
    case enBINARY:
      if (node.Operator == eoAND || node.Operator == eoOR) {
        // The right side first: a false right side decides an AND, a true one an OR.
        const bool right = Truth(Eval(*node.Right));
        top_ = mark + 1;
        if (node.Operator == eoAND) SetBoolean(out, right && Truth(Eval(*node.Left)));
        else SetBoolean(out, right || Truth(Eval(*node.Left)));
      } else {
        const TExpToken& l = Eval(*node.Left);
        const TExpToken& r = Eval(*node.Right);
        EvaluateBinary(node.Operator, l, r, out, sortId, languageId);
      }
      break;
    case enCOMPARE: {
      const TExpToken& l = Eval(*node.Left);
      const TExpToken& r = Eval(*node.Right);
      EvaluateCompare(node, l, r, out, sortId, languageId);
      break;
    }
    case enFUNC:
      Function(node, out);
      break;
    case enEXTBINARY:
      Predicate(node, out);
      break;
    default:
      SetNull(out);
  }
  if (out.DataType == dtBoolean && !out.IsNull) PutU16(Buf(out), 0, GetU16(Buf(out), 0) != 0 ? 1 : 0);
  top_ = mark + 1;
  return out;
}

void TExpressionEvaluator::Predicate(TExpToken& node, TExpToken& out) {
  const std::uint16_t sortId = context_->SortID, languageId = context_->LanguageID;
  const TExpToken& v = Eval(*node.Arguments[0]);
  const std::size_t afterValue = top_;
  bool result = false;
  switch (node.Operator) {
    case eoLIKE:
    case eoNOTLIKE: {
      const TExpToken& p = Eval(*node.Arguments[1]);
      const bool nulls = v.IsNull || p.IsNull || v.DataType == 0 || p.DataType == 0;
      result = !nulls && LikeString(languageId, sortId, Str(v), Str(p));
      if (node.Operator == eoNOTLIKE) result = !result;
      break;
    }
    case eoIN:
    case eoNOTIN:
      for (std::size_t i = 1; i < node.Arguments.size() && !result; ++i) {
        result = CompareTokens(eoEQ, v, Eval(*node.Arguments[i]), sortId, languageId);
        top_ = afterValue;
      }
      if (node.Operator == eoNOTIN) result = !result;
      break;
    case eoBETWEEN:
    case eoNOTBETWEEN:
      result = CompareTokens(eoGE, v, Eval(*node.Arguments[1]), sortId, languageId);
      top_ = afterValue;
      if (result) result = CompareTokens(eoLE, v, Eval(*node.Arguments[2]), sortId, languageId);
      if (node.Operator == eoNOTBETWEEN) result = !result;
      break;
    case eoSUBIN:
    case eoNOTSUBIN: {
      const TExpressionHooks* hooks = context_->Hooks;
      result = hooks != nullptr && hooks->SubSelectMatch != nullptr &&
               hooks->SubSelectMatch(context_->Owner, *node.Arguments[1], v);
      if (node.Operator == eoNOTSUBIN) result = !result;
      break;
    }
    default:
      break;
  }
  SetBoolean(out, result);
}

void TExpressionEvaluator::Function(TExpToken& node, TExpToken& out) {
  const std::uint16_t sortId = context_->SortID, languageId = context_->LanguageID;
  const TExpressionHooks* hooks = context_->Hooks;
  auto arg = [&](std::size_t i) -> TExpToken* { return node.GetArgumentExpToken(i); };
  switch (node.Operator) {
    case eoUPPER:
    case eoLOWER: {
      const TExpToken& v = Eval(*arg(0));
      if (v.IsNull) return SetNull(out);
      SetText(out, Str(v), StrLen(v));
      char* p = reinterpret_cast<char*>(Buf(out));
      if (node.Operator == eoUPPER) OSUpperString(languageId, sortId, p);
      else OSLowerString(languageId, sortId, p);
      return;
    }
    case eoLENGTH: {
      const TExpToken& v = Eval(*arg(0));
      if (v.IsNull) return SetNull(out);
      return SetInteger(out, static_cast<std::int64_t>(StrLen(v)));
    }
    case eoSUBSTRING: {
      const TExpToken& s = Eval(*arg(0));
      const TExpToken& from = Eval(*arg(1));
      if (from.IsNull) return SetNull(out);
      const std::int64_t length = static_cast<std::int64_t>(StrLen(s));
      const std::int64_t start = std::max<std::int64_t>(IntOf(from), 1);
      std::int64_t count = length - start + 1;
      if (arg(2) != nullptr) {
        const TExpToken& n = Eval(*arg(2));
        if (n.IsNull) return SetNull(out);
        count = std::max<std::int64_t>(IntOf(n), 0);
      }
      if (start > length) count = 0;
      count = std::clamp<std::int64_t>(count, 0, std::max<std::int64_t>(length - start + 1, 0));
      return SetText(out, Str(s) + (count > 0 ? start - 1 : 0), static_cast<std::size_t>(count));
    }
    case eoREPLACE: {
      const TExpToken& search = Eval(*arg(0));
      const TExpToken& replacement = Eval(*arg(1));
      const TExpToken& subject = Eval(*arg(2));
      if (subject.IsNull) return SetNull(out);
      const std::size_t n = CalculateReplaceSize(Str(search), Str(replacement), Str(subject));
      char* p = TextRoom(out, n);
      ReplaceString(Str(search), Str(replacement), Str(subject), p);
      out.IsNull = n == 0 ? 1 : 0;
      return;
    }
    case eoPOS:
    case eoOCCURS: {
      const TExpToken& sub = Eval(*arg(0));
      const TExpToken& s = Eval(*arg(1));
      if (s.IsNull) return SetNull(out);
      return SetInteger(out, node.Operator == eoPOS ? PosString(Str(sub), Str(s)) : OccursString(Str(sub), Str(s)));
    }
    case eoTRIMLEADING:
    case eoTRIMTRAILING:
    case eoTRIMBOTH: {
      const char ch = Str(Eval(*arg(0)))[0];
      const TExpToken& s = Eval(*arg(1));
      if (s.IsNull) return SetNull(out);
      SetText(out, Str(s), StrLen(s));
      char* p = reinterpret_cast<char*>(Buf(out));
      if (node.Operator == eoTRIMLEADING) LeftTrimString(p, ch);
      else if (node.Operator == eoTRIMTRAILING) RightTrimString(p, ch);
      else TrimString(p, ch);
      out.IsNull = p[0] == 0 ? 1 : 0;
      return;
    }
    case eoEXTRACTYEAR:
    case eoEXTRACTMONTH:
    case eoEXTRACTWEEK:
    case eoEXTRACTDAY:
    case eoEXTRACTDAYOFWEEK:
    case eoEXTRACTDAYOFYEAR:
    case eoEXTRACTHOUR:
    case eoEXTRACTMINUTE:
    case eoEXTRACTSECOND:
      return Extract(node.Operator, Eval(*arg(0)), out);
    case eoCAST:
      return EvaluateExpression(out, Eval(*arg(0)));
    case eoIF: {
      const bool condition = Truth(Eval(*arg(0)));
      return EvaluateExpression(out, Eval(*arg(condition ? 1 : 2)));
    }
    case eoIFNULL: {
      const bool isNull = Eval(*arg(0)).IsNull != 0;
      return EvaluateExpression(out, Eval(*arg(isNull ? 1 : 2)));
    }
    case eoCOALESCE: {
      const std::size_t mark = top_;
      for (TExpToken* a : node.Arguments) {
        const TExpToken& v = Eval(*a);
        if (!v.IsNull && v.DataType != 0) return EvaluateExpression(out, v);
        top_ = mark;
      }
      return SetNull(out);
    }
    case eoABS: {
      const TExpToken& v = Eval(*arg(0));
      if (v.IsNull) return SetNull(out);
      switch (v.DataType) {
        case dtFloat: return SetFloat(out, std::fabs(GetF64(Buf(v), 0)));
        case dtBCD:
          std::memcpy(Buf(out), Buf(v), TBcd::kSize);
          Buf(out)[1] &= 0x7F;
          out.IsNull = 0;
          return;
        case dtLargeInt: {
          const std::int64_t i = IntOf(v);
          return i == INT64_MIN ? SetNull(out) : SetInteger(out, i < 0 ? -i : i);
        }
        default: {
          const std::int64_t i = IntOf(v);
          return SetInteger(out, i < 0 ? -i : i);
        }
      }
    }
    case eoROUND: {
      const TExpToken& v = Eval(*arg(0));
      const int places = arg(1) != nullptr ? static_cast<int>(std::clamp<std::int64_t>(IntOf(Eval(*arg(1))), 0, 32)) : 0;
      if (v.IsNull) return SetNull(out);
      if (v.DataType == dtFloat) return SetFloat(out, RoundFloat(GetF64(Buf(v), 0), places));
      TBcd rounded;
      if (!RoundBcd(BcdOf(v), std::min(places, BcdPlaces(out.Decimals)), rounded)) return SetNull(out);
      return SetBcd(out, rounded);
    }
    case eoTEXTSEARCH:
    case eoTEXTOCCURS: {
      const char* words = Str(Eval(*arg(0)));
      const TExpToken& field = *arg(1);
      if (node.Operator == eoTEXTSEARCH) {
        return SetBoolean(out, hooks != nullptr && hooks->TextSearch != nullptr &&
                                   hooks->TextSearch(context_->Owner, context_->RecordBuffer, field, words));
      }
      const std::uint32_t n = hooks != nullptr && hooks->TextOccurs != nullptr
                                  ? hooks->TextOccurs(context_->Owner, context_->RecordBuffer, field, words)
                                  : 0;
      out.IsNull = 0;
      PutU16(Buf(out), 0, static_cast<std::uint16_t>(std::min<std::uint32_t>(n, UINT16_MAX)));
      return;
    }
    case eoLASTAUTOINC:
    case eoIDENTCURRENT: {
      const char* table = Str(*arg(0));
      return SetInteger(out, hooks != nullptr && hooks->LastAutoInc != nullptr
                                 ? hooks->LastAutoInc(context_->Owner, table)
                                 : 0);
    }
    case eoCOUNT: {
      TExpToken& a = *arg(0);
      if (a.NodeClass == enFIELD && a.Name == "*") return SetInteger(out, 1);
      return SetInteger(out, Eval(a).IsNull ? 0 : 1);
    }
    case eoSUM:
    case eoRUNSUM:
    case eoMIN:
    case eoMAX:
    case eoAVG:
      return CopyValue(out, Eval(*arg(0)));
    default:
      return SetNull(out);
  }
}

TExpToken* EvaluateExpressionToken(TExpToken* node, const void* recordBuffer, void* owner, std::uint16_t sortId,
                                   std::uint16_t languageId, TExpFieldFetcher fetcher,
                                   const TExpressionHooks* hooks) {
  TEvaluationContext context;
  context.RecordBuffer = recordBuffer;
  context.Owner = owner;
  context.SortID = sortId;
  context.LanguageID = languageId;
  context.Fetcher = fetcher;
  context.Hooks = hooks;
  TExpressionEvaluator evaluator;
  const TExpToken& v = evaluator.Evaluate(*node, context);
  TExpToken* result = GetNewExpTokenInstance();
  result->NodeClass = enCONST;
  result->Operator = eoCONST;
  result->Text = node->Text;
  CopyValue(*result, v);
  return result;
}

// ---- constants and filter preparation ----------------------------------------------------

bool DependsOnRecord(const TExpToken* node) {
  if (node == nullptr) return false;
  switch (node->NodeClass) {
    case enFIELD:
    case enTUPLE:
      return true;
    case enCONST:
      return node->IsParameter != 0;
    case enFUNC:
      if (IsAggregateOperator(node->Operator) || node->Operator == eoTEXTSEARCH ||
          node->Operator == eoTEXTOCCURS || node->Operator == eoLASTAUTOINC ||
          node->Operator == eoIDENTCURRENT) {
        return true;
      }
      break;
    default:
      break;
  }
  if (DependsOnRecord(node->Left) || DependsOnRecord(node->Right)) return true;
  for (const TExpToken* a : node->Arguments) {
    if (DependsOnRecord(a)) return true;
  }
  return false;
}

bool ConvertConstant(const TExpToken& typedSide, TExpToken& constant) {
  const std::uint8_t target = typedSide.DataType;
  if (constant.IsNull || constant.DataType == 0 || IsStr(constant) || constant.DataType == dtBlob) return false;
  if (target == 0 || target == dtBlob || IsStr(typedSide)) return false;
  if (target == constant.DataType && typedSide.Decimals == constant.Decimals) return false;
  TExpTokenPtr converted = NewExpToken();
  converted->DataType = target;
  converted->SubType = typedSide.SubType;
  converted->Decimals = typedSide.Decimals;
  converted->SetDataSize(FixedTypeSize(target) != 0 ? FixedTypeSize(target) : typedSide.DataSize);
  EvaluateExpression(*converted, constant);
  // Keep the conversion only when it reads back as the same value.
  TExpTokenPtr back = NewExpToken();
  back->DataType = constant.DataType;
  back->SubType = constant.SubType;
  back->Decimals = constant.Decimals;
  back->SetDataSize(constant.DataSize);
  EvaluateExpression(*back, *converted);
  if (converted->IsNull || back->IsNull || !CompareTokens(eoEQ, *back, constant, 0, 0) ||
      !CompareTokens(eoEQ, *converted, constant, 0, 0)) {
    return false;
  }
  constant.DataType = converted->DataType;
  constant.SubType = converted->SubType;
  constant.Decimals = converted->Decimals;
  constant.SetDataSize(converted->DataSize);
  std::memcpy(Buf(constant), Buf(*converted), static_cast<std::size_t>(converted->DataSize));
  return true;
}

namespace {

TExpToken* ConstantOf(const TExpToken& source, const TExpToken& value) {
  TExpToken* c = GetNewExpTokenInstance();
  c->NodeClass = enCONST;
  c->Operator = eoCONST;
  c->Text = source.Text;
  CopyValue(*c, value);
  return c;
}

class TFilterPreparer {
 public:
  TFilterPreparer(const TEvaluationContext& context, bool noPartialCompare, bool caseInsensitive)
      : context_(context), noPartial_(noPartialCompare), caseInsensitive_(caseInsensitive) {}

  TExpTokenPtr Prepare(TExpToken& node);

 private:
  TExpTokenPtr Fold(TExpToken& node) {
    return TExpTokenPtr(ConstantOf(node, evaluator_.Evaluate(node, context_)));
  }
  TExpTokenPtr Shell(const TExpToken& node) {
    TExpTokenPtr copy = NewExpToken();
    copy->Copy(node);
    copy->Left = copy->Right = copy->Third = nullptr;
    copy->Arguments.assign(node.Arguments.size(), nullptr);
    return copy;
  }
  void ToPartialCompare(TExpToken& node);
  TExpTokenPtr LikeToCompare(TExpTokenPtr like);

  const TEvaluationContext& context_;
  bool noPartial_;
  bool caseInsensitive_;
  TExpressionEvaluator evaluator_;
};

bool IsComparison(TExpOperator op) { return op >= eoEQ && op <= eoLE; }

bool IsStringConstantValue(const TExpToken& t) {
  return t.NodeClass == enCONST && !t.IsNull && !t.IsParameter && t.DataType == dtString;
}

// "=" and "<>" against a string constant: a prefix compare for a trailing "*", and the
// filter's case rule.
void TFilterPreparer::ToPartialCompare(TExpToken& node) {
  TExpToken& constant = *node.Right;
  char* text = reinterpret_cast<char*>(Buf(constant));
  const std::size_t n = strnlen(text, constant.ValueBufferSize);
  const bool star = n > 0 && text[n - 1] == '*';
  if (!star && !caseInsensitive_) return;
  node.NodeClass = enCOMPARE;
  node.CaseInsensitive = caseInsensitive_ ? 1 : 0;
  node.PartialLength = 0;
  if (star) {
    node.PartialLength = noPartial_ ? 0 : static_cast<std::int32_t>(n - 1);
    if (node.PartialLength > 0) {
      text[n - 1] = 0;
      constant.SetDataSize(static_cast<std::int32_t>(n));
    }
  }
}

// LIKE 'abc%' (one "%", at the end, no "_", at least two characters) is a prefix compare.
// LikeString matches characters as CompareChar does, which for language 0 ignores case; the
// compare does the same so that the prepared filter selects what the LIKE selects.
TExpTokenPtr TFilterPreparer::LikeToCompare(TExpTokenPtr like) {
  TExpToken* pattern = like->Arguments[1];
  if (!IsStringConstantValue(*pattern)) return like;
  char* text = reinterpret_cast<char*>(Buf(*pattern));
  const std::size_t n = strnlen(text, pattern->ValueBufferSize);
  if (n < 2 || text[n - 1] != '%' || std::memchr(text, '%', n - 1) != nullptr || std::memchr(text, '_', n) != nullptr) {
    return like;
  }
  text[n - 1] = 0;
  pattern->SetDataSize(static_cast<std::int32_t>(n));
  like->NodeClass = enCOMPARE;
  like->Operator = like->Operator == eoLIKE ? eoEQ : eoNE;
  like->Text = like->Operator == eoEQ ? "=" : "<>";
  like->PartialLength = static_cast<std::int32_t>(n - 1);
  like->CaseInsensitive = context_.LanguageID == 0 ? 1 : 0;
  like->Left = like->Arguments[0];
  like->Right = pattern;
  like->Arguments.clear();
  return like;
}

TExpTokenPtr TFilterPreparer::Prepare(TExpToken& node) {
  if (node.NodeClass != enCONST && !DependsOnRecord(&node)) return Fold(node);
  TExpTokenPtr copy = Shell(node);
  switch (node.NodeClass) {
    case enUNARY:
      copy->Left = Prepare(*node.Left).release();
      break;
    case enBINARY:
    case enCOMPARE:
      copy->Left = Prepare(*node.Left).release();
      copy->Right = Prepare(*node.Right).release();
      if (node.NodeClass == enBINARY && IsComparison(node.Operator) && !DependsOnRecord(copy->Right)) {
        ConvertConstant(*copy->Left, *copy->Right);
        if ((node.Operator == eoEQ || node.Operator == eoNE) && IsStringConstantValue(*copy->Right)) {
          ToPartialCompare(*copy);
        }
      }
      break;
    case enFUNC:
    case enEXTBINARY:
      for (std::size_t i = 0; i < node.Arguments.size(); ++i) {
        if (node.Arguments[i] != nullptr) copy->Arguments[i] = Prepare(*node.Arguments[i]).release();
      }
      if ((node.Operator == eoLIKE || node.Operator == eoNOTLIKE) && copy->Arguments.size() == 2 &&
          node.NodeClass == enEXTBINARY) {
        return LikeToCompare(std::move(copy));
      }
      break;
    default:
      break;  // fields, constants, sub-selects: the copy
  }
  return copy;
}

}  // namespace

TExpToken* EvaluateConstant(const TExpToken& typedSide, TExpToken& constantSide, const TEvaluationContext& context) {
  TExpressionEvaluator evaluator;
  TExpToken* c = ConstantOf(constantSide, evaluator.Evaluate(constantSide, context));
  if (!c->IsNull && !IsStr(*c)) ConvertConstant(typedSide, *c);
  return c;
}

TExpToken* BuildNextFilterExpression(TExpToken* node, void* owner, TExpFieldFetcher fetcher, bool noPartialCompare,
                                     bool caseInsensitive, std::uint16_t sortId, std::uint16_t languageId,
                                     const TExpressionHooks* hooks) {
  if (node == nullptr) return nullptr;
  TEvaluationContext context;
  context.Owner = owner;
  context.Fetcher = fetcher;
  context.SortID = sortId;
  context.LanguageID = languageId;
  context.Hooks = hooks;
  TFilterPreparer preparer(context, noPartialCompare, caseInsensitive);
  return preparer.Prepare(*node).release();
}

}  // namespace korvel
