// The byte array a variant carries, and the allocator that keeps it cheap to
// fill: growing it leaves the new bytes as they are instead of zeroing them,
// since whoever grows it (a file read back, a copy) writes them at once.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace qz {

// std::allocator, except that a value constructed without arguments is
// default-initialised: for bytes, left unwritten.
template <class T>
class UninitialisedAllocator : public std::allocator<T> {
 public:
  using value_type = T;
  UninitialisedAllocator() noexcept = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T, class U>
bool operator==(const UninitialisedAllocator<T>&, const UninitialisedAllocator<U>&) noexcept {
  return true;
}

// resize() on it leaves the new bytes unwritten: the caller fills them.
using ByteArray = std::vector<std::uint8_t, UninitialisedAllocator<std::uint8_t>>;

}  // namespace qz
