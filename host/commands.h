// The subcommands of the quenza command, each defined in its own file.
#pragma once

#include <CLI/CLI.hpp>

namespace qz::host {

// regsvr [-u] LIBRARY, typelib LIBRARY
void AddRegistryCommands(CLI::App& app);
// gallery DIR
void AddGalleryCommand(CLI::App& app);
// serve, page
void AddServeCommands(CLI::App& app);

}  // namespace qz::host
