// The page script engine: Duktape built from the Debian source with an
// execution budget. A heap created with a ScriptBudget as its user data stops
// running script once the budget's deadline passes or a stop is requested:
// the engine then throws an uncatchable "execution timeout" RangeError until
// the script has unwound completely.
#pragma once

#include <duktape.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qz::host {

struct ScriptBudget {
  // Steady-clock milliseconds; the script stops when the clock passes it.
  std::atomic<std::int64_t> deadline_ms{INT64_MAX};
  // Set when the page must stop now (Response.End, server shutdown).
  std::atomic<bool> stop{false};

  // Bytes the heap holds now, and the most it may hold: an allocation beyond
  // the limit fails, which the engine reports as an out-of-memory error.
  // When refusals pile up (the engine retries each after a garbage
  // collection; a page that catches its out-of-memory errors and goes on
  // would otherwise run until its timeout) the script stops as on a timeout.
  std::size_t heap_bytes = 0;
  std::size_t heap_limit = SIZE_MAX;
  int refusals = 0;
  std::atomic<bool> out_of_memory{false};

  static std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool Expired() const {
    return stop.load(std::memory_order_relaxed) || out_of_memory.load(std::memory_order_relaxed) ||
           NowMs() >= deadline_ms.load(std::memory_order_relaxed);
  }
};

}  // namespace qz::host

namespace qz::host {
// Allocation functions for duk_create_heap that keep the heap within its
// budget's heap_limit (the user data must be the ScriptBudget).
void* BudgetAlloc(void* udata, duk_size_t size);
void* BudgetRealloc(void* udata, void* ptr, duk_size_t size);
void BudgetFree(void* udata, void* ptr);
}  // namespace qz::host

extern "C" {
// The engine's check, called every few hundred thousand instructions.
int qz_duk_exec_timeout_check(void* udata);
// Makes the running script check its budget before its next instruction,
// instead of at the next periodic check.
void qz_duk_check_budget_soon(duk_context* ctx);
}
