#include "platform/form/picture_box.h"

#include <cmath>

#include "platform/automation/error.h"

namespace qz::form {

namespace {
void CheckSize(float twips) {
  if (!(twips >= 0) || !std::isfinite(twips)) Raise(err::kInvalidPropertyValue);
}
}  // namespace

PictureBox::PictureBox(float left, float top, float width, float height)
    : left_(left), top_(top), width_(width), height_(height) {}

void PictureBox::SetWidth(float twips) {
  CheckSize(twips);
  width_ = twips;
}

void PictureBox::SetHeight(float twips) {
  CheckSize(twips);
  height_ = twips;
}

}  // namespace qz::form
