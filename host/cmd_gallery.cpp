#include "host/commands.h"

namespace qz::host {

// Placeholder until this command is written.
void AddGalleryCommand(CLI::App&) {}

}  // namespace qz::host
