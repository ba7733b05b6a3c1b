#include "platform/com/dispatcher.h"

#include <exception>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace qz {

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A table's rows by lower-case name and by id, each list in table order.
struct TableIndex {
  std::unordered_map<std::string, std::vector<const MemberInfo*>> by_name;
  std::unordered_map<DISPID, std::vector<const MemberInfo*>> by_id;
};

// This thread's index of the table; throws std::bad_alloc.
const TableIndex& IndexOf(const TypeInfo& info) {
  // Keyed by the row array too: a table object in automatic storage whose
  // address comes round again with other rows gets an index of its own.
  struct Key {
    const TypeInfo* info;
    const MemberInfo* rows;
    std::size_t count;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
      return std::hash<const void*>()(k.info) ^ (std::hash<const void*>()(k.rows) << 1) ^ k.count;
    }
  };
  thread_local std::unordered_map<Key, TableIndex, KeyHash> indexes;
  const Key key{&info, info.members.data(), info.members.size()};
  if (auto it = indexes.find(key); it != indexes.end()) return it->second;
  TableIndex index;
  for (const MemberInfo& m : info.members) {
    std::string lower(m.name);
    for (char& c : lower) c = Lower(c);
    index.by_name[lower].push_back(&m);
    index.by_id[m.id].push_back(&m);
  }
  return indexes.emplace(key, std::move(index)).first->second;
}

const MemberInfo* FindKind(const TypeInfo& info, DISPID id, MemberKind kind) {
  try {
    const TableIndex& index = IndexOf(info);
    auto it = index.by_id.find(id);
    if (it == index.by_id.end()) return nullptr;
    for (const MemberInfo* m : it->second) {
      if (m->kind == kind) return m;
    }
    return nullptr;
  } catch (const std::bad_alloc&) {
  }
  for (const MemberInfo& m : info.members) {  // no memory for the index
    if (m.id == id && m.kind == kind) return &m;
  }
  return nullptr;
}

VarType VarTypeOf(ParamType type) {
  switch (type) {
    case ParamType::I2:
      return VarType::I2;
    case ParamType::I4:
      return VarType::I4;
    case ParamType::R4:
      return VarType::R4;
    case ParamType::R8:
      return VarType::R8;
    case ParamType::Bool:
      return VarType::Bool;
    case ParamType::String:
      return VarType::String;
    case ParamType::Object:
      return VarType::Object;
    case ParamType::None:
    case ParamType::Variant:
      break;
  }
  return VarType::Empty;
}

// A failure that is a status of its own (not an automation error): the
// status is answered as it is, EXCEPINFO still says what went wrong.
HRESULT ReportStatus(HRESULT status, EXCEPINFO* excep) noexcept {
  if (excep != nullptr) {
    try {
      excep->number = NumberFromHResult(status);
      excep->source = DefaultErrorSource();
      excep->description = std::string(StandardMessage(excep->number));
    } catch (...) {
      // Out of memory while describing: the status still tells.
    }
  }
  return status;
}

}  // namespace

const MemberInfo* FindMember(const TypeInfo& info, DISPID id, std::uint16_t flags) noexcept {
  // A script that cannot tell the two assignments apart (JScript assigning an
  // object) asks for either: the write-reference row when there is one, else
  // the plain write, which then converts the value.
  if (flags & DISPATCH_PROPERTYPUTREF) {
    const MemberInfo* m = FindKind(info, id, MemberKind::PropertyPutRef);
    if (m != nullptr || !(flags & DISPATCH_PROPERTYPUT)) return m;
  }
  if (flags & DISPATCH_PROPERTYPUT) return FindKind(info, id, MemberKind::PropertyPut);
  if (flags & DISPATCH_METHOD) {
    if (const MemberInfo* m = FindKind(info, id, MemberKind::Method)) return m;
  }
  if (flags & DISPATCH_PROPERTYGET) return FindKind(info, id, MemberKind::PropertyGet);
  return nullptr;
}

std::span<const MemberInfo* const> MembersNamed(const TypeInfo& info, std::string_view name) {
  thread_local std::string lower;  // keeps its capacity: no allocation per lookup
  lower.resize(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) lower[i] = Lower(name[i]);
  const TableIndex& index = IndexOf(info);
  auto it = index.by_name.find(lower);
  if (it == index.by_name.end()) return {};
  return it->second;
}

HRESULT DispatchGetIDsOfNames(const TypeInfo& info, std::string_view name, DISPID* id) noexcept {
  if (id == nullptr) return E_POINTER;
  try {
    std::span<const MemberInfo* const> rows = MembersNamed(info, name);
    *id = rows.empty() ? DISPID_UNKNOWN : rows.front()->id;
    return rows.empty() ? DISP_E_UNKNOWNNAME : S_OK;
  } catch (const std::bad_alloc&) {
  }
  for (const MemberInfo& m : info.members) {  // no memory for the index
    if (EqualsNoCase(m.name, name)) {
      *id = m.id;
      return S_OK;
    }
  }
  *id = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

Variant ConvertTo(const Variant& v, ParamType type) {
  switch (type) {
    case ParamType::None:
    case ParamType::Variant:
      return v;
    case ParamType::Object:
      if (v.type() != VarType::Object) Raise(err::kObjectRequired);
      return v;
    default:
      return ChangeType(v, VarTypeOf(type));
  }
}

HRESULT ReportError(const Error& error, EXCEPINFO* excep) noexcept {
  if (excep != nullptr) {
    try {
      excep->number = error.number();
      excep->source = error.source();
      excep->description = error.description();
    } catch (...) {
      // Out of memory while copying the texts: the status still tells.
    }
  }
  return error.hresult();
}

HRESULT DispatchInvoke(const TypeInfo& info, MemberInvoker& target, DISPID id, std::uint16_t flags,
                       std::span<Variant> args, Variant* result, EXCEPINFO* excep) noexcept {
  const MemberInfo* member = FindMember(info, id, flags);
  if (member == nullptr) return ReportStatus(DISP_E_MEMBERNOTFOUND, excep);
  if (args.size() != member->params.size()) return ReportStatus(DISP_E_BADPARAMCOUNT, excep);
  try {
    // Converted copies: nothing the caller passed changes unless the call
    // gets as far as writing by-reference arguments back.
    std::vector<Variant> converted;
    converted.reserve(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
      converted.push_back(ConvertTo(args[i], member->params[i].type));
    }
    Variant answer;
    target.InvokeMember(*member, converted, &answer);
    if (member->result != ParamType::None) answer = ConvertTo(answer, member->result);
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (member->params[i].pass == PassBy::Reference) args[i] = std::move(converted[i]);
    }
    if (result != nullptr)
      *result = member->result == ParamType::None ? Variant() : std::move(answer);
    return S_OK;
  } catch (const Error& e) {
    return ReportError(e, excep);
  } catch (const std::bad_alloc&) {
    return ReportError(Error(err::kOutOfMemory, DefaultErrorSource(), {}), excep);
  } catch (const std::exception& e) {
    try {
      return ReportError(Error(err::kInternalError, DefaultErrorSource(), e.what()), excep);
    } catch (...) {
      return HResultFromNumber(err::kInternalError);
    }
  } catch (...) {
    return ReportStatus(HResultFromNumber(err::kInternalError), excep);
  }
}

Variant InvokeByName(IDispatch& object, std::string_view name, std::uint16_t flags,
                     std::span<Variant> args) {
  DISPID id = DISPID_UNKNOWN;
  if (Failed(object.GetIDsOfNames(name, &id))) {
    Raise(err::kObjectDoesntSupportMember,
          std::string(StandardMessage(err::kObjectDoesntSupportMember)) + ": '" +
              std::string(name) + "'");
  }
  Variant result;
  EXCEPINFO excep;
  HRESULT hr = object.Invoke(id, flags, args, &result, &excep);
  if (Failed(hr)) {
    std::int32_t number = excep.number != 0 ? excep.number : NumberFromHResult(hr);
    throw Error(number, excep.source.empty() ? DefaultErrorSource() : excep.source,
                excep.description);
  }
  return result;
}

namespace dispatch_detail {

std::vector<std::string> CheckBindings(const TypeInfo& info, std::span<const DISPID> ids,
                                       std::span<const BindingKind> kinds,
                                       std::span<const int> arities) {
  std::vector<std::string> problems;
  auto binding_of = [&](DISPID id) -> int {
    int found = -1;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == id) {
        if (found >= 0) return -2;
        found = static_cast<int>(i);
      }
    }
    return found;
  };
  for (const MemberInfo& m : info.members) {
    std::string name(m.name);
    int b = binding_of(m.id);
    if (b == -1) {
      problems.push_back(name + ": no binding for DISPID " + std::to_string(m.id));
      continue;
    }
    if (b == -2) {
      problems.push_back(name + ": several bindings for DISPID " + std::to_string(m.id));
      continue;
    }
    bool method_row = m.kind == MemberKind::Method;
    bool method_binding = kinds[b] == BindingKind::Method;
    if (method_row != method_binding) {
      problems.push_back(name + (method_row ? ": a method bound as a property"
                                            : ": a property bound as a method"));
    } else if (method_row && arities[b] != static_cast<int>(m.params.size())) {
      problems.push_back(name + ": the handler takes " + std::to_string(arities[b]) +
                         " arguments, the member " + std::to_string(m.params.size()));
    } else if (m.kind == MemberKind::PropertyGet && !m.params.empty()) {
      problems.push_back(name + ": a property read with parameters");
    } else if ((m.kind == MemberKind::PropertyPut || m.kind == MemberKind::PropertyPutRef) &&
               m.params.size() != 1) {
      problems.push_back(name + ": a property write without exactly one parameter");
    }
  }
  for (DISPID id : ids) {
    bool known = false;
    for (const MemberInfo& m : info.members) known = known || m.id == id;
    if (!known)
      problems.push_back("a binding for DISPID " + std::to_string(id) + " without a member");
  }
  return problems;
}

}  // namespace dispatch_detail

}  // namespace qz
