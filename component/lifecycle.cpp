#include "component/lifecycle.h"

#include <new>

#include "platform/automation/error.h"

namespace qz::component {

HRESULT Activate(ObjectState& object) noexcept {
  ComPtr<IObjectContext> context;
  if (HRESULT hr = GetObjectContext(context.put()); Failed(hr)) return hr;
  object.mObjectContext = context;

  Variant item;
  if (HRESULT hr = object.mObjectContext->GetItem("Response", &item); Failed(hr)) return hr;
  if (item.type() != VarType::Object || !item.object()) {
    return HResultFromNumber(err::kObjectRequired);
  }
  ComPtr<IResponse> response = item.object().As<IResponse>(IID_IResponse);
  if (!response) return E_NOINTERFACE;
  object.mResponse = response;

  Settings& s = object.settings;
  s.SecondYAxisScale = VARIANT_TRUE;
  s.FillRed = Variant(std::int16_t{255});
  s.FillGreen = Variant(std::int16_t{255});
  s.FillBlue = 255;
  return S_OK;
}

HRESULT Deactivate(ObjectState& object, chart::Chart& chart) noexcept {
  try {
    chart.Reset();
    chart.SetChartType(chart::kBar3D);
    chart.SetColumnCount(2);
    chart.Backdrop().FillColor().SetBlue(255);
    chart.Backdrop().FillColor().SetGreen(255);
    chart.Backdrop().FillColor().SetRed(255);
    chart.Backdrop().SetFillStyle(chart::kFillBrush);
    chart.Plot().Axis(chart::kAxisY, 1).AxisTitle().SetTextLayout(chart::kLayoutUp);
  } catch (const Error& e) {
    return e.hresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  object.mObjectContext = nullptr;
  object.mResponse = nullptr;
  return S_OK;
}

}  // namespace qz::component
