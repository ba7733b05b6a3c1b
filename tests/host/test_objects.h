// Hand-written dispatch objects standing in for the chart component in the
// host's tests: a "chart" with the component's activation behaviour.
#pragma once

#include <atomic>
#include <string>

#include "platform/com/dispatch.h"
#include "platform/context/object_context.h"

namespace qz::host::test {

// Counters shared by every TestChart, for lifecycle checks.
struct TestChartCounters {
  std::atomic<int> live{0};
  std::atomic<int> activations{0};
  std::atomic<int> deactivations{0};
  std::atomic<int> pool_questions{0};
  // Set by the test: a chart asked to HoldDeactivate() waits in Deactivate
  // until this is true (at most five seconds).
  std::atomic<bool> let_deactivate{false};
};
TestChartCounters& Counters();

// Members (names in any case):
//   FillRed (variant), SecondYAxisScale (boolean), FillBlue (16-bit integer),
//   Title (string);
//   Send(): writes "chart:<Title>" through the Response found at activation
//     (Buffer, ContentType "image/test", BinaryWrite, End);
//   Echo(v): answers v; TypeName(v): the subtype name of v;
//   Bytes(n): a byte array of n bytes 0, 1, 2...; Fail(n): raises error n;
//   HasResponse(): whether activation found a Response; Sleep(ms): returns
//     after ms milliseconds; Live(): how many test charts live now;
//     Thread(): the calling thread's id; Join(a..f): the six arguments'
//     text joined by commas (an id as large as type libraries give);
//     HoldDeactivate(): Deactivate waits for Counters().let_deactivate.
// With ObjectControl: Activate finds the context through CoGetObjectContext
// and its item "Response", then sets FillRed 255 and SecondYAxisScale true.
IDispatch* NewTestChart();

}  // namespace qz::host::test
