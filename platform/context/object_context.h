// The object context of the current activation, the object-control interface
// through which a host drives a configured object, and the page's Response.
//
// A host sets the current context of its thread around the work of one page
// (ObjectContextScope); objects find it with GetObjectContext. The current
// context lives behind the C functions CoGetObjectContext and
// CoSetObjectContext, which an executable that hosts the library exports, so
// that a library loaded into it sees the host's context, not a copy of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/automation/variant.h"
#include "platform/com/unknown.h"

namespace qz {

inline constexpr HRESULT CONTEXT_E_NOCONTEXT = static_cast<HRESULT>(0x8004E004u);

inline constexpr IID IID_IObjectContext = {
    0x51372AE0, 0xCAE7, 0x11CF, {0xBE, 0x81, 0x00, 0xAA, 0x00, 0xA2, 0xFA, 0x25}};
inline constexpr IID IID_ObjectControl = {
    0x51372AEC, 0xCAE7, 0x11CF, {0xBE, 0x81, 0x00, 0xAA, 0x00, 0xA2, 0xFA, 0x25}};
inline constexpr IID IID_IResponse = {
    0xD97A6DA0, 0xA864, 0x11CF, {0x83, 0xBE, 0x00, 0xA0, 0xC9, 0x0C, 0x2B, 0xD8}};

class IObjectContext : public IUnknown {
 public:
  // The named item: "Response" answers a variant holding the page's Response
  // object. An unknown name fails with E_INVALIDARG.
  virtual HRESULT GetItem(std::string_view name, Variant* out) = 0;

 protected:
  ~IObjectContext() = default;
};

class ObjectControl : public IUnknown {
 public:
  virtual HRESULT Activate() = 0;
  virtual HRESULT Deactivate() = 0;
  virtual VARIANT_BOOL CanBePooled() = 0;

 protected:
  ~ObjectControl() = default;
};

// The operations of the page's Response that the component relies on.
class IResponse : public IUnknown {
 public:
  virtual HRESULT put_Buffer(VARIANT_BOOL buffer) = 0;
  virtual HRESULT put_ContentType(std::string_view type) = 0;
  // Appends the bytes of a variant byte array to the body, unchanged.
  virtual HRESULT BinaryWrite(const Variant& bytes) = 0;
  // Appends the text form of the value to the body.
  virtual HRESULT Write(const Variant& text) = 0;
  // Finishes the response; later writes are ignored. Returns to the caller.
  virtual HRESULT End() = 0;
  // BinaryWrite of bytes the caller gives up: the response may keep the
  // variant's array as it is instead of copying it, leaving the variant
  // empty. A response without a cheaper way copies, as BinaryWrite does.
  virtual HRESULT BinaryWriteOwned(Variant&& bytes) { return BinaryWrite(bytes); }

 protected:
  ~IResponse() = default;
};

// Answers the calling thread's current context (with a reference for the
// caller), or CONTEXT_E_NOCONTEXT when no host set one.
HRESULT GetObjectContext(IObjectContext** out);

// Makes context the calling thread's current context for the scope's life,
// restoring the previous one after. The scope holds a reference.
class ObjectContextScope {
 public:
  explicit ObjectContextScope(IObjectContext* context);
  ~ObjectContextScope();
  ObjectContextScope(const ObjectContextScope&) = delete;
  ObjectContextScope& operator=(const ObjectContextScope&) = delete;

 private:
  IObjectContext* previous_;
};

}  // namespace qz

extern "C" {
// Answers the thread's current context without a new reference (or null).
__attribute__((visibility("default"))) qz::IObjectContext* CoGetObjectContext();
// Sets the thread's current context (no reference is taken) and answers the
// previous one.
__attribute__((visibility("default"))) qz::IObjectContext* CoSetObjectContext(
    qz::IObjectContext* context);
}
