// What RandomiseBits draws from, shared with its tests so that a known seed
// reproduces a call's noise.
#pragma once

#include <random>

namespace qz::imaging::detail {

// The local time of day in seconds since midnight, as a single.
float SecondsSinceMidnight();

// A uniform generator of values in [0, 1), seeded from a time of day.
class NoiseGenerator {
 public:
  explicit NoiseGenerator(float seconds);
  float Next();

 private:
  std::mt19937 engine_;
  std::uniform_real_distribution<float> uniform_{0.0f, 1.0f};
};

}  // namespace qz::imaging::detail
