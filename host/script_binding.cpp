#include "host/script_binding.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "host/page_objects.h"
#include "platform/automation/error.h"
#include "platform/com/dispatcher.h"
#include "platform/com/typeinfo.h"

namespace qz::host {
namespace {

constexpr const char* kDispatchKey = DUK_HIDDEN_SYMBOL("qzDispatch");
// A method's function holds a reference of its own to the object, not to the
// script target, so that the target's cache of functions makes no cycle and
// an object the script drops is released at once.
constexpr const char* kMemberOfKey = DUK_HIDDEN_SYMBOL("qzMemberOf");
constexpr const char* kIdKey = DUK_HIDDEN_SYMBOL("qzId");
constexpr const char* kFlagsKey = DUK_HIDDEN_SYMBOL("qzFlags");
// A target keeps the function of each method read from it under this prefix
// and the name as read, so that a page's calls make it once.
constexpr std::string_view kMethodPrefix = DUK_HIDDEN_SYMBOL("qzMethod:");
constexpr const char* kHandlerKey = "qzDispatchHandler";

// The object pointer an engine object holds under a hidden key, or null.
IDispatch* PointerAt(duk_context* ctx, duk_idx_t index, const char* key) {
  duk_get_prop_string(ctx, index, key);
  void* p = duk_get_pointer(ctx, -1);
  duk_pop(ctx);
  return static_cast<IDispatch*>(p);
}

// The object behind a Proxy target or Proxy (hidden keys reach the target);
// null for any other value.
IDispatch* DispatchOf(duk_context* ctx, duk_idx_t index) {
  if (!duk_is_object(ctx, index)) return nullptr;
  return PointerAt(ctx, index, kDispatchKey);
}

IDispatch* ObjectOrThrow(duk_context* ctx, IDispatch* d) {
  if (d == nullptr) {
    EXCEPINFO e{err::kObjectRequired, "Quenza page host",
                std::string(StandardMessage(err::kObjectRequired))};
    ThrowStatus(ctx, HResultFromNumber(err::kObjectRequired), e);
  }
  return d;
}

IDispatch* TargetOrThrow(duk_context* ctx, duk_idx_t index) {
  return ObjectOrThrow(ctx, DispatchOf(ctx, index));
}

// Releases the reference held under key by the object at index 0. Runs once
// per holder: the pointer is cleared so that a second run (the engine may
// finalize again on heap destruction) releases nothing.
void ReleaseHeld(duk_context* ctx, const char* key) {
  IDispatch* d = PointerAt(ctx, 0, key);
  if (d != nullptr) {
    duk_push_pointer(ctx, nullptr);
    duk_put_prop_string(ctx, 0, key);
    d->Release();
  }
}

duk_ret_t Finalize(duk_context* ctx) {
  ReleaseHeld(ctx, kDispatchKey);
  return 0;
}

duk_ret_t FinalizeMember(duk_context* ctx) {
  ReleaseHeld(ctx, kMemberOfKey);
  return 0;
}

// What the member table says of a name.
struct MemberShape {
  bool found = false;
  bool plain_get = false;  // a read accessor without parameters
  bool method = false;
  bool get_with_params = false;
  bool put_ref = false;
};

MemberShape ShapeOf(IDispatch* d, std::string_view name) {
  MemberShape s;
  for (const MemberInfo* row : MembersNamed(d->GetTypeInfo(), name)) {
    const MemberInfo& m = *row;
    s.found = true;
    switch (m.kind) {
      case MemberKind::PropertyGet:
        (m.params.empty() ? s.plain_get : s.get_with_params) = true;
        break;
      case MemberKind::Method:
        s.method = true;
        break;
      case MemberKind::PropertyPutRef:
        s.put_ref = true;
        break;
      case MemberKind::PropertyPut:
        break;
    }
  }
  return s;
}

// Names the engine itself asks of any object (conversions, JSON, promise
// checks): unknown ones answer undefined instead of failing.
bool IsProbeName(std::string_view name) {
  return name == "toString" || name == "valueOf" || name == "toJSON" || name == "then" ||
         name == "constructor" || name == "inspect";
}

DISPID IdOrThrow(duk_context* ctx, IDispatch* d, std::string_view name) {
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = d->GetIDsOfNames(name, &id);
  if (Failed(hr)) {
    EXCEPINFO e{err::kObjectDoesntSupportMember, "Quenza page host",
                std::string(StandardMessage(err::kObjectDoesntSupportMember))};
    ThrowStatus(ctx, HResultFromNumber(err::kObjectDoesntSupportMember), e);
  }
  return id;
}

void InvokeAndPush(duk_context* ctx, IDispatch* d, DISPID id, std::uint16_t flags,
                   std::span<Variant> args) {
  Variant result;
  EXCEPINFO excep;
  // Keep the object alive through the call even if the script's last
  // reference goes away meanwhile.
  ComPtr<IDispatch> hold(d);
  HRESULT hr = d->Invoke(id, flags, args, &result, &excep);
  if (Failed(hr)) ThrowStatus(ctx, hr, excep);
  PushVariant(ctx, result);
}

// A method function's member and call kind fit its 16-bit magic when the
// member's id is small, as every id of ours is: the call then reads one
// property, not three. Magic 0 means they are in properties.
constexpr DISPID kMaxMagicId = 0x3FFE;
int MagicOf(DISPID id, std::uint16_t flags) {
  if (id < 0 || id > kMaxMagicId) return 0;
  return ((id + 1) << 1) | (flags == DISPATCH_METHOD ? 1 : 0);
}

// The function a method read answers: calls the member with the arguments.
duk_ret_t CallMember(duk_context* ctx) {
  duk_idx_t n = duk_get_top(ctx);
  const int magic = duk_get_current_magic(ctx);
  duk_push_current_function(ctx);
  IDispatch* target = ObjectOrThrow(ctx, PointerAt(ctx, -1, kMemberOfKey));
  DISPID member_id;
  std::uint16_t flags;
  if (magic > 0) {
    member_id = (magic >> 1) - 1;
    flags = (magic & 1) != 0 ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
    duk_pop(ctx);
  } else {
    duk_get_prop_string(ctx, -1, kIdKey);
    member_id = static_cast<DISPID>(duk_get_int(ctx, -1));
    duk_get_prop_string(ctx, -2, kFlagsKey);
    flags = static_cast<std::uint16_t>(duk_get_uint(ctx, -1));
    duk_pop_n(ctx, 3);
  }
  // Most calls pass a few arguments: those need no allocation.
  constexpr duk_idx_t kInline = 4;
  std::array<Variant, kInline> few;
  std::vector<Variant> many;
  std::span<Variant> args;
  if (n <= kInline) {
    for (duk_idx_t i = 0; i < n; ++i) few[static_cast<std::size_t>(i)] = ToVariant(ctx, i);
    args = std::span<Variant>(few.data(), static_cast<std::size_t>(n));
  } else {
    many.reserve(static_cast<std::size_t>(n));
    for (duk_idx_t i = 0; i < n; ++i) many.push_back(ToVariant(ctx, i));
    args = many;
  }
  InvokeAndPush(ctx, target, member_id, flags, args);
  return 1;
}

// get(target, key, receiver)
duk_ret_t TrapGet(duk_context* ctx) {
  if (duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) return 0;
  duk_size_t length = 0;
  const char* text = duk_get_lstring(ctx, 1, &length);
  const std::string_view name(text, length);
  // The key of the kept function; on the stack for the usual short names.
  char short_key[64];
  std::string long_key;
  std::string_view method_key;
  if (kMethodPrefix.size() + name.size() <= sizeof short_key) {
    std::memcpy(short_key, kMethodPrefix.data(), kMethodPrefix.size());
    std::memcpy(short_key + kMethodPrefix.size(), name.data(), name.size());
    method_key = std::string_view(short_key, kMethodPrefix.size() + name.size());
  } else {
    long_key.append(kMethodPrefix).append(name);
    method_key = long_key;
  }
  if (duk_get_prop_lstring(ctx, 0, method_key.data(), method_key.size())) return 1;
  duk_pop(ctx);

  IDispatch* d = TargetOrThrow(ctx, 0);
  MemberShape shape = ShapeOf(d, name);
  if (!shape.found && IsProbeName(name)) return 0;
  DISPID id = IdOrThrow(ctx, d, name);
  if (shape.plain_get || !shape.found) {
    InvokeAndPush(ctx, d, id, DISPATCH_PROPERTYGET, {});
    return 1;
  }
  // A method (or a read accessor with parameters): a function that calls it,
  // kept on the target for the next read of the same name.
  const std::uint16_t flags = shape.method ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
  const int magic = MagicOf(id, flags);
  duk_push_c_function(ctx, Protected<CallMember>, DUK_VARARGS);
  duk_set_magic(ctx, -1, magic);
  duk_push_c_function(ctx, FinalizeMember, 1);
  duk_set_finalizer(ctx, -2);
  d->AddRef();
  duk_push_pointer(ctx, d);
  duk_put_prop_string(ctx, -2, kMemberOfKey);
  if (magic == 0) {
    duk_push_int(ctx, id);
    duk_put_prop_string(ctx, -2, kIdKey);
    duk_push_uint(ctx, flags);
    duk_put_prop_string(ctx, -2, kFlagsKey);
  }
  duk_dup_top(ctx);
  duk_put_prop_lstring(ctx, 0, method_key.data(), method_key.size());
  return 1;
}

// set(target, key, value, receiver)
duk_ret_t TrapSet(duk_context* ctx) {
  if (duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) {
    duk_push_false(ctx);
    return 1;
  }
  IDispatch* d = TargetOrThrow(ctx, 0);
  std::string name = duk_get_string(ctx, 1);
  DISPID id = IdOrThrow(ctx, d, name);
  Variant value = ToVariant(ctx, 2);
  std::uint16_t flags = DISPATCH_PROPERTYPUT;
  if (value.type() == VarType::Object && ShapeOf(d, name).put_ref) flags = DISPATCH_PROPERTYPUTREF;
  std::vector<Variant> args;
  args.push_back(std::move(value));
  InvokeAndPush(ctx, d, id, flags, args);
  duk_pop(ctx);
  duk_push_true(ctx);
  return 1;
}

}  // namespace

std::string Utf8FromEngineText(std::string_view text) {
  // A surrogate in CESU-8: ED A0..BF xx (high A0..AF, low B0..BF).
  auto surrogate = [&](std::size_t i, unsigned char first, unsigned char last) {
    if (i + 3 > text.size()) return -1;
    auto b0 = static_cast<unsigned char>(text[i]);
    auto b1 = static_cast<unsigned char>(text[i + 1]);
    auto b2 = static_cast<unsigned char>(text[i + 2]);
    if (b0 != 0xED || b1 < first || b1 > last || (b2 & 0xC0) != 0x80) return -1;
    return ((b1 & 0x0F) << 6) | (b2 & 0x3F);
  };
  if (text.find('\xED') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    int high = surrogate(i, 0xA0, 0xAF);
    int low = high < 0 ? -1 : surrogate(i + 3, 0xB0, 0xBF);
    if (high < 0 || low < 0) {
      out.push_back(text[i++]);
      continue;
    }
    std::uint32_t cp =
        0x10000 + (static_cast<std::uint32_t>(high) << 10) + static_cast<std::uint32_t>(low);
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    i += 6;
  }
  return out;
}

void InitDispatchBinding(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_push_object(ctx);
  duk_push_c_function(ctx, Protected<TrapGet>, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_c_function(ctx, Protected<TrapSet>, 4);
  duk_put_prop_string(ctx, -2, "set");
  duk_put_prop_string(ctx, -2, kHandlerKey);
  duk_pop(ctx);
}

void PushDispatch(duk_context* ctx, IDispatch* object) {
  if (object == nullptr) {
    duk_push_null(ctx);
    return;
  }
  duk_push_object(ctx);
  duk_push_c_function(ctx, Finalize, 1);
  duk_set_finalizer(ctx, -2);
  object->AddRef();
  duk_push_pointer(ctx, object);
  duk_put_prop_string(ctx, -2, kDispatchKey);
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kHandlerKey);
  duk_remove(ctx, -2);
  duk_push_proxy(ctx, 0);
}

void PushVariant(duk_context* ctx, const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      duk_push_undefined(ctx);
      return;
    case VarType::Null:
      duk_push_null(ctx);
      return;
    case VarType::I2:
      duk_push_int(ctx, v.i2());
      return;
    case VarType::I4:
      duk_push_int(ctx, v.i4());
      return;
    case VarType::R4:
      duk_push_number(ctx, v.r4());
      return;
    case VarType::R8:
      duk_push_number(ctx, v.r8());
      return;
    case VarType::Bool:
      duk_push_boolean(ctx, v.boolean() != VARIANT_FALSE);
      return;
    case VarType::String:
      duk_push_lstring(ctx, v.str().data(), v.str().size());
      return;
    case VarType::Object: {
      if (!v.object()) {
        duk_push_null(ctx);
        return;
      }
      ComPtr<IDispatch> d = v.object().As<IDispatch>(IID_IDispatch);
      if (!d) Raise(err::kClassDoesNotSupportAutomation, {}, "Quenza page host");
      PushDispatch(ctx, d.get());
      return;
    }
    case VarType::Bytes: {
      const auto& bytes = v.bytes();
      void* buf = duk_push_fixed_buffer(ctx, bytes.size());
      if (!bytes.empty()) std::memcpy(buf, bytes.data(), bytes.size());
      duk_push_buffer_object(ctx, -1, 0, bytes.size(), DUK_BUFOBJ_UINT8ARRAY);
      duk_remove(ctx, -2);
      return;
    }
  }
  duk_push_undefined(ctx);
}

Variant ToVariant(duk_context* ctx, duk_idx_t index) {
  switch (duk_get_type(ctx, index)) {
    case DUK_TYPE_UNDEFINED:
    case DUK_TYPE_NONE:
      return Variant();
    case DUK_TYPE_NULL:
      return Variant::Null();
    case DUK_TYPE_BOOLEAN:
      return Variant::Bool(duk_get_boolean(ctx, index) != 0);
    case DUK_TYPE_NUMBER: {
      double d = duk_get_number(ctx, index);
      if (std::isfinite(d) && d == std::trunc(d) && d >= std::numeric_limits<std::int32_t>::min() &&
          d <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(d));
      }
      return Variant(d);
    }
    case DUK_TYPE_STRING: {
      duk_size_t len = 0;
      const char* s = duk_get_lstring(ctx, index, &len);
      return Variant(Utf8FromEngineText(std::string_view(s, len)));
    }
    case DUK_TYPE_BUFFER:
    case DUK_TYPE_OBJECT: {
      if (duk_is_buffer_data(ctx, index)) {
        duk_size_t len = 0;
        auto* p = static_cast<const std::uint8_t*>(duk_get_buffer_data(ctx, index, &len));
        return Variant(ByteArray(p, p + len));
      }
      if (IDispatch* d = DispatchOf(ctx, index)) return Variant(ComPtr<IUnknown>(d));
      break;
    }
    default:
      break;
  }
  Raise(err::kTypeMismatch, {}, "Quenza page host");
}

void ThrowStatus(duk_context* ctx, HRESULT hr, const EXCEPINFO& excep) {
  qz_duk_after_native(ctx);
  HRESULT status = hr;
  if (hr == DISP_E_EXCEPTION && excep.number != 0) status = HResultFromNumber(excep.number);
  std::string description = excep.description;
  if (description.empty()) description = std::string(StandardMessage(NumberFromHResult(status)));
  // No C file and line: the error is blamed on the calling script line.
  duk_push_error_object_raw(ctx, DUK_ERR_ERROR, nullptr, 0, "%s", description.c_str());
  duk_push_int(ctx, status);
  duk_put_prop_string(ctx, -2, "number");
  duk_push_lstring(ctx, description.data(), description.size());
  duk_put_prop_string(ctx, -2, "description");
  duk_push_lstring(ctx, excep.source.data(), excep.source.size());
  duk_put_prop_string(ctx, -2, "source");
  duk_throw(ctx);
  std::abort();  // duk_throw does not return
}

}  // namespace qz::host
