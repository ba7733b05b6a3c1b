#include "tests/host/test_objects.h"

#include <cctype>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/automation/convert.h"
#include "platform/com/typeinfo.h"

namespace qz::host::test {
namespace {

enum : DISPID {
  kFillRed = 1,
  kSecondY,
  kFillBlue,
  kTitle,
  kSend,
  kEcho,
  kTypeName,
  kBytes,
  kFail,
  kHasResponse,
  kSleep,
  kLive,
  kThread,
  kHoldDeactivate,
  // An id as type libraries number them: past what a method function's
  // magic holds.
  kJoin = 0x60020000,
};
constexpr ParamInfo kValue[] = {{"v", ParamType::Variant}};
constexpr ParamInfo kShort[] = {{"v", ParamType::I2}};
constexpr ParamInfo kSix[] = {{"a", ParamType::Variant}, {"b", ParamType::Variant},
                              {"c", ParamType::Variant}, {"d", ParamType::Variant},
                              {"e", ParamType::Variant}, {"f", ParamType::Variant}};
constexpr MemberInfo kMembers[] = {
    {"FillRed", kFillRed, MemberKind::PropertyGet, {}, ParamType::Variant},
    {"FillRed", kFillRed, MemberKind::PropertyPut, kValue},
    {"FillRed", kFillRed, MemberKind::PropertyPutRef, kValue},
    {"SecondYAxisScale", kSecondY, MemberKind::PropertyGet, {}, ParamType::Bool},
    {"SecondYAxisScale", kSecondY, MemberKind::PropertyPut, kValue},
    {"FillBlue", kFillBlue, MemberKind::PropertyGet, {}, ParamType::I2},
    {"FillBlue", kFillBlue, MemberKind::PropertyPut, kShort},
    {"Title", kTitle, MemberKind::PropertyGet, {}, ParamType::String},
    {"Title", kTitle, MemberKind::PropertyPut, kValue},
    {"Send", kSend, MemberKind::Method, {}},
    {"Echo", kEcho, MemberKind::Method, kValue, ParamType::Variant},
    {"TypeName", kTypeName, MemberKind::Method, kValue, ParamType::String},
    {"Bytes", kBytes, MemberKind::Method, kValue, ParamType::Variant},
    {"Fail", kFail, MemberKind::Method, kValue},
    {"HasResponse", kHasResponse, MemberKind::Method, {}, ParamType::Bool},
    {"Sleep", kSleep, MemberKind::Method, kValue},
    {"Live", kLive, MemberKind::Method, {}, ParamType::I4},
    {"Thread", kThread, MemberKind::Method, {}, ParamType::String},
    {"Join", kJoin, MemberKind::Method, kSix, ParamType::String},
    {"HoldDeactivate", kHoldDeactivate, MemberKind::Method, {}},
};
constexpr IID IID_TestChart = {0x7E57C4A1, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr TypeInfo kInfo{"_TestChart", IID_TestChart, kMembers};

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

const char* TypeNameOf(const Variant& v) {
  switch (v.type()) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::I2:
      return "Integer";
    case VarType::I4:
      return "Long";
    case VarType::R4:
      return "Single";
    case VarType::R8:
      return "Double";
    case VarType::String:
      return "String";
    case VarType::Object:
      return "Object";
    case VarType::Bool:
      return "Boolean";
    case VarType::Bytes:
      return "Byte()";
  }
  return "?";
}

const Variant& Arg(std::span<Variant> args) {
  if (args.size() != 1) Raise(err::kWrongNumberOfArguments);
  return args[0];
}

class TestChart final : public IDispatch, public ObjectControl {
 public:
  TestChart() { ++Counters().live; }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
    } else if (iid == IID_ObjectControl) {
      *out = static_cast<ObjectControl*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT Activate() override {
    ++Counters().activations;
    IObjectContext* context = CoGetObjectContext();
    if (context == nullptr) return CONTEXT_E_NOCONTEXT;
    Variant item;
    if (HRESULT hr = context->GetItem("Response", &item); Failed(hr)) return hr;
    if (item.type() != VarType::Object) return E_NOINTERFACE;
    response_ = item.object().As<IResponse>(IID_IResponse);
    if (!response_) return E_NOINTERFACE;
    second_y_ = VARIANT_TRUE;
    fill_red_ = Variant(std::int16_t{255});
    return S_OK;
  }
  HRESULT Deactivate() override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (hold_deactivate_ && !Counters().let_deactivate &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ++Counters().deactivations;
    response_.reset();
    return S_OK;
  }
  VARIANT_BOOL CanBePooled() override {
    ++Counters().pool_questions;
    return VARIANT_FALSE;
  }

  const TypeInfo& GetTypeInfo() override { return kInfo; }
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override {
    for (const MemberInfo& m : kMembers) {
      if (SameNoCase(m.name, name)) {
        *id = m.id;
        return S_OK;
      }
    }
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override {
    try {
      Variant ignored;
      Variant& out = result ? *result : ignored;
      bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
      switch (id) {
        case kFillRed:
          if (put) {
            fill_red_ = Arg(args);
          } else {
            out = fill_red_;
          }
          return S_OK;
        case kSecondY:
          if (put) {
            second_y_ = ToVariantBool(Arg(args));
          } else {
            out = Variant::Bool(second_y_ != VARIANT_FALSE);
          }
          return S_OK;
        case kFillBlue:
          if (put) {
            fill_blue_ = ToI2(Arg(args));
          } else {
            out = Variant(fill_blue_);
          }
          return S_OK;
        case kTitle:
          if (put) {
            title_ = ToText(Arg(args));
          } else {
            out = Variant(title_);
          }
          return S_OK;
        case kSend: {
          if (!response_) Raise(err::kObjectVariableNotSet);
          std::string text = "chart:" + title_;
          response_->put_Buffer(VARIANT_TRUE);
          response_->put_ContentType("image/test");
          response_->BinaryWrite(Variant(std::vector<std::uint8_t>(text.begin(), text.end())));
          response_->End();
          return S_OK;
        }
        case kEcho:
          out = Arg(args);
          return S_OK;
        case kJoin: {
          std::string joined;
          for (const Variant& v : args) joined += (joined.empty() ? "" : ",") + ToText(v);
          out = Variant(joined);
          return S_OK;
        }
        case kTypeName:
          out = Variant(TypeNameOf(Arg(args)));
          return S_OK;
        case kBytes: {
          std::vector<std::uint8_t> bytes(static_cast<std::size_t>(ToI4(Arg(args))));
          for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
          out = Variant(std::move(bytes));
          return S_OK;
        }
        case kFail:
          Raise(ToI4(Arg(args)));
        case kHasResponse:
          out = Variant::Bool(static_cast<bool>(response_));
          return S_OK;
        case kHoldDeactivate:
          hold_deactivate_ = true;
          return S_OK;
        case kSleep:
          // A native call that takes its time (milliseconds).
          std::this_thread::sleep_for(std::chrono::milliseconds(ToI4(Arg(args))));
          return S_OK;
        case kLive:
          out = Variant(std::int32_t{Counters().live.load()});
          return S_OK;
        case kThread: {
          std::ostringstream thread;
          thread << std::this_thread::get_id();
          out = Variant(thread.str());
          return S_OK;
        }
        default:
          return DISP_E_MEMBERNOTFOUND;
      }
    } catch (const Error& e) {
      if (excep) *excep = {e.number(), e.source(), e.description()};
      return e.hresult();
    }
  }

 private:
  ~TestChart() { --Counters().live; }

  std::atomic<std::uint32_t> refs_{1};
  ComPtr<IResponse> response_;
  Variant fill_red_;
  VARIANT_BOOL second_y_ = VARIANT_FALSE;
  std::int16_t fill_blue_ = 0;
  std::string title_;
  bool hold_deactivate_ = false;
};

}  // namespace

TestChartCounters& Counters() {
  static TestChartCounters counters;
  return counters;
}

IDispatch* NewTestChart() {
  return new TestChart();
}

}  // namespace qz::host::test

// The entry point of the loadable test component.
extern "C" __attribute__((visibility("default"))) qz::IDispatch* QzTestNewChart() {
  return qz::host::test::NewTestChart();
}
