#include "delivery/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <thread>

#include "platform/automation/error.h"

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

}  // namespace qz::delivery
