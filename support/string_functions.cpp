#include "support/string_functions.h"

#include <cstring>

#include "support/language.h"

namespace korvel {

int PosString(const char* sub, const char* text) {
  if (*sub == 0) return 0;
  const char* p = std::strstr(text, sub);
  return p ? static_cast<int>(p - text) + 1 : 0;
}

int OccursString(const char* sub, const char* text) {
  std::size_t n = std::strlen(sub);
  if (n == 0) return 0;
  int count = 0;
  for (const char* p = std::strstr(text, sub); p; p = std::strstr(p + n, sub)) ++count;
  return count;
}

std::size_t CalculateReplaceSize(const char* search, const char* replacement, const char* source) {
  std::size_t sourceLength = std::strlen(source);
  std::size_t s = std::strlen(search);
  if (s == 0 || std::strcmp(search, replacement) == 0) return sourceLength;
  std::size_t r = std::strlen(replacement);
  std::size_t occurrences = static_cast<std::size_t>(OccursString(search, source));
  return sourceLength + occurrences * r - occurrences * s;
}

void ReplaceString(const char* search, const char* replacement, const char* source,
                   char* destination) {
  std::size_t s = std::strlen(search);
  if (s == 0 || std::strcmp(search, replacement) == 0) {
    std::memmove(destination, source, std::strlen(source) + 1);
    return;
  }
  std::size_t r = std::strlen(replacement);
  char* out = destination;
  const char* p = source;
  for (const char* hit = std::strstr(p, search); hit; hit = std::strstr(p, search)) {
    std::memcpy(out, p, static_cast<std::size_t>(hit - p));
    out += hit - p;
    std::memcpy(out, replacement, r);
    out += r;
    p = hit + s;
  }
  std::size_t rest = std::strlen(p);
  std::memcpy(out, p, rest + 1);
}

std::string ReplaceString(const std::string& search, const std::string& replacement,
                          const std::string& source) {
  if (search.empty() || search == replacement) return source;
  std::string out;
  std::size_t from = 0;
  for (std::size_t hit = source.find(search); hit != std::string::npos;
       hit = source.find(search, from)) {
    out.append(source, from, hit - from);
    out += replacement;
    from = hit + search.size();
  }
  out.append(source, from, std::string::npos);
  return out;
}

void LeftTrimString(char* text, char ch) {
  std::size_t n = 0;
  while (text[n] != 0 && text[n] == ch) ++n;
  if (n) std::memmove(text, text + n, std::strlen(text + n) + 1);
}

void RightTrimString(char* text, char ch) {
  std::size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ch) text[--n] = 0;
}

void TrimString(char* text, char ch) {
  RightTrimString(text, ch);
  LeftTrimString(text, ch);
}

void LeftTrimString(std::string& text, char ch) {
  text.erase(0, std::min(text.find_first_not_of(ch), text.size()));
}

void RightTrimString(std::string& text, char ch) {
  std::size_t last = text.find_last_not_of(ch);
  text.erase(last == std::string::npos ? 0 : last + 1);
}

void TrimString(std::string& text, char ch) {
  RightTrimString(text, ch);
  LeftTrimString(text, ch);
}

bool LikeString(std::uint16_t languageId, std::uint16_t sortId, const char* text,
                const char* pattern) {
  const char* t = text;
  const char* p = pattern;
  const char* starPattern = nullptr;  // just after the most recent "%"
  const char* starText = nullptr;     // where the text stood when it was met
  for (;;) {
    if (p[0] == '%' && p[1] == 0) return true;
    if (*t == 0 && *p == 0) return true;
    if (*t == 0) return false;
    if (*p == '%') {
      starPattern = ++p;
      starText = t;
      continue;
    }
    if (*p != 0 && (*p == '_' || CompareChar(languageId, sortId, *t, *p) == 0)) {
      ++t;
      ++p;
      continue;
    }
    if (starPattern == nullptr) return false;
    t = ++starText;
    p = starPattern;
  }
}

std::string PadLeft(const std::string& text, std::size_t length, char ch) {
  if (length > kShortStringMax) length = kShortStringMax;
  if (text.size() >= length) return text;
  return std::string(length - text.size(), ch) + text;
}

std::string PadRight(const std::string& text, std::size_t length, char ch) {
  if (length > kShortStringMax) length = kShortStringMax;
  if (text.size() >= length) return text;
  return text + std::string(length - text.size(), ch);
}

std::string Replicate(const std::string& text, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && out.size() < kShortStringMax && !text.empty(); ++i)
    out += text;
  if (out.size() > kShortStringMax) out.resize(kShortStringMax);
  return out;
}

std::string GetLeft(const std::string& text, std::size_t count) { return text.substr(0, count); }

std::string GetRight(const std::string& text, std::size_t count) {
  return count >= text.size() ? text : text.substr(text.size() - count);
}

std::string Substr(const std::string& text, std::size_t position, std::size_t count) {
  if (position < 1) position = 1;
  if (position > text.size()) return std::string();
  return text.substr(position - 1, count);
}

int At(const std::string& sub, const std::string& text) {
  if (sub.empty()) return 0;
  std::size_t p = text.find(sub);
  return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

int Rat(const std::string& sub, const std::string& text) {
  if (sub.empty()) return 0;
  std::size_t p = text.rfind(sub);
  return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

std::string ExpandQuotes(char quote, const std::string& text) {
  if (quote != '"' && quote != '\'') return text;
  std::string out;
  for (char c : text) {
    out += c;
    if (c == quote) out += c;
  }
  return out;
}

std::string ConvertQuotes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    out += c;
    if ((c == '"' || c == '\'') && i + 1 < text.size() && text[i + 1] == c) ++i;
  }
  return out;
}

std::string StripQuotes(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '"' && c != '\'') out += c;
  return out;
}

std::string StripCRLFs(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

std::string Extract(std::string& text, char separator) {
  std::size_t p = text.find(separator);
  std::string head;
  if (p == std::string::npos) {
    head = std::move(text);
    text.clear();
  } else {
    head = text.substr(0, p);
    text.erase(0, p + 1);
  }
  return head;
}

void StringToList(const std::string& text, TStringList& list) {
  list.Clear();
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) list.Add(text.substr(start, i - start));
  }
}

std::string ListToString(const TStringList& list) {
  std::string out;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (i) out += ' ';
    out += ExpandQuotes('"', list[i]);
  }
  return out;
}

}  // namespace korvel
