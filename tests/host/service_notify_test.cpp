#include "host/service_notify.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace qz::host {
namespace {

// A notification socket standing in for systemd's, named by NOTIFY_SOCKET
// for the duration of a test.
class FakeServiceManager {
 public:
  FakeServiceManager() {
    path_ = std::filesystem::temp_directory_path() / ("qz-notify-" + std::to_string(getpid()));
    std::filesystem::remove(path_);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string p = path_.string();
    p.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval wait{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setenv("NOTIFY_SOCKET", p.c_str(), 1);
  }
  ~FakeServiceManager() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
    std::filesystem::remove(path_);
  }
  std::string Receive() {
    char buf[512];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

TEST(ServiceNotifyTest, ReadinessAndStoppingReachTheServiceManager) {
  FakeServiceManager manager;
  NotifyReady("listening on 127.0.0.1:8080");
  EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=listening on 127.0.0.1:8080");
  NotifyStopping();
  EXPECT_EQ(manager.Receive(), "STOPPING=1\nSTATUS=draining");
}

}  // namespace
}  // namespace qz::host
