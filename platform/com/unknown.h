// The root of every object interface: identity, reference counting and
// interface navigation, with a smart pointer that owns one reference.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/automation/error.h"

namespace qz {

struct GUID {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};

  friend bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
  }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal.
std::string GuidToString(const GUID& g);
// Parses the form above (braces optional); false when it is not a GUID.
bool GuidFromString(std::string_view text, GUID* out);

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Objects are created with one reference owned by their creator and destroy
// themselves when the last reference is released. The destructor is not
// public: nothing deletes an object except its own Release.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// Owns one reference to a T (an interface derived from IUnknown).
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference on p.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.get())) {}
  ~ComPtr() { reset(); }

  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a reference the caller already owns (no AddRef).
  static ComPtr Attach(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }
  // Gives up ownership of the reference without releasing it.
  T* Detach() { return std::exchange(p_, nullptr); }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }

  // For out-parameters: releases what is held and answers the slot.
  T** put() {
    reset();
    return &p_;
  }

  // QueryInterface for U through its IID_ constant.
  template <class U>
  ComPtr<U> As(REFIID iid) const {
    void* out = nullptr;
    if (p_ == nullptr || Failed(p_->QueryInterface(iid, &out))) return {};
    return ComPtr<U>::Attach(static_cast<U*>(out));
  }

 private:
  T* p_ = nullptr;
};

}  // namespace qz
