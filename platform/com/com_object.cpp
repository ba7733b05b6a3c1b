#include "platform/com/com_object.h"

namespace qz {

namespace {
// Hidden with the rest of this layer: each module has its own pair.
std::atomic<std::int64_t> g_objects{0};
std::atomic<std::int64_t> g_locks{0};
}  // namespace

void ModuleObjectCreated() noexcept {
  g_objects.fetch_add(1, std::memory_order_relaxed);
}
void ModuleObjectDestroyed() noexcept {
  g_objects.fetch_sub(1, std::memory_order_acq_rel);
}
void ModuleLock() noexcept {
  g_locks.fetch_add(1, std::memory_order_relaxed);
}
void ModuleUnlock() noexcept {
  // An unlock without a lock must not leave the module unloadable forever.
  std::int64_t n = g_locks.load(std::memory_order_relaxed);
  while (n > 0 && !g_locks.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
  }
}
std::int64_t ModuleObjectCount() noexcept {
  return g_objects.load(std::memory_order_acquire);
}
std::int64_t ModuleLockCount() noexcept {
  return g_locks.load(std::memory_order_acquire);
}
bool ModuleCanUnload() noexcept {
  return ModuleObjectCount() == 0 && ModuleLockCount() == 0;
}

}  // namespace qz
