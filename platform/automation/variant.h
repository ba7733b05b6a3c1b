// The automation variant: the value a script hands to a setting or a method,
// and what a property read answers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/automation/byte_array.h"
#include "platform/com/unknown.h"

namespace qz {

// The subtype tags keep the automation numbering.
enum class VarType : std::uint16_t {
  Empty = 0,
  Null = 1,
  I2 = 2,
  I4 = 3,
  R4 = 4,
  R8 = 5,
  String = 8,
  Object = 9,
  Bool = 11,
  Bytes = 0x2011,  // a one-dimensional array of bytes
};

// A boolean as automation stores it: true is -1, false is 0.
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

class Variant {
 public:
  Variant() = default;  // empty
  Variant(std::int16_t v) : v_(v) {}
  Variant(std::int32_t v) : v_(v) {}
  Variant(float v) : v_(v) {}
  Variant(double v) : v_(v) {}
  Variant(std::string v) : v_(std::move(v)) {}
  Variant(const char* v) : v_(std::string(v)) {}
  Variant(std::string_view v) : v_(std::string(v)) {}
  // An object reference (the variant takes its own reference).
  explicit Variant(ComPtr<IUnknown> object) : v_(std::move(object)) {}
  explicit Variant(ByteArray bytes) : v_(std::move(bytes)) {}
  explicit Variant(const std::vector<std::uint8_t>& bytes)
      : v_(ByteArray(bytes.begin(), bytes.end())) {}

  static Variant Null() {
    Variant v;
    v.v_ = NullTag{};
    return v;
  }
  static Variant Bool(bool b) {
    Variant v;
    v.v_ = BoolTag{b ? VARIANT_TRUE : VARIANT_FALSE};
    return v;
  }

  VarType type() const;
  bool is_empty() const { return v_.index() == 0; }
  bool is_null() const { return std::holds_alternative<NullTag>(v_); }
  bool is_numeric() const;  // I2, I4, R4, R8 or Bool

  // Raw access; each requires the matching type().
  std::int16_t i2() const { return std::get<std::int16_t>(v_); }
  std::int32_t i4() const { return std::get<std::int32_t>(v_); }
  float r4() const { return std::get<float>(v_); }
  double r8() const { return std::get<double>(v_); }
  VARIANT_BOOL boolean() const { return std::get<BoolTag>(v_).value; }
  const std::string& str() const { return std::get<std::string>(v_); }
  const ComPtr<IUnknown>& object() const { return std::get<ComPtr<IUnknown>>(v_); }
  const ByteArray& bytes() const { return std::get<ByteArray>(v_); }
  // Moves the byte array out (requires type() Bytes); the variant keeps an
  // empty one.
  ByteArray TakeBytes() { return std::exchange(std::get<ByteArray>(v_), {}); }

  // Same subtype and same value (objects by identity).
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  struct BoolTag {
    VARIANT_BOOL value;
    friend bool operator==(BoolTag a, BoolTag b) { return a.value == b.value; }
  };
  std::variant<std::monostate, NullTag, std::int16_t, std::int32_t, float, double, BoolTag,
               std::string, ComPtr<IUnknown>, ByteArray>
      v_;
};

// For logs and test failure messages: "I2 255", "String \"3\"", "Empty".
std::string DebugString(const Variant& v);

}  // namespace qz
