// Helpers shared by the host's tests: a temporary site folder and a page
// run with the test objects.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/page_engine.h"
#include "tests/host/test_objects.h"

namespace qz::host::test {

class TempSite {
 public:
  TempSite() {
    root_ = std::filesystem::temp_directory_path() /
            ("quenza-site-" + std::to_string(::getpid()) + "-" + std::to_string(next_++));
    std::filesystem::create_directories(root_);
    root_ = std::filesystem::canonical(root_);
  }
  ~TempSite() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path Write(const std::string& rel, const std::string& text) const {
    std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

 private:
  static inline int next_ = 0;
  std::filesystem::path root_;
};

// Creates "Test.Chart" objects; any other ProgID fails with 429.
inline ComPtr<IDispatch> CreateTestObject(std::string_view prog_id) {
  if (prog_id != "Test.Chart") Raise(err::kCantCreateObject, {}, std::string(prog_id));
  return ComPtr<IDispatch>::Attach(NewTestChart());
}

}  // namespace qz::host::test
