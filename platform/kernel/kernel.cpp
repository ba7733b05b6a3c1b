#include "platform/kernel/kernel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/automation/error.h"

namespace qz::kernel {

namespace {

constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;  // 1970 in 1601 ticks

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

DWORD AttributesOf(const struct stat& st, const std::string& name) {
  DWORD a = 0;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) a |= FILE_ATTRIBUTE_READONLY;
  if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (!name.empty() && name[0] == '.') a |= FILE_ATTRIBUTE_HIDDEN;
  return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

void FillEntry(const struct stat& st, const std::string& name, WIN32_FIND_DATAA* data) {
  *data = WIN32_FIND_DATAA{};
  data->dwFileAttributes = AttributesOf(st, name);
  data->ftCreationTime = FileTimeFromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  data->ftLastAccessTime = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  data->ftLastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  const std::size_t n = std::min<std::size_t>(name.size(), MAX_PATH - 1);
  std::memcpy(data->cFileName, name.data(), n);
  data->cFileName[n] = '\0';
}

struct Search {
  std::string folder;
  std::string pattern;
  DIR* dir = nullptr;
  ~Search() {
    if (dir != nullptr) closedir(dir);
  }
};

std::mutex g_search_mutex;
std::unordered_map<HANDLE, std::shared_ptr<Search>> g_searches;
HANDLE g_next_search = 0x1000;

bool HasWildcard(const std::string& s) {
  return s.find_first_of("*?") != std::string::npos;
}

// The next entry of the search that matches and is a plain visible file.
bool NextMatch(Search& search, WIN32_FIND_DATAA* data) {
  while (dirent* entry = readdir(search.dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;  // hidden, "." and ".."
    if (!MatchesWildcard(search.pattern.c_str(), name.c_str())) continue;
    if (name.size() >= MAX_PATH) continue;
    struct stat st {};
    if (stat((search.folder + "/" + name).c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;  // folders and devices are not found
    FillEntry(st, name, data);
    return true;
  }
  return false;
}

}  // namespace

DWORD GetTempPathA(DWORD buffer_length, char* buffer) {
  const char* env = std::getenv("TMPDIR");
  std::string path = (env != nullptr && *env != '\0') ? env : "/tmp";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  if (path.back() != '/') path += '/';
  const auto needed = static_cast<DWORD>(path.size() + 1);
  if (buffer == nullptr || buffer_length < needed) return needed;
  std::memcpy(buffer, path.c_str(), needed);
  return needed - 1;
}

bool MatchesWildcard(const char* pattern, const char* name) {
  // Iterative match with one backtracking point for the last '*'.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data) {
  if (pattern == nullptr || data == nullptr || *pattern == '\0') return INVALID_HANDLE_VALUE;
  const std::string text = pattern;
  auto search = std::make_shared<Search>();
  search->folder = FolderOf(text);
  search->pattern = NameOf(text);
  if (search->pattern.empty() || HasWildcard(search->folder)) return INVALID_HANDLE_VALUE;
  search->dir = opendir(search->folder.c_str());
  if (search->dir == nullptr) return INVALID_HANDLE_VALUE;
  if (!NextMatch(*search, data)) return INVALID_HANDLE_VALUE;
  std::lock_guard lock(g_search_mutex);
  const HANDLE h = g_next_search++;
  g_searches.emplace(h, std::move(search));
  return h;
}

BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data) {
  std::shared_ptr<Search> s;
  {
    std::lock_guard lock(g_search_mutex);
    auto it = g_searches.find(search);
    if (it == g_searches.end() || data == nullptr) return 0;
    s = it->second;
  }
  return NextMatch(*s, data) ? 1 : 0;
}

BOOL FindClose(HANDLE search) {
  std::lock_guard lock(g_search_mutex);
  return g_searches.erase(search) == 1 ? 1 : 0;
}

BOOL GetFileEntryA(const char* path, WIN32_FIND_DATAA* data) {
  struct stat st {};
  if (path == nullptr || data == nullptr || lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  FillEntry(st, NameOf(path), data);
  return 1;
}

DWORD GetFileAttributesA(const char* path) {
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0) return INVALID_FILE_ATTRIBUTES;
  return AttributesOf(st, NameOf(path));
}

BOOL SetFileAttributesA(const char* path, DWORD attributes) {
  struct stat st {};
  if (path == nullptr || stat(path, &st) != 0) return 0;
  mode_t mode = st.st_mode & 07777;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    mode |= S_IWUSR;
  }
  // Nothing to change: no call, so the status-change time (the creation
  // time FindFirstFileA reports) stays where it was.
  if (mode == (st.st_mode & 07777)) return 1;
  return chmod(path, mode) == 0 ? 1 : 0;
}

BOOL DeleteFileA(const char* path) {
  struct stat st {};
  if (path == nullptr || lstat(path, &st) != 0 || S_ISDIR(st.st_mode)) return 0;
  return unlink(path) == 0 ? 1 : 0;
}

HFILE _lopen(const char* path, int mode) {
  if (path == nullptr) return HFILE_ERROR;
  int flags = O_RDONLY;
  if ((mode & 0x03) == OF_WRITE) flags = O_WRONLY;
  if ((mode & 0x03) == OF_READWRITE) flags = O_RDWR;
  const int fd = open(path, flags | O_CLOEXEC);
  return fd < 0 ? HFILE_ERROR : fd;
}

HFILE _lclose(HFILE file) {
  return close(file) == 0 ? 0 : HFILE_ERROR;
}

BOOL SetFileTime(HFILE file, const FILETIME* /*creation: Linux keeps no settable birth time*/,
                 const FILETIME* last_access, const FILETIME* last_write) {
  timespec times[2];
  auto fill = [](timespec& ts, const FILETIME* ft) {
    if (ft == nullptr) {
      ts.tv_sec = 0;
      ts.tv_nsec = UTIME_OMIT;
      return;
    }
    std::int64_t s = 0, ns = 0;
    UnixFromFileTime(*ft, &s, &ns);
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>(ns);
  };
  fill(times[0], last_access);
  fill(times[1], last_write);
  return futimens(file, times) == 0 ? 1 : 0;
}

FILETIME FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  const std::int64_t ticks = seconds * 10000000LL + nanoseconds / 100 + kUnixEpochAsFileTime;
  const auto u = static_cast<std::uint64_t>(ticks < 0 ? 0 : ticks);
  return FILETIME{static_cast<DWORD>(u), static_cast<DWORD>(u >> 32)};
}

void UnixFromFileTime(const FILETIME& time, std::int64_t* seconds, std::int64_t* nanoseconds) {
  const auto ticks =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(time.dwHighDateTime) << 32 |
                                time.dwLowDateTime) -
      kUnixEpochAsFileTime;
  std::int64_t s = ticks / 10000000LL;
  std::int64_t rest = ticks % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --s;
  }
  *seconds = s;
  *nanoseconds = rest * 100;
}

ByteArray ReadWholeFile(const std::string& path, std::int64_t max_bytes) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) Raise(err::kFileNotFound);
    Raise(err::kPathFileAccessError);
  }
  if (S_ISDIR(st.st_mode)) Raise(err::kFileNotFound);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Raise(err::kPathFileAccessError);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  if (fstat(fd, &st) != 0) Raise(err::kPathFileAccessError);
  if (st.st_size > max_bytes) Raise(err::kOutOfMemory);
  ByteArray bytes;
  // Regular files report their size; anything else is read up to the cap.
  // Once the buffer is full, one probe byte tells the end from more data, so
  // a file of the reported size is read without growing the buffer.
  bytes.resize(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 65536));
  std::size_t used = 0;
  for (;;) {
    std::uint8_t probe = 0;
    const bool full = used == bytes.size();
    const ssize_t n =
        full ? read(fd, &probe, 1) : read(fd, bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      Raise(err::kPathFileAccessError);
    }
    if (n == 0) break;
    if (full) {
      if (static_cast<std::int64_t>(used) >= max_bytes) Raise(err::kOutOfMemory);
      bytes.resize(static_cast<std::size_t>(
          std::min<std::int64_t>(max_bytes, static_cast<std::int64_t>(used) * 2)));
      bytes[used] = probe;
      used += 1;
      continue;
    }
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

namespace {

constexpr mode_t kPermissionBits = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr int kSiblingAttempts = 16;

std::string SiblingName(pid_t pid, std::uint32_t number) {
  char name[kSiblingNameLength + 1];
  std::snprintf(name, sizeof name, ".qz%010u-%08x.part", static_cast<unsigned>(pid),
                static_cast<unsigned>(number));
  return name;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

pid_t SiblingOwner(std::string_view name) {
  // ".qz" + 10 digits + "-" + 8 lower-case hex digits + ".part"
  if (name.size() != kSiblingNameLength || name.substr(0, 3) != ".qz" || name[13] != '-' ||
      name.substr(22) != ".part")
    return 0;
  std::uint64_t pid = 0;
  for (std::size_t i = 3; i < 13; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    pid = pid * 10 + static_cast<std::uint64_t>(name[i] - '0');
  }
  for (std::size_t i = 14; i < 22; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
  }
  if (pid == 0 || pid > 0x7FFFFFFF) return 0;
  return static_cast<pid_t>(pid);
}

SiblingFile::SiblingFile(const std::string& target) : target_(target) {
  if (target.find('\0') != std::string::npos) Raise(err::kBadFileNameOrNumber);
  if (target.empty() || target.back() == '/') Raise(err::kPathFileAccessError);
  struct stat st {};
  if (lstat(target.c_str(), &st) == 0) {
    // Only a regular file is ever replaced: a device, FIFO, socket, folder
    // or symbolic link stays as it is.
    if (!S_ISREG(st.st_mode)) Raise(err::kPathFileAccessError);
    replaces_ = true;
    mode_ = st.st_mode & kPermissionBits;
    uid_ = st.st_uid;
    gid_ = st.st_gid;
  } else if (errno != ENOENT) {
    Raise(err::kPathFileAccessError);
  }
  // The sibling holds the new content while it is written: never readable
  // by more than target is. A new file is created as any new file is.
  const mode_t create_mode = replaces_ ? (mode_ | S_IRUSR | S_IWUSR) : 0666;
  // Unique within the process by the counter, across processes by the pid;
  // O_EXCL settles any clash with a leftover.
  static std::atomic<std::uint32_t> counter{0};
  const std::string folder = FolderOf(target);
  for (int attempt = 0; attempt < kSiblingAttempts; ++attempt) {
    std::string candidate = folder + "/" + SiblingName(getpid(), counter++);
    const int fd =
        open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, create_mode);
    if (fd >= 0) {
      fd_ = fd;
      path_ = std::move(candidate);
      return;
    }
    if (errno != EEXIST) break;
  }
  Raise(err::kPathFileAccessError);
}

SiblingFile::~SiblingFile() {
  if (fd_ < 0) return;
  // Only the file made here goes: whatever else stands under the name now
  // (a writer removed it, or a swap could not be undone) stays.
  struct stat own {};
  struct stat named {};
  if (!committed_ && fstat(fd_, &own) == 0 && lstat(path_.c_str(), &named) == 0 &&
      SameFile(own, named))
    unlink(path_.c_str());
  close(fd_);
}

void SiblingFile::KeepTimes(const FILETIME* last_access, const FILETIME* last_write) {
  keep_access_ = last_access != nullptr;
  keep_write_ = last_write != nullptr;
  if (keep_access_) access_ = *last_access;
  if (keep_write_) write_ = *last_write;
}

void SiblingFile::ApplyKeptMetadata() {
  // The writers wrote through path(): it must still name the file created
  // for them, not something put in its place.
  struct stat own {};
  struct stat named {};
  if (fstat(fd_, &own) != 0 || lstat(path_.c_str(), &named) != 0 || !SameFile(own, named))
    Raise(err::kPathFileAccessError);
  if (replaces_) {
    // The owner first, as far as the process may give the file away (a
    // change of owner would clear bits set before it); then the bits.
    if ((own.st_uid != uid_ || own.st_gid != gid_) && fchown(fd_, uid_, gid_) != 0 &&
        own.st_gid != gid_) {
      static_cast<void>(fchown(fd_, static_cast<uid_t>(-1), gid_));
    }
    if (fchmod(fd_, mode_) != 0) Raise(err::kPathFileAccessError);
  }
  if (keep_access_ || keep_write_) {
    timespec times[2];
    auto fill = [](timespec& ts, bool keep, const FILETIME& ft) {
      if (!keep) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;
        return;
      }
      std::int64_t s = 0, ns = 0;
      UnixFromFileTime(ft, &s, &ns);
      ts.tv_sec = static_cast<time_t>(s);
      ts.tv_nsec = static_cast<long>(ns);
    };
    fill(times[0], keep_access_, access_);
    fill(times[1], keep_write_, write_);
    if (futimens(fd_, times) != 0) Raise(err::kPathFileAccessError);
  }
}

namespace {

bool FlagsUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

}  // namespace

void SiblingFile::Commit() {
  if (committed_) return;
  ApplyKeptMetadata();
  // Where nothing stands, the sibling takes the name only if it is still
  // free. Where a file stands, the two swap places atomically and the one
  // now under the sibling's name is checked: a regular file is deleted,
  // anything else is swapped back untouched. So a node that appears at
  // target at any moment is never replaced.
  const char* from = path_.c_str();
  const char* to = target_.c_str();
  for (int attempt = 0; attempt < 3 && !committed_; ++attempt) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
      committed_ = true;
      break;
    }
    const bool exclusive_unsupported = FlagsUnsupported(errno);
    if (errno != EEXIST && !exclusive_unsupported) Raise(err::kPathFileAccessError);
    struct stat st {};
    if (lstat(to, &st) != 0) {
      if (errno != ENOENT) Raise(err::kPathFileAccessError);
      if (!exclusive_unsupported) continue;  // gone again: take the free name
    } else if (!S_ISREG(st.st_mode)) {
      Raise(err::kPathFileAccessError);
    } else if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
      struct stat old {};
      if (lstat(from, &old) == 0 && !S_ISREG(old.st_mode)) {
        // Put in place after the check: swapped back where it was. (Should
        // that fail, it stays under the sibling's name, never deleted.)
        renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE);
        Raise(err::kPathFileAccessError);
      }
      committed_ = true;
      unlink(from);  // the replaced file, now under the sibling's name
      break;
    } else if (errno == ENOENT) {
      continue;
    } else if (!FlagsUnsupported(errno)) {
      Raise(err::kPathFileAccessError);
    }
    // A file system without these renames: the check above is the last
    // word, and a plain rename puts the sibling in place.
    if (rename(from, to) != 0) Raise(err::kPathFileAccessError);
    committed_ = true;
  }
  if (!committed_) Raise(err::kPathFileAccessError);
  close(fd_);
  fd_ = -1;
}

}  // namespace qz::kernel
