// Duktape, compiled into the host from the Debian source with the generated
// duk_config.h (execution timeout check, C++ exceptions so that RAII owners
// in native functions unwind properly).
#include "duktape.c"

#include "host/duktape/qz_duktape.h"

extern "C" int qz_duk_exec_timeout_check(void* udata) {
  if (udata == nullptr) return 0;
  return static_cast<const qz::host::ScriptBudget*>(udata)->Expired() ? 1 : 0;
}

extern "C" void qz_duk_check_budget_soon(duk_context* ctx) {
  // The executor reads the counter before every instruction and runs the
  // interrupt (with the timeout check) once it reaches zero.
  reinterpret_cast<duk_hthread*>(ctx)->interrupt_counter = 0;
}
