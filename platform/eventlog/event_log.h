// The platform's event log: where a server component reports what went wrong
// without a caller to tell, since its failures are answered to the client and
// never reach the script (the render methods' error answer).
//
// A component reports an event; the host decides where it goes by installing
// a sink, either for the calling thread (EventSinkScope, around the work of
// one page, so that the sink knows the page and request) or for the process
// (SetProcessEventSink, for events on threads without a sink of their own).
// An event with no sink at all is dropped: a component never prints.
//
// The current sinks live behind the C functions QzGetEventSink and
// QzSetEventSink, which an executable that hosts a library exports, so that a
// library loaded into it reports to the host's sinks, not to a copy of its
// own (as with the object context).
#pragma once

#include <cstdint>
#include <string_view>

namespace qz::eventlog {

enum class EventType : std::int32_t { kError = 1, kWarning = 2, kInformation = 4 };

// One event. The texts are borrowed for the length of the Report call.
// An error names what failed; an information event with a format tells of a
// chart written ("QuenzaChart.SaveChart", "png"), so that a host can count
// what its pages make.
struct Event {
  EventType type = EventType::kError;
  std::int32_t number = 0;       // the automation error number
  std::string_view source;       // the error's source ("Quenza")
  std::string_view description;  // the error's own description
  std::string_view operation;    // what failed or was done, "QuenzaChart.SendChart"
  std::string_view format;       // a chart written: its image format, "jpeg", "png", "bmp", "svg"
};

class EventSink {
 public:
  // Must not throw; it runs inside the component's failure handling.
  virtual void Report(const Event& event) noexcept = 0;

 protected:
  ~EventSink() = default;
};

// Hands the event to the calling thread's sink, else to the process sink,
// else drops it. Never throws.
void ReportEvent(const Event& event) noexcept;

// Makes sink the calling thread's sink for the scope's life, restoring the
// previous one after. The sink must outlive the scope.
class EventSinkScope {
 public:
  explicit EventSinkScope(EventSink* sink) noexcept;
  ~EventSinkScope();
  EventSinkScope(const EventSinkScope&) = delete;
  EventSinkScope& operator=(const EventSinkScope&) = delete;

 private:
  EventSink* previous_;
};

// The sink for threads without one of their own (null: none). The sink must
// stay alive until it is replaced. Answers the previous one.
EventSink* SetProcessEventSink(EventSink* sink) noexcept;

}  // namespace qz::eventlog

extern "C" {
// Which: 0 the calling thread's sink, 1 the process sink.
__attribute__((visibility("default"))) qz::eventlog::EventSink* QzGetEventSink(int which);
__attribute__((visibility("default"))) qz::eventlog::EventSink* QzSetEventSink(
    int which, qz::eventlog::EventSink* sink);
}
