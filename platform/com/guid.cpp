#include <cstdio>
#include <string>
#include <string_view>

#include "platform/com/unknown.h"

namespace qz {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads exactly digits hexadecimal digits from text at *pos.
bool ReadHex(std::string_view text, std::size_t* pos, int digits, std::uint64_t* out) {
  if (text.size() - *pos < static_cast<std::size_t>(digits)) return false;
  std::uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = HexValue(text[*pos + static_cast<std::size_t>(i)]);
    if (h < 0) return false;
    v = v << 4 | static_cast<std::uint64_t>(h);
  }
  *pos += static_cast<std::size_t>(digits);
  *out = v;
  return true;
}

bool ReadDash(std::string_view text, std::size_t* pos) {
  if (*pos >= text.size() || text[*pos] != '-') return false;
  ++*pos;
  return true;
}

}  // namespace

std::string GuidToString(const GUID& g) {
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return std::string(buf, 38);
}

bool GuidFromString(std::string_view text, GUID* out) {
  if (out == nullptr) return false;
  if (!text.empty() && text.front() == '{') {
    if (text.size() < 2 || text.back() != '}') return false;
    text = text.substr(1, text.size() - 2);
  }
  if (text.size() != 36) return false;
  GUID g;
  std::size_t pos = 0;
  std::uint64_t v = 0;
  if (!ReadHex(text, &pos, 8, &v)) return false;
  g.Data1 = static_cast<std::uint32_t>(v);
  if (!ReadDash(text, &pos) || !ReadHex(text, &pos, 4, &v)) return false;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadDash(text, &pos) || !ReadHex(text, &pos, 4, &v)) return false;
  g.Data3 = static_cast<std::uint16_t>(v);
  if (!ReadDash(text, &pos)) return false;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !ReadDash(text, &pos)) return false;
    if (!ReadHex(text, &pos, 2, &v)) return false;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  *out = g;
  return true;
}

}  // namespace qz
