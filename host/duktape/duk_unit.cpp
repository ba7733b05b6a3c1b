// Duktape, compiled into the host from the Debian source with the generated
// duk_config.h (execution timeout check, C++ exceptions so that RAII owners
// in native functions unwind properly).
#include "duktape.c"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "host/duktape/qz_duktape.h"

extern "C" int qz_duk_exec_timeout_check(void* udata) {
  if (udata == nullptr) return 0;
  return static_cast<const qz::host::ScriptBudget*>(udata)->Expired() ? 1 : 0;
}

extern "C" int qz_duk_regexp_check(void* thread) {
  auto* thr = static_cast<duk_hthread*>(thread);
  auto* budget = static_cast<qz::host::ScriptBudget*>(thr->heap->heap_udata);
  if (budget == nullptr) return 0;
  budget->regexp_steps += 0x10000;
  if (budget->regexp_steps >= budget->regexp_step_limit)
    budget->Spend(qz::host::ScriptBudget::Spent::RegexpSteps);
  if (!budget->Expired()) return 0;
  // The expression fails with a RangeError; the script stops before its next
  // instruction, so no catch in the page goes on past its budget.
  thr->interrupt_counter = 0;
  return 1;
}

extern "C" void qz_duk_after_native(duk_context* ctx) {
  auto* thr = reinterpret_cast<duk_hthread*>(ctx);
  if (qz_duk_exec_timeout_check(thr->heap->heap_udata)) thr->interrupt_counter = 0;
}

extern "C" void qz_duk_check_budget_soon(duk_context* ctx) {
  // The executor reads the counter before every instruction and runs the
  // interrupt (with the timeout check) once it reaches zero.
  reinterpret_cast<duk_hthread*>(ctx)->interrupt_counter = 0;
}

namespace qz::host {
namespace {

// Each block carries its size in a header that keeps the engine's alignment.
constexpr std::size_t kHeader = alignof(std::max_align_t);

std::size_t& BlockSize(void* block) {
  return *static_cast<std::size_t*>(block);
}

// The engine retries a refused allocation after garbage collections, so a
// page that merely runs close to its limit sees a few refusals; a page that
// keeps allocating after its out-of-memory errors sees them pile up.
constexpr int kRefusalsWhenFull = 64;

void* Refuse(qz::host::ScriptBudget* budget) {
  if (++budget->refusals >= kRefusalsWhenFull) budget->out_of_memory = true;
  return nullptr;
}

}  // namespace

void* BudgetAlloc(void* udata, duk_size_t size) {
  auto* budget = static_cast<ScriptBudget*>(udata);
  if (size == 0) return nullptr;
  if (size > budget->heap_limit - budget->heap_bytes || size > SIZE_MAX - kHeader)
    return Refuse(budget);
  void* block = std::malloc(kHeader + size);
  if (block == nullptr) return Refuse(budget);
  BlockSize(block) = size;
  budget->heap_bytes += size;
  budget->heap_peak = std::max(budget->heap_peak, budget->heap_bytes);
  return static_cast<char*>(block) + kHeader;
}

void* BudgetRealloc(void* udata, void* ptr, duk_size_t size) {
  auto* budget = static_cast<ScriptBudget*>(udata);
  if (ptr == nullptr) return BudgetAlloc(udata, size);
  if (size == 0) {
    BudgetFree(udata, ptr);
    return nullptr;
  }
  void* block = static_cast<char*>(ptr) - kHeader;
  std::size_t old = BlockSize(block);
  if (size > old &&
      (size - old > budget->heap_limit - budget->heap_bytes || size > SIZE_MAX - kHeader)) {
    return Refuse(budget);
  }
  void* grown = std::realloc(block, kHeader + size);
  if (grown == nullptr) return Refuse(budget);
  BlockSize(grown) = size;
  budget->heap_bytes = budget->heap_bytes - old + size;
  budget->heap_peak = std::max(budget->heap_peak, budget->heap_bytes);
  return static_cast<char*>(grown) + kHeader;
}

void BudgetFree(void* udata, void* ptr) {
  if (ptr == nullptr) return;
  auto* budget = static_cast<ScriptBudget*>(udata);
  void* block = static_cast<char*>(ptr) - kHeader;
  budget->heap_bytes -= BlockSize(block);
  std::free(block);
}

}  // namespace qz::host
