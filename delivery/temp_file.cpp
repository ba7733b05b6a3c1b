#include "delivery/temp_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <thread>

#include "platform/automation/error.h"
#include "platform/kernel/kernel.h"

namespace qz::delivery {

namespace {

struct TimeOfDay {
  std::time_t epoch_second;
  int hour, minute, second;
};

TimeOfDay Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {now, local.tm_hour, local.tm_min, local.tm_sec};
}

void PutTwoDigits(std::string& out, int value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

TempRandom SeededFromClock() {
  const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  // minstd_rand must not be seeded with 0 modulo its modulus.
  const auto seed = static_cast<std::uint32_t>(ticks ^ (ticks >> 32)) % 2147483646u + 1u;
  return TempRandom(seed);
}

std::string TempFileName(int hour, int minute, int second, int number) {
  std::string name;
  name.reserve(12);
  PutTwoDigits(name, hour);
  PutTwoDigits(name, minute);
  PutTwoDigits(name, second);
  PutTwoDigits(name, number);
  name += ".tmp";
  return name;
}

ReservedTempFile::ReservedTempFile(std::string_view folder, TempRandom& random,
                                   std::chrono::milliseconds bound) {
  const auto give_up_at = std::chrono::steady_clock::now() + bound;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (;;) {
    const TimeOfDay now = Now();
    // The numbers of this second not tried yet; each collision draws again
    // among them, so a busy second is exhausted in at most 20 tries.
    std::array<int, kTempNumbers> untried{};
    for (int i = 0; i < kTempNumbers; ++i) untried[static_cast<std::size_t>(i)] = i + 1;
    for (int left = kTempNumbers; left > 0; --left) {
      const int pick = static_cast<int>(unit(random) * left);
      const int number = untried[static_cast<std::size_t>(pick)];
      untried[static_cast<std::size_t>(pick)] = untried[static_cast<std::size_t>(left - 1)];
      std::string candidate(folder);
      candidate += TempFileName(now.hour, now.minute, now.second, number);
      const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        // Private to this process from the first moment: the umask may only
        // have narrowed the bits, never widened them; now they are exact.
        static_cast<void>(fchmod(fd, 0600));
        close(fd);
        path_ = std::move(candidate);
        return;
      }
      if (errno != EEXIST) Raise(err::kPathFileAccessError);
    }
    // Every name of this second is taken: wait for the next one.
    if (std::chrono::steady_clock::now() >= give_up_at) {
      Raise(err::kFileAlreadyExists,
            "No free temporary file name: all " + std::to_string(kTempNumbers) +
                " names of every second were taken for " + std::to_string(bound.count()) +
                " ms in \"" + std::string(folder) + "\"");
    }
    while (std::time(nullptr) == now.epoch_second &&
           std::chrono::steady_clock::now() < give_up_at) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

ReservedTempFile::~ReservedTempFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

namespace {

bool IsTempChartName(std::string_view name) {
  if (name.size() != 12 || name.substr(8) != ".tmp") return false;
  int digits[8];
  for (std::size_t i = 0; i < 8; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    digits[i] = name[i] - '0';
  }
  const int hour = digits[0] * 10 + digits[1];
  const int minute = digits[2] * 10 + digits[3];
  const int second = digits[4] * 10 + digits[5];
  const int number = digits[6] * 10 + digits[7];
  return hour < 24 && minute < 60 && second < 60 && number >= 1 && number <= kTempNumbers;
}

bool ProcessGone(pid_t pid) {
  return pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH;
}

// Empty, or the first bytes of a chart in one of the image types a render
// writes (JPEG, BMP, PNG, SVG): what a render leaves.
bool HoldsNothingButAChart(int folder, const char* name, const struct stat& seen) {
  const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  char head[5] = {};
  const bool same = fstat(fd, &st) == 0 && st.st_dev == seen.st_dev && st.st_ino == seen.st_ino;
  const ssize_t n = same ? read(fd, head, sizeof head) : -1;
  close(fd);
  if (n == 0) return st.st_size == 0;
  const std::string_view start(head, n > 0 ? static_cast<std::size_t>(n) : 0);
  for (std::string_view signature : {std::string_view("\xFF\xD8\xFF"), std::string_view("BM"),
                                     std::string_view("\x89PNG"), std::string_view("<?xml")}) {
    if (start.starts_with(signature)) return true;
  }
  return false;
}

}  // namespace

int RemoveStaleTempFiles(std::string_view folder, std::chrono::seconds sibling_age,
                         std::chrono::seconds chart_age) {
  std::string path(folder);
  if (path.empty()) {
    char buffer[kernel::MAX_PATH] = {};
    if (kernel::GetTempPathA(kernel::MAX_PATH, buffer) == 0) return 0;
    path = buffer;
  }
  const int dir_fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return 0;
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    close(dir_fd);
    return 0;
  }
  const std::time_t now = std::time(nullptr);
  const uid_t user = geteuid();
  int removed = 0;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    const pid_t owner = kernel::SiblingOwner(name);
    const bool chart = owner == 0 && IsTempChartName(name);
    if (owner == 0 && !chart) continue;
    struct stat st {};
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != user || st.st_nlink != 1) continue;
    const std::time_t age = now - st.st_mtime;
    if (owner != 0) {
      if (age < sibling_age.count() || !ProcessGone(owner)) continue;
    } else {
      if (age < chart_age.count() || (st.st_mode & 07777) != 0600) continue;
      if (!HoldsNothingButAChart(dir_fd, name, st)) continue;
    }
    if (unlinkat(dir_fd, name, 0) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

}  // namespace qz::delivery
