// Runs a page's VBScript with the page's objects: Response, Request (with
// its collections usable by name, by number, with Count and Key, and with
// For Each, and Request("name") looking in QueryString, Form and
// ServerVariables in turn) and Server, CreateObject for objects without an
// object context, and the page's literal text and <%= %> output.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/duktape/qz_duktape.h"
#include "host/page_objects.h"
#include "platform/com/dispatch.h"

namespace qz::host {

struct VbsPageHost {
  IDispatch* response = nullptr;
  IDispatch* request = nullptr;
  IDispatch* server = nullptr;
  const RequestData* request_data = nullptr;
  ScriptBudget* budget = nullptr;
  std::size_t memory_limit = SIZE_MAX;
  // The page's literal text, written by number.
  const std::vector<std::string>* literals = nullptr;
  std::function<void(const Variant&)> write;  // raises qz::Error
  std::function<ComPtr<IDispatch>(std::string_view)> create_without_context;
};

struct VbsPageOutcome {
  bool failed = false;   // an uncaught error (not a stop)
  bool stopped = false;  // timeout, stop request or memory: the budget says which
  std::string number, description, source;
  int line = 0, column = 0;  // in the script
};

VbsPageOutcome RunVbsPage(const VbsPageHost& host, std::string_view script);

}  // namespace qz::host
