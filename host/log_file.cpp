#include "host/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace qz::host {
namespace {

int OpenForAppend(const std::string& path, std::string* why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
  if (fd < 0 && why) *why = "cannot open the log " + path + ": " + std::strerror(errno);
  return fd;
}

std::tm Utc(std::chrono::system_clock::time_point t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  return tm;
}

}  // namespace

LogFile::~LogFile() {
  if (!path_.empty()) ::close(fd_);
}

bool LogFile::Open(const std::string& path, std::string* why) {
  int fd = OpenForAppend(path, why);
  if (fd < 0) return false;
  std::lock_guard lock(mutex_);
  if (!path_.empty()) ::close(fd_);
  fd_ = fd;
  path_ = path;
  return true;
}

bool LogFile::Reopen(std::string* why) {
  std::lock_guard lock(mutex_);
  if (path_.empty()) return true;
  int fd = OpenForAppend(path_, why);
  if (fd < 0) return false;
  ::close(std::exchange(fd_, fd));
  return true;
}

void LogFile::Write(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line);
  text.push_back('\n');
  std::lock_guard lock(mutex_);
  const char* at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::string AccessLogTime(std::chrono::system_clock::time_point t) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm = Utc(t);
  char buf[96];
  std::snprintf(buf, sizeof buf, "[%02d/%s/%04d:%02d:%02d:%02d +0000]", tm.tm_mday,
                kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string ErrorLogTime(std::chrono::system_clock::time_point t) {
  std::tm tm = Utc(t);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

}  // namespace qz::host
