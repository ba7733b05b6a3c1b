#include <gtest/gtest.h>

#include "platform/com/unknown.h"

namespace qz {
namespace {

constexpr GUID kSample = {
    0x0123ABCD, 0x4567, 0x89EF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};

TEST(Guid, FormatsUpperCaseWithBraces) {
  EXPECT_EQ(GuidToString(kSample), "{0123ABCD-4567-89EF-FEDC-BA9876543210}");
  EXPECT_EQ(GuidToString(GUID{}), "{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, ParsesWithOrWithoutBracesInAnyCase) {
  GUID g;
  ASSERT_TRUE(GuidFromString("{0123abcd-4567-89ef-fedc-ba9876543210}", &g));
  EXPECT_EQ(g, kSample);
  GUID h;
  ASSERT_TRUE(GuidFromString(GuidToString(kSample).substr(1, 36), &h));
  EXPECT_EQ(h, kSample);
}

TEST(Guid, RejectsWhatIsNoGuidAndLeavesTheTargetAlone) {
  const char* bad[] = {"",
                       "{}",
                       "{0123ABCD-4567-89EF-FEDC-BA9876543210",
                       "0123ABCD-4567-89EF-FEDC-BA9876543210}",
                       "0123ABCD-4567-89EF-FEDCBA9876543210",
                       "0123ABCD-4567-89EF-FEDC-BA987654321G",
                       "0123ABCD-4567-89EF-FEDC-BA98765432100",
                       "0123ABCD+4567-89EF-FEDC-BA9876543210",
                       "{0123ABCD-4567-89EF-FEDC-BA9876543210}}"};
  for (const char* text : bad) {
    GUID g = kSample;
    EXPECT_FALSE(GuidFromString(text, &g)) << text;
    EXPECT_EQ(g, kSample) << text;
  }
}

}  // namespace
}  // namespace qz
