// The page script engine: Duktape built from the Debian source with an
// execution budget. A heap created with a ScriptBudget as its user data stops
// running script once the budget's deadline passes or a stop is requested:
// the engine then throws an uncatchable "execution timeout" RangeError until
// the script has unwound completely.
#pragma once

#include <duktape.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qz::host {

struct ScriptBudget {
  // Steady-clock milliseconds; the script stops when the clock passes it.
  std::atomic<std::int64_t> deadline_ms{INT64_MAX};
  // Set when the page must stop now (Response.End, server shutdown).
  std::atomic<bool> stop{false};

  static std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool Expired() const {
    return stop.load(std::memory_order_relaxed) ||
           NowMs() >= deadline_ms.load(std::memory_order_relaxed);
  }
};

}  // namespace qz::host

extern "C" {
// The engine's check, called every few hundred thousand instructions.
int qz_duk_exec_timeout_check(void* udata);
// Makes the running script check its budget before its next instruction,
// instead of at the next periodic check.
void qz_duk_check_budget_soon(duk_context* ctx);
}
