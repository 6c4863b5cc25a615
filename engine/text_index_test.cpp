#include "engine/text_index.h"

#include <gtest/gtest.h>

#include <random>

#include "support/key_encoding.h"
#include "support/language.h"

namespace korvel {
namespace {

std::vector<std::string> Words(const TWordList& list) {
  std::vector<std::string> out;
  for (const TWord& w : list) out.push_back(w.Text);
  return out;
}

std::vector<std::string> Split(const std::string& text, bool wildcards = false, bool unique = false,
                               const TTextCharSet& include = GetDefaultTextIndexIncludeChars(),
                               const TTextCharSet& space = GetDefaultTextIndexSpaceChars()) {
  TWordList list;
  BuildWordList(text.data(), text.size(), list, wildcards, unique, include, space);
  return Words(list);
}

const std::uint16_t kGerman = OSLanguageID(7, 1);

TEST(TextIndexTest, DefaultCharacterSets) {
  const TTextCharSet space = GetDefaultTextIndexSpaceChars();
  const TTextCharSet include = GetDefaultTextIndexIncludeChars();
  EXPECT_EQ(CharSetToString(space).size(), 32u + 6 + 5 + 2);
  for (char c : std::string("*+,-./:;<=>\\` \t\n")) EXPECT_TRUE(space.test(static_cast<unsigned char>(c))) << c;
  for (char c : std::string("'\"!?@#$%&()[]{}|~^_aZ09")) EXPECT_FALSE(space.test(static_cast<unsigned char>(c))) << c;
  EXPECT_FALSE(space.test(0));
  EXPECT_EQ(CharSetToString(include).size(), 26u * 2 + 10 + 1 + 127);
  EXPECT_TRUE(include.test(128));
  EXPECT_TRUE(include.test(254));
  EXPECT_FALSE(include.test(255));
  EXPECT_FALSE(include.test('\''));
  EXPECT_EQ(GetDefaultTextIndexStopWords().size(), 22u);
  EXPECT_EQ(GetDefaultTextIndexStopWords().front(), "A");
  EXPECT_EQ(GetDefaultTextIndexStopWords().back(), "WILL");
}

TEST(TextIndexTest, CharSetsRoundTripThroughTheirText) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    TTextCharSet set;
    for (int c = 1; c < 256; ++c)
      if (random() % 3 == 0) set.set(static_cast<std::size_t>(c));
    const std::string text = CharSetToString(set);
    EXPECT_TRUE(std::is_sorted(text.begin(), text.end(),
                               [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); }));
    EXPECT_EQ(StringToCharSet(text), set);
  }
  EXPECT_EQ(CharSetToString(StringToCharSet("cabba")), "abc");
}

TEST(TextIndexTest, SplittingWithTheDefaults) {
  EXPECT_EQ(Split("The quick-brown fox's den"), (std::vector<std::string>{"The", "quick", "brown", "foxs", "den"}));
  // Bytes outside both sets are dropped without ending the word; runs of spaces make no word.
  EXPECT_EQ(Split("  don't   stop!\t\tnow  "), (std::vector<std::string>{"dont", "stop", "now"}));
  EXPECT_EQ(Split(""), std::vector<std::string>{});
  EXPECT_EQ(Split("'''  !!!"), std::vector<std::string>{});
  // "*" is a space unless wildcards are on.
  EXPECT_EQ(Split("qu* fox"), (std::vector<std::string>{"qu", "fox"}));
  EXPECT_EQ(Split("qu* fox", true), (std::vector<std::string>{"qu*", "fox"}));
  // Byte 0 is neither a space nor a word character.
  EXPECT_EQ(Split(std::string("ab\0cd ef", 8)), (std::vector<std::string>{"abcd", "ef"}));
  // Full lists keep the starting offsets.
  TWordList list;
  const std::string text = "one two  three";
  BuildWordList(text.data(), text.size(), list, false, false, GetDefaultTextIndexIncludeChars(),
                GetDefaultTextIndexSpaceChars());
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list[0].Value, 0);
  EXPECT_EQ(list[1].Value, 4);
  EXPECT_EQ(list[2].Value, 9);
}

TEST(TextIndexTest, SplittingWithCustomCharacterSets) {
  // Hyphens and apostrophes belong to words; only blanks and commas separate.
  TTextCharSet include = GetDefaultTextIndexIncludeChars();
  include.set('-');
  include.set('\'');
  const TTextCharSet space = StringToCharSet(" ,");
  EXPECT_EQ(Split("quick-brown fox's,den.x", false, false, include, space),
            (std::vector<std::string>{"quick-brown", "fox's", "denx"}));
  // Digits excluded: they vanish inside words.
  const TTextCharSet letters = StringToCharSet("abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(Split("a1b2 c3", false, false, letters, space), (std::vector<std::string>{"ab", "c"}));
}

TEST(TextIndexTest, WordsAreCutTo61Characters) {
  const std::string seventy(70, 'x');
  std::vector<std::string> words = Split(seventy + " y");
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0], std::string(61, 'x'));
  // A search word cut before its "*" is no prefix any more.
  words = Split(seventy + "*", true);
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0], std::string(61, 'x'));
  EXPECT_FALSE(IsPrefixWord(words[0]));
  words = Split(std::string(60, 'x') + "*", true);
  EXPECT_TRUE(IsPrefixWord(words[0]));
}

TEST(TextIndexTest, UniqueListsCountWordsWithoutRegardToCase) {
  TWordList list;
  const std::string text = "den Den DEN fox den";
  BuildWordList(text.data(), text.size(), list, false, true, GetDefaultTextIndexIncludeChars(),
                GetDefaultTextIndexSpaceChars());
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list[0].Upper, "DEN");
  EXPECT_EQ(list[0].Value, 4);
  EXPECT_EQ(list[1].Upper, "FOX");
  EXPECT_EQ(list[1].Value, 1);
  // Reusing the list for a shorter text leaves nothing of the longer one.
  const std::string other = "zebra";
  BuildWordList(other.data(), other.size(), list, false, true, GetDefaultTextIndexIncludeChars(),
                GetDefaultTextIndexSpaceChars());
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0].Value, 1);
}

TEST(TextIndexTest, ParametersRoundTripAndDamageIsRefused) {
  TTextIndexParams params;
  params.StopWords = {"le", "la", "les", std::string(300, 'q')};
  params.SpaceChars = StringToCharSet(" ,;");
  params.IncludeChars = StringToCharSet("abc\xE9\xFE");
  std::vector<std::uint8_t> data = EncodeTextIndexParams(params);
  TTextIndexParams back;
  ASSERT_TRUE(DecodeTextIndexParams(data.data(), data.size(), back));
  EXPECT_EQ(back.SpaceChars, params.SpaceChars);
  EXPECT_EQ(back.IncludeChars, params.IncludeChars);
  ASSERT_EQ(back.StopWords.size(), 4u);
  EXPECT_EQ(back.StopWords[2], "les");
  EXPECT_EQ(back.StopWords[3].size(), 255u);  // a stop word keeps at most 255 characters
  // The pages' zero padding after the block is fine.
  std::vector<std::uint8_t> padded = data;
  padded.resize(4083, 0);
  EXPECT_TRUE(DecodeTextIndexParams(padded.data(), padded.size(), back));

  TTextIndexParams untouched = back;
  std::vector<std::uint8_t> bad = data;
  bad[4] = 2;  // unknown version
  EXPECT_FALSE(DecodeTextIndexParams(bad.data(), bad.size(), back));
  bad = data;
  bad[0] += 1;  // length past the end
  EXPECT_FALSE(DecodeTextIndexParams(bad.data(), bad.size(), back));
  bad = data;
  bad[69] += 1;  // one stop word more than the block holds
  EXPECT_FALSE(DecodeTextIndexParams(bad.data(), bad.size(), back));
  EXPECT_FALSE(DecodeTextIndexParams(data.data(), 10, back));
  EXPECT_EQ(back, untouched);
  // Random damage never reads outside the block.
  std::mt19937 random(3);
  for (int round = 0; round < 2000; ++round) {
    bad = padded;
    for (int k = 0; k < 4; ++k) bad[random() % 80] = static_cast<std::uint8_t>(random());
    DecodeTextIndexParams(bad.data(), bad.size(), back);
  }
}

TEST(TextIndexTest, KeysFollowTheirLayout) {
  std::uint8_t key[kTextKeySize];
  TTextIndex::BuildKey(0x0102, "FOX", 5, key);
  EXPECT_EQ(key[0], 1);
  EXPECT_EQ(key[1], 0x01);
  EXPECT_EQ(key[2], 0x02);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(key + 3), 3), "FOX");
  for (int i = 6; i < 64; ++i) EXPECT_EQ(key[i], 0) << i;
  EXPECT_EQ(UnflipIntegerBits(key + 64), 5);
  TTextIndex::BuildKey(1, std::string(61, 'Z'), -1, key);
  EXPECT_EQ(key[63], 'Z');
  EXPECT_EQ(UnflipIntegerBits(key + 64), -1);
}

class TMatcher {
 public:
  explicit TMatcher(TTextIndexParams params = {}, std::uint16_t language = 0) : index(params, language, 0) {}
  bool Search(const std::string& search, const std::string& text) {
    Prepare(search, text);
    return index.Matches(searchWords, recordWords);
  }
  std::uint32_t Occurs(const std::string& search, const std::string& text) {
    Prepare(search, text);
    return index.Occurrences(searchWords, recordWords);
  }
  TTextIndex index;

 private:
  void Prepare(const std::string& search, const std::string& text) {
    index.CreateWordsList(search.data(), search.size(), true, searchWords);
    index.CreateWordsList(text.data(), text.size(), false, recordWords);
  }
  TWordList searchWords, recordWords;
};

TEST(TextIndexTest, SearchAndOccurrences) {
  TMatcher m;
  const std::string den = "The quick-brown fox's den";
  EXPECT_TRUE(m.Search("qu* foxs", den));
  EXPECT_TRUE(m.Search("QUICK Den", den));
  EXPECT_FALSE(m.Search("qu* fox", den));  // the word is "foxs"
  EXPECT_FALSE(m.Search("quick zebra", den));
  // Stop words always match, even in an empty text; an empty search matches everything.
  EXPECT_TRUE(m.Search("the", ""));
  EXPECT_TRUE(m.Search("THE and OF", "nothing here"));
  EXPECT_TRUE(m.Search("", "anything"));
  // A prefix matches stop words of the text too, and "*" alone any word at all.
  EXPECT_TRUE(m.Search("th*", den));
  EXPECT_TRUE(m.Search("*", "a"));
  EXPECT_FALSE(m.Search("*", ""));
  EXPECT_EQ(m.Occurs("den", "den den DEN"), 3u);
  EXPECT_EQ(m.Occurs("den fox", "den fox den Foxes"), 3u);
  EXPECT_EQ(m.Occurs("fox*", "den fox den Foxes"), 2u);
  EXPECT_EQ(m.Occurs("the", "the the the"), 0u);  // stop words add nothing
  EXPECT_EQ(m.Occurs("zebra", "den"), 0u);
  EXPECT_EQ(m.Occurs("d* den", "den dog"), 3u);
  // Custom stop words replace the defaults.
  TTextIndexParams params;
  params.StopWords = {"quick"};
  TMatcher custom(params);
  EXPECT_TRUE(custom.Search("Quick", "slow"));
  EXPECT_FALSE(custom.Search("the", "slow"));
  EXPECT_TRUE(custom.index.PrefixOfStopWord("QUI"));
  EXPECT_FALSE(custom.index.PrefixOfStopWord("TH"));
}

TEST(TextIndexTest, WordsOfALanguageCompareByItsCollation) {
  // Western code page: é (E9) upper-cases to É (C9) in both the bytewise and the German table.
  TMatcher bytewise;
  EXPECT_TRUE(bytewise.Search("CAF\xC9", "un caf\xE9 noir"));
  EXPECT_FALSE(bytewise.Search("cafe", "un caf\xE9 noir"));
  TMatcher german({}, kGerman);
  EXPECT_TRUE(german.Search("CAF\xC9", "un caf\xE9 noir"));
  EXPECT_TRUE(german.Search("caf*", "un caf\xE9 noir"));
  EXPECT_EQ(german.Occurs("caf\xE9", "Caf\xE9 CAF\xC9 caf\xE9"), 3u);
  // Words that the collation takes as equal are one word of a unique list, so that a record
  // never gets two equal keys.
  TWordList list;
  const std::string text = "caf\xE9 cafe CAFE";
  german.index.CreateWordsList(text.data(), text.size(), false, list);
  for (std::size_t i = 1; i < list.Count(); ++i)
    EXPECT_LT(german.index.CompareWords(list[i - 1].Upper, list[i].Upper), 0);
  std::uint32_t total = 0;
  for (const TWord& w : list) total += static_cast<std::uint32_t>(w.Value);
  EXPECT_EQ(total, 3u);
}

}  // namespace
}  // namespace korvel
