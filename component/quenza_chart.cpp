#include "component/quenza_chart.h"

#include <exception>
#include <new>

#include "component/data_methods.h"
#include "component/describe.h"
#include "component/lifecycle.h"
#include "component/render_methods.h"
#include "platform/form/form.h"

namespace qz {

namespace {

using component::Settings;

// --- The member table --------------------------------------------------------

constexpr ParamInfo kVariantValue[] = {{"value", ParamType::Variant}};
constexpr ParamInfo kObjectValue[] = {{"value", ParamType::Object}};
constexpr ParamInfo kI2Value[] = {{"value", ParamType::I2}};
constexpr ParamInfo kStringValue[] = {{"value", ParamType::String}};
constexpr ParamInfo kBoolValue[] = {{"value", ParamType::Bool}};

constexpr ParamInfo kX_I2[] = {{"x", ParamType::I2}};
constexpr ParamInfo kX_R8[] = {{"x", ParamType::R8}};
constexpr ParamInfo kX_String[] = {{"x", ParamType::String}};
constexpr ParamInfo kSeriesColorParams[] = {
    {"x", ParamType::I2}, {"r", ParamType::I2}, {"g", ParamType::I2}, {"b", ParamType::I2}};
constexpr ParamInfo kBarEdgeParams[] = {{"s", ParamType::I2},
                                        {"w", ParamType::I2},
                                        {"r", ParamType::I2},
                                        {"g", ParamType::I2},
                                        {"b", ParamType::I2}};
constexpr ParamInfo kShowErrorParams[] = {{"mErr", ParamType::String, PassBy::Reference}};
constexpr ParamInfo kPastePictureParams[] = {
    {"x1", ParamType::I2}, {"y1", ParamType::I2}, {"PName", ParamType::String}};
constexpr ParamInfo kSaveChartParams[] = {{"mSaveFile", ParamType::String}};
constexpr ParamInfo kImageMapParams[] = {{"name", ParamType::String}, {"href", ParamType::String}};
constexpr ParamInfo kLoadDataParams[] = {{"text", ParamType::String}};

// clang-format off
#define QZ_ROWS_V(name)                                                             \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyGet, {}, ParamType::Variant},  \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyPut, kVariantValue},           \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyPutRef, kObjectValue},
#define QZ_ROWS_I2(name)                                                            \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyGet, {}, ParamType::I2},       \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyPut, kI2Value},
#define QZ_ROWS_S(name)                                                             \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyGet, {}, ParamType::String},   \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyPut, kStringValue},
#define QZ_ROWS_B(name)                                                             \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyGet, {}, ParamType::Bool},     \
  MemberInfo{#name, kDisp##name, MemberKind::PropertyPut, kBoolValue},

constexpr MemberInfo kMembers[] = {
    QZ_QUENZACHART_SETTINGS(QZ_ROWS_V, QZ_ROWS_I2, QZ_ROWS_S, QZ_ROWS_B)
    MemberInfo{"Rows", kDispRows, MemberKind::Method, kX_I2},
    MemberInfo{"Columns", kDispColumns, MemberKind::Method, kX_I2},
    MemberInfo{"CurrentRow", kDispCurrentRow, MemberKind::Method, kX_I2},
    MemberInfo{"CurrentColumn", kDispCurrentColumn, MemberKind::Method, kX_I2},
    MemberInfo{"SetData", kDispSetData, MemberKind::Method, kX_R8},
    MemberInfo{"RowTitle", kDispRowTitle, MemberKind::Method, kX_String},
    MemberInfo{"ColumnTitle", kDispColumnTitle, MemberKind::Method, kX_String},
    MemberInfo{"Rotate", kDispRotate, MemberKind::Method, kX_I2},
    MemberInfo{"LegendPosition", kDispLegendPosition, MemberKind::Method, kX_I2},
    MemberInfo{"SeriesColor", kDispSeriesColor, MemberKind::Method, kSeriesColorParams},
    MemberInfo{"BarEdge", kDispBarEdge, MemberKind::Method, kBarEdgeParams},
    MemberInfo{"SendChart", kDispSendChart, MemberKind::Method, {}},
    MemberInfo{"PrintStub", kDispPrintStub, MemberKind::Method, {}},
    MemberInfo{"ShowError", kDispShowError, MemberKind::Method, kShowErrorParams},
    MemberInfo{"PrintStub2", kDispPrintStub2, MemberKind::Method, {}},
    MemberInfo{"GetTmpPath", kDispGetTmpPath, MemberKind::Method, {}, ParamType::Variant},
    MemberInfo{"PastePicture", kDispPastePicture, MemberKind::Method, kPastePictureParams},
    MemberInfo{"SaveChart", kDispSaveChart, MemberKind::Method, kSaveChartParams},
    // Extensions.
    MemberInfo{"Resolution", kDispResolution, MemberKind::PropertyGet, {}, ParamType::I2},
    MemberInfo{"Resolution", kDispResolution, MemberKind::PropertyPut, kI2Value},
    MemberInfo{"ImageMap", kDispImageMap, MemberKind::Method, kImageMapParams, ParamType::String},
    MemberInfo{"AltText", kDispAltText, MemberKind::Method, {}, ParamType::String},
    MemberInfo{"DataTable", kDispDataTable, MemberKind::Method, {}, ParamType::String},
    MemberInfo{"LoadData", kDispLoadData, MemberKind::Method, kLoadDataParams},
};
// clang-format on
#undef QZ_ROWS_V
#undef QZ_ROWS_I2
#undef QZ_ROWS_S
#undef QZ_ROWS_B

constexpr TypeInfo kTypeInfo{"_QuenzaChart", IID__QuenzaChart, kMembers};

// Runs a member for a vtable caller: a failure becomes its status.
template <class F>
HRESULT Call(F&& f) noexcept {
  try {
    f();
    return S_OK;
  } catch (const Error& e) {
    return e.hresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

chart::Chart& ThreadChart() {
  return form::GetForm1().Chart();
}

}  // namespace

const TypeInfo& QuenzaChartTypeInfo() {
  return kTypeInfo;
}

ComPtr<IUnknown> CreateQuenzaChart() {
  return CreateComObject<QuenzaChart>();
}

// --- IDispatch ---------------------------------------------------------------

const TypeInfo& QuenzaChart::GetTypeInfo() {
  return kTypeInfo;
}

HRESULT QuenzaChart::GetIDsOfNames(std::string_view name, DISPID* id) {
  return DispatchGetIDsOfNames(kTypeInfo, name, id);
}

HRESULT QuenzaChart::Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args,
                            Variant* result, EXCEPINFO* excep) {
  return DispatchInvoke(kTypeInfo, *this, id, flags, args, result, excep);
}

template <auto Field>
void QuenzaChart::InvokeSetting(QuenzaChart& self, const MemberInfo& member,
                                std::span<Variant> args, Variant* result) {
  auto& field = self.state_.settings.*Field;
  using T = std::remove_reference_t<decltype(field)>;
  if (member.kind == MemberKind::PropertyGet && args.empty()) {
    *result = Variant(field);
    return;
  }
  if ((member.kind == MemberKind::PropertyPut || member.kind == MemberKind::PropertyPutRef) &&
      args.size() == 1) {
    // Dispatch has converted the value to the row's declared type already.
    if constexpr (std::is_same_v<T, Variant>) {
      field = args[0];
    } else if constexpr (std::is_same_v<T, std::string>) {
      field = ToText(args[0]);
    } else if (member.params[0].type == ParamType::Bool) {
      field = ToVariantBool(args[0]);
    } else {
      field = ToI2(args[0]);
    }
    return;
  }
  Raise(err::kInternalError, "the handler of " + std::string(member.name) + " does not fit it");
}

// clang-format off
#define QZ_BIND_SETTING(name)                                                   \
  MemberBinding<QuenzaChart>{kDisp##name, BindingKind::Accessors, -1,           \
                             &QuenzaChart::InvokeSetting<&Settings::name>},
const MemberBinding<QuenzaChart> QuenzaChart::kBindings[] = {
    QZ_QUENZACHART_SETTINGS(QZ_BIND_SETTING, QZ_BIND_SETTING, QZ_BIND_SETTING, QZ_BIND_SETTING)
    BindMethod<&QuenzaChart::DoRows>(kDispRows),
    BindMethod<&QuenzaChart::DoColumns>(kDispColumns),
    BindMethod<&QuenzaChart::DoCurrentRow>(kDispCurrentRow),
    BindMethod<&QuenzaChart::DoCurrentColumn>(kDispCurrentColumn),
    BindMethod<&QuenzaChart::DoSetData>(kDispSetData),
    BindMethod<&QuenzaChart::DoRowTitle>(kDispRowTitle),
    BindMethod<&QuenzaChart::DoColumnTitle>(kDispColumnTitle),
    BindMethod<&QuenzaChart::DoRotate>(kDispRotate),
    BindMethod<&QuenzaChart::DoLegendPosition>(kDispLegendPosition),
    BindMethod<&QuenzaChart::DoSeriesColor>(kDispSeriesColor),
    BindMethod<&QuenzaChart::DoBarEdge>(kDispBarEdge),
    BindMethod<&QuenzaChart::DoSendChart>(kDispSendChart),
    BindMethod<&QuenzaChart::DoPrintStub>(kDispPrintStub),
    BindMethod<&QuenzaChart::DoShowError>(kDispShowError),
    BindMethod<&QuenzaChart::DoPrintStub2>(kDispPrintStub2),
    BindMethod<&QuenzaChart::DoGetTmpPath>(kDispGetTmpPath),
    BindMethod<&QuenzaChart::DoPastePicture>(kDispPastePicture),
    BindMethod<&QuenzaChart::DoSaveChart>(kDispSaveChart),
    QZ_BIND_SETTING(Resolution)
    BindMethod<&QuenzaChart::DoImageMap>(kDispImageMap),
    BindMethod<&QuenzaChart::DoAltText>(kDispAltText),
    BindMethod<&QuenzaChart::DoDataTable>(kDispDataTable),
    BindMethod<&QuenzaChart::DoLoadData>(kDispLoadData),
};
#undef QZ_BIND_SETTING
// clang-format on

void QuenzaChart::InvokeMember(const MemberInfo& member, std::span<Variant> args, Variant* result) {
  InvokeBinding<QuenzaChart>(kBindings, *this, member, args, result);
}

std::span<const MemberBinding<QuenzaChart>> QuenzaChart::Bindings() {
  return kBindings;
}

// --- Methods -----------------------------------------------------------------

void QuenzaChart::DoRows(std::int16_t x) {
  component::Rows(ThreadChart(), x);
}
void QuenzaChart::DoColumns(std::int16_t x) {
  component::Columns(ThreadChart(), x);
}
void QuenzaChart::DoCurrentRow(std::int16_t x) {
  component::CurrentRow(ThreadChart(), x);
}
void QuenzaChart::DoCurrentColumn(std::int16_t x) {
  component::CurrentColumn(ThreadChart(), x);
}
void QuenzaChart::DoSetData(double x) {
  component::SetData(ThreadChart(), x);
}
void QuenzaChart::DoRowTitle(std::string x) {
  component::RowTitle(ThreadChart(), x);
}
void QuenzaChart::DoColumnTitle(std::string x) {
  component::ColumnTitle(ThreadChart(), x);
}
void QuenzaChart::DoRotate(std::int16_t x) {
  component::Rotate(ThreadChart(), x);
}
void QuenzaChart::DoLegendPosition(std::int16_t x) {
  component::LegendPosition(ThreadChart(), x);
}
void QuenzaChart::DoSeriesColor(std::int16_t x, std::int16_t r, std::int16_t g, std::int16_t b) {
  component::SeriesColor(ThreadChart(), x, r, g, b);
}
void QuenzaChart::DoBarEdge(std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
                            std::int16_t b) {
  component::BarEdge(ThreadChart(), s, w, r, g, b);
}
void QuenzaChart::DoSendChart() {
  component::SendChart(state_);
}
void QuenzaChart::DoPrintStub() {
  component::PrintStub(state_);
}
void QuenzaChart::DoShowError(std::string& mErr) {
  component::ShowError(state_, mErr);
}
void QuenzaChart::DoPrintStub2() {
  component::PrintStub2(state_);
}
Variant QuenzaChart::DoGetTmpPath() {
  return component::GetTmpPath(state_);
}
void QuenzaChart::DoPastePicture(std::int16_t x1, std::int16_t y1, std::string PName) {
  component::PastePicture(state_, x1, y1, PName);
}
void QuenzaChart::DoSaveChart(std::string mSaveFile) {
  component::SaveChart(state_, mSaveFile);
}

std::string QuenzaChart::DoImageMap(std::string name, std::string href) {
  return component::ImageMap(state_, name, href);
}
std::string QuenzaChart::DoAltText() {
  return component::AltText(state_);
}
std::string QuenzaChart::DoDataTable() {
  return component::DataTable(state_);
}
void QuenzaChart::DoLoadData(std::string text) {
  component::LoadData(ThreadChart(), text);
}

HRESULT QuenzaChart::ImageMap(std::string_view name, std::string_view href, std::string* result) {
  if (result == nullptr) return E_POINTER;
  return Call([&] { *result = DoImageMap(std::string(name), std::string(href)); });
}
HRESULT QuenzaChart::AltText(std::string* result) {
  if (result == nullptr) return E_POINTER;
  return Call([&] { *result = DoAltText(); });
}
HRESULT QuenzaChart::DataTable(std::string* result) {
  if (result == nullptr) return E_POINTER;
  return Call([&] { *result = DoDataTable(); });
}
HRESULT QuenzaChart::LoadData(std::string_view text) {
  return Call([&] { DoLoadData(std::string(text)); });
}

HRESULT QuenzaChart::Rows(std::int16_t x) {
  return Call([&] { DoRows(x); });
}
HRESULT QuenzaChart::Columns(std::int16_t x) {
  return Call([&] { DoColumns(x); });
}
HRESULT QuenzaChart::CurrentRow(std::int16_t x) {
  return Call([&] { DoCurrentRow(x); });
}
HRESULT QuenzaChart::CurrentColumn(std::int16_t x) {
  return Call([&] { DoCurrentColumn(x); });
}
HRESULT QuenzaChart::SetData(double x) {
  return Call([&] { DoSetData(x); });
}
HRESULT QuenzaChart::RowTitle(std::string_view x) {
  return Call([&] { DoRowTitle(std::string(x)); });
}
HRESULT QuenzaChart::ColumnTitle(std::string_view x) {
  return Call([&] { DoColumnTitle(std::string(x)); });
}
HRESULT QuenzaChart::Rotate(std::int16_t x) {
  return Call([&] { DoRotate(x); });
}
HRESULT QuenzaChart::LegendPosition(std::int16_t x) {
  return Call([&] { DoLegendPosition(x); });
}
HRESULT QuenzaChart::SeriesColor(std::int16_t x, std::int16_t r, std::int16_t g, std::int16_t b) {
  return Call([&] { DoSeriesColor(x, r, g, b); });
}
HRESULT QuenzaChart::BarEdge(std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
                             std::int16_t b) {
  return Call([&] { DoBarEdge(s, w, r, g, b); });
}
HRESULT QuenzaChart::SendChart() {
  return Call([&] { DoSendChart(); });
}
HRESULT QuenzaChart::PrintStub() {
  return Call([&] { DoPrintStub(); });
}
HRESULT QuenzaChart::ShowError(std::string* mErr) {
  if (mErr == nullptr) return E_POINTER;
  return Call([&] { DoShowError(*mErr); });
}
HRESULT QuenzaChart::PrintStub2() {
  return Call([&] { DoPrintStub2(); });
}
HRESULT QuenzaChart::GetTmpPath(Variant* result) {
  if (result == nullptr) return E_POINTER;
  return Call([&] { *result = DoGetTmpPath(); });
}
HRESULT QuenzaChart::PastePicture(std::int16_t x1, std::int16_t y1, std::string_view PName) {
  return Call([&] { DoPastePicture(x1, y1, std::string(PName)); });
}
HRESULT QuenzaChart::SaveChart(std::string_view mSaveFile) {
  return Call([&] { DoSaveChart(std::string(mSaveFile)); });
}

// --- ObjectControl -----------------------------------------------------------

HRESULT QuenzaChart::Activate() {
  return component::Activate(state_);
}

HRESULT QuenzaChart::Deactivate() {
  HRESULT hr = S_OK;
  HRESULT call = Call([&] { hr = component::Deactivate(state_, ThreadChart()); });
  return Failed(call) ? call : hr;
}

}  // namespace qz
