#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "platform/automation/error.h"

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
  EXPECT_EQ(bytes[77777], 'Z');
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

}  // namespace
}  // namespace qz::kernel
