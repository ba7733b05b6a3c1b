// The character model under the string functions: decoding, lengths and
// case mapping, checked exhaustively where the domain is small.
#include "host/vbscript/text.h"

#include <gtest/gtest.h>

#include <string>

namespace qz::vbs::text {
namespace {

TEST(VbsText, EveryShortByteStringRoundTrips) {
  // Every two-byte string, alone and followed by a continuation or ASCII byte.
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      std::string s{static_cast<char>(a), static_cast<char>(b)};
      std::u32string chars = Decode(s);
      ASSERT_EQ(Encode(chars), s) << a << " " << b;
      ASSERT_EQ(Length(s), chars.size());
      ASSERT_EQ(Advance(s, 0, chars.size()), s.size());
      for (unsigned c : {0x80u, 0xBFu, 0x41u}) {
        std::string t = s + static_cast<char>(c);
        ASSERT_EQ(Encode(Decode(t)), t);
        ASSERT_EQ(Length(t), Decode(t).size());
      }
    }
  }
}

TEST(VbsText, WellFormedSequencesAreOneCharacter) {
  for (char32_t c : {U'\x7F', U'\x80', U'\x7FF', U'\x800', U'\xD7FF', U'\xE000', U'\xFFFF',
                     U'\x10000', U'\x10FFFF'}) {
    std::string s;
    Append(s, c);
    EXPECT_EQ(Length(s), 1u) << static_cast<unsigned>(c);
    EXPECT_EQ(DecodeAt(s, 0).code, c);
    EXPECT_EQ(DecodeAt(s, 0).bytes, s.size());
  }
  // Overlong forms, encoded surrogates and code points past U+10FFFF are not.
  for (const char* bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF0\x80\x80\x80", "\xF8\x88\x80\x80\x80"}) {
    std::string s(bad);
    EXPECT_EQ(Length(s), s.size()) << s;
    EXPECT_TRUE(IsStray(DecodeAt(s, 0).code));
  }
  EXPECT_EQ(Advance("a\xC3\xA9z", 1, 1), 3u);
  EXPECT_EQ(Advance("abc", 0, 9), 3u);
}

TEST(VbsText, CaseMappingIsConsistentBothWays) {
  int mapped = 0;
  for (char32_t c = 0; c < 0x530; ++c) {
    char32_t up = Upper(c), low = Lower(c);
    // Dotless i, dotted capital I, long s and final sigma fold into ASCII or
    // another letter's case; every other mapping is a pair.
    if (c == 0x131 || c == 0x130 || c == 0x17F || c == 0x3C2) continue;
    if (up != c) {
      ++mapped;
      EXPECT_EQ(Lower(up), c) << std::hex << static_cast<unsigned>(c);
      EXPECT_EQ(Upper(up), up);
    }
    if (low != c) {
      EXPECT_EQ(Upper(low), c) << std::hex << static_cast<unsigned>(c);
    }
  }
  EXPECT_GT(mapped, 250);  // Latin-1, Latin Extended-A, Greek and Cyrillic pairs
  EXPECT_EQ(Upper(std::string("ǆ straße")), "ǆ STRAßE");
  EXPECT_EQ(Lower(std::string("İI")), "ii");
}

}  // namespace
}  // namespace qz::vbs::text
