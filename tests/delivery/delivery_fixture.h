// Shared set-up of the delivery tests: a private temporary folder per test,
// a fresh chart engine, an activated object over a recording Response, and
// image decoding through the platform's own picture loading.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "component/object_state.h"
#include "platform/form/form.h"
#include "tests/support/recording_response.h"

namespace qz::test {

// 0x00RRGGBB per pixel, rows top-down.
struct Decoded {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  std::uint32_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
};

// Decodes a BMP, JPEG, PNG or GIF file's bytes; fails the test on error.
Decoded Decode(const std::vector<std::uint8_t>& bytes);
Decoded DecodeFile(const std::string& path);
// The mean absolute difference per channel, 255 when the sizes differ.
double MeanDifference(const Decoded& a, const Decoded& b);
std::vector<std::uint8_t> ReadBytes(const std::string& path);
bool IsBmp(const std::vector<std::uint8_t>& bytes);
bool IsJpeg(const std::vector<std::uint8_t>& bytes);

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Names of the entries in the private temporary folder.
  std::vector<std::string> TempEntries() const;
  // A 6 x 4 inch (576 x 384 pixel) clustered bar chart of rows x 3 series,
  // its title and values shifted by variant.
  static void FillChart(component::ObjectState& object, chart::Chart& chart, int variant);

  std::string tmpdir_;  // ends with '/'
  ComPtr<RecordingResponse> response_;
  component::ObjectState object_;
  form::Form1* form_ = nullptr;
};

}  // namespace qz::test
