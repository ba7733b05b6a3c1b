// A small dispatch class for the tests of this layer, also served by the test
// server library: one property of each declared kind and a few methods that
// exercise conversions, by-reference parameters and errors.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/com/dispatcher.h"

// The test server library builds its own copy of the class under another
// inline namespace: a host that exports its symbols must not lend the
// library its copy of the class (each counts objects for its own module).
#ifndef QZ_SAMPLE_NAMESPACE
#define QZ_SAMPLE_NAMESPACE in_host
#endif

namespace qz::test {
inline namespace QZ_SAMPLE_NAMESPACE {

inline constexpr IID IID_Sample = {
    0x6B1F0C21, 0x35D2, 0x4C8E, {0x9A, 0x51, 0x0E, 0x7C, 0x42, 0x11, 0xB3, 0x90}};
inline constexpr IID IID_Unrelated = {
    0x6B1F0C22, 0x35D2, 0x4C8E, {0x9A, 0x51, 0x0E, 0x7C, 0x42, 0x11, 0xB3, 0x90}};

enum SampleId : DISPID {
  kValue = 1,
  kCount = 2,
  kName = 3,
  kEnabled = 4,
  kLabel = 5,
  kAdd = 10,
  kDecorate = 11,
  kFail = 12,
  kIdentity = 13,
  kThrow = 14,
  kTwice = 15,
};

const TypeInfo& SampleTypeInfo();

class SampleObject final : public DispatchObject<> {
 public:
  SampleObject() : DispatchObject(SampleTypeInfo()) {}

  std::int32_t Add(std::int16_t a, std::int16_t b) { return a + b; }
  void Decorate(std::string& text) { text += "!"; }
  void Fail(std::int32_t number, const std::string& description) {
    Raise(number, description, "Sample.Fail");
  }
  Variant Identity(ComPtr<IUnknown> object) { return Variant(std::move(object)); }
  void Throw() { throw std::runtime_error("not a qz::Error"); }
  double Twice(double x) const { return 2 * x; }
  std::string GetLabel() const { return label_; }
  void PutLabel(const std::string& label) { label_ = "<" + label + ">"; }

  // The binding table, for CheckBindings.
  static std::span<const MemberBinding<SampleObject>> Bindings();

 protected:
  void InvokeMember(const MemberInfo& member, std::span<Variant> args, Variant* result) override;

 private:
  ~SampleObject() override = default;

  static const MemberBinding<SampleObject> kBindings[];

  Variant value_;
  std::int16_t count_ = 0;
  std::string name_;
  VARIANT_BOOL enabled_ = VARIANT_FALSE;
  std::string label_;
};

}  // namespace QZ_SAMPLE_NAMESPACE
}  // namespace qz::test
