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

// Runs page text as /page.asp (or another name) of a temporary site, with
// the test objects' counters reset before each test and the page log
// collected in log_. A suite sets the members below to change what its
// pages get.
class PageTest : public ::testing::Test {
 protected:
  // A form, when given, is POSTed as application/x-www-form-urlencoded.
  PageResult Run(const std::string& page, const std::string& query = "",
                 const std::string& form = "") {
    return RunAt("page.asp", page, query, form);
  }
  // As Run, with the page at name (a path from the site root).
  PageResult RunAt(const std::string& name, const std::string& page, const std::string& query = "",
                   const std::string& form = "") {
    std::filesystem::path file = site_.Write(name, page);
    PageOptions options;
    options.root = site_.root();
    options.script_timeout_seconds = timeout_;
    options.script_memory_limit = memory_limit_;
    options.limits = limits_;
    options.create_object = create_object_;
    options.default_language = default_language_;
    options.collect_when_readied = collect_when_readied_;
    options.log = [this](const std::string& line) { log_.push_back(line); };
    PageRequest request;
    request.path = "/" + name;
    request.query = query;
    request.headers.emplace_back("User-Agent", "tester");
    if (!form.empty()) {
      request.method = "POST";
      request.body = form;
      request.content_type = "application/x-www-form-urlencoded; charset=utf-8";
    }
    return RunPage(options, request, file);
  }
  // Each of the `made` objects made in a page context since SetUp was
  // activated, deactivated and asked about pooling, and no test object
  // lives on.
  static void ExpectContextObjectsEnded(int made) {
    EXPECT_EQ(Counters().activations, made);
    EXPECT_EQ(Counters().deactivations, made);
    EXPECT_EQ(Counters().pool_questions, made);
    EXPECT_EQ(Counters().live, 0);
  }
  void SetUp() override {
    Counters().live = 0;
    Counters().activations = 0;
    Counters().deactivations = 0;
    Counters().let_deactivate = false;
    Counters().pool_questions = 0;
  }

  TempSite site_;
  int timeout_ = PageLimits::kScriptTimeoutSeconds;
  std::size_t memory_limit_ = PageLimits::kScriptMemoryBytes;
  PageLimits limits_;
  ObjectCreator create_object_ = CreateTestObject;
  PageLanguage default_language_ = PageLanguage::JScript;
  bool collect_when_readied_ = false;
  std::vector<std::string> log_;
};

}  // namespace qz::host::test
