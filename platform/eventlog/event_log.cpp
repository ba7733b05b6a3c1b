#include "platform/eventlog/event_log.h"

#include <atomic>

namespace {
thread_local qz::eventlog::EventSink* t_sink = nullptr;
std::atomic<qz::eventlog::EventSink*> g_process_sink{nullptr};
}  // namespace

extern "C" __attribute__((visibility("default"))) qz::eventlog::EventSink* QzGetEventSink(
    int which) {
  return which == 0 ? t_sink : g_process_sink.load();
}

extern "C" __attribute__((visibility("default"))) qz::eventlog::EventSink* QzSetEventSink(
    int which, qz::eventlog::EventSink* sink) {
  if (which == 0) {
    qz::eventlog::EventSink* previous = t_sink;
    t_sink = sink;
    return previous;
  }
  return g_process_sink.exchange(sink);
}

namespace qz::eventlog {

void ReportEvent(const Event& event) noexcept {
  EventSink* sink = QzGetEventSink(0);
  if (sink == nullptr) sink = QzGetEventSink(1);
  if (sink != nullptr) sink->Report(event);
}

EventSinkScope::EventSinkScope(EventSink* sink) noexcept : previous_(QzSetEventSink(0, sink)) {}

EventSinkScope::~EventSinkScope() {
  QzSetEventSink(0, previous_);
}

EventSink* SetProcessEventSink(EventSink* sink) noexcept {
  return QzSetEventSink(1, sink);
}

}  // namespace qz::eventlog
