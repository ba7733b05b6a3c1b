// Tells a service manager how the server is doing, through systemd's
// notification socket. Outside systemd (NOTIFY_SOCKET unset) every call does
// nothing, so the server need not know how it was started.
#pragma once

#include <string_view>

namespace qz::host {

// The server listens and serves: a Type=notify unit counts as started.
void NotifyReady(std::string_view status);
// The server stops accepting and drains what is in flight.
void NotifyStopping();

}  // namespace qz::host
