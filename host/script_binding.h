// The binding of dispatch objects and automation values into page scripts.
//
// A dispatch object appears in the script as a Proxy: reading a property
// calls its read accessor, assigning calls its write accessor (the
// write-reference accessor for an object value), reading a method answers a
// function that calls it; names match in any letter case. Failures are
// thrown into the script as Error objects carrying number (the status as a
// signed 32-bit number), description, source and message.
#pragma once

#include <duktape.h>

#include <new>
#include <string>
#include <string_view>

#include "host/duktape/qz_duktape.h"
#include "platform/automation/error.h"
#include "platform/automation/variant.h"
#include "platform/com/dispatch.h"

namespace qz::host {

// Installs the Proxy handler in the heap; once per heap, before the first
// PushDispatch.
void InitDispatchBinding(duk_context* ctx);

// Pushes the script form of a dispatch object (takes its own reference,
// released when the script lets go of the object or the heap is destroyed).
void PushDispatch(duk_context* ctx, IDispatch* object);

// Automation value -> script value: empty gives undefined, null null, every
// number a number, a boolean true/false, text a string, an object its Proxy,
// a byte array a Uint8Array. Raises qz::Error for an object without IDispatch.
void PushVariant(duk_context* ctx, const Variant& value);

// Script value -> automation value: undefined is empty, null null, a whole
// number within 32 bits a 32-bit integer, other numbers a double, booleans
// true (-1) or false, strings text, a dispatch Proxy the object, a buffer a
// byte array. Raises Type mismatch (13) for other objects.
Variant ToVariant(duk_context* ctx, duk_idx_t index);

// The engine keeps a character beyond U+FFFF as two surrogates, each encoded
// on its own (CESU-8); text leaving the engine joins each such pair into the
// character's UTF-8 form. Every other byte passes unchanged.
std::string Utf8FromEngineText(std::string_view text);

// Throws an Error into the script for a failed status (never returns); a
// page whose budget ran out stops before the script's next instruction.
[[noreturn]] void ThrowStatus(duk_context* ctx, HRESULT hr, const EXCEPINFO& excep);

// A native function for Duktape that turns a qz::Error raised by F (or a
// refused allocation) into a script Error (ThrowStatus), so no C++ exception
// of ours crosses the interpreter. However F ends, a page whose budget ran
// out meanwhile (a long native call past the deadline) stops before its next
// instruction.
template <duk_ret_t (*F)(duk_context*)>
duk_ret_t Protected(duk_context* ctx) {
  EXCEPINFO excep;
  HRESULT hr = S_OK;
  try {
    duk_ret_t ret = F(ctx);
    qz_duk_after_native(ctx);
    return ret;
  } catch (const Error& e) {
    excep.number = e.number();
    excep.source = e.source();
    excep.description = e.description();
    hr = e.hresult();
  } catch (const std::bad_alloc&) {
    excep.number = err::kOutOfMemory;
    excep.source = "Quenza page host";
    hr = HResultFromNumber(err::kOutOfMemory);
  }
  ThrowStatus(ctx, hr, excep);
}

}  // namespace qz::host
