// The objects a page sees: Response, Request and Server, and the page's
// object context, whose item "Response" is how an activated component finds
// the page's Response. Each is a reference-counted object; the scripts reach
// them through IDispatch, the component reaches Response through IResponse.
#pragma once

#include "platform/automation/html.h"  // EscapeHtml

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/dispatch.h"
#include "platform/com/typeinfo.h"
#include "platform/context/object_context.h"

namespace qz::host {

// Case-insensitive lookup of a member name in a table; DISPID_UNKNOWN when
// there is none.
DISPID FindMemberId(const TypeInfo& info, std::string_view name);
bool EqualsNoCase(std::string_view a, std::string_view b);
// True when s holds a control character other than the tab: a line break
// would split a response head, the others have no place in it.
bool HasControl(std::string_view s);
// True when s is an HTTP token (a header name): letters, digits and
// !#$%&'*+-.^_`|~, at least one.
bool IsToken(std::string_view s);

using Headers = std::vector<std::pair<std::string, std::string>>;

// What a page answers. Filled by Response; read by the host after the page.
struct ResponseState {
  bool buffer = true;
  std::string content_type = "text/html";
  int status = 200;
  std::string status_text = "OK";
  Headers headers;  // besides Content-Type
  // The body is body, then tail: the last byte array handed over whole
  // (BinaryWriteOwned), kept as it came. A later write moves tail into body.
  std::string body;
  ByteArray tail;
  bool ended = false;

  std::size_t BodySize() const { return body.size() + tail.size(); }
};

class ResponseObject final
    : public ComObject<Implements<IDispatch, IID_IDispatch>, Implements<IResponse, IID_IResponse>> {
 public:
  // on_end runs once, when the response ends (End or Redirect), so that the
  // host can stop the script.
  static ComPtr<ResponseObject> Create(std::function<void()> on_end);

  const ResponseState& state() const { return state_; }
  // Move the body's two parts out (the host takes them once the page has
  // ended).
  std::string TakeBody() { return std::exchange(state_.body, {}); }
  ByteArray TakeTail() { return std::exchange(state_.tail, {}); }
  // The most body the response may hold. A write beyond it writes nothing,
  // fails with 7 (Out of memory) and runs on_over (once per write).
  void LimitBody(std::size_t max_bytes, std::function<void()> on_over);

  // IResponse
  HRESULT put_Buffer(VARIANT_BOOL buffer) override;
  HRESULT put_ContentType(std::string_view type) override;
  HRESULT BinaryWrite(const Variant& bytes) override;
  HRESULT Write(const Variant& text) override;
  HRESULT End() override;
  HRESULT BinaryWriteOwned(Variant&& bytes) override;

  // IDispatch
  const TypeInfo& GetTypeInfo() override;
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override;
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override;

  // Script-only members, raising qz::Error on bad input: a status outside
  // 100-599, a header name that is no HTTP token, control characters (a line
  // break above all) in any header text, and the headers the host itself
  // owns (Content-Length, Transfer-Encoding, Connection) fail with 5.
  void SetStatus(std::string_view status);
  void AddHeader(std::string_view name, std::string_view value);
  void Clear();
  void Redirect(std::string_view url);

 private:
  explicit ResponseObject(std::function<void()> on_end) : on_end_(std::move(on_end)) {}
  ~ResponseObject() = default;

  // Raises 7 (and runs on_over) when the body has no room for bytes more.
  void CheckRoomFor(std::size_t bytes);
  // Moves the tail to the end of the body.
  void JoinTail();
  // Appends to the body within its limit; raises 7 beyond it.
  void Append(std::string_view bytes);

  ResponseState state_;
  std::function<void()> on_end_;
  std::size_t max_body_ = SIZE_MAX;
  std::function<void()> on_over_;
};

// The request as the page sees it. Names compare in any letter case; a name
// given several times answers its values joined by ", ".
struct RequestData {
  std::string query;  // raw, without '?'
  std::string form;   // the URL-encoded body, when it is one
  std::vector<std::pair<std::string, std::string>> query_items;
  std::vector<std::pair<std::string, std::string>> form_items;
  std::map<std::string, std::string> server_variables;  // upper-case names
};

// Decodes application/x-www-form-urlencoded text ('+' is a space).
std::vector<std::pair<std::string, std::string>> ParseUrlEncoded(std::string_view text);
std::string UrlDecode(std::string_view text, bool plus_is_space);

class RequestObject final : public ComObject<Implements<IDispatch, IID_IDispatch>> {
 public:
  static ComPtr<RequestObject> Create(RequestData data);

  const TypeInfo& GetTypeInfo() override;
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override;
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override;

 private:
  explicit RequestObject(RequestData data) : data_(std::move(data)) {}
  ~RequestObject() = default;

  RequestData data_;
};

// What Server needs from the page that owns it.
class ServerHooks {
 public:
  virtual ComPtr<IDispatch> CreateObject(std::string_view prog_id) = 0;  // raises
  virtual std::string MapPath(std::string_view path) = 0;                // raises
  virtual std::int32_t ScriptTimeout() = 0;
  virtual void SetScriptTimeout(std::int32_t seconds) = 0;

 protected:
  ~ServerHooks() = default;
};

std::string UrlEncode(std::string_view text);

class ServerObject final : public ComObject<Implements<IDispatch, IID_IDispatch>> {
 public:
  static ComPtr<ServerObject> Create(ServerHooks* hooks);
  // Called when the page ends: later calls fail instead of reaching a page
  // that is gone.
  void Detach() { hooks_ = nullptr; }

  const TypeInfo& GetTypeInfo() override;
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override;
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override;

 private:
  explicit ServerObject(ServerHooks* hooks) : hooks_(hooks) {}
  ~ServerObject() = default;
  ServerHooks& hooks();

  ServerHooks* hooks_;
};

// The page's object context: items "Response", "Request" and "Server".
class PageContext final : public ComObject<Implements<IObjectContext, IID_IObjectContext>> {
 public:
  static ComPtr<PageContext> Create(ComPtr<IDispatch> response, ComPtr<IDispatch> request,
                                    ComPtr<IDispatch> server);

  HRESULT GetItem(std::string_view name, Variant* out) override;

 private:
  PageContext() = default;
  ~PageContext() = default;

  ComPtr<IDispatch> response_, request_, server_;
};

}  // namespace qz::host
