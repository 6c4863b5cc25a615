#pragma once
// String functions of the expression engine and a few text utilities. Texts are 8-bit, in the
// table's code page; the char* forms take zero-terminated texts.

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/string_list.h"

namespace korvel {

// 1-based position of the first occurrence of sub in text, 0 if none (or sub is empty).
int PosString(const char* sub, const char* text);
// Non-overlapping occurrences, scanning on by the length of sub after each match (0 for an
// empty sub).
int OccursString(const char* sub, const char* text);
// Length of ReplaceString's result: source length + occurrences x (replacement - search).
std::size_t CalculateReplaceSize(const char* search, const char* replacement, const char* source);
// Every non-overlapping occurrence of search, left to right, replaced. destination must hold
// CalculateReplaceSize + 1 bytes. An empty search, or one equal to the replacement, copies the
// source unchanged.
void ReplaceString(const char* search, const char* replacement, const char* source,
                   char* destination);
std::string ReplaceString(const std::string& search, const std::string& replacement,
                          const std::string& source);

// Remove the leading, trailing or both runs of the one character ch, in place.
void LeftTrimString(char* text, char ch);
void RightTrimString(char* text, char ch);
void TrimString(char* text, char ch);
void LeftTrimString(std::string& text, char ch);
void RightTrimString(std::string& text, char ch);
void TrimString(std::string& text, char ch);

// The LIKE match: "%" any run of characters, "_" exactly one, any other character matches a
// text character that CompareChar finds equal (so language 0 ignores case, other languages
// ignore accents). No escape character.
bool LikeString(std::uint16_t languageId, std::uint16_t sortId, const char* text,
                const char* pattern);

// Short-string helpers: results hold at most 255 characters; positions are 1-based.
inline constexpr std::size_t kShortStringMax = 255;
std::string PadLeft(const std::string& text, std::size_t length, char ch);
std::string PadRight(const std::string& text, std::size_t length, char ch);
std::string Replicate(const std::string& text, std::size_t count);
std::string GetLeft(const std::string& text, std::size_t count);
std::string GetRight(const std::string& text, std::size_t count);
std::string Substr(const std::string& text, std::size_t position, std::size_t count);
int At(const std::string& sub, const std::string& text);
int Rat(const std::string& sub, const std::string& text);

// Quote and list helpers.
// Doubles every occurrence of quote (only '"' or '\''; any other quote leaves the text alone).
std::string ExpandQuotes(char quote, const std::string& text);
// Collapses every doubled '"' and every doubled '\'' to one.
std::string ConvertQuotes(const std::string& text);
std::string StripQuotes(const std::string& text);
std::string StripCRLFs(const std::string& text);
// Returns the part of text before the first separator and leaves the part after it in text;
// without a separator returns the whole text and leaves text empty.
std::string Extract(std::string& text, char separator);
// Splits at blanks (runs of blanks make no empty items).
void StringToList(const std::string& text, TStringList& list);
// Joins with single blanks, each item's double quotes doubled.
std::string ListToString(const TStringList& list);

}  // namespace korvel
