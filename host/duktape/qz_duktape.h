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
  // A budget of the page's own that it has spent; the script stops as on a
  // timeout, and the page names the budget.
  enum class Spent : int { None, Response, Objects, RegexpSteps };

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
  std::size_t heap_peak = 0;
  int refusals = 0;
  std::atomic<bool> out_of_memory{false};

  // Steps the regular-expression engine has run for the page (counted in
  // blocks of 65536), and the most it may run.
  std::uint64_t regexp_steps = 0;
  std::uint64_t regexp_step_limit = UINT64_MAX;

  std::atomic<Spent> spent{Spent::None};
  // Records the first budget spent; later ones keep it.
  void Spend(Spent what) {
    Spent none = Spent::None;
    spent.compare_exchange_strong(none, what);
  }

  // Makes the budget new for the next page of a heap kept from page to
  // page: every limit and count as at first, except the bytes the heap holds.
  void StartPage() {
    deadline_ms = INT64_MAX;
    stop = false;
    heap_limit = SIZE_MAX;
    heap_peak = heap_bytes;
    refusals = 0;
    out_of_memory = false;
    regexp_steps = 0;
    regexp_step_limit = UINT64_MAX;
    spent = Spent::None;
  }

  static std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool Expired() const {
    return stop.load(std::memory_order_relaxed) || out_of_memory.load(std::memory_order_relaxed) ||
           spent.load(std::memory_order_relaxed) != Spent::None ||
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
// The regexp executor's check, every 65536 steps (thread: the executing
// duk_hthread): counts the steps against the heap's budget; nonzero, when
// the budget has run out, stops the expression with a RangeError.
int qz_duk_regexp_check(void* thread);
// Makes the running script check its budget before its next instruction,
// instead of at the next periodic check.
void qz_duk_check_budget_soon(duk_context* ctx);
// Called when a native function returns or fails: a budget that ran out
// during the call (its deadline passed, a limit was spent) ends the script
// before its next instruction.
void qz_duk_after_native(duk_context* ctx);
}
