#include "host/cli_support.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <system_error>

#include "host/page_objects.h"
#include "platform/automation/error.h"
#include "platform/com/registry.h"

namespace qz::host {

PageExit PageExitOf(int status, int chart_errors) {
  if (status >= 500) return PageExit::kPageError;
  if (chart_errors > 0) return PageExit::kChartError;
  return PageExit::kRan;
}

CLI::Validator WholeNumber(long lo, long hi) {
  std::string description =
      "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  return CLI::Validator(
      [lo, hi, description](std::string& value) -> std::string {
        long n = 0;
        const char* first = value.data();
        const char* last = first + value.size();
        auto [end, ec] = std::from_chars(first, last, n);
        if (ec != std::errc() || end != last || n < lo || n > hi) {
          return "wants " + description + ", not '" + value + "'";
        }
        return {};
      },
      std::to_string(lo) + ".." + std::to_string(hi));
}

namespace {

// ProgIDs name classes whatever their case: one is added unless it is there.
void AddProgId(std::vector<std::string>& ids, std::string id) {
  bool seen = std::any_of(ids.begin(), ids.end(),
                          [&](const std::string& known) { return EqualsNoCase(known, id); });
  if (!seen) ids.push_back(std::move(id));
}

}  // namespace

std::vector<std::string> ProgIdsOfPage(std::string_view text) {
  static const std::regex kCreate(
      R"((?:CreateObject|ActiveXObject)\s*\(\s*["']([A-Za-z_][\w.]*)["'])",
      std::regex::ECMAScript | std::regex::icase);
  std::vector<std::string> ids;
  std::string s(text);
  for (auto it = std::sregex_iterator(s.begin(), s.end(), kCreate); it != std::sregex_iterator();
       ++it) {
    AddProgId(ids, (*it)[1].str());
  }
  return ids;
}

std::vector<std::string> ProgIdsOfPages(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> ids;
  std::error_code ec;
  std::vector<fs::path> pages;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && EqualsNoCase(it->path().extension().string(), ".asp")) {
      pages.push_back(it->path());
    }
  }
  std::sort(pages.begin(), pages.end());
  for (const fs::path& page : pages) {
    std::ifstream in(page, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::string& id : ProgIdsOfPage(text)) AddProgId(ids, std::move(id));
  }
  return ids;
}

std::string RegisterCommand() {
  return "quenza regsvr build/Quenza.so";
}

bool WarnAboutRegistry(std::ostream& out, std::string_view command,
                       const std::vector<std::string>& prog_ids) {
  if (prog_ids.empty()) return false;  // pages that create nothing need no registry
  try {
    const std::string path = RegistryPath();
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    const RegistryContents contents = exists ? ReadRegistry(path) : RegistryContents{};
    const std::string where = " (QUENZA_REGISTRY, else ~/.config/quenza/registry)";
    if (!exists) {
      out << "quenza " << command << ": warning: the registry " << path << where
          << " does not exist; no class can be created until one is registered: "
          << RegisterCommand() << "\n";
      return true;
    }
    if (contents.classes.empty()) {
      out << "quenza " << command << ": warning: the registry " << path
          << " holds no classes; register the component with: " << RegisterCommand() << "\n";
      return true;
    }
    bool warned = false;
    for (const std::string& id : prog_ids) {
      bool known =
          std::any_of(contents.classes.begin(), contents.classes.end(),
                      [&](const RegisteredClass& c) { return EqualsNoCase(c.progid, id); });
      if (!known) {
        out << "quenza " << command << ": warning: the pages ask for " << id
            << ", which is not registered in " << path << "; register it with: "
            << (EqualsNoCase(id, "Quenza.QuenzaChart") ? RegisterCommand()
                                                       : "quenza regsvr LIBRARY.so")
            << "\n";
        warned = true;
      }
    }
    return warned;
  } catch (const Error& e) {
    out << "quenza " << command << ": warning: cannot read the registry: " << e.description()
        << "\n";
    return true;
  } catch (const std::exception& e) {
    out << "quenza " << command << ": warning: cannot read the registry: " << e.what() << "\n";
    return true;
  }
}

}  // namespace qz::host
