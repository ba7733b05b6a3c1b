// quenza: the page host, registration and gallery tools of the component.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include "host/cli_support.h"
#include "host/commands.h"
#include "platform/chart/render/text.h"

int main(int argc, char** argv) {
  // The chart renderer's warnings (a glyph no font has) go to the host's log.
  qz::chart::render::SetWarningSink(
      [](const char* line) { std::fprintf(stderr, "quenza: warning: %s\n", line); });
  CLI::App app{"Quenza: server-side chart images"};
  app.name("quenza");
  app.require_subcommand(1);
  app.set_version_flag("--version", "quenza " + std::string(qz::host::kQuenzaVersion));
  // Every option's default appears in its subcommand's --help.
  app.option_defaults()->always_capture_default();
  qz::host::AddRegistryCommands(app);
  qz::host::AddGalleryCommand(app);
  qz::host::AddServeCommands(app);

  // A first word that is no option and no subcommand is a mistyped command:
  // say so by name rather than as an unexpected argument.
  if (argc > 1 && argv[1][0] != '-') {
    const std::string_view word = argv[1];
    std::string names;
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) {
      if (sub->get_name() == word) known = true;
      names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    if (!known) {
      std::cerr << "quenza: unknown subcommand '" << word << "'; the subcommands are " << names
                << " (quenza --help tells more)\n";
      return 1;
    }
  }
  CLI11_PARSE(app, argc, argv);
  return 0;
}
