// quenza: the page host, registration and gallery tools of the component.
#include <CLI/CLI.hpp>

#include "host/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Quenza: server-side chart images"};
  app.require_subcommand(1);
  qz::host::AddRegistryCommands(app);
  qz::host::AddGalleryCommand(app);
  qz::host::AddServeCommands(app);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
