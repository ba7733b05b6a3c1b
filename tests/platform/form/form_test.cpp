#include "platform/form/form.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/automation/error.h"

namespace qz::form {
namespace {

TEST(Form1, HasItsControlsAtTheirDesignTimeLayout) {
  Form1& form = GetForm1();
  EXPECT_EQ(form.tPict().Left(), 3840);
  EXPECT_EQ(form.tPict().Top(), 3840);
  EXPECT_EQ(form.tPict().Width(), 2895);
  EXPECT_EQ(form.tPict().Height(), 1695);
  EXPECT_EQ(form.Picture1().Left(), 120);
  EXPECT_EQ(form.Picture1().Top(), 3360);
  EXPECT_EQ(form.Picture1().Width(), 2895);
  EXPECT_EQ(form.Picture1().Height(), 1695);
  EXPECT_EQ(form.ChartLeft(), 120);
  EXPECT_EQ(form.ChartTop(), 120);
  EXPECT_EQ(form.Chart().Width(), 7815);
  EXPECT_EQ(form.Chart().Height(), 4455);
  // The stamp surface holds 193 x 113 pixels.
  EXPECT_EQ(form.tPict().ScaleWidth(), 193);
  EXPECT_EQ(form.tPict().ScaleHeight(), 113);
}

TEST(Form1, IsOnePerThreadAndKeepsItsState) {
  Form1* mine = &GetForm1();
  EXPECT_EQ(mine, &GetForm1());
  mine->Chart().SetTitleText("kept on this thread");
  mine->Picture1().SetAutoRedraw(true);

  Form1* theirs = nullptr;
  std::string their_title;
  std::thread other([&] {
    theirs = &GetForm1();
    their_title = theirs->Chart().TitleText();
  });
  other.join();
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(their_title, "");
  EXPECT_EQ(GetForm1().Chart().TitleText(), "kept on this thread");
  EXPECT_TRUE(GetForm1().Picture1().AutoRedraw());
  mine->Chart().Reset();
  mine->Picture1().SetAutoRedraw(false);
}

TEST(PictureBox, ScaleFollowsTheOuterSizeAndRefusesNegativeSizes) {
  PictureBox box(0, 0, 150, 300);
  EXPECT_EQ(box.ScaleWidth(), 10);
  EXPECT_EQ(box.ScaleHeight(), 20);
  box.SetWidth(6480);
  EXPECT_EQ(box.ScaleWidth(), 432);
  EXPECT_THROW(box.SetHeight(-15), Error);
  EXPECT_EQ(box.Height(), 300);
}

}  // namespace
}  // namespace qz::form
