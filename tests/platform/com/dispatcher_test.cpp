#include "platform/com/dispatcher.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/platform/com/sample_object.h"

namespace qz {
namespace {

using test::SampleObject;

struct Outcome {
  HRESULT status;
  Variant result;
  EXCEPINFO excep;
};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto unknown = CreateComObject<SampleObject>();
    object_ = unknown.As<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(object_);
  }

  DISPID Id(std::string_view name) {
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(object_->GetIDsOfNames(name, &id), S_OK) << name;
    return id;
  }

  Outcome Call(std::string_view name, std::uint16_t flags, std::vector<Variant> args = {}) {
    Outcome o;
    o.status = object_->Invoke(Id(name), flags, args, &o.result, &o.excep);
    args_ = std::move(args);
    return o;
  }
  Outcome Get(std::string_view name) { return Call(name, DISPATCH_METHOD | DISPATCH_PROPERTYGET); }
  Outcome Put(std::string_view name, Variant v) { return Call(name, DISPATCH_PROPERTYPUT, {v}); }

  ComPtr<IDispatch> object_;
  std::vector<Variant> args_;  // the arguments of the last call, after it
};

TEST_F(DispatcherTest, NamesResolveInAnyLetterCase) {
  EXPECT_EQ(Id("Count"), test::kCount);
  EXPECT_EQ(Id("count"), test::kCount);
  EXPECT_EQ(Id("COUNT"), test::kCount);
  EXPECT_EQ(Id("dEcOrAtE"), test::kDecorate);
  DISPID id = 7;
  EXPECT_EQ(object_->GetIDsOfNames("Counts", &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  EXPECT_EQ(object_->GetIDsOfNames("", &id), DISP_E_UNKNOWNNAME);
}

TEST_F(DispatcherTest, PropertyReadAsScriptsAskIt) {
  ASSERT_EQ(Put("Count", Variant(std::int16_t{12})).status, S_OK);
  EXPECT_EQ(Call("Count", DISPATCH_PROPERTYGET).result, Variant(std::int16_t{12}));
  EXPECT_EQ(Get("Count").result, Variant(std::int16_t{12}));
  // A property is no method, and a method no property.
  EXPECT_EQ(Call("Count", DISPATCH_METHOD).status, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call("Twice", DISPATCH_PROPERTYPUT, {Variant(1.0)}).status, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Call("Count", DISPATCH_PROPERTYPUTREF, {Variant(std::int16_t{1})}).status,
            DISP_E_MEMBERNOTFOUND);
  // Asked for either write (as JScript assigns an object), a property
  // without a reference write takes the plain one and converts the value.
  EXPECT_EQ(Call("Count", DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF, {Variant("7")}).status,
            S_OK);
  EXPECT_EQ(Get("Count").result, Variant(std::int16_t{7}));
  EXPECT_EQ(Call("Twice", DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF, {Variant(1.0)}).status,
            DISP_E_MEMBERNOTFOUND);
  Variant untouched("keep");
  EXPECT_EQ(object_->Invoke(999, DISPATCH_METHOD, {}, &untouched, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(untouched, Variant("keep"));
}

TEST_F(DispatcherTest, WritesConvertToTheDeclaredType) {
  ASSERT_EQ(Put("Count", Variant("41.5")).status, S_OK);
  EXPECT_EQ(Get("Count").result, Variant(std::int16_t{42}));
  ASSERT_EQ(Put("Name", Variant(2.5)).status, S_OK);
  EXPECT_EQ(Get("Name").result, Variant("2.5"));
  // A variant property keeps the value as it is.
  ASSERT_EQ(Put("Value", Variant("3")).status, S_OK);
  EXPECT_EQ(Get("Value").result, Variant("3"));
  ASSERT_EQ(Put("Value", Variant(std::int32_t{40000})).status, S_OK);
  EXPECT_EQ(Get("Value").result, Variant(std::int32_t{40000}));
}

TEST_F(DispatcherTest, BooleansStoreTrueAsMinusOne) {
  ASSERT_EQ(Put("Enabled", Variant(std::int32_t{7})).status, S_OK);
  EXPECT_EQ(Get("Enabled").result, Variant::Bool(true));
  EXPECT_EQ(Get("Enabled").result.boolean(), VARIANT_TRUE);
  ASSERT_EQ(Put("Enabled", Variant(0.0)).status, S_OK);
  EXPECT_EQ(Get("Enabled").result, Variant::Bool(false));
  ASSERT_EQ(Put("Enabled", Variant("true")).status, S_OK);
  EXPECT_EQ(Get("Enabled").result, Variant::Bool(true));
}

TEST_F(DispatcherTest, FailedConversionLeavesThePropertyAndReportsTheError) {
  ASSERT_EQ(Put("Count", Variant(std::int16_t{5})).status, S_OK);
  Outcome o = Put("Count", Variant(std::int32_t{40000}));
  EXPECT_EQ(o.status, static_cast<HRESULT>(0x800A0006u));
  EXPECT_EQ(o.excep.number, err::kOverflow);
  EXPECT_EQ(o.excep.source, DefaultErrorSource());
  EXPECT_EQ(o.excep.description, "Overflow");
  EXPECT_EQ(Get("Count").result, Variant(std::int16_t{5}));

  o = Put("Count", Variant("five"));
  EXPECT_EQ(o.status, HResultFromNumber(err::kTypeMismatch));
  EXPECT_EQ(o.excep.description, "Type mismatch");
  o = Put("Name", Variant::Null());
  EXPECT_EQ(o.status, HResultFromNumber(err::kInvalidUseOfNull));
  EXPECT_EQ(Get("Count").result, Variant(std::int16_t{5}));
  EXPECT_EQ(Get("Name").result, Variant(""));
}

TEST_F(DispatcherTest, ObjectReferencesAreStoredAndReleased) {
  auto other = CreateComObject<SampleObject>();
  const std::int64_t live = ModuleObjectCount();
  {
    Variant ref(other);
    ASSERT_EQ(Call("Value", DISPATCH_PROPERTYPUTREF, {ref}).status, S_OK);
  }
  Outcome read = Get("Value");
  ASSERT_EQ(read.result.type(), VarType::Object);
  EXPECT_EQ(read.result.object().get(), other.get());
  // Putref and an Object parameter need an object reference.
  Outcome o = Call("Value", DISPATCH_PROPERTYPUTREF, {Variant(std::int16_t{1})});
  EXPECT_EQ(o.status, HResultFromNumber(err::kObjectRequired));
  EXPECT_EQ(o.excep.number, err::kObjectRequired);
  EXPECT_EQ(Get("Value").result.object().get(), other.get());
  EXPECT_EQ(Call("Identity", DISPATCH_METHOD, {Variant("x")}).status,
            HResultFromNumber(err::kObjectRequired));
  EXPECT_EQ(Call("Identity", DISPATCH_METHOD, {Variant(other)}).result.object().get(), other.get());

  // The stored reference goes with the value it is replaced by.
  read = {};
  ASSERT_EQ(Put("Value", Variant(1.0)).status, S_OK);
  IUnknown* raw = other.Detach();
  EXPECT_EQ(raw->Release(), 0u);
  EXPECT_EQ(ModuleObjectCount(), live - 1);
}

TEST_F(DispatcherTest, MethodsTakeConvertedArgumentsAndAnswerTheDeclaredResult) {
  Outcome o = Call("Add", DISPATCH_METHOD, {Variant("2"), Variant(3.4)});
  ASSERT_EQ(o.status, S_OK);
  EXPECT_EQ(o.result, Variant(std::int32_t{5}));
  o = Call("Twice", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {Variant(std::int16_t{4})});
  EXPECT_EQ(o.result, Variant(8.0));
  // By-value arguments stay as the caller passed them.
  EXPECT_EQ(args_[0], Variant(std::int16_t{4}));
  // A result the caller does not want is dropped.
  std::vector<Variant> args = {Variant(1.0)};
  EXPECT_EQ(object_->Invoke(test::kTwice, DISPATCH_METHOD, args, nullptr, nullptr), S_OK);
}

TEST_F(DispatcherTest, ByReferenceArgumentsAreWrittenBack) {
  Outcome o = Call("Decorate", DISPATCH_METHOD, {Variant("Stop")});
  ASSERT_EQ(o.status, S_OK);
  EXPECT_EQ(args_[0], Variant("Stop!"));
  EXPECT_TRUE(o.result.is_empty());
  // The argument comes back in the declared type.
  Call("Decorate", DISPATCH_METHOD, {Variant(std::int16_t{7})});
  EXPECT_EQ(args_[0], Variant("7!"));
  // A failed conversion writes nothing back.
  o = Call("Decorate", DISPATCH_METHOD, {Variant::Null()});
  EXPECT_EQ(o.status, HResultFromNumber(err::kInvalidUseOfNull));
  EXPECT_TRUE(args_[0].is_null());
}

TEST_F(DispatcherTest, HandlerErrorsCarryNumberSourceAndDescription) {
  Outcome o = Call("Fail", DISPATCH_METHOD, {Variant(std::int16_t{380}), Variant("Bad width")});
  EXPECT_EQ(o.status, static_cast<HRESULT>(0x800A017Cu));
  EXPECT_EQ(o.excep.number, 380);
  EXPECT_EQ(o.excep.source, "Sample.Fail");
  EXPECT_EQ(o.excep.description, "Bad width");
  // An empty description takes the standard message.
  o = Call("Fail", DISPATCH_METHOD, {Variant(std::int16_t{53}), Variant("")});
  EXPECT_EQ(o.excep.description, "File not found");
  // Other exceptions do not cross Invoke either.
  o = Call("Throw", DISPATCH_METHOD);
  EXPECT_EQ(o.status, HResultFromNumber(err::kInternalError));
  EXPECT_EQ(o.excep.number, err::kInternalError);
  EXPECT_EQ(o.excep.description, "not a qz::Error");
  // Without EXCEPINFO the status still tells.
  std::vector<Variant> args = {Variant(std::int16_t{9}), Variant("x")};
  EXPECT_EQ(object_->Invoke(test::kFail, DISPATCH_METHOD, args, nullptr, nullptr),
            HResultFromNumber(9));
}

TEST_F(DispatcherTest, WrongArgumentCountIsRefused) {
  Outcome o = Call("Add", DISPATCH_METHOD, {Variant(std::int16_t{1})});
  EXPECT_EQ(o.status, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(o.excep.number, err::kWrongNumberOfArguments);
  EXPECT_EQ(Call("Add", DISPATCH_METHOD, {Variant(1.0), Variant(2.0), Variant(3.0)}).status,
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call("Count", DISPATCH_PROPERTYGET, {Variant(1.0)}).status, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call("Count", DISPATCH_PROPERTYPUT).status, DISP_E_BADPARAMCOUNT);
}

TEST_F(DispatcherTest, AccessorBindingsRunTheClassCode) {
  ASSERT_EQ(Put("Label", Variant(std::int16_t{3})).status, S_OK);
  EXPECT_EQ(Get("label").result, Variant("<3>"));
}

TEST_F(DispatcherTest, InterfacesAndIdentity) {
  ComPtr<IUnknown> a = object_.As<IUnknown>(IID_IUnknown);
  ComPtr<IDispatch> dual = object_.As<IDispatch>(test::IID_Sample);
  ASSERT_TRUE(a);
  ASSERT_TRUE(dual);
  EXPECT_EQ(dual.get(), object_.get());
  EXPECT_EQ(dual.As<IUnknown>(IID_IUnknown).get(), a.get());
  void* out = &out;
  EXPECT_EQ(object_->QueryInterface(test::IID_Unrelated, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(object_->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
  EXPECT_EQ(&object_->GetTypeInfo(), &test::SampleTypeInfo());
}

TEST_F(DispatcherTest, ObjectsCountWhileTheyLive) {
  const std::int64_t before = ModuleObjectCount();
  ComPtr<IUnknown> extra = CreateComObject<SampleObject>();
  EXPECT_EQ(ModuleObjectCount(), before + 1);
  ComPtr<IUnknown> copy = extra;
  extra.reset();
  EXPECT_EQ(ModuleObjectCount(), before + 1);
  copy.reset();
  EXPECT_EQ(ModuleObjectCount(), before);
}

TEST_F(DispatcherTest, InvokeByNameRaisesWhatTheObjectReported) {
  std::vector<Variant> args = {Variant("a")};
  InvokeByName(*object_, "DECORATE", DISPATCH_METHOD, args);
  EXPECT_EQ(args[0], Variant("a!"));
  std::vector<Variant> value = {Variant(std::int16_t{9})};
  InvokeByName(*object_, "count", DISPATCH_PROPERTYPUT, value);
  EXPECT_EQ(InvokeByName(*object_, "Count", DISPATCH_PROPERTYGET), Variant(std::int16_t{9}));
  try {
    std::vector<Variant> fail = {Variant(std::int16_t{481}), Variant("no picture")};
    InvokeByName(*object_, "Fail", DISPATCH_METHOD, fail);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 481);
    EXPECT_EQ(e.source(), "Sample.Fail");
    EXPECT_EQ(e.description(), "no picture");
  }
  try {
    InvokeByName(*object_, "Nope", DISPATCH_METHOD);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kObjectDoesntSupportMember);
    EXPECT_NE(e.description().find("'Nope'"), std::string::npos);
  }
}

// A table and a binding list that disagree.
constexpr ParamInfo kOne[] = {{"x", ParamType::I2}};
constexpr MemberInfo kBrokenMembers[] = {
    {"Add", test::kAdd, MemberKind::Method, kOne, ParamType::I4},  // Add takes two
    {"Count", test::kCount, MemberKind::Method, {}},               // bound as a field
    {"Missing", 77, MemberKind::PropertyGet, {}, ParamType::I2},   // no binding
};
constexpr TypeInfo kBroken = {"_Broken", test::IID_Unrelated, kBrokenMembers};

TEST(CheckBindings, AcceptsTheSampleAndFindsEveryMismatch) {
  EXPECT_TRUE(CheckBindings(test::SampleTypeInfo(), SampleObject::Bindings()).empty());
  auto problems = CheckBindings(kBroken, SampleObject::Bindings());
  auto mentions = [&](std::string_view text) {
    for (const auto& p : problems) {
      if (p.find(text) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(mentions("Add: the handler takes 2 arguments, the member 1"));
  EXPECT_TRUE(mentions("Count: a method bound as a property"));
  EXPECT_TRUE(mentions("Missing: no binding"));
  EXPECT_TRUE(mentions("DISPID 11 without a member"));  // Decorate
}

}  // namespace
}  // namespace qz
