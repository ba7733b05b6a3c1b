#include "tests/platform/com/sample_object.h"

namespace qz::test {
inline namespace QZ_SAMPLE_NAMESPACE {

namespace {

constexpr ParamInfo kVariantValue[] = {{"value", ParamType::Variant}};
constexpr ParamInfo kObjectValue[] = {{"value", ParamType::Object}};
constexpr ParamInfo kI2Value[] = {{"value", ParamType::I2}};
constexpr ParamInfo kStringValue[] = {{"value", ParamType::String}};
constexpr ParamInfo kBoolValue[] = {{"value", ParamType::Bool}};
constexpr ParamInfo kAddParams[] = {{"a", ParamType::I2}, {"b", ParamType::I2}};
constexpr ParamInfo kDecorateParams[] = {{"text", ParamType::String, PassBy::Reference}};
constexpr ParamInfo kFailParams[] = {{"number", ParamType::I4}, {"description", ParamType::String}};
constexpr ParamInfo kIdentityParams[] = {{"object", ParamType::Object}};
constexpr ParamInfo kTwiceParams[] = {{"x", ParamType::R8}};

constexpr MemberInfo kMembers[] = {
    {"Value", kValue, MemberKind::PropertyGet, {}, ParamType::Variant},
    {"Value", kValue, MemberKind::PropertyPut, kVariantValue},
    {"Value", kValue, MemberKind::PropertyPutRef, kObjectValue},
    {"Count", kCount, MemberKind::PropertyGet, {}, ParamType::I2},
    {"Count", kCount, MemberKind::PropertyPut, kI2Value},
    {"Name", kName, MemberKind::PropertyGet, {}, ParamType::String},
    {"Name", kName, MemberKind::PropertyPut, kStringValue},
    {"Enabled", kEnabled, MemberKind::PropertyGet, {}, ParamType::Bool},
    {"Enabled", kEnabled, MemberKind::PropertyPut, kBoolValue},
    {"Label", kLabel, MemberKind::PropertyGet, {}, ParamType::String},
    {"Label", kLabel, MemberKind::PropertyPut, kStringValue},
    {"Add", kAdd, MemberKind::Method, kAddParams, ParamType::I4},
    {"Decorate", kDecorate, MemberKind::Method, kDecorateParams},
    {"Fail", kFail, MemberKind::Method, kFailParams},
    {"Identity", kIdentity, MemberKind::Method, kIdentityParams, ParamType::Variant},
    {"Throw", kThrow, MemberKind::Method, {}},
    {"Twice", kTwice, MemberKind::Method, kTwiceParams, ParamType::R8},
};

constexpr TypeInfo kTypeInfo = {"_Sample", IID_Sample, kMembers};

}  // namespace

const MemberBinding<SampleObject> SampleObject::kBindings[] = {
    BindField<&SampleObject::value_>(kValue),
    BindField<&SampleObject::count_>(kCount),
    BindField<&SampleObject::name_>(kName),
    BindField<&SampleObject::enabled_>(kEnabled),
    BindAccessors<&SampleObject::GetLabel, &SampleObject::PutLabel>(kLabel),
    BindMethod<&SampleObject::Add>(kAdd),
    BindMethod<&SampleObject::Decorate>(kDecorate),
    BindMethod<&SampleObject::Fail>(kFail),
    BindMethod<&SampleObject::Identity>(kIdentity),
    BindMethod<&SampleObject::Throw>(kThrow),
    BindMethod<&SampleObject::Twice>(kTwice),
};

const TypeInfo& SampleTypeInfo() {
  return kTypeInfo;
}

std::span<const MemberBinding<SampleObject>> SampleObject::Bindings() {
  return kBindings;
}

void SampleObject::InvokeMember(const MemberInfo& member, std::span<Variant> args,
                                Variant* result) {
  InvokeBinding<SampleObject>(kBindings, *this, member, args, result);
}

}  // namespace QZ_SAMPLE_NAMESPACE
}  // namespace qz::test
