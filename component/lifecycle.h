// The object-control operations of QuenzaChart over its ObjectState.
//
// Activate and Deactivate trap nothing: a failing step ends the operation
// and its status is the operation's result; the earlier steps stay done and
// the later ones are not done.
#pragma once

#include "component/object_state.h"
#include "platform/chart/chart.h"

namespace qz::component {

// Takes the current object context and its item "Response" (which must hold
// an object with the Response interface), then sets the activation defaults:
// SecondYAxisScale true, FillRed and FillGreen the 16-bit integer 255,
// FillBlue 255. Fails with CONTEXT_E_NOCONTEXT without a current context,
// the context's status when it has no item "Response", 424 (Object required)
// when the item is not an object, E_NOINTERFACE when the object is no
// Response.
HRESULT Activate(ObjectState& object) noexcept;

// Resets the shared engine, then sets chart type 0, column count 2, the chart
// backdrop's fill colour white (blue, green, red, each on a fresh look-up)
// with fill style 1, and the Y axis title layout 2 (reading upwards); then
// drops the context and the Response. The settings are left as they are.
// An engine refusal answers its error's status, the references still held.
HRESULT Deactivate(ObjectState& object, chart::Chart& chart) noexcept;

}  // namespace qz::component
