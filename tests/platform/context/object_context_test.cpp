#include "platform/context/object_context.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/recording_response.h"

namespace qz {
namespace {

using test::RecordingResponse;
using test::ResponseCall;
using test::TestObjectContext;

IObjectContext* Current() {
  ComPtr<IObjectContext> context;
  if (Failed(GetObjectContext(context.put()))) return nullptr;
  return context.get();
}

TEST(ObjectContextScope, NestsRestoresAndBelongsToItsThread) {
  EXPECT_EQ(Current(), nullptr);
  IObjectContext* none = reinterpret_cast<IObjectContext*>(1);
  EXPECT_EQ(GetObjectContext(&none), CONTEXT_E_NOCONTEXT);
  EXPECT_EQ(none, nullptr);

  auto outer = TestObjectContext::Create();
  auto inner = TestObjectContext::Create();
  {
    ObjectContextScope a(outer.get());
    EXPECT_EQ(outer->references(), 2u);  // the scope holds one
    EXPECT_EQ(Current(), outer.get());
    {
      ObjectContextScope b(inner.get());
      EXPECT_EQ(Current(), inner.get());
      IObjectContext* elsewhere = outer.get();
      std::thread([&] { elsewhere = Current(); }).join();
      EXPECT_EQ(elsewhere, nullptr);
    }
    EXPECT_EQ(Current(), outer.get());
    EXPECT_EQ(inner->references(), 1u);
  }
  EXPECT_EQ(Current(), nullptr);
  EXPECT_EQ(outer->references(), 1u);
}

TEST(TestObjectContext, AnswersItsItemsAndRefusesOthers) {
  auto response = RecordingResponse::Create();
  auto context = TestObjectContext::WithResponse(response);
  Variant item;
  ASSERT_EQ(context->GetItem("Response", &item), S_OK);
  ASSERT_EQ(item.type(), VarType::Object);
  EXPECT_EQ(item.object().As<IResponse>(IID_IResponse).get(), response.get());
  EXPECT_EQ(context->GetItem("Request", &item), E_INVALIDARG);
  EXPECT_FALSE(item.object().As<IObjectContext>(IID_IObjectContext));
}

TEST(RecordingResponse, RecordsEveryCallInOrderAndIgnoresWritesAfterEnd) {
  auto response = RecordingResponse::Create();
  EXPECT_EQ(response->put_Buffer(VARIANT_TRUE), S_OK);
  EXPECT_EQ(response->put_ContentType("image/bmp"), S_OK);
  EXPECT_EQ(response->BinaryWrite(Variant(std::vector<std::uint8_t>{'B', 'M', 0, 255})), S_OK);
  EXPECT_EQ(response->Write(Variant(2.5)), S_OK);
  EXPECT_EQ(response->BinaryWrite(Variant("text")), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(response->End(), S_OK);
  EXPECT_EQ(response->Write(Variant("late")), S_OK);
  EXPECT_EQ(response->put_ContentType("text/HTML"), S_OK);

  const auto& calls = response->calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0].kind, ResponseCall::Kind::Buffer);
  EXPECT_EQ(calls[1].text, "image/bmp");
  EXPECT_EQ(calls[2].bytes, (std::vector<std::uint8_t>{'B', 'M', 0, 255}));
  EXPECT_EQ(calls[3].text, "2.5");
  EXPECT_EQ(calls[4].kind, ResponseCall::Kind::End);
  EXPECT_TRUE(calls[5].after_end);
  EXPECT_FALSE(calls[3].after_end);

  EXPECT_EQ(response->body(), (std::vector<std::uint8_t>{'B', 'M', 0, 255, '2', '.', '5'}));
  EXPECT_EQ(response->content_type(), "image/bmp");
  EXPECT_TRUE(response->buffered());
  EXPECT_TRUE(response->ended());
}

}  // namespace
}  // namespace qz
