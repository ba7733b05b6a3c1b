// Mapping of URL paths onto the site folder. Nothing outside the root is
// ever answered: ".." and "." segments, backslashes and NUL are refused, and
// the resolved file (symlinks followed) must lie inside the canonical root.
#pragma once

#include <filesystem>
#include <string_view>

namespace qz::host {

enum class PathVerdict { Ok, Forbidden, NotFound };

struct SitePath {
  PathVerdict verdict = PathVerdict::NotFound;
  std::filesystem::path file;  // canonical, when Ok
  bool is_page = false;        // a .asp page, in any letter case
};

// url_path is the decoded path of the request ("/charts/bar.asp"); a folder
// answers its index.asp, index.html or index.htm. root must be canonical.
SitePath ResolveSitePath(const std::filesystem::path& root, std::string_view url_path);

// The media type answered for a static file, by extension.
std::string_view MediaTypeFor(const std::filesystem::path& file);

}  // namespace qz::host
