#include "platform/com/registry.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/platform/com/scratch.h"

namespace qz {
namespace {

using test::EnvOverride;
using test::ScratchDir;

constexpr GUID Guid(std::uint32_t n) {
  return {n, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA}};
}

RegisteredClass Class(std::uint32_t n, const std::string& progid, const std::string& library) {
  return {Guid(n), progid, "Apartment", library};
}
RegisteredTypeLib TypeLib(std::uint32_t n, const std::string& name, const std::string& library) {
  return {Guid(n), name, "1.0", library};
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(RegistryPath, EnvironmentDecides) {
  {
    EnvOverride reg("QUENZA_REGISTRY", "/x/reg");
    EXPECT_EQ(RegistryPath(), "/x/reg");
  }
  EnvOverride reg("QUENZA_REGISTRY", nullptr);
  {
    EnvOverride xdg("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(RegistryPath(), "/cfg/quenza/registry");
  }
  EnvOverride xdg("XDG_CONFIG_HOME", nullptr);
  EnvOverride home("HOME", "/home/someone");
  EXPECT_EQ(RegistryPath(), "/home/someone/.config/quenza/registry");
}

TEST(Registry, MissingFileIsEmptyAndWritingMakesItsFolders) {
  ScratchDir dir;
  std::string path = dir / "deep/er/registry";
  RegistryContents none = ReadRegistry(path);
  EXPECT_TRUE(none.classes.empty());
  EXPECT_TRUE(none.typelibs.empty());
  EXPECT_EQ(RegistryRemoveLibrary(path, "/lib/A.so"), 0);

  RegistryAddLibrary(path, "/lib/A.so", {Class(1, "A.One", "/lib/A.so")},
                     {TypeLib(9, "A", "/lib/A.so")});
  RegistryContents c = ReadRegistry(path);
  ASSERT_EQ(c.classes.size(), 1u);
  EXPECT_EQ(c.classes[0].clsid, Guid(1));
  EXPECT_EQ(c.classes[0].progid, "A.One");
  EXPECT_EQ(c.classes[0].threading, "Apartment");
  EXPECT_EQ(c.classes[0].library, "/lib/A.so");
  ASSERT_EQ(c.typelibs.size(), 1u);
  EXPECT_EQ(c.typelibs[0].name, "A");
  EXPECT_EQ(c.typelibs[0].version, "1.0");
  // No temporary file is left beside it.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir / "deep/er")) {
    ++files;
    EXPECT_TRUE(e.path().filename() == "registry" || e.path().filename() == "registry.lock")
        << e.path();
  }
  EXPECT_EQ(files, 2);
}

TEST(Registry, ReplacesItsOwnEntriesAndKeepsOthers) {
  ScratchDir dir;
  std::string path = dir / "registry";
  {
    std::ofstream out(path);
    out << "# kept comment\nsomething\tthis version does not know\n";
  }
  RegistryAddLibrary(path, "/lib/B.so", {Class(2, "B.Two", "/lib/B.so")}, {});
  RegistryAddLibrary(path, "/lib/A.so", {Class(1, "A.One", "/lib/A.so")},
                     {TypeLib(9, "A", "/lib/A.so")});
  // Registering A again (with one class more) replaces A's entries only.
  RegistryAddLibrary(path, "/lib/A.so",
                     {Class(1, "A.One", "/lib/A.so"), Class(3, "A.Three", "/lib/A.so")},
                     {TypeLib(9, "A", "/lib/A.so")});
  RegistryContents c = ReadRegistry(path);
  EXPECT_EQ(c.classes.size(), 3u);
  EXPECT_EQ(c.typelibs.size(), 1u);
  // A class moved to another library (same CLSID, ProgID in another case)
  // replaces the old entry.
  RegistryAddLibrary(path, "/new/A.so", {Class(1, "a.one", "/new/A.so")}, {});
  auto moved = FindRegisteredClass(path, "A.ONE");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->library, "/new/A.so");
  EXPECT_EQ(ReadRegistry(path).classes.size(), 3u);

  EXPECT_EQ(RegistryRemoveLibrary(path, "/lib/A.so"), 2);  // A.Three and the type library
  c = ReadRegistry(path);
  ASSERT_EQ(c.classes.size(), 2u);
  EXPECT_TRUE(FindRegisteredClass(path, "B.Two"));
  EXPECT_TRUE(FindRegisteredClass(path, "a.one"));
  EXPECT_FALSE(FindRegisteredClass(path, "A.Three"));
  EXPECT_EQ(c.other_lines,
            (std::vector<std::string>{"# kept comment", "something\tthis version does not know"}));
  std::string text = Slurp(path);
  EXPECT_NE(text.find("# kept comment\n"), std::string::npos);
}

// Lookups read the file again whenever it changed, however it changed: by
// our own writes (a new file), by an edit in place, by its removal.
TEST(Registry, LookupsSeeEveryChangeOfTheFile) {
  ScratchDir dir;
  std::string path = dir / "registry";
  EXPECT_FALSE(FindRegisteredClass(path, "A.One"));  // no file yet
  RegistryAddLibrary(path, "/lib/A.so", {Class(1, "A.One", "/lib/A.so")}, {});
  ASSERT_TRUE(FindRegisteredClass(path, "A.One"));
  EXPECT_EQ(FindRegisteredClass(path, "A.One")->library, "/lib/A.so");
  // Edited in place to the same size, its time stamps set back as they were.
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::string text = Slurp(path);
  const std::size_t at = text.find("/lib/A.so");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 9, "/lib/Z.so");
  {
    std::fstream out(path, std::ios::in | std::ios::out);
    out << text;
  }
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(FindRegisteredClass(path, "A.One")->library, "/lib/Z.so") << "the change time moved";
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_FALSE(FindRegisteredClass(path, "A.One"));
}

TEST(Registry, RefusesFieldsThatWouldBreakTheFormat) {
  ScratchDir dir;
  std::string path = dir / "registry";
  RegistryAddLibrary(path, "/lib/A.so", {Class(1, "A.One", "/lib/A.so")}, {});
  for (const char* bad : {"A\tB", "A\nB", ""}) {
    try {
      RegistryAddLibrary(path, "/lib/C.so", {Class(4, bad, "/lib/C.so")}, {});
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kInvalidProcedureCall);
    }
  }
  EXPECT_THROW(RegistryAddLibrary(path, "/lib/C.so",
                                  {Class(4, "C.X", "/lib/C.so"), Class(5, "c.x", "/lib/C.so")}, {}),
               Error);
  // Nothing of the refused registrations was written.
  RegistryContents c = ReadRegistry(path);
  ASSERT_EQ(c.classes.size(), 1u);
  EXPECT_EQ(c.classes[0].progid, "A.One");
}

// What the permission test expects of a registration into a read-only
// folder, as a message ("" when all is as it should be).
std::string RefusedIntoReadOnlyFolder(const std::string& root) {
  try {
    RegistryAddLibrary(root + "/ro/registry", "/lib/A.so", {Class(1, "A.One", "/lib/A.so")}, {});
    return "wrote into a read-only folder";
  } catch (const Error& e) {
    if (e.number() != err::kPermissionDenied) {
      return "error " + std::to_string(e.number()) + ": " + e.description();
    }
    if (e.description().find(root) == std::string::npos) {
      return "the description does not name the file: " + e.description();
    }
  }
  return {};
}

// Root writes anywhere, so as root the check runs in a child process as the
// unprivileged user nobody, in a scratch folder that nobody owns.
TEST(Registry, UnwritableFolderRaisesPermissionDenied) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::permissions(
      dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (::geteuid() != 0) {
    EXPECT_EQ(RefusedIntoReadOnlyFolder(dir.path()), "");
    std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_all);
    return;
  }
  const passwd* nobody = ::getpwnam("nobody");
  const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
  const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
  ASSERT_EQ(::chown(dir.path().c_str(), uid, gid), 0);
  ASSERT_EQ(::chown((dir / "ro").c_str(), uid, gid), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    std::string why = "cannot become nobody";
    if (::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 &&
        ::geteuid() == uid) {
      why = RefusedIntoReadOnlyFolder(dir.path());
    }
    const ssize_t written = ::write(fds[1], why.data(), why.size());
    ::_exit(written == static_cast<ssize_t>(why.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string message;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
    message.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(message, "");
}

// Several processes registering at once: the lock keeps every registration.
TEST(Registry, ConcurrentWritersLoseNothing) {
  ScratchDir dir;
  std::string path = dir / "registry";
  constexpr int kWriters = 6;
  constexpr int kRounds = 15;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        std::string lib = "/lib/W" + std::to_string(w) + ".so";
        for (int r = 0; r < kRounds; ++r) {
          RegistryAddLibrary(
              path, lib,
              {Class(static_cast<std::uint32_t>(100 + w), "W" + std::to_string(w) + ".C", lib)},
              {TypeLib(static_cast<std::uint32_t>(200 + w), "W" + std::to_string(w), lib)});
        }
      } catch (...) {
        status = 1;
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegistryContents c = ReadRegistry(path);
  EXPECT_EQ(c.classes.size(), static_cast<std::size_t>(kWriters));
  EXPECT_EQ(c.typelibs.size(), static_cast<std::size_t>(kWriters));
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_TRUE(FindRegisteredClass(path, "w" + std::to_string(w) + ".c")) << w;
  }
}

}  // namespace
}  // namespace qz
