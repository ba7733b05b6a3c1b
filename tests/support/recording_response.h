// Test doubles for the page host: a Response that records every call in
// order (with the bytes and text written), and an object context whose named
// items a test fills in.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/context/object_context.h"

namespace qz::test {

// One call on the recording response.
struct ResponseCall {
  enum class Kind { Buffer, ContentType, BinaryWrite, Write, End };
  explicit ResponseCall(Kind k) : kind(k) {}
  Kind kind;
  VARIANT_BOOL buffer = VARIANT_FALSE;  // Buffer
  std::string text;                     // ContentType, Write (the text form)
  std::vector<std::uint8_t> bytes;      // BinaryWrite
  bool after_end = false;               // made after End: ignored by the body
};

class RecordingResponse final : public IResponse {
 public:
  // A new response with one reference, owned by the returned pointer.
  static ComPtr<RecordingResponse> Create();

  HRESULT QueryInterface(REFIID iid, void** out) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  HRESULT put_Buffer(VARIANT_BOOL buffer) override;
  HRESULT put_ContentType(std::string_view type) override;
  // Answers DISP_E_TYPEMISMATCH for a value that is not a byte array (and
  // records nothing).
  HRESULT BinaryWrite(const Variant& bytes) override;
  HRESULT Write(const Variant& text) override;
  HRESULT End() override;

  const std::vector<ResponseCall>& calls() const { return calls_; }
  // The body as a client would receive it: what BinaryWrite and Write
  // appended before End.
  const std::vector<std::uint8_t>& body() const { return body_; }
  std::string body_text() const { return std::string(body_.begin(), body_.end()); }
  // The last content type set, "" when none.
  const std::string& content_type() const { return content_type_; }
  bool buffered() const { return buffer_ != VARIANT_FALSE; }
  bool ended() const { return ended_; }
  std::uint32_t references() const { return refs_; }

 private:
  RecordingResponse() = default;
  ~RecordingResponse() = default;
  void Record(ResponseCall call);

  std::atomic<std::uint32_t> refs_{1};
  std::vector<ResponseCall> calls_;
  std::vector<std::uint8_t> body_;
  std::string content_type_;
  VARIANT_BOOL buffer_ = VARIANT_FALSE;
  bool ended_ = false;
};

class TestObjectContext final : public IObjectContext {
 public:
  static ComPtr<TestObjectContext> Create();
  // A context whose item "Response" holds the given response.
  static ComPtr<TestObjectContext> WithResponse(const ComPtr<RecordingResponse>& response);

  HRESULT QueryInterface(REFIID iid, void** out) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;
  HRESULT GetItem(std::string_view name, Variant* out) override;

  void SetItem(std::string name, Variant value) { items_[std::move(name)] = std::move(value); }
  std::uint32_t references() const { return refs_; }

 private:
  TestObjectContext() = default;
  ~TestObjectContext() = default;

  std::atomic<std::uint32_t> refs_{1};
  std::map<std::string, Variant, std::less<>> items_;
};

}  // namespace qz::test
