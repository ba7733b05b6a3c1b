// The server's log files: the access log (one Combined Log Format line per
// answer) and the error log (one time-stamped line per failed page, render
// failure or refused request). A log is standard error or a file opened for
// appending; a file is opened again by Reopen, so that logrotate can move it
// away and signal the server (SIGHUP) to start a new one.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace qz::host {

class LogFile {
 public:
  // Standard error (never closed, never reopened).
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens path for appending (created with mode 0640); false with the reason
  // in *why, and the log as it was.
  bool Open(const std::string& path, std::string* why);
  // Opens the same path again and writes there from now on; the old file is
  // closed once no line is being written to it. False (the old file kept)
  // when it cannot be opened. Standard error: nothing to do, true.
  bool Reopen(std::string* why);
  // Appends line and a line feed in one write, so that lines from several
  // threads never interleave. A write that fails is lost: a log never stops
  // the server.
  void Write(std::string_view line);
  const std::string& path() const { return path_; }

 private:
  std::mutex mutex_;
  int fd_ = 2;  // owned when path_ is set
  std::string path_;
};

// The time as the Combined Log Format writes it: "[08/Dec/2026:22:15:01 +0000]"
// (always UTC, English month names whatever the locale).
std::string AccessLogTime(std::chrono::system_clock::time_point t);
// The time at the start of an error log line: "2026-12-08T22:15:01.123Z".
std::string ErrorLogTime(std::chrono::system_clock::time_point t);

}  // namespace qz::host
