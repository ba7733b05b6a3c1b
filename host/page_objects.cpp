#include "host/page_objects.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <new>

#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::host {
namespace {

constexpr std::string_view kSource = "Quenza page host";

// Runs a member body, turning a raised qz::Error into the failed status and
// its error information.
template <class F>
HRESULT Guard(EXCEPINFO* excep, F&& body) {
  try {
    body();
    return S_OK;
  } catch (const Error& e) {
    if (excep) {
      excep->number = e.number();
      excep->source = e.source();
      excep->description = e.description();
    }
    return e.hresult();
  } catch (const std::bad_alloc&) {
    if (excep) {
      excep->number = err::kOutOfMemory;
      excep->source = std::string(kSource);
      excep->description = std::string(StandardMessage(err::kOutOfMemory));
    }
    return HResultFromNumber(err::kOutOfMemory);
  }
}

void NeedArgs(std::span<Variant> args, std::size_t n) {
  if (args.size() != n) Raise(err::kWrongNumberOfArguments, {}, kSource);
}

bool IsGet(std::uint16_t flags) {
  return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0;
}
bool IsPut(std::uint16_t flags) {
  return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
}

void CheckHeaderText(std::string_view s) {
  if (HasControl(s))
    Raise(err::kInvalidProcedureCall, "Header text contains a line break or control character",
          kSource);
}

// Headers that frame the response: the host writes them from what it sends.
bool IsHostOwnedHeader(std::string_view name) {
  return EqualsNoCase(name, "Content-Length") || EqualsNoCase(name, "Transfer-Encoding") ||
         EqualsNoCase(name, "Connection");
}

constexpr ParamInfo kValueParam[] = {{"value", ParamType::Variant}};
constexpr ParamInfo kNameParam[] = {{"name", ParamType::String}};
constexpr ParamInfo kHeaderParams[] = {{"name", ParamType::String}, {"value", ParamType::String}};

// Response members.
enum : DISPID {
  kBuffer = 1,
  kContentType,
  kWrite,
  kBinaryWrite,
  kEnd,
  kStatus,
  kAddHeader,
  kClear,
  kRedirect
};
constexpr MemberInfo kResponseMembers[] = {
    {"Buffer", kBuffer, MemberKind::PropertyGet, {}, ParamType::Bool},
    {"Buffer", kBuffer, MemberKind::PropertyPut, kValueParam},
    {"ContentType", kContentType, MemberKind::PropertyGet, {}, ParamType::String},
    {"ContentType", kContentType, MemberKind::PropertyPut, kValueParam},
    {"Write", kWrite, MemberKind::Method, kValueParam},
    {"BinaryWrite", kBinaryWrite, MemberKind::Method, kValueParam},
    {"End", kEnd, MemberKind::Method, {}},
    {"Status", kStatus, MemberKind::PropertyGet, {}, ParamType::String},
    {"Status", kStatus, MemberKind::PropertyPut, kValueParam},
    {"AddHeader", kAddHeader, MemberKind::Method, kHeaderParams},
    {"Clear", kClear, MemberKind::Method, {}},
    {"Redirect", kRedirect, MemberKind::Method, kNameParam},
};
constexpr IID IID_HostResponse = {0x5A1C0E01, 0x7F3B, 0x4C2A, {0x9B, 0x10, 0, 0, 0, 0, 0, 0x01}};
constexpr TypeInfo kResponseInfo{"IResponse", IID_HostResponse, kResponseMembers};

enum : DISPID { kQueryString = 1, kForm, kServerVariables };
constexpr MemberInfo kRequestMembers[] = {
    {"QueryString", kQueryString, MemberKind::Method, kNameParam, ParamType::Variant},
    {"Form", kForm, MemberKind::Method, kNameParam, ParamType::Variant},
    {"ServerVariables", kServerVariables, MemberKind::Method, kNameParam, ParamType::Variant},
};
constexpr IID IID_HostRequest = {0x5A1C0E01, 0x7F3B, 0x4C2A, {0x9B, 0x10, 0, 0, 0, 0, 0, 0x02}};
constexpr TypeInfo kRequestInfo{"IRequest", IID_HostRequest, kRequestMembers};

enum : DISPID { kCreateObject = 1, kMapPath, kHtmlEncode, kUrlEncode, kScriptTimeout };
constexpr MemberInfo kServerMembers[] = {
    {"CreateObject", kCreateObject, MemberKind::Method, kNameParam, ParamType::Object},
    {"MapPath", kMapPath, MemberKind::Method, kNameParam, ParamType::String},
    {"HTMLEncode", kHtmlEncode, MemberKind::Method, kNameParam, ParamType::String},
    {"URLEncode", kUrlEncode, MemberKind::Method, kNameParam, ParamType::String},
    {"ScriptTimeout", kScriptTimeout, MemberKind::PropertyGet, {}, ParamType::I4},
    {"ScriptTimeout", kScriptTimeout, MemberKind::PropertyPut, kValueParam},
};
constexpr IID IID_HostServer = {0x5A1C0E01, 0x7F3B, 0x4C2A, {0x9B, 0x10, 0, 0, 0, 0, 0, 0x03}};
constexpr TypeInfo kServerInfo{"IServer", IID_HostServer, kServerMembers};

// Values of a name, joined as a collection's default text.
Variant Lookup(const std::vector<std::pair<std::string, std::string>>& items,
               std::string_view name) {
  std::string joined;
  bool found = false;
  for (const auto& [k, v] : items) {
    if (!EqualsNoCase(k, name)) continue;
    if (found) joined += ", ";
    joined += v;
    found = true;
  }
  return found ? Variant(std::move(joined)) : Variant();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool HasControl(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return true;
  }
  return false;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) == 0 &&
        std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos)
      return false;
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // ASCII letters only, whatever the locale: names and header fields.
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

DISPID FindMemberId(const TypeInfo& info, std::string_view name) {
  for (const MemberInfo& m : info.members) {
    if (EqualsNoCase(m.name, name)) return m.id;
  }
  return DISPID_UNKNOWN;
}

std::string UrlDecode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+' && plus_is_space) {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseUrlEncoded(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> items;
  while (!text.empty()) {
    std::size_t amp = text.find('&');
    std::string_view item = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
    if (item.empty()) continue;
    std::size_t eq = item.find('=');
    std::string_view name = item.substr(0, eq);
    std::string_view value =
        eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    items.emplace_back(UrlDecode(name, true), UrlDecode(value, true));
  }
  return items;
}

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

// ---- Response ----

ComPtr<ResponseObject> ResponseObject::Create(std::function<void()> on_end) {
  return ComPtr<ResponseObject>::Attach(new ResponseObject(std::move(on_end)));
}

HRESULT ResponseObject::put_Buffer(VARIANT_BOOL buffer) {
  if (!state_.ended) state_.buffer = buffer != VARIANT_FALSE;
  return S_OK;
}
void ResponseObject::LimitBody(std::size_t max_bytes, std::function<void()> on_over) {
  max_body_ = max_bytes;
  on_over_ = std::move(on_over);
}

void ResponseObject::CheckRoomFor(std::size_t bytes) {
  if (bytes > max_body_ || state_.BodySize() > max_body_ - bytes) {
    if (on_over_) on_over_();
    Raise(err::kOutOfMemory, "The response is larger than its limit", kSource);
  }
}

void ResponseObject::JoinTail() {
  if (state_.tail.empty()) return;
  state_.body.append(reinterpret_cast<const char*>(state_.tail.data()), state_.tail.size());
  state_.tail = {};
}

void ResponseObject::Append(std::string_view bytes) {
  CheckRoomFor(bytes.size());
  JoinTail();
  state_.body.append(bytes);
}

HRESULT ResponseObject::put_ContentType(std::string_view type) {
  if (HasControl(type)) return HResultFromNumber(err::kInvalidProcedureCall);
  if (!state_.ended) state_.content_type = std::string(type);
  return S_OK;
}
HRESULT ResponseObject::BinaryWrite(const Variant& bytes) {
  if (bytes.type() != VarType::Bytes) return HResultFromNumber(err::kTypeMismatch);
  if (state_.ended) return S_OK;
  const ByteArray& b = bytes.bytes();
  return Guard(nullptr, [&] {
    Append(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  });
}
HRESULT ResponseObject::BinaryWriteOwned(Variant&& bytes) {
  if (bytes.type() != VarType::Bytes) return HResultFromNumber(err::kTypeMismatch);
  if (state_.ended) return S_OK;
  return Guard(nullptr, [&] {
    CheckRoomFor(bytes.bytes().size());
    // An earlier tail joins the body first, so that the order holds.
    JoinTail();
    state_.tail = bytes.TakeBytes();
  });
}
HRESULT ResponseObject::Write(const Variant& text) {
  if (state_.ended || text.is_null()) return S_OK;
  return Guard(nullptr, [&] {
    if (text.type() == VarType::String) {
      Append(text.str());
    } else {
      Append(ToText(text));
    }
  });
}
HRESULT ResponseObject::End() {
  if (!state_.ended) {
    state_.ended = true;
    if (on_end_) on_end_();
  }
  return S_OK;
}

void ResponseObject::SetStatus(std::string_view status) {
  CheckHeaderText(status);
  int code = 0;
  std::size_t i = 0;
  while (i < status.size() && i < 3 && std::isdigit(static_cast<unsigned char>(status[i]))) {
    code = code * 10 + (status[i] - '0');
    ++i;
  }
  if (i != 3 || code < 100 || code > 599 || (i < status.size() && status[i] != ' ')) {
    Raise(err::kInvalidPropertyValue, {}, kSource);
  }
  std::string_view text = i < status.size() ? status.substr(i + 1) : std::string_view{};
  if (state_.ended) return;
  state_.status = code;
  state_.status_text = std::string(text);
}

void ResponseObject::AddHeader(std::string_view name, std::string_view value) {
  if (!IsToken(name)) Raise(err::kInvalidProcedureCall, "Invalid header name", kSource);
  if (IsHostOwnedHeader(name)) {
    Raise(err::kInvalidProcedureCall, "The server sets the header " + std::string(name) + " itself",
          kSource);
  }
  CheckHeaderText(value);
  if (!state_.ended) state_.headers.emplace_back(std::string(name), std::string(value));
}

void ResponseObject::Clear() {
  if (!state_.ended) {
    state_.body.clear();
    state_.tail = {};
  }
}

void ResponseObject::Redirect(std::string_view url) {
  CheckHeaderText(url);
  if (state_.ended) return;
  state_.status = 302;
  state_.status_text = "Object moved";
  state_.headers.emplace_back("Location", std::string(url));
  state_.content_type = "text/html";
  state_.tail = {};
  state_.body =
      "<html><head><title>Object moved</title></head><body><h1>Object moved</h1>"
      "<p>This object may be found <a href=\"" +
      EscapeHtml(url) + "\">here</a>.</p></body></html>\n";
  End();
}

const TypeInfo& ResponseObject::GetTypeInfo() {
  return kResponseInfo;
}
HRESULT ResponseObject::GetIDsOfNames(std::string_view name, DISPID* id) {
  if (id == nullptr) return E_POINTER;
  *id = FindMemberId(kResponseInfo, name);
  return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
}
HRESULT ResponseObject::Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args,
                               Variant* result, EXCEPINFO* excep) {
  Variant ignored;
  Variant& out = result ? *result : ignored;
  auto check = [](HRESULT hr) {
    if (Failed(hr)) Raise(NumberFromHResult(hr), {}, kSource);
  };
  return Guard(excep, [&] {
    switch (id) {
      case kBuffer:
        if (IsPut(flags)) {
          NeedArgs(args, 1);
          check(put_Buffer(ToVariantBool(args[0])));
        } else {
          NeedArgs(args, 0);
          out = Variant::Bool(state_.buffer);
        }
        return;
      case kContentType:
        if (IsPut(flags)) {
          NeedArgs(args, 1);
          check(put_ContentType(ToText(args[0])));
        } else {
          NeedArgs(args, 0);
          out = Variant(state_.content_type);
        }
        return;
      case kStatus:
        if (IsPut(flags)) {
          NeedArgs(args, 1);
          SetStatus(ToText(args[0]));
        } else {
          NeedArgs(args, 0);
          out = Variant(std::to_string(state_.status) + " " + state_.status_text);
        }
        return;
      default:
        break;
    }
    if (!IsGet(flags)) Raise(err::kObjectDoesntSupportMember, {}, kSource);
    switch (id) {
      case kWrite:
        NeedArgs(args, 1);
        check(Write(args[0]));
        return;
      case kBinaryWrite:
        NeedArgs(args, 1);
        check(BinaryWrite(args[0]));
        return;
      case kEnd:
        NeedArgs(args, 0);
        End();
        return;
      case kAddHeader:
        NeedArgs(args, 2);
        AddHeader(ToText(args[0]), ToText(args[1]));
        return;
      case kClear:
        NeedArgs(args, 0);
        Clear();
        return;
      case kRedirect:
        NeedArgs(args, 1);
        Redirect(ToText(args[0]));
        return;
      default:
        Raise(err::kObjectDoesntSupportMember, {}, kSource);
    }
  });
}

// ---- Request ----

ComPtr<RequestObject> RequestObject::Create(RequestData data) {
  return ComPtr<RequestObject>::Attach(new RequestObject(std::move(data)));
}
const TypeInfo& RequestObject::GetTypeInfo() {
  return kRequestInfo;
}
HRESULT RequestObject::GetIDsOfNames(std::string_view name, DISPID* id) {
  if (id == nullptr) return E_POINTER;
  *id = FindMemberId(kRequestInfo, name);
  return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
}
HRESULT RequestObject::Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args,
                              Variant* result, EXCEPINFO* excep) {
  Variant ignored;
  Variant& out = result ? *result : ignored;
  return Guard(excep, [&] {
    if (!IsGet(flags) || args.size() > 1) Raise(err::kWrongNumberOfArguments, {}, kSource);
    // Without a name, the collection answers its whole text.
    switch (id) {
      case kQueryString:
        out = args.empty() ? Variant(data_.query) : Lookup(data_.query_items, ToText(args[0]));
        return;
      case kForm:
        out = args.empty() ? Variant(data_.form) : Lookup(data_.form_items, ToText(args[0]));
        return;
      case kServerVariables: {
        if (args.empty()) Raise(err::kWrongNumberOfArguments, {}, kSource);
        std::string name = ToText(args[0]);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        auto it = data_.server_variables.find(name);
        out = it == data_.server_variables.end() ? Variant() : Variant(it->second);
        return;
      }
      default:
        Raise(err::kObjectDoesntSupportMember, {}, kSource);
    }
  });
}

// ---- Server ----

ComPtr<ServerObject> ServerObject::Create(ServerHooks* hooks) {
  return ComPtr<ServerObject>::Attach(new ServerObject(hooks));
}
const TypeInfo& ServerObject::GetTypeInfo() {
  return kServerInfo;
}
HRESULT ServerObject::GetIDsOfNames(std::string_view name, DISPID* id) {
  if (id == nullptr) return E_POINTER;
  *id = FindMemberId(kServerInfo, name);
  return *id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
}
ServerHooks& ServerObject::hooks() {
  if (hooks_ == nullptr) Raise(err::kObjectVariableNotSet, "The page has ended", kSource);
  return *hooks_;
}
HRESULT ServerObject::Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args,
                             Variant* result, EXCEPINFO* excep) {
  Variant ignored;
  Variant& out = result ? *result : ignored;
  return Guard(excep, [&] {
    if (id == kScriptTimeout) {
      if (IsPut(flags)) {
        NeedArgs(args, 1);
        std::int32_t seconds = ToI4(args[0]);
        if (seconds <= 0) Raise(err::kInvalidPropertyValue, {}, kSource);
        hooks().SetScriptTimeout(seconds);
      } else {
        NeedArgs(args, 0);
        out = Variant(hooks().ScriptTimeout());
      }
      return;
    }
    if (!IsGet(flags)) Raise(err::kObjectDoesntSupportMember, {}, kSource);
    NeedArgs(args, 1);
    switch (id) {
      case kCreateObject: {
        ComPtr<IDispatch> object = hooks().CreateObject(ToText(args[0]));
        out = Variant(ComPtr<IUnknown>(object.get()));
        return;
      }
      case kMapPath:
        out = Variant(hooks().MapPath(ToText(args[0])));
        return;
      case kHtmlEncode:
        out = Variant(EscapeHtml(ToText(args[0])));
        return;
      case kUrlEncode:
        out = Variant(UrlEncode(ToText(args[0])));
        return;
      default:
        Raise(err::kObjectDoesntSupportMember, {}, kSource);
    }
  });
}

// ---- PageContext ----

ComPtr<PageContext> PageContext::Create(ComPtr<IDispatch> response, ComPtr<IDispatch> request,
                                        ComPtr<IDispatch> server) {
  auto c = ComPtr<PageContext>::Attach(new PageContext());
  c->response_ = std::move(response);
  c->request_ = std::move(request);
  c->server_ = std::move(server);
  return c;
}
HRESULT PageContext::GetItem(std::string_view name, Variant* out) {
  if (out == nullptr) return E_POINTER;
  const ComPtr<IDispatch>* item = nullptr;
  if (EqualsNoCase(name, "Response")) item = &response_;
  if (EqualsNoCase(name, "Request")) item = &request_;
  if (EqualsNoCase(name, "Server")) item = &server_;
  if (item == nullptr || !*item) return E_INVALIDARG;
  *out = Variant(ComPtr<IUnknown>(item->get()));
  return S_OK;
}

}  // namespace qz::host
