// A picture surface of the host form: an outer size in twips, an inner
// coordinate system in pixels (15 twips to the pixel, (0, 0) at the top-left
// corner, no border), and the persistent-image switch.
#pragma once

namespace qz::form {

inline constexpr float kTwipsPerPixel = 15;

class PictureBox {
 public:
  // Position and outer size in twips.
  PictureBox(float left, float top, float width, float height);
  PictureBox(const PictureBox&) = delete;
  PictureBox& operator=(const PictureBox&) = delete;

  float Left() const { return left_; }
  float Top() const { return top_; }
  // Outer size in twips; a negative or non-finite size raises 380 (Invalid
  // property value) and changes nothing.
  float Width() const { return width_; }
  void SetWidth(float twips);
  float Height() const { return height_; }
  void SetHeight(float twips);

  // Inner size in pixels: the outer size over kTwipsPerPixel.
  float ScaleWidth() const { return width_ / kTwipsPerPixel; }
  float ScaleHeight() const { return height_ / kTwipsPerPixel; }

  // Whether drawing goes to the persistent off-screen image.
  bool AutoRedraw() const { return auto_redraw_; }
  void SetAutoRedraw(bool on) { auto_redraw_ = on; }

 private:
  float left_, top_, width_, height_;
  bool auto_redraw_ = false;
};

}  // namespace qz::form
