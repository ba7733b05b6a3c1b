// Nodes that are not regular files, for tests that aim a writer at them.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

namespace qz::test {

// A character device to aim a writer at, one that no fault may damage: a
// node like /dev/null made in folder when the process may make nodes;
// otherwise /dev/null itself, but only when this process could not replace
// it even if a writer tried (its folder is not writable for it); "" when
// neither is safe.
inline std::string SafeCharDevice(const std::string& folder) {
  const std::string own = folder + "/null-device";
  if (mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) return own;
  struct stat st {};
  if (geteuid() != 0 && access("/dev", W_OK) != 0 && stat("/dev/null", &st) == 0 &&
      S_ISCHR(st.st_mode))
    return "/dev/null";
  return "";
}

// What a path names, without following a final link: S_IFREG, S_IFCHR, ...,
// or 0 when nothing is there.
inline mode_t KindAt(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

}  // namespace qz::test
