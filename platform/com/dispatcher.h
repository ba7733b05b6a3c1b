// IDispatch driven by a TypeInfo member table (typeinfo.h).
//
// The dispatcher does everything that is the same for every class: name
// lookup in any letter case, choosing the member row for a dispatch
// identifier and the Invoke flags, the argument count, converting each
// argument to its declared type with the standard automation conversions,
// coercing the result to its declared type, writing by-reference arguments
// back, and turning every failure into a status with EXCEPINFO. A class only
// supplies its table and the handlers that read or write its state.
//
// How a class uses it
// -------------------
// 1. Describe the interface as a TypeInfo (typeinfo.h): one MemberInfo row
//    per accessor (a variant setting has PropertyGet, PropertyPut and
//    PropertyPutRef rows with one DISPID; other settings PropertyGet and
//    PropertyPut), one row per method.
// 2. Derive from DispatchObject<...>, naming any further interfaces as
//    Implements<> entries (com_object.h), and pass the TypeInfo to its
//    constructor. QueryInterface then answers IUnknown, IDispatch, the
//    TypeInfo's own IID (the dual interface) and the further entries, whose
//    methods (ObjectControl's Activate, Deactivate, CanBePooled) the class
//    overrides directly. Keep the destructor private: an object dies only by
//    its last Release. Create instances with CreateComObject<Chart>().
// 3. Bind the handlers. Either override InvokeMember and switch on
//    member.id yourself, or, more concisely, keep a table of bindings and
//    forward to it:
//
//      class Chart final : public DispatchObject<Implements<ObjectControl, IID_ObjectControl>> {
//       public:
//        Chart() : DispatchObject(kChartTypeInfo) {}
//        void Rows(std::int16_t x);
//        void ShowError(std::string& mErr);          // by reference: written back
//        Variant GetTmpPath();
//       protected:
//        void InvokeMember(const MemberInfo& m, std::span<Variant> args,
//                          Variant* result) override;
//       private:
//        static const MemberBinding<Chart> kBindings[];
//        Variant height_;                              // variant setting
//        std::int16_t z_title_font_size_ = 0;         // 16-bit integer setting
//        std::string image_type_;                      // string setting
//        VARIANT_BOOL series_stacking_ = VARIANT_FALSE;  // boolean setting
//      };
//
//      const MemberBinding<Chart> Chart::kBindings[] = {
//          BindField<&Chart::height_>(kDispHeight),   // serves get, put and putref
//          BindField<&Chart::series_stacking_>(kDispSeriesStacking),
//          BindMethod<&Chart::Rows>(kDispRows),
//          BindMethod<&Chart::ShowError>(kDispShowError),
//          BindMethod<&Chart::GetTmpPath>(kDispGetTmpPath),
//      };
//      void Chart::InvokeMember(const MemberInfo& m, std::span<Variant> args, Variant* result) {
//        InvokeBinding<Chart>(kBindings, *this, m, args, result);
//      }
//
//    (The table is a static member so that it may name private members; it is
//    defined in the class's source file, and InvokeMember after it, where its
//    size is known.)
//
//    A bound field is read and written as it is: the dispatcher has already
//    converted a written value to the row's declared type, and it coerces
//    what a read answers to the declared result type, so a VARIANT_BOOL field
//    on a Bool row reads as a boolean. A bound method receives each argument
//    as its C++ parameter type (std::int16_t, std::int32_t, float, double,
//    bool, std::string, Variant, ComPtr<IUnknown>; by value or const
//    reference); a non-const lvalue reference parameter is a by-reference
//    argument whose new value is written back to the caller. Its return value,
//    if any, becomes the result. CheckBindings lists what does not fit the
//    table, for a unit test of the class.
// 4. When an argument does not convert, the handler is not called: the
//    object keeps its state and the caller's arguments stay as they were.
//    Handlers report failures by throwing qz::Error (qz::Raise). The
//    dispatcher catches it and answers 0x800A0000 + number with EXCEPINFO
//    (number, source, description); std::bad_alloc becomes Out of memory (7)
//    and any other exception Internal error (51). No exception leaves Invoke.
//    By-reference arguments are written back only when the handler succeeds.
//
// Objects are apartment-threaded: Invoke takes no lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/automation/variant.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch.h"
#include "platform/com/typeinfo.h"

namespace qz {

// The row that serves (id, flags): a put or put-reference row for those
// flags (with both, the put-reference row when the member has one, else the
// put row); for DISPATCH_METHOD a method row; for DISPATCH_PROPERTYGET (alone or
// with DISPATCH_METHOD, as scripts call a property read) a read row. Null when
// there is none.
const MemberInfo* FindMember(const TypeInfo& info, DISPID id, std::uint16_t flags) noexcept;

// The DISPID of the member named name, compared without regard to letter
// case; DISP_E_UNKNOWNNAME when there is none.
HRESULT DispatchGetIDsOfNames(const TypeInfo& info, std::string_view name, DISPID* id) noexcept;

// The rows of the table named name (compared without regard to letter case),
// in table order; empty when there are none. The first lookup in a table on
// a thread indexes it by name and id: a table must live as long as the
// thread (the member tables are static, and libraries are never unloaded).
std::span<const MemberInfo* const> MembersNamed(const TypeInfo& info, std::string_view name);

// The value v converted to a declared parameter or result type. Variant (and
// None) answers v as it is; Object requires an object reference (else Object
// required, 424); the others use the standard conversions and raise their
// errors.
Variant ConvertTo(const Variant& v, ParamType type);

// Answers a failure as Invoke does: fills excep (when given) from the error
// and returns its status. Never throws.
HRESULT ReportError(const Error& error, EXCEPINFO* excep) noexcept;

// Whoever carries out the members of a TypeInfo.
class MemberInvoker {
 public:
  // Carries out member with args already converted to its declared parameter
  // types (args.size() equals member.params.size()). A by-reference
  // parameter's new value is left in its slot of args. result is never null;
  // it arrives empty. Failures throw qz::Error.
  virtual void InvokeMember(const MemberInfo& member, std::span<Variant> args, Variant* result) = 0;

 protected:
  ~MemberInvoker() = default;
};

// IDispatch::Invoke for any class: see the header comment. Never throws.
HRESULT DispatchInvoke(const TypeInfo& info, MemberInvoker& target, DISPID id, std::uint16_t flags,
                       std::span<Variant> args, Variant* result, EXCEPINFO* excep) noexcept;

// The caller's side, for hosts and tests: looks name up (any letter case) and
// invokes it with flags, answering the result. A failure is raised as the
// Error the object reported (number, source, description from EXCEPINFO); an
// unknown name raises Object doesn't support this property or method (438).
// By-reference arguments are written back into args.
Variant InvokeByName(IDispatch& object, std::string_view name, std::uint16_t flags,
                     std::span<Variant> args = {});

// The IDispatch base of a class described by a TypeInfo. More are further
// Implements<> entries for the class's other interfaces.
template <class... More>
class DispatchObject : public ComObject<Implements<IDispatch, IID_IDispatch>, More...>,
                       protected MemberInvoker {
 public:
  const TypeInfo& GetTypeInfo() override { return info_; }
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override {
    return DispatchGetIDsOfNames(info_, name, id);
  }
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override {
    return DispatchInvoke(info_, *this, id, flags, args, result, excep);
  }

 protected:
  // info must outlive the object (a static table). Constructor and
  // destructor are module-local like ComObject's: were they bound to a host's
  // copy of the same instantiation, the object would count in the host.
  QZ_MODULE_LOCAL explicit DispatchObject(const TypeInfo& info) : info_(info) {}
  QZ_MODULE_LOCAL ~DispatchObject() override = default;

  // The dual interface answers through IDispatch.
  void* QueryOther(REFIID iid) override {
    return iid == info_.iid ? static_cast<IDispatch*>(this) : nullptr;
  }

 private:
  const TypeInfo& info_;
};

// ---------------------------------------------------------------------------
// Binding tables.

enum class BindingKind : std::uint8_t { Field, Method, Accessors };

// One handler for every row of one DISPID.
template <class T>
struct MemberBinding {
  DISPID id;
  BindingKind kind;
  int arity;  // a method's parameter count; -1 for fields and accessors
  void (*invoke)(T& self, const MemberInfo& member, std::span<Variant> args, Variant* result);
};

namespace dispatch_detail {

template <class P>
P FromArgument(const Variant& v) {
  if constexpr (std::is_same_v<P, Variant>) {
    return v;
  } else if constexpr (std::is_same_v<P, std::int16_t>) {
    return ToI2(v);
  } else if constexpr (std::is_same_v<P, std::int32_t>) {
    return ToI4(v);
  } else if constexpr (std::is_same_v<P, float>) {
    return ToR4(v);
  } else if constexpr (std::is_same_v<P, double>) {
    return ToR8(v);
  } else if constexpr (std::is_same_v<P, bool>) {
    return ToBool(v);
  } else if constexpr (std::is_same_v<P, std::string>) {
    return ToText(v);
  } else if constexpr (std::is_same_v<P, ComPtr<IUnknown>>) {
    if (v.type() != VarType::Object) Raise(err::kObjectRequired);
    return v.object();
  } else {
    static_assert(!sizeof(P), "unsupported parameter type for a bound member");
  }
}

template <class P>
Variant ToVariant(P&& value) {
  using D = std::decay_t<P>;
  if constexpr (std::is_same_v<D, bool>) {
    return Variant::Bool(value);
  } else {
    return Variant(std::forward<P>(value));
  }
}

template <class F>
struct MethodTraits;
template <class C, class R, class... A>
struct MethodTraits<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Args = std::tuple<A...>;
  static constexpr int kArity = sizeof...(A);
};
template <class C, class R, class... A>
struct MethodTraits<R (C::*)(A...) const> : MethodTraits<R (C::*)(A...)> {};

template <class F>
struct FieldTraits;
template <class C, class V>
struct FieldTraits<V C::*> {
  using Class = C;
  using Value = V;
};

template <class A>
inline constexpr bool kByReference =
    std::is_lvalue_reference_v<A> && !std::is_const_v<std::remove_reference_t<A>>;

template <auto Fn, class T, std::size_t... I>
void CallMethod(T& self, const MemberInfo& member, std::span<Variant> args, Variant* result,
                std::index_sequence<I...>) {
  using Traits = MethodTraits<decltype(Fn)>;
  using Args = typename Traits::Args;
  std::tuple<std::remove_cvref_t<std::tuple_element_t<I, Args>>...> values{
      FromArgument<std::remove_cvref_t<std::tuple_element_t<I, Args>>>(args[I])...};
  if constexpr (std::is_void_v<typename Traits::Result>) {
    (self.*Fn)(std::get<I>(values)...);
  } else {
    *result = ToVariant((self.*Fn)(std::get<I>(values)...));
  }
  (void)member;
  (void)args;
  (
      [&] {
        if constexpr (kByReference<std::tuple_element_t<I, Args>>) {
          args[I] = ToVariant(std::move(std::get<I>(values)));
        }
      }(),
      ...);
}

template <auto Fn>
void InvokeMethod(typename MethodTraits<decltype(Fn)>::Class& self, const MemberInfo& member,
                  std::span<Variant> args, Variant* result) {
  constexpr int kArity = MethodTraits<decltype(Fn)>::kArity;
  if (member.kind != MemberKind::Method || args.size() != static_cast<std::size_t>(kArity)) {
    Raise(err::kInternalError, "the handler of " + std::string(member.name) + " does not fit it");
  }
  CallMethod<Fn>(self, member, args, result, std::make_index_sequence<kArity>{});
}

template <auto Field>
void InvokeField(typename FieldTraits<decltype(Field)>::Class& self, const MemberInfo& member,
                 std::span<Variant> args, Variant* result) {
  using V = typename FieldTraits<decltype(Field)>::Value;
  switch (member.kind) {
    case MemberKind::PropertyGet:
      *result = ToVariant(static_cast<const V&>(self.*Field));
      return;
    case MemberKind::PropertyPut:
    case MemberKind::PropertyPutRef:
      if (args.size() == 1) {
        self.*Field = FromArgument<V>(args[0]);
        return;
      }
      break;
    case MemberKind::Method:
      break;
  }
  Raise(err::kInternalError, "the handler of " + std::string(member.name) + " does not fit it");
}

template <auto Get, auto Put>
void InvokeAccessors(typename MethodTraits<decltype(Get)>::Class& self, const MemberInfo& member,
                     std::span<Variant> args, Variant* result) {
  switch (member.kind) {
    case MemberKind::PropertyGet:
      if (args.empty()) {
        *result = ToVariant((self.*Get)());
        return;
      }
      break;
    case MemberKind::PropertyPut:
    case MemberKind::PropertyPutRef:
      if (args.size() == 1) {
        using P = std::remove_cvref_t<
            std::tuple_element_t<0, typename MethodTraits<decltype(Put)>::Args>>;
        (self.*Put)(FromArgument<P>(args[0]));
        return;
      }
      break;
    case MemberKind::Method:
      break;
  }
  Raise(err::kInternalError, "the handler of " + std::string(member.name) + " does not fit it");
}

std::vector<std::string> CheckBindings(const TypeInfo& info, std::span<const DISPID> ids,
                                       std::span<const BindingKind> kinds,
                                       std::span<const int> arities);

}  // namespace dispatch_detail

// A data member that stores a property: a read answers it, a write (or
// write-reference) replaces it with the converted value.
template <auto Field>
constexpr MemberBinding<typename dispatch_detail::FieldTraits<decltype(Field)>::Class> BindField(
    DISPID id) {
  return {id, BindingKind::Field, -1, &dispatch_detail::InvokeField<Field>};
}

// A member function that carries out a method row.
template <auto Fn>
constexpr MemberBinding<typename dispatch_detail::MethodTraits<decltype(Fn)>::Class> BindMethod(
    DISPID id) {
  return {id, BindingKind::Method, dispatch_detail::MethodTraits<decltype(Fn)>::kArity,
          &dispatch_detail::InvokeMethod<Fn>};
}

// A property read by Get() and written by Put(value) (write-reference too).
template <auto Get, auto Put>
constexpr MemberBinding<typename dispatch_detail::MethodTraits<decltype(Get)>::Class> BindAccessors(
    DISPID id) {
  return {id, BindingKind::Accessors, -1, &dispatch_detail::InvokeAccessors<Get, Put>};
}

// Runs the binding of member.id; a DISPID without a binding raises Object
// doesn't support this property or method (438).
template <class T>
void InvokeBinding(std::span<const MemberBinding<T>> bindings, T& self, const MemberInfo& member,
                   std::span<Variant> args, Variant* result) {
  for (const auto& b : bindings) {
    if (b.id == member.id) {
      b.invoke(self, member, args, result);
      return;
    }
  }
  Raise(err::kObjectDoesntSupportMember);
}

// What does not fit between a table and its bindings: a row without a
// binding, a binding without a row, a method bound to a field, a method's
// parameter count. Empty when all is well.
template <class T>
std::vector<std::string> CheckBindings(const TypeInfo& info,
                                       std::span<const MemberBinding<T>> bindings) {
  std::vector<DISPID> ids;
  std::vector<BindingKind> kinds;
  std::vector<int> arities;
  for (const auto& b : bindings) {
    ids.push_back(b.id);
    kinds.push_back(b.kind);
    arities.push_back(b.arity);
  }
  return dispatch_detail::CheckBindings(info, ids, kinds, arities);
}

}  // namespace qz
