#include "platform/com/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/automation/error.h"

namespace qz {

namespace {

constexpr std::string_view kHeader =
    "# Quenza class registry: one entry a line, fields separated by tabs.";

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting the result (a deferred write error shows here).
  int Close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

 private:
  int fd_;
};

[[noreturn]] void RaiseFileError(int error, std::string_view what, const std::string& path) {
  std::int32_t number = err::kPathFileAccessError;
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      number = err::kPermissionDenied;
      break;
    case ENOENT:
    case ENOTDIR:
      number = err::kPathNotFound;
      break;
    case ENOSPC:
    case EDQUOT:
      number = err::kDiskFull;
      break;
    case EIO:
      number = err::kDeviceIOError;
      break;
    default:
      break;
  }
  Raise(number, std::string(what) + " " + path + ": " + std::strerror(error));
}

std::string Folder(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p for the registry's folder.
void MakeFolders(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) RaiseFileError(ENOTDIR, "Cannot use the folder", folder);
    return;
  }
  std::string parent = Folder(folder);
  if (parent != folder) MakeFolders(parent);
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    RaiseFileError(errno, "Cannot create the folder", folder);
  }
}

std::string ReadAll(const std::string& path, bool* exists) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      *exists = false;
      return {};
    }
    RaiseFileError(errno, "Cannot read the registry", path);
  }
  *exists = true;
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, "Cannot read the registry", path);
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

void WriteAll(int fd, std::string_view text, const std::string& path) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno, "Cannot write the registry", path);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::vector<std::string_view> Split(std::string_view line, char sep) {
  std::vector<std::string_view> fields;
  for (;;) {
    auto pos = line.find(sep);
    fields.push_back(line.substr(0, pos));
    if (pos == std::string_view::npos) break;
    line.remove_prefix(pos + 1);
  }
  return fields;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) {
             return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

RegistryContents Parse(std::string_view text) {
  RegistryContents c;
  for (std::string_view line : Split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line == kHeader) continue;
    auto f = Split(line, '\t');
    GUID id;
    if (f.size() == 5 && !f[2].empty() && !f[4].empty() && GuidFromString(f[1], &id)) {
      if (f[0] == "class") {
        c.classes.push_back({id, std::string(f[2]), std::string(f[3]), std::string(f[4])});
        continue;
      }
      if (f[0] == "typelib") {
        c.typelibs.push_back({id, std::string(f[2]), std::string(f[3]), std::string(f[4])});
        continue;
      }
    }
    c.other_lines.emplace_back(line);
  }
  return c;
}

std::string Format(const RegistryContents& c) {
  std::string text(kHeader);
  text += '\n';
  for (const auto& line : c.other_lines) text += line + '\n';
  for (const auto& t : c.typelibs) {
    text += "typelib\t" + GuidToString(t.id) + '\t' + t.name + '\t' + t.version + '\t' + t.library +
            '\n';
  }
  for (const auto& k : c.classes) {
    text += "class\t" + GuidToString(k.clsid) + '\t' + k.progid + '\t' + k.threading + '\t' +
            k.library + '\n';
  }
  return text;
}

void CheckField(std::string_view field, std::string_view what) {
  if (field.empty() || field.find_first_of("\t\r\n") != std::string_view::npos) {
    Raise(err::kInvalidProcedureCall,
          "A registry entry's " + std::string(what) + " is empty or holds a tab or line break");
  }
}

// Holds an exclusive flock on "<registry>.lock" while the registry is
// rewritten. The lock file stays; only the lock goes.
class RegistryLock {
 public:
  explicit RegistryLock(const std::string& path) {
    std::string lock_path = path + ".lock";
    fd_ = Fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd_.get() < 0) RaiseFileError(errno, "Cannot open the registry lock", lock_path);
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) RaiseFileError(errno, "Cannot lock the registry", lock_path);
    }
  }

 private:
  Fd fd_;  // closing it releases the lock
};

// Writes contents to path: a temporary file in the same folder, flushed to
// disk, renamed over the old file, and the folder flushed so that the rename
// itself survives a crash.
void Replace(const std::string& path, const RegistryContents& contents) {
  std::string folder = Folder(path);
  std::string temp = path + ".XXXXXX";
  Fd fd(::mkstemp(temp.data()));
  if (fd.get() < 0) RaiseFileError(errno, "Cannot create a file beside the registry", path);
  try {
    if (::fchmod(fd.get(), 0644) != 0) RaiseFileError(errno, "Cannot write the registry", temp);
    WriteAll(fd.get(), Format(contents), temp);
    if (::fsync(fd.get()) != 0) RaiseFileError(errno, "Cannot write the registry", temp);
    if (fd.Close() != 0) RaiseFileError(errno, "Cannot write the registry", temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
      RaiseFileError(errno, "Cannot replace the registry", path);
    }
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

bool ProgIdTaken(const std::vector<RegisteredClass>& classes, std::string_view progid) {
  return std::any_of(classes.begin(), classes.end(),
                     [&](const RegisteredClass& k) { return EqualsNoCase(k.progid, progid); });
}

}  // namespace

std::string RegistryPath() {
  if (const char* env = std::getenv("QUENZA_REGISTRY"); env != nullptr && *env != '\0') {
    return env;
  }
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
    return std::string(xdg) + "/quenza/registry";
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  }
  if (home.empty()) {
    Raise(err::kPathNotFound, "No home folder for the registry; set QUENZA_REGISTRY");
  }
  return home + "/.config/quenza/registry";
}

RegistryContents ReadRegistry(const std::string& path) {
  bool exists = false;
  return Parse(ReadAll(path, &exists));
}

void RegistryAddLibrary(const std::string& path, const std::string& library,
                        const std::vector<RegisteredClass>& classes,
                        const std::vector<RegisteredTypeLib>& typelibs) {
  CheckField(library, "library path");
  for (const auto& k : classes) {
    CheckField(k.progid, "ProgID");
    CheckField(k.threading, "threading model");
    CheckField(k.library, "library path");
  }
  for (const auto& t : typelibs) {
    CheckField(t.name, "type library name");
    CheckField(t.version, "type library version");
    CheckField(t.library, "library path");
  }
  MakeFolders(Folder(path));
  RegistryLock lock(path);
  RegistryContents c = ReadRegistry(path);
  std::erase_if(c.classes, [&](const RegisteredClass& old) {
    return old.library == library ||
           std::any_of(classes.begin(), classes.end(), [&](const RegisteredClass& k) {
             return k.clsid == old.clsid || EqualsNoCase(k.progid, old.progid);
           });
  });
  std::erase_if(c.typelibs, [&](const RegisteredTypeLib& old) {
    return old.library == library ||
           std::any_of(typelibs.begin(), typelibs.end(),
                       [&](const RegisteredTypeLib& t) { return t.id == old.id; });
  });
  for (const auto& k : classes) {
    if (ProgIdTaken(c.classes, k.progid)) {
      Raise(err::kInvalidProcedureCall, "The ProgID " + k.progid + " is given twice");
    }
    c.classes.push_back(k);
  }
  c.typelibs.insert(c.typelibs.end(), typelibs.begin(), typelibs.end());
  Replace(path, c);
}

int RegistryRemoveLibrary(const std::string& path, const std::string& library) {
  bool exists = false;
  {
    // Nothing to do (and no folder or lock file to create) without a file.
    struct stat st {};
    exists = ::stat(path.c_str(), &st) == 0;
  }
  if (!exists) return 0;
  RegistryLock lock(path);
  RegistryContents c = ReadRegistry(path);
  auto removed = std::erase_if(c.classes, [&](const auto& k) { return k.library == library; }) +
                 std::erase_if(c.typelibs, [&](const auto& t) { return t.library == library; });
  if (removed > 0) Replace(path, c);
  return static_cast<int>(removed);
}

namespace {

// What a registry file was when it was last read: the file and its times.
struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{}, ctime{};
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

struct ReadCache {
  std::mutex mutex;
  std::map<std::string, std::pair<FileStamp, std::shared_ptr<const RegistryContents>>> files;
};

// The contents of the registry at path, from the cache while the file is as
// it was when read. The stamp is taken before the read, so a file that
// changes in between is read again at the next lookup.
std::shared_ptr<const RegistryContents> CurrentContents(const std::string& path) {
  static ReadCache cache;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::make_shared<const RegistryContents>();
    RaiseFileError(errno, "Cannot read the registry", path);
  }
  const FileStamp stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  {
    std::lock_guard lock(cache.mutex);
    auto it = cache.files.find(path);
    if (it != cache.files.end() && it->second.first == stamp) return it->second.second;
  }
  auto contents = std::make_shared<const RegistryContents>(ReadRegistry(path));
  std::lock_guard lock(cache.mutex);
  cache.files[path] = {stamp, contents};
  return contents;
}

}  // namespace

std::optional<RegisteredClass> FindRegisteredClass(const std::string& path,
                                                   std::string_view progid) {
  const std::shared_ptr<const RegistryContents> c = CurrentContents(path);
  for (const auto& k : c->classes) {
    if (EqualsNoCase(k.progid, progid)) return k;
  }
  return std::nullopt;
}

}  // namespace qz
