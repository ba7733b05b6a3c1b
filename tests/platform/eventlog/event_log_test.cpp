#include "platform/eventlog/event_log.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace qz::eventlog {
namespace {

struct Recorded {
  std::int32_t number;
  std::string source, description, operation;
};

class RecordingSink final : public EventSink {
 public:
  void Report(const Event& e) noexcept override {
    events.push_back(
        {e.number, std::string(e.source), std::string(e.description), std::string(e.operation)});
  }
  std::vector<Recorded> events;
};

Event Sample(std::int32_t number) {
  Event e;
  e.number = number;
  e.source = "Quenza";
  e.description = "Invalid property value";
  e.operation = "QuenzaChart.SendChart";
  return e;
}

TEST(EventLog, ThreadSinkReceivesTheEventWithItsTexts) {
  RecordingSink sink;
  {
    EventSinkScope scope(&sink);
    ReportEvent(Sample(380));
  }
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].number, 380);
  EXPECT_EQ(sink.events[0].source, "Quenza");
  EXPECT_EQ(sink.events[0].description, "Invalid property value");
  EXPECT_EQ(sink.events[0].operation, "QuenzaChart.SendChart");
  // Out of the scope nothing reaches it.
  ReportEvent(Sample(6));
  EXPECT_EQ(sink.events.size(), 1u);
}

TEST(EventLog, ScopesNestAndRestoreTheOuterSink) {
  RecordingSink outer, inner;
  EventSinkScope a(&outer);
  {
    EventSinkScope b(&inner);
    ReportEvent(Sample(1));
  }
  ReportEvent(Sample(2));
  ASSERT_EQ(inner.events.size(), 1u);
  EXPECT_EQ(inner.events[0].number, 1);
  ASSERT_EQ(outer.events.size(), 1u);
  EXPECT_EQ(outer.events[0].number, 2);
}

TEST(EventLog, ProcessSinkServesThreadsWithoutTheirOwn) {
  RecordingSink process, mine;
  EventSink* before = SetProcessEventSink(&process);
  EventSinkScope scope(&mine);
  std::thread other([] { ReportEvent(Sample(53)); });
  other.join();
  ReportEvent(Sample(75));
  SetProcessEventSink(before);
  // Once the process sink is taken away, a thread without one drops it.
  std::thread after([] { ReportEvent(Sample(7)); });
  after.join();
  ASSERT_EQ(process.events.size(), 1u);
  EXPECT_EQ(process.events[0].number, 53);
  ASSERT_EQ(mine.events.size(), 1u);
  EXPECT_EQ(mine.events[0].number, 75);
}

}  // namespace
}  // namespace qz::eventlog
