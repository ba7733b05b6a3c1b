// QuenzaChart, the one creatable class of the library (ProgID
// "Quenza.QuenzaChart"): its dual interface _QuenzaChart, the member table
// that scripts reach through IDispatch, and ObjectControl.
//
// The object is a thin shell over component::ObjectState: settings are plain
// stored values (a write stores, a read answers; conversion to a setting's
// declared type happens in dispatch before the write, so a failed conversion
// leaves the setting as it was); the data and series methods go to the
// calling thread's host form at once (data_methods.h); object control is in
// lifecycle.h; the render road is in render_methods.h.
//
// Apartment-threaded: every call arrives on the thread that created the
// object, and the object uses that thread's Form1.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>

#include "component/object_state.h"
#include "component/settings.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatcher.h"
#include "platform/com/typeinfo.h"
#include "platform/context/object_context.h"

namespace qz {

inline constexpr CLSID CLSID_QuenzaChart = {
    0x8D1699C2, 0x1C7A, 0x48AD, {0xAC, 0x1A, 0x67, 0x0D, 0x18, 0xC3, 0x1F, 0x46}};
inline constexpr IID IID__QuenzaChart = {
    0xE353879B, 0x4EB4, 0x4C39, {0x94, 0xED, 0xBE, 0xF9, 0x05, 0x39, 0xA6, 0x97}};
inline constexpr GUID LIBID_Quenza = {
    0x71D71C3E, 0x3937, 0x42D5, {0x83, 0x73, 0xA6, 0xB1, 0x0B, 0x95, 0x73, 0x91}};

// Dispatch identifiers: the settings 1..46 in interface order, then the
// methods, then the extensions.
enum QuenzaChartDispId : DISPID {
  kDispNone = 0,
#define QZ_DISPID(name) kDisp##name,
  QZ_QUENZACHART_SETTINGS(QZ_DISPID, QZ_DISPID, QZ_DISPID, QZ_DISPID)
#undef QZ_DISPID
      kDispRows,
  kDispColumns,
  kDispCurrentRow,
  kDispCurrentColumn,
  kDispSetData,
  kDispRowTitle,
  kDispColumnTitle,
  kDispRotate,
  kDispLegendPosition,
  kDispSeriesColor,
  kDispBarEdge,
  kDispSendChart,
  kDispPrintStub,
  kDispShowError,
  kDispPrintStub2,
  kDispGetTmpPath,
  kDispPastePicture,
  kDispSaveChart,
  // Extensions, after every member above: no earlier identifier moves.
  kDispResolution,
  kDispImageMap,
  kDispAltText,
  kDispDataTable,
  kDispLoadData,
};

// The member table of _QuenzaChart (hidden, non-extensible, dual).
const TypeInfo& QuenzaChartTypeInfo();

// The default dual interface. Accessors never fail except on a null out
// pointer; the methods answer 0x800A0000 + the automation error number.
class _QuenzaChart : public IDispatch {
 public:
#define QZ_ACCESSORS_V(name)                            \
  virtual HRESULT get_##name(Variant* value) = 0;       \
  virtual HRESULT put_##name(const Variant& value) = 0; \
  virtual HRESULT putref_##name(IUnknown* object) = 0;
#define QZ_ACCESSORS_I2(name)                          \
  virtual HRESULT get_##name(std::int16_t* value) = 0; \
  virtual HRESULT put_##name(std::int16_t value) = 0;
#define QZ_ACCESSORS_S(name)                          \
  virtual HRESULT get_##name(std::string* value) = 0; \
  virtual HRESULT put_##name(std::string_view value) = 0;
#define QZ_ACCESSORS_B(name)                           \
  virtual HRESULT get_##name(VARIANT_BOOL* value) = 0; \
  virtual HRESULT put_##name(VARIANT_BOOL value) = 0;
  QZ_QUENZACHART_SETTINGS(QZ_ACCESSORS_V, QZ_ACCESSORS_I2, QZ_ACCESSORS_S, QZ_ACCESSORS_B)
#undef QZ_ACCESSORS_V
#undef QZ_ACCESSORS_I2
#undef QZ_ACCESSORS_S
#undef QZ_ACCESSORS_B

  virtual HRESULT Rows(std::int16_t x) = 0;
  virtual HRESULT Columns(std::int16_t x) = 0;
  virtual HRESULT CurrentRow(std::int16_t x) = 0;
  virtual HRESULT CurrentColumn(std::int16_t x) = 0;
  virtual HRESULT SetData(double x) = 0;
  virtual HRESULT RowTitle(std::string_view x) = 0;
  virtual HRESULT ColumnTitle(std::string_view x) = 0;
  virtual HRESULT Rotate(std::int16_t x) = 0;
  virtual HRESULT LegendPosition(std::int16_t x) = 0;
  virtual HRESULT SeriesColor(std::int16_t x, std::int16_t r, std::int16_t g, std::int16_t b) = 0;
  virtual HRESULT BarEdge(std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
                          std::int16_t b) = 0;
  virtual HRESULT SendChart() = 0;
  virtual HRESULT PrintStub() = 0;
  virtual HRESULT ShowError(std::string* mErr) = 0;  // in and out
  virtual HRESULT PrintStub2() = 0;
  virtual HRESULT GetTmpPath(Variant* result) = 0;
  virtual HRESULT PastePicture(std::int16_t x1, std::int16_t y1, std::string_view PName) = 0;
  virtual HRESULT SaveChart(std::string_view mSaveFile) = 0;
  // Extensions: new slots only after the old ones.
  virtual HRESULT get_Resolution(std::int16_t* value) = 0;
  virtual HRESULT put_Resolution(std::int16_t value) = 0;
  virtual HRESULT ImageMap(std::string_view name, std::string_view href, std::string* result) = 0;
  virtual HRESULT AltText(std::string* result) = 0;
  virtual HRESULT DataTable(std::string* result) = 0;
  virtual HRESULT LoadData(std::string_view text) = 0;

 protected:
  ~_QuenzaChart() = default;
};

class QuenzaChart final
    : public ComObject<Implements<_QuenzaChart, IID__QuenzaChart, IID_IDispatch>,
                       Implements<ObjectControl, IID_ObjectControl>>,
      private MemberInvoker {
 public:
  QuenzaChart() = default;

  // IDispatch, driven by QuenzaChartTypeInfo().
  const TypeInfo& GetTypeInfo() override;
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override;
  HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                 EXCEPINFO* excep) override;

#define QZ_ACCESSORS_V(name)                          \
  HRESULT get_##name(Variant* value) override {       \
    return Get(state_.settings.name, value);          \
  }                                                   \
  HRESULT put_##name(const Variant& value) override { \
    return Put(state_.settings.name, value);          \
  }                                                   \
  HRESULT putref_##name(IUnknown* object) override {  \
    return PutRef(state_.settings.name, object);      \
  }
#define QZ_ACCESSORS_I2(name)                        \
  HRESULT get_##name(std::int16_t* value) override { \
    return Get(state_.settings.name, value);         \
  }                                                  \
  HRESULT put_##name(std::int16_t value) override {  \
    state_.settings.name = value;                    \
    return S_OK;                                     \
  }
#define QZ_ACCESSORS_S(name)                            \
  HRESULT get_##name(std::string* value) override {     \
    return Get(state_.settings.name, value);            \
  }                                                     \
  HRESULT put_##name(std::string_view value) override { \
    return PutText(state_.settings.name, value);        \
  }
#define QZ_ACCESSORS_B(name)                                                      \
  HRESULT get_##name(VARIANT_BOOL* value) override {                              \
    return Get(state_.settings.name, value);                                      \
  }                                                                               \
  HRESULT put_##name(VARIANT_BOOL value) override {                               \
    state_.settings.name = value != VARIANT_FALSE ? VARIANT_TRUE : VARIANT_FALSE; \
    return S_OK;                                                                  \
  }
  QZ_QUENZACHART_SETTINGS(QZ_ACCESSORS_V, QZ_ACCESSORS_I2, QZ_ACCESSORS_S, QZ_ACCESSORS_B)
#undef QZ_ACCESSORS_V
#undef QZ_ACCESSORS_I2
#undef QZ_ACCESSORS_S
#undef QZ_ACCESSORS_B

  HRESULT Rows(std::int16_t x) override;
  HRESULT Columns(std::int16_t x) override;
  HRESULT CurrentRow(std::int16_t x) override;
  HRESULT CurrentColumn(std::int16_t x) override;
  HRESULT SetData(double x) override;
  HRESULT RowTitle(std::string_view x) override;
  HRESULT ColumnTitle(std::string_view x) override;
  HRESULT Rotate(std::int16_t x) override;
  HRESULT LegendPosition(std::int16_t x) override;
  HRESULT SeriesColor(std::int16_t x, std::int16_t r, std::int16_t g, std::int16_t b) override;
  HRESULT BarEdge(std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
                  std::int16_t b) override;
  HRESULT SendChart() override;
  HRESULT PrintStub() override;
  HRESULT ShowError(std::string* mErr) override;
  HRESULT PrintStub2() override;
  HRESULT GetTmpPath(Variant* result) override;
  HRESULT PastePicture(std::int16_t x1, std::int16_t y1, std::string_view PName) override;
  HRESULT SaveChart(std::string_view mSaveFile) override;
  HRESULT get_Resolution(std::int16_t* value) override {
    return Get(state_.settings.Resolution, value);
  }
  HRESULT put_Resolution(std::int16_t value) override {
    state_.settings.Resolution = value;
    return S_OK;
  }
  HRESULT ImageMap(std::string_view name, std::string_view href, std::string* result) override;
  HRESULT AltText(std::string* result) override;
  HRESULT DataTable(std::string* result) override;
  HRESULT LoadData(std::string_view text) override;

  // ObjectControl.
  HRESULT Activate() override;
  HRESULT Deactivate() override;
  VARIANT_BOOL CanBePooled() override {
    return VARIANT_FALSE;
  }

  // The object's settings and private members, for the render road and for
  // tests.
  component::ObjectState& object_state() {
    return state_;
  }
  const component::ObjectState& object_state() const {
    return state_;
  }

  // The dispatch bindings, for checking them against the member table.
  static std::span<const MemberBinding<QuenzaChart>> Bindings();

 private:
  ~QuenzaChart() override = default;

  // The members as dispatch calls them: failures raise qz::Error.
  void InvokeMember(const MemberInfo& member, std::span<Variant> args, Variant* result) override;
  template <auto Field>
  static void InvokeSetting(QuenzaChart& self, const MemberInfo& member, std::span<Variant> args,
                            Variant* result);
  static const MemberBinding<QuenzaChart> kBindings[];

  void DoRows(std::int16_t x);
  void DoColumns(std::int16_t x);
  void DoCurrentRow(std::int16_t x);
  void DoCurrentColumn(std::int16_t x);
  void DoSetData(double x);
  void DoRowTitle(std::string x);
  void DoColumnTitle(std::string x);
  void DoRotate(std::int16_t x);
  void DoLegendPosition(std::int16_t x);
  void DoSeriesColor(std::int16_t x, std::int16_t r, std::int16_t g, std::int16_t b);
  void DoBarEdge(std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g, std::int16_t b);
  void DoSendChart();
  void DoPrintStub();
  void DoShowError(std::string& mErr);
  void DoPrintStub2();
  Variant DoGetTmpPath();
  void DoPastePicture(std::int16_t x1, std::int16_t y1, std::string PName);
  void DoSaveChart(std::string mSaveFile);
  std::string DoImageMap(std::string name, std::string href);
  std::string DoAltText();
  std::string DoDataTable();
  void DoLoadData(std::string text);

  // Accessor bodies: a copy that cannot be allocated answers E_OUTOFMEMORY.
  template <class T>
  static HRESULT Get(const T& field, T* out) noexcept {
    if (out == nullptr) return E_POINTER;
    try {
      *out = field;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  template <class T>
  static HRESULT Put(T& field, const T& value) noexcept {
    try {
      field = value;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  static HRESULT PutText(std::string& field, std::string_view value) noexcept {
    try {
      field.assign(value);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  static HRESULT PutRef(Variant& field, IUnknown* object) noexcept {
    field = Variant(ComPtr<IUnknown>(object));
    return S_OK;
  }

  component::ObjectState state_;
};

// Creates a QuenzaChart and answers its identity (the class factory's work).
ComPtr<IUnknown> CreateQuenzaChart();

}  // namespace qz
