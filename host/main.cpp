// quenza: the page host, registration and gallery tools of the component.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "host/commands.h"
#include "platform/chart/render/text.h"

int main(int argc, char** argv) {
  // The chart renderer's warnings (a glyph no font has) go to the host's log.
  qz::chart::render::SetWarningSink(
      [](const char* line) { std::fprintf(stderr, "quenza: warning: %s\n", line); });
  CLI::App app{"Quenza: server-side chart images"};
  app.require_subcommand(1);
  qz::host::AddRegistryCommands(app);
  qz::host::AddGalleryCommand(app);
  qz::host::AddServeCommands(app);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
