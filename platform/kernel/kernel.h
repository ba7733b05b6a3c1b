// The kernel and file calls of this system, on Linux.
//
// Paths are byte strings passed as they are (the "ANSI code page" is UTF-8
// here). What Linux cannot keep: a file's creation time (no call sets a
// birth time, so SetFileTime ignores it and FindFirstFileA reports the
// status-change time in its place), and the hidden and system attributes
// (a name that begins with '.' counts as hidden; nothing is a system file).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/byte_array.h"

namespace qz::kernel {

using BOOL = std::int32_t;
using DWORD = std::uint32_t;
using HANDLE = std::uintptr_t;
using HFILE = std::int32_t;

inline constexpr HANDLE INVALID_HANDLE_VALUE = static_cast<HANDLE>(-1);
inline constexpr HFILE HFILE_ERROR = -1;
inline constexpr DWORD MAX_PATH = 260;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// 100-nanosecond intervals since 1601-01-01 UTC.
struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
};

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes = 0;
  FILETIME ftCreationTime;  // the status-change time (see above)
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh = 0;
  DWORD nFileSizeLow = 0;
  DWORD dwReserved0 = 0;
  DWORD dwReserved1 = 0;
  char cFileName[MAX_PATH] = {};
  char cAlternateFileName[14] = {};
};

// The temporary folder: TMPDIR when set and not empty, else /tmp, always
// with a trailing '/'. Writes it with its terminating zero into buffer and
// answers its length; answers the length needed (counting the zero) when
// the buffer is too small (nothing written), and 0 when the folder does not
// exist or is no folder.
DWORD GetTempPathA(DWORD buffer_length, char* buffer);

// Directory search over the entries of one folder whose names match the last
// component of pattern (wildcards '*' and '?'; no wildcards in the folders).
// Folders, hidden entries and "." and ".." are not found. The handle answers
// INVALID_HANDLE_VALUE when nothing matches or the folder cannot be read
// (the search then holds nothing open).
HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE search);

// The directory entry of exactly one file (no wildcards; hidden names
// included): FALSE when path names no regular file. A symbolic link is not
// followed, so it names no regular file.
BOOL GetFileEntryA(const char* path, WIN32_FIND_DATAA* data);

// Answers whether name matches pattern with '*' (any run) and '?' (any one
// byte); the match is exact otherwise (Linux names are case-sensitive).
bool MatchesWildcard(const char* pattern, const char* name);

// Attributes: READONLY when no write bit is set; DIRECTORY; HIDDEN for dot
// names; NORMAL when none of these. Setting READONLY clears every write bit,
// clearing it gives the owner the write bit back. Other bits are ignored.
DWORD GetFileAttributesA(const char* path);
BOOL SetFileAttributesA(const char* path, DWORD attributes);
BOOL DeleteFileA(const char* path);

inline constexpr int OF_READ = 0x00;
inline constexpr int OF_WRITE = 0x01;
inline constexpr int OF_READWRITE = 0x02;
inline constexpr int OF_SHARE_DENY_WRITE = 0x20;

// Opens an existing file (never creates one); the sharing flags have no
// meaning on Linux and are ignored. HFILE_ERROR on failure.
HFILE _lopen(const char* path, int mode);
HFILE _lclose(HFILE file);

// Sets the access and write times of an open file (utimensat); a null time is
// left as it is. The creation time cannot be set on Linux and is ignored.
BOOL SetFileTime(HFILE file, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write);

// Time conversions between FILETIME and seconds + nanoseconds since 1970.
FILETIME FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);
void UnixFromFileTime(const FILETIME& time, std::int64_t* seconds, std::int64_t* nanoseconds);

// The largest file ReadWholeFile accepts.
inline constexpr std::int64_t kMaxWholeFileBytes = 256LL * 1024 * 1024;

// Reads a file whole, in binary. Errors: 53 File not found (missing or a
// folder), 75 Path/File access error (cannot be opened or read), 7 Out of
// memory (longer than max_bytes). The bytes are read straight into the
// array, which is not zeroed first.
ByteArray ReadWholeFile(const std::string& path, std::int64_t max_bytes = kMaxWholeFileBytes);

// A file that replaces target only when it is complete, and only where
// target is a regular file or nothing at all: a folder, device, FIFO,
// socket or symbolic link at target is never replaced, renamed or opened.
//
// The constructor checks target (raising 75 Path/File access error when it
// is something other than a regular file, or the name is empty or holds a
// zero byte: 52 Bad file name or number) and creates an empty sibling with a
// short fixed-length name in target's folder (75 when it cannot), so any
// legal target name has a legal sibling. Whoever writes it uses path().
//
// A replaced file keeps its permission bits (rwx for owner, group and
// others) and, as far as the process may give it away, its owner and group;
// the sibling never grants more than target does while it is written (it is
// created with target's bits plus the owner's read and write). A new file
// gets the bits of any new file (0666 less the umask).
//
// Commit() puts the sibling in target's place atomically; a non-regular
// file that took target's place meanwhile is left where it is and Commit
// raises 75. A sibling that is not committed is deleted by the destructor.
class SiblingFile {
 public:
  explicit SiblingFile(const std::string& target);
  SiblingFile(const SiblingFile&) = delete;
  SiblingFile& operator=(const SiblingFile&) = delete;
  ~SiblingFile();

  const std::string& path() const noexcept { return path_; }
  // Whether a regular file stood at target when the sibling was made.
  bool replaces() const noexcept { return replaces_; }
  // Access and write times the committed file is to carry (a null time is
  // left as the write made it); applied at Commit, after every write.
  void KeepTimes(const FILETIME* last_access, const FILETIME* last_write);
  void Commit();

 private:
  void ApplyKeptMetadata();

  std::string target_;
  std::string path_;
  int fd_ = -1;  // the sibling, open from its creation to Commit
  bool replaces_ = false;
  mode_t mode_ = 0;  // target's permission bits, when it replaces one
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  FILETIME access_, write_;
  bool keep_access_ = false, keep_write_ = false;
  bool committed_ = false;
};

// Sibling names: "." "qz", the creating process id in ten digits, "-",
// eight hexadecimal digits, ".part". SiblingOwner answers the process id a
// name of that form carries, and 0 for any other name.
inline constexpr std::size_t kSiblingNameLength = 27;
pid_t SiblingOwner(std::string_view name);

}  // namespace qz::kernel
