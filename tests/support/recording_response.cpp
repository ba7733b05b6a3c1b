#include "tests/support/recording_response.h"

#include "platform/automation/convert.h"

namespace qz::test {

namespace {

template <class T>
HRESULT QueryFor(T* self, REFIID iid, REFIID own, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == own) {
    self->AddRef();
    *out = static_cast<IUnknown*>(self);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

}  // namespace

ComPtr<RecordingResponse> RecordingResponse::Create() {
  return ComPtr<RecordingResponse>::Attach(new RecordingResponse());
}

HRESULT RecordingResponse::QueryInterface(REFIID iid, void** out) {
  HRESULT hr = QueryFor(this, iid, IID_IResponse, out);
  // The IUnknown and IResponse pointers are the same object.
  if (Succeeded(hr)) *out = static_cast<IResponse*>(this);
  return hr;
}

std::uint32_t RecordingResponse::AddRef() {
  return ++refs_;
}

std::uint32_t RecordingResponse::Release() {
  std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

void RecordingResponse::Record(ResponseCall call) {
  call.after_end = ended_;
  calls_.push_back(std::move(call));
}

HRESULT RecordingResponse::put_Buffer(VARIANT_BOOL buffer) {
  ResponseCall call{ResponseCall::Kind::Buffer};
  call.buffer = buffer;
  if (!ended_) buffer_ = buffer;
  Record(std::move(call));
  return S_OK;
}

HRESULT RecordingResponse::put_ContentType(std::string_view type) {
  ResponseCall call{ResponseCall::Kind::ContentType};
  call.text = std::string(type);
  if (!ended_) content_type_ = call.text;
  Record(std::move(call));
  return S_OK;
}

HRESULT RecordingResponse::BinaryWrite(const Variant& bytes) {
  if (bytes.type() != VarType::Bytes) return DISP_E_TYPEMISMATCH;
  ResponseCall call{ResponseCall::Kind::BinaryWrite};
  call.bytes.assign(bytes.bytes().begin(), bytes.bytes().end());
  if (!ended_) body_.insert(body_.end(), call.bytes.begin(), call.bytes.end());
  Record(std::move(call));
  return S_OK;
}

HRESULT RecordingResponse::Write(const Variant& text) {
  ResponseCall call{ResponseCall::Kind::Write};
  try {
    call.text = ToText(text);
  } catch (const Error& e) {
    return e.hresult();
  }
  if (!ended_) body_.insert(body_.end(), call.text.begin(), call.text.end());
  Record(std::move(call));
  return S_OK;
}

HRESULT RecordingResponse::End() {
  Record(ResponseCall{ResponseCall::Kind::End});
  ended_ = true;
  return S_OK;
}

ComPtr<TestObjectContext> TestObjectContext::Create() {
  return ComPtr<TestObjectContext>::Attach(new TestObjectContext());
}

ComPtr<TestObjectContext> TestObjectContext::WithResponse(
    const ComPtr<RecordingResponse>& response) {
  ComPtr<TestObjectContext> context = Create();
  context->SetItem("Response", Variant(ComPtr<IUnknown>(response)));
  return context;
}

HRESULT TestObjectContext::QueryInterface(REFIID iid, void** out) {
  HRESULT hr = QueryFor(this, iid, IID_IObjectContext, out);
  if (Succeeded(hr)) *out = static_cast<IObjectContext*>(this);
  return hr;
}

std::uint32_t TestObjectContext::AddRef() {
  return ++refs_;
}

std::uint32_t TestObjectContext::Release() {
  std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT TestObjectContext::GetItem(std::string_view name, Variant* out) {
  if (out == nullptr) return E_POINTER;
  auto it = items_.find(name);
  if (it == items_.end()) return E_INVALIDARG;
  *out = it->second;
  return S_OK;
}

}  // namespace qz::test
