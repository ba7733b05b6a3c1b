#include "host/vbscript/text.h"

namespace qz::vbs::text {
namespace {

unsigned Byte(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}
bool Continuation(std::string_view s, std::size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
  if (i >= s.size()) return false;
  unsigned b = Byte(s, i);
  return b >= lo && b <= hi;
}

template <class Map>
std::string MapText(std::string_view s, Map map) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    unsigned b = Byte(s, i);
    if (b < 0x80) {
      out.push_back(static_cast<char>(map(static_cast<char32_t>(b))));
      ++i;
      continue;
    }
    Char c = DecodeAt(s, i);
    Append(out, map(c.code));
    i += c.bytes;
  }
  return out;
}

}  // namespace

bool IsAscii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool IsStray(char32_t c) {
  return c >= kStrayBase + 0x80 && c <= kStrayBase + 0xFF;
}

// Well-formed sequences only (no overlong forms, no encoded surrogates,
// nothing past U+10FFFF); anything else is one stray byte.
Char DecodeAt(std::string_view s, std::size_t at) {
  unsigned b = Byte(s, at);
  if (b < 0x80) return {b, 1};
  auto stray = Char{kStrayBase + b, 1};
  if (b >= 0xC2 && b <= 0xDF) {
    if (!Continuation(s, at + 1)) return stray;
    return {((b & 0x1Fu) << 6) | (Byte(s, at + 1) & 0x3Fu), 2};
  }
  if (b >= 0xE0 && b <= 0xEF) {
    unsigned lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    if (!Continuation(s, at + 1, lo, hi) || !Continuation(s, at + 2)) return stray;
    return {((b & 0x0Fu) << 12) | ((Byte(s, at + 1) & 0x3Fu) << 6) | (Byte(s, at + 2) & 0x3Fu), 3};
  }
  if (b >= 0xF0 && b <= 0xF4) {
    unsigned lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    if (!Continuation(s, at + 1, lo, hi) || !Continuation(s, at + 2) || !Continuation(s, at + 3))
      return stray;
    return {((b & 0x07u) << 18) | ((Byte(s, at + 1) & 0x3Fu) << 12) |
                ((Byte(s, at + 2) & 0x3Fu) << 6) | (Byte(s, at + 3) & 0x3Fu),
            4};
  }
  return stray;
}

std::size_t Length(std::string_view s) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++n) i += Byte(s, i) < 0x80 ? 1 : DecodeAt(s, i).bytes;
  return n;
}

std::size_t Advance(std::string_view s, std::size_t from, std::size_t chars) {
  std::size_t i = from;
  for (; i < s.size() && chars > 0; --chars) i += Byte(s, i) < 0x80 ? 1 : DecodeAt(s, i).bytes;
  return i < s.size() ? i : s.size();
}

std::u32string Decode(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    Char c = DecodeAt(s, i);
    out.push_back(c.code);
    i += c.bytes;
  }
  return out;
}

void Append(std::string& out, char32_t c) {
  if (IsStray(c)) {
    out.push_back(static_cast<char>(c - kStrayBase));
    return;
  }
  // Only stray bytes decode to surrogates; any other is not text.
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string Encode(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t c : s) Append(out, c);
  return out;
}

char32_t Upper(char32_t c) {
  auto odd = [c] { return (c & 1) != 0; };
  if (c < 0x80) return c >= 'a' && c <= 'z' ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE) return c == 0xF7 ? c : c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x131) return 'I';
    if (c == 0x17F) return 'S';
    if ((c <= 0x137 || (c >= 0x14A && c <= 0x177)) && odd()) return c - 1;
    if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && !odd()) return c - 1;
    return c;
  }
  if (c >= 0x370 && c <= 0x3FF) {
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return c - 37;
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return c - 63;
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x3B1 && c <= 0x3CB) return c - 32;
    return c;
  }
  if (c >= 0x400 && c <= 0x52F) {
    if (c >= 0x430 && c <= 0x44F) return c - 32;
    if (c >= 0x450 && c <= 0x45F) return c - 80;
    if (c == 0x4CF) return 0x4C0;
    if (((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || c >= 0x4D0) && odd())
      return c - 1;
    if (c >= 0x4C1 && c <= 0x4CE && !odd()) return c - 1;
  }
  return c;
}

char32_t Lower(char32_t c) {
  auto even = [c] { return (c & 1) == 0; };
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE) return c == 0xD7 ? c : c + 32;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130) return 'i';
    if (c == 0x178) return 0xFF;
    if ((c <= 0x137 || (c >= 0x14A && c <= 0x177)) && even()) return c + 1;
    if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && !even()) return c + 1;
    return c;
  }
  if (c >= 0x370 && c <= 0x3FF) {
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    return c;
  }
  if (c >= 0x400 && c <= 0x52F) {
    if (c <= 0x40F) return c + 80;
    if (c <= 0x42F) return c + 32;
    if (c == 0x4C0) return 0x4CF;
    if (((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || c >= 0x4D0) && even())
      return c + 1;
    if (c >= 0x4C1 && c <= 0x4CE && !even()) return c + 1;
  }
  return c;
}

std::string Upper(std::string_view s) {
  return MapText(s, [](char32_t c) { return Upper(c); });
}
std::string Lower(std::string_view s) {
  return MapText(s, [](char32_t c) { return Lower(c); });
}

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace qz::vbs::text
