// Form1, the component's hidden host form: the chart engine Chart and the
// picture surfaces Picture1 (the chart is painted into it and captured) and
// tPict (the stamp surface), at their design-time positions and sizes in
// twips.
//
// One form per thread, created with its three controls the first time
// GetForm1() is called on that thread and kept until the thread ends; the
// component never destroys it, so whatever is set on its controls carries
// over from one object to the next on that thread. Nothing is locked: a form
// belongs to its thread.
#pragma once

#include "platform/chart/chart.h"
#include "platform/form/picture_box.h"

namespace qz::form {

// Design-time layout, in twips.
struct ControlLayout {
  float left, top, width, height;
};
inline constexpr ControlLayout kTPictLayout{3840, 3840, 2895, 1695};
inline constexpr ControlLayout kPicture1Layout{120, 3360, 2895, 1695};
inline constexpr ControlLayout kChartLayout{120, 120, 7815, 4455};
inline constexpr float kClientWidth = 8448, kClientHeight = 5544;

class Form1 {
 public:
  // Creates the controls and the chart's window, whose paint message paints
  // the chart's current state into the device context it carries.
  Form1();
  ~Form1();
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  chart::Chart& Chart() { return chart_; }
  PictureBox& Picture1() { return picture1_; }
  PictureBox& tPict() { return tpict_; }

  // The chart's position on the form; its size is the engine's Height and
  // Width.
  float ChartLeft() const { return kChartLayout.left; }
  float ChartTop() const { return kChartLayout.top; }

 private:
  // Declared in the order the controls are created.
  PictureBox tpict_;
  PictureBox picture1_;
  chart::Chart chart_;
};

// The calling thread's form, created on first use.
Form1& GetForm1();

}  // namespace qz::form
