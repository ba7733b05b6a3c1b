#include "platform/automation/error.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

TEST(Error, StandardMessagesAndGenericText) {
  EXPECT_EQ(StandardMessage(6), "Overflow");
  EXPECT_EQ(StandardMessage(13), "Type mismatch");
  EXPECT_EQ(StandardMessage(94), "Invalid use of Null");
  EXPECT_EQ(StandardMessage(75), "Path/File access error");
  EXPECT_EQ(StandardMessage(481), "Invalid picture");
  EXPECT_EQ(StandardMessage(26001), "Application-defined or object-defined error");
  EXPECT_EQ(StandardMessage(0), "Application-defined or object-defined error");
}

TEST(Error, StatusRoundTrip) {
  EXPECT_EQ(HResultFromNumber(6), static_cast<HRESULT>(0x800A0006u));
  EXPECT_EQ(HResultFromNumber(6), -2146828282);
  EXPECT_EQ(NumberFromHResult(HResultFromNumber(26001)), 26001);
  EXPECT_EQ(NumberFromHResult(DISP_E_OVERFLOW), err::kOverflow);
  EXPECT_EQ(NumberFromHResult(E_OUTOFMEMORY), err::kOutOfMemory);
  EXPECT_EQ(NumberFromHResult(E_FAIL), err::kAutomationError);
}

TEST(Error, RaiseCarriesNumberSourceAndDescription) {
  try {
    Raise(err::kOverflow);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 6);
    EXPECT_EQ(e.source(), "Quenza");  // linked into an executable
    EXPECT_EQ(e.description(), "Overflow");
    EXPECT_EQ(e.hresult(), -2146828282);
    EXPECT_STREQ(e.what(), "Overflow (6, Quenza)");
  }
  try {
    Raise(err::kJpegLibrary, "Failed to save to JPG -5", "Quenza.mIntelJPEGLibrary");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.source(), "Quenza.mIntelJPEGLibrary");
    EXPECT_EQ(e.description(), "Failed to save to JPG -5");
  }
}

}  // namespace
}  // namespace qz
