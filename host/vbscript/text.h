// Text as the runtime's string functions count it. Strings are UTF-8 and a
// character is one Unicode code point, so a character outside the Basic
// Multilingual Plane counts as one. A byte that does not begin a well-formed
// UTF-8 sequence is a character of its own: every byte string has a length,
// and decoding then encoding gives back the same bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qz::vbs::text {

// A stray byte b (0x80..0xFF) decodes to kStrayBase + b, a lone low
// surrogate no well-formed UTF-8 decodes to, and encodes back to b.
inline constexpr char32_t kStrayBase = 0xDC00;

bool IsAscii(std::string_view s);
bool IsStray(char32_t c);

// The character starting at byte `at` (at < s.size()): its code and byte count.
struct Char {
  char32_t code;
  std::size_t bytes;
};
Char DecodeAt(std::string_view s, std::size_t at);

std::size_t Length(std::string_view s);
// The byte offset `chars` characters on from byte `from`; s.size() when the
// text ends first.
std::size_t Advance(std::string_view s, std::size_t from, std::size_t chars);

std::u32string Decode(std::string_view s);
std::string Encode(std::u32string_view s);
void Append(std::string& out, char32_t c);

// Simple one-to-one case mapping for Latin-1, Latin Extended-A, Greek and
// Cyrillic; every other character maps to itself ("ß" has no one-character
// capital and stays as it is).
char32_t Upper(char32_t c);
char32_t Lower(char32_t c);
std::string Upper(std::string_view s);
std::string Lower(std::string_view s);

// Only A-Z lower-cased, every other byte as it is: the language's names
// (identifiers, members, keywords) compare without regard to ASCII case,
// whatever the process locale.
std::string AsciiLower(std::string_view s);

}  // namespace qz::vbs::text
