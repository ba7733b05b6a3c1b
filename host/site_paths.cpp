#include "host/site_paths.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>

namespace qz::host {
namespace {

std::string LowerExtension(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

bool Inside(const std::filesystem::path& root, const std::filesystem::path& file) {
  auto r = root.begin();
  auto f = file.begin();
  for (; r != root.end(); ++r, ++f) {
    if (f == file.end() || *r != *f) return false;
  }
  return true;
}

}  // namespace

SitePath ResolveSitePath(const std::filesystem::path& root, std::string_view url_path) {
  namespace fs = std::filesystem;
  SitePath out;
  if (url_path.empty() || url_path.front() != '/' ||
      url_path.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) {
    out.verdict = PathVerdict::Forbidden;
    return out;
  }
  fs::path candidate = root;
  std::string_view rest = url_path;
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (segment.empty()) continue;
    if (segment == "." || segment == "..") {
      out.verdict = PathVerdict::Forbidden;
      return out;
    }
    candidate /= std::string(segment);
  }
  std::error_code ec;
  if (fs::is_directory(candidate, ec)) {
    bool found = false;
    for (const char* index : {"index.asp", "index.html", "index.htm"}) {
      if (fs::is_regular_file(candidate / index, ec)) {
        candidate /= index;
        found = true;
        break;
      }
    }
    if (!found) return out;
  }
  fs::path canonical = fs::canonical(candidate, ec);
  if (ec) return out;
  if (!Inside(root, canonical)) {
    out.verdict = PathVerdict::Forbidden;
    return out;
  }
  if (!fs::is_regular_file(canonical, ec)) return out;
  out.verdict = PathVerdict::Ok;
  out.file = canonical;
  out.is_page = LowerExtension(canonical) == ".asp";
  return out;
}

std::string_view MediaTypeFor(const std::filesystem::path& file) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html"},      {".htm", "text/html"},    {".css", "text/css"},
      {".js", "text/javascript"},  {".txt", "text/plain"},   {".json", "application/json"},
      {".png", "image/png"},       {".jpg", "image/jpeg"},   {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},       {".bmp", "image/bmp"},    {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},    {".webp", "image/webp"},  {".xml", "application/xml"},
      {".pdf", "application/pdf"}, {".woff2", "font/woff2"}, {".woff", "font/woff"},
  };
  std::string ext = LowerExtension(file);
  for (const auto& [e, type] : kTypes) {
    if (e == ext) return type;
  }
  return "application/octet-stream";
}

}  // namespace qz::host
