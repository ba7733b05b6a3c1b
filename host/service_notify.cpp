#include "host/service_notify.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace qz::host {

void NotifyReady(std::string_view status) {
  std::string message = "READY=1\nSTATUS=";
  message += status;
  // A failed notification costs the service manager's view, never the
  // server: the unit then times out its start, which names the cause.
  sd_notify(0, message.c_str());
}

void NotifyStopping() {
  sd_notify(0, "STOPPING=1\nSTATUS=draining");
}

}  // namespace qz::host
