// The reference-counted base of every object this layer and its libraries
// create, and the module-wide counts that decide whether a library may be
// unloaded.
//
// A class lists the interfaces it implements with Implements<Interface,
// IIDs...> entries; ComObject derives from each Interface and answers
// QueryInterface for every IID of an entry (and IID_IUnknown with the first
// entry's IUnknown, the object's identity):
//
//   class Thing final : public ComObject<Implements<IDispatch, IID_IDispatch>,
//                                        Implements<ObjectControl, IID_ObjectControl>> {
//     ...
//   };
//   ComPtr<IUnknown> thing = CreateComObject<Thing>();
//
// An object starts with one reference, owned by whoever created it, and
// deletes itself when the last reference goes. Reference counting is atomic,
// so a reference may be released on another thread than the one that took it.
// While an object lives it counts as a live object of the module it was built
// into (ModuleCanUnload). A class template between ComObject and a library's
// own class must declare its constructors and destructor QZ_MODULE_LOCAL, as
// DispatchObject does, or a host that exports the same instantiation would
// run them and count the object as its own. A library is safest compiled with
// -fvisibility=hidden, its four exports being marked (exports.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>

#include "platform/com/unknown.h"

// Marks what must bind inside the module it is built into, never to a copy
// that a host executable exports (hosts export their symbols so that a loaded
// library shares the host's object context).
#define QZ_MODULE_LOCAL __attribute__((visibility("hidden")))

namespace qz {

// Module-wide counts of live objects and server locks. Every library links
// its own copy of this layer, with hidden visibility, so each library counts
// only its own objects even when loaded into a host that links the layer too.
QZ_MODULE_LOCAL void ModuleObjectCreated() noexcept;
QZ_MODULE_LOCAL void ModuleObjectDestroyed() noexcept;
QZ_MODULE_LOCAL void ModuleLock() noexcept;
QZ_MODULE_LOCAL void ModuleUnlock() noexcept;
QZ_MODULE_LOCAL std::int64_t ModuleObjectCount() noexcept;
QZ_MODULE_LOCAL std::int64_t ModuleLockCount() noexcept;
// No live object and no server lock.
QZ_MODULE_LOCAL bool ModuleCanUnload() noexcept;

// One entry of a ComObject's interface list: the C++ interface the object
// derives from and the interface identifiers that answer it.
template <class I, const IID&... Iids>
struct Implements {
  static_assert(std::is_base_of_v<IUnknown, I>, "an interface derives from IUnknown");
  static_assert(sizeof...(Iids) > 0, "an interface entry needs at least one IID");
  using Interface = I;
  static bool Matches(REFIID iid) { return ((iid == Iids) || ...); }
};

template <class First, class... Rest>
class ComObject : public First::Interface, public Rest::Interface... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown) {
      *out = ComIdentity();
    } else if (!Find<First, Rest...>(iid, out)) {
      *out = QueryOther(iid);
    }
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  std::uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

  std::uint32_t Release() override {
    std::uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  // The object's identity: the IUnknown of its first interface. No new
  // reference.
  IUnknown* ComIdentity() { return static_cast<typename First::Interface*>(this); }

 protected:
  QZ_MODULE_LOCAL ComObject() { ModuleObjectCreated(); }
  QZ_MODULE_LOCAL virtual ~ComObject() { ModuleObjectDestroyed(); }

  // Interfaces not in the entry list, for a base that only knows its IID at
  // run time. Answers the interface pointer without a new reference, or null.
  virtual void* QueryOther(REFIID) { return nullptr; }

 private:
  template <class E, class... More>
  bool Find(REFIID iid, void** out) {
    if (E::Matches(iid)) {
      *out = static_cast<typename E::Interface*>(this);
      return true;
    }
    if constexpr (sizeof...(More) > 0) {
      return Find<More...>(iid, out);
    } else {
      return false;
    }
  }

  std::atomic<std::uint32_t> refs_{1};
};

// Creates a T (a ComObject) and answers its identity, owning the creation
// reference. Throws what T's constructor throws, std::bad_alloc included.
template <class T, class... Args>
ComPtr<IUnknown> CreateComObject(Args&&... args) {
  T* object = new T(std::forward<Args>(args)...);
  return ComPtr<IUnknown>::Attach(object->ComIdentity());
}

}  // namespace qz
