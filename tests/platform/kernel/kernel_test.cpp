#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "platform/automation/error.h"
#include "tests/support/special_files.h"

namespace qz::kernel {
namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qz_kernel_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("chmod -R u+w '" + path_ + "'; rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Touch(const std::string& name, const std::string& content = "x") const {
    std::ofstream(File(name)) << content;
    return File(name);
  }

 private:
  std::string path_;
};

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

int ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(TempPath, FollowsTmpdirWithATrailingSlashAndAnswersZeroWhenMissing) {
  TempDir dir;
  char buffer[MAX_PATH] = {};
  {
    ScopedEnv env("TMPDIR", dir.path().c_str());
    const DWORD n = GetTempPathA(MAX_PATH, buffer);
    EXPECT_EQ(std::string(buffer), dir.path() + "/");
    EXPECT_EQ(n, dir.path().size() + 1);
    // Too small: the needed length with its zero, nothing written.
    char small[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(GetTempPathA(4, small), dir.path().size() + 2);
    EXPECT_EQ(small[0], 'a');
  }
  {
    ScopedEnv env("TMPDIR", (dir.path() + "/").c_str());
    GetTempPathA(MAX_PATH, buffer);
    EXPECT_EQ(std::string(buffer), dir.path() + "/");
  }
  {
    ScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
  }
  {
    ScopedEnv env("TMPDIR", dir.File("gone").c_str());
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 0u);
    ScopedEnv file_env("TMPDIR", dir.Touch("plain").c_str());
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 0u);
  }
}

TEST(Wildcards, StarAndQuestionMark) {
  EXPECT_TRUE(MatchesWildcard("*", "abc"));
  EXPECT_TRUE(MatchesWildcard("*.txt", "a.txt"));
  EXPECT_FALSE(MatchesWildcard("*.txt", "a.txt.bak"));
  EXPECT_TRUE(MatchesWildcard("a?c", "abc"));
  EXPECT_FALSE(MatchesWildcard("a?c", "ac"));
  EXPECT_TRUE(MatchesWildcard("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(MatchesWildcard("a*b*c", "aXbYbZ"));
  EXPECT_TRUE(MatchesWildcard("**?", "x"));
  EXPECT_FALSE(MatchesWildcard("abc", "ABC"));
  EXPECT_TRUE(MatchesWildcard("", ""));
}

TEST(DirectorySearch, FindsVisibleFilesOnly) {
  TempDir dir;
  dir.Touch("a.gif");
  dir.Touch("b.gif");
  dir.Touch("c.png");
  dir.Touch(".hidden.gif");
  mkdir(dir.File("folder.gif").c_str(), 0755);

  WIN32_FIND_DATAA data;
  std::set<std::string> found;
  HANDLE h = FindFirstFileA(dir.File("*.gif").c_str(), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  do {
    found.insert(data.cFileName);
  } while (FindNextFileA(h, &data));
  EXPECT_EQ(FindClose(h), 1);
  EXPECT_EQ(FindClose(h), 0);
  EXPECT_EQ(found, (std::set<std::string>{"a.gif", "b.gif"}));

  h = FindFirstFileA(dir.File("?.png").c_str(), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "c.png");
  EXPECT_EQ(data.nFileSizeLow, 1u);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  FindClose(h);

  EXPECT_EQ(FindFirstFileA(dir.File("folder.gif").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindFirstFileA(dir.File(".hidden.gif").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindFirstFileA(dir.File("*.jpg").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindFirstFileA((dir.path() + "/no*/a.gif").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindFirstFileA("", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindNextFileA(12345, &data), 0);
}

TEST(FileEntries, AttributesAndTimesSurviveARoundTrip) {
  TempDir dir;
  const std::string path = dir.Touch("f.bin", "hello");
  EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY), 1);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL), 1);
  EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
  // Attributes the file already has change nothing, not even the
  // status-change time that stands in for the creation time.
  {
    WIN32_FIND_DATAA first, second;
    ASSERT_EQ(GetFileEntryA(path.c_str(), &first), 1);
    usleep(20000);  // past the file system clock's tick
    EXPECT_EQ(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL), 1);
    ASSERT_EQ(GetFileEntryA(path.c_str(), &second), 1);
    EXPECT_EQ(second.ftCreationTime.dwLowDateTime, first.ftCreationTime.dwLowDateTime);
    EXPECT_EQ(second.ftCreationTime.dwHighDateTime, first.ftCreationTime.dwHighDateTime);
  }
  EXPECT_EQ(GetFileAttributesA(dir.path().c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA(dir.File("none").c_str()), INVALID_FILE_ATTRIBUTES);

  // 2001-02-03 04:05:06.1234567 and 1999-12-31 23:59:59.
  const FILETIME access = FileTimeFromUnix(981173106, 123456700);
  const FILETIME write = FileTimeFromUnix(946684799, 0);
  const HFILE f = _lopen(path.c_str(), OF_WRITE | OF_SHARE_DENY_WRITE);
  ASSERT_NE(f, HFILE_ERROR);
  EXPECT_EQ(SetFileTime(f, nullptr, &access, &write), 1);
  EXPECT_EQ(_lclose(f), 0);
  WIN32_FIND_DATAA entry;
  ASSERT_EQ(GetFileEntryA(path.c_str(), &entry), 1);
  EXPECT_EQ(entry.ftLastAccessTime.dwLowDateTime, access.dwLowDateTime);
  EXPECT_EQ(entry.ftLastAccessTime.dwHighDateTime, access.dwHighDateTime);
  EXPECT_EQ(entry.ftLastWriteTime.dwLowDateTime, write.dwLowDateTime);
  EXPECT_EQ(entry.ftLastWriteTime.dwHighDateTime, write.dwHighDateTime);
  EXPECT_EQ(entry.nFileSizeLow, 5u);
  EXPECT_EQ(_lopen(dir.File("none").c_str(), OF_READ), HFILE_ERROR);
  EXPECT_EQ(GetFileEntryA(dir.path().c_str(), &entry), 0);

  // FILETIME: 1970 is 116444736000000000 ticks after 1601.
  const FILETIME epoch = FileTimeFromUnix(0, 0);
  EXPECT_EQ(static_cast<std::uint64_t>(epoch.dwHighDateTime) << 32 | epoch.dwLowDateTime,
            116444736000000000ULL);
  std::int64_t s = 0, ns = 0;
  UnixFromFileTime(access, &s, &ns);
  EXPECT_EQ(s, 981173106);
  EXPECT_EQ(ns, 123456700);

  EXPECT_EQ(DeleteFileA(path.c_str()), 1);
  EXPECT_EQ(DeleteFileA(path.c_str()), 0);
  EXPECT_EQ(DeleteFileA(dir.path().c_str()), 0);
}

TEST(WholeFile, ReadsBoundedAndFailsWithFileErrors) {
  TempDir dir;
  std::string content(100000, 'q');
  content[77777] = 'Z';
  const std::string path = dir.Touch("big", content);
  const auto bytes = ReadWholeFile(path);
  ASSERT_EQ(bytes.size(), content.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.begin()));
  EXPECT_TRUE(ReadWholeFile(dir.Touch("empty", "")).empty());
  EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(path, 99999); }), err::kOutOfMemory);
  EXPECT_EQ(ReadWholeFile(path, 100000).size(), 100000u);
  EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(dir.File("missing")); }), err::kFileNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { ReadWholeFile(dir.path()); }), err::kFileNotFound);
}

TEST(SiblingFile, ReplacesTheTargetOnlyOnCommit) {
  TempDir dir;
  const std::string target = dir.Touch("t.jpg", "old");
  std::string sibling_path;
  {
    SiblingFile sibling(target);
    sibling_path = sibling.path();
    EXPECT_EQ(sibling_path.rfind(dir.path(), 0), 0u);  // same folder
    std::ofstream(sibling_path) << "new";
  }
  EXPECT_NE(access(sibling_path.c_str(), F_OK), 0);  // abandoned: deleted
  EXPECT_EQ(ReadWholeFile(target).size(), 3u);
  {
    SiblingFile sibling(target);
    std::ofstream(sibling.path()) << "newer";
    sibling.Commit();
  }
  EXPECT_EQ(ReadWholeFile(target).size(), 5u);
  EXPECT_EQ(ErrorNumberOf([&] { SiblingFile s(dir.File("no/folder/x")); }),
            err::kPathFileAccessError);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::string ContentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes content through a new sibling of target and commits it.
void Replace(const std::string& target, const std::string& content) {
  SiblingFile sibling(target);
  std::ofstream(sibling.path(), std::ios::binary | std::ios::trunc) << content;
  sibling.Commit();
}

TEST(SiblingFile, OnlyARegularFileOrNothingIsReplaced) {
  TempDir dir;
  const std::string fifo = dir.File("fifo.jpg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string folder = dir.File("folder.jpg");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string link = dir.File("link.jpg");
  const std::string linked = dir.Touch("linked.jpg", "linked");
  ASSERT_EQ(symlink(linked.c_str(), link.c_str()), 0);
  const std::string device = test::SafeCharDevice(dir.path());
  struct Case {
    std::string path;
    mode_t kind;
  };
  std::vector<Case> cases = {{fifo, S_IFIFO}, {folder, S_IFDIR}, {link, S_IFLNK}};
  if (!device.empty()) cases.push_back({device, S_IFCHR});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ErrorNumberOf([&] { Replace(c.path, "image"); }), err::kPathFileAccessError);
    EXPECT_EQ(test::KindAt(c.path), c.kind);
  }
  EXPECT_EQ(ContentOf(linked), "linked");
  // Nothing left behind in the folder: the five entries made above.
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.insert(e.path().filename().string());
  std::set<std::string> expected = {"fifo.jpg", "folder.jpg", "link.jpg", "linked.jpg"};
  if (device.rfind(dir.path(), 0) == 0) expected.insert("null-device");
  EXPECT_EQ(names, expected);

  // No name, a folder's name, a zero byte.
  EXPECT_EQ(ErrorNumberOf([&] { SiblingFile s(""); }), err::kPathFileAccessError);
  EXPECT_EQ(ErrorNumberOf([&] { SiblingFile s(dir.path() + "/"); }), err::kPathFileAccessError);
  EXPECT_EQ(ErrorNumberOf([&] { SiblingFile s(dir.File(std::string("a\0b", 3))); }),
            err::kBadFileNameOrNumber);
}

TEST(SiblingFile, ANodePutInPlaceWhileWritingIsNotReplaced) {
  TempDir dir;
  for (bool existed : {true, false}) {
    SCOPED_TRACE(existed);
    const std::string target = dir.File(existed ? "old.jpg" : "new.jpg");
    if (existed) dir.Touch("old.jpg", "old");
    std::string sibling_path;
    {
      SiblingFile sibling(target);
      sibling_path = sibling.path();
      std::ofstream(sibling.path()) << "new";
      unlink(target.c_str());
      ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
      EXPECT_EQ(ErrorNumberOf([&] { sibling.Commit(); }), err::kPathFileAccessError);
      EXPECT_EQ(test::KindAt(target), S_IFIFO);
    }
    EXPECT_EQ(test::KindAt(sibling_path), 0u);
    unlink(target.c_str());
  }
}

TEST(SiblingFile, AReplacedFileKeepsItsBitsOwnerAndKeptTimes) {
  TempDir dir;
  for (mode_t mode : {0600, 0640, 0444, 0755}) {
    SCOPED_TRACE(mode);
    const std::string target = dir.Touch("kept-" + std::to_string(mode), "old");
    ASSERT_EQ(chmod(target.c_str(), mode), 0);
    Replace(target, "new content");
    EXPECT_EQ(ModeOf(target), mode);
    EXPECT_EQ(ContentOf(target), "new content");
  }
  // A new file gets the bits any new file gets.
  const mode_t mask = umask(022);
  umask(mask);
  Replace(dir.File("fresh"), "x");
  EXPECT_EQ(ModeOf(dir.File("fresh")), 0666 & ~mask);

  // The owner, where the process may give files away.
  if (geteuid() == 0) {
    const std::string target = dir.Touch("owned", "old");
    ASSERT_EQ(chown(target.c_str(), 65534, 65533), 0);
    Replace(target, "new");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65533u);
  }

  // Kept times land after the last write.
  const std::string timed = dir.Touch("timed", "old");
  const FILETIME access = FileTimeFromUnix(1000000000, 250000000);
  const FILETIME write = FileTimeFromUnix(900000000, 0);
  {
    SiblingFile sibling(timed);
    sibling.KeepTimes(&access, &write);
    EXPECT_TRUE(sibling.replaces());
    std::ofstream(sibling.path()) << "new";
    sibling.Commit();
  }
  struct stat st {};
  ASSERT_EQ(stat(timed.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 900000000);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 250000000);
}

TEST(SiblingFile, NamesAreShortFixedAndCarryTheirProcess) {
  TempDir dir;
  // The longest legal name has a legal sibling.
  const std::string target = dir.File(std::string(250, 'n') + ".jpg");
  {
    SiblingFile sibling(target);
    const std::string name = sibling.path().substr(dir.path().size() + 1);
    EXPECT_EQ(name.size(), kSiblingNameLength);
    EXPECT_EQ(SiblingOwner(name), getpid());
    std::ofstream(sibling.path()) << "long";
    sibling.Commit();
  }
  EXPECT_EQ(ContentOf(target), "long");
  EXPECT_EQ(SiblingOwner(".qz0000001234-00c0ffee.part"), 1234);
  for (const char* other :
       {".qz0000001234-00C0FFEE.part", ".qz000001234-00c0ffee.part", ".qz0000000000-00c0ffee.part",
        "qz0000001234-00c0ffee.part.", ".qz0000001234-00c0ffee.tmp", ".x.jpg.1234.0.part", ""}) {
    EXPECT_EQ(SiblingOwner(other), 0) << other;
  }
}

TEST(FileEntries, ALinkIsNoRegularFile) {
  TempDir dir;
  const std::string file = dir.Touch("file", "x");
  ASSERT_EQ(symlink(file.c_str(), dir.File("link").c_str()), 0);
  WIN32_FIND_DATAA entry;
  EXPECT_EQ(GetFileEntryA(file.c_str(), &entry), 1);
  EXPECT_EQ(GetFileEntryA(dir.File("link").c_str(), &entry), 0);
}

}  // namespace
}  // namespace qz::kernel
