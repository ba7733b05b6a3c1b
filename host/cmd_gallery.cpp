// quenza gallery DIR [--markdown FILE]: runs every gallery page through the
// page host and the component linked into quenza, writes each picture as
// DIR/NAME.png, and the document that shows them with their pages.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "component/quenza_chart.h"
#include "host/commands.h"
#include "host/gallery.h"

namespace qz::host {
namespace {

ComPtr<IDispatch> CreateLinkedObject(std::string_view prog_id) {
  if (prog_id != "Quenza.QuenzaChart") Raise(err::kCantCreateObject);
  return CreateQuenzaChart().As<IDispatch>(IID_IDispatch);
}

struct GalleryArgs {
  std::string dir;
  std::string markdown;
};

int Gallery(const GalleryArgs& args) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(args.dir, ec);
  if (ec) {
    std::fprintf(stderr, "quenza gallery: cannot create %s: %s\n", args.dir.c_str(),
                 ec.message().c_str());
    return 1;
  }
  const fs::path root = fs::canonical(args.dir, ec);
  int failures = 0;
  for (const GalleryEntry& entry : GalleryEntries()) {
    PageResult r = RunGalleryPage(entry, CreateLinkedObject, root);
    const std::string body = r.WholeBody();
    std::string why;
    if (r.status != 200 || r.chart_errors != 0 || r.content_type != "image/bmp") {
      why = "the page answered " + std::to_string(r.status) + " " + r.content_type + ": " +
            body.substr(0, 200);
    } else {
      why = WriteBmpAsPng(body, (root / (entry.name + ".png")).string());
    }
    if (!why.empty()) {
      std::fprintf(stderr, "quenza gallery: %s: %s\n", entry.name.c_str(), why.c_str());
      ++failures;
      continue;
    }
    std::printf("%s.png\t%s\n", entry.name.c_str(), entry.caption.c_str());
  }
  if (!args.markdown.empty()) {
    fs::path doc = fs::absolute(args.markdown);
    std::string folder = root.lexically_relative(doc.parent_path()).generic_string();
    std::ofstream out(doc, std::ios::binary | std::ios::trunc);
    out << GalleryMarkdown(folder);
    if (!out) {
      std::fprintf(stderr, "quenza gallery: cannot write %s\n", args.markdown.c_str());
      ++failures;
    }
  }
  return failures ? 1 : 0;
}

}  // namespace

void AddGalleryCommand(CLI::App& app) {
  auto args = std::make_shared<GalleryArgs>();
  auto* cmd = app.add_subcommand(
      "gallery", "Draw the chart gallery through pages and the component (PNG pictures)");
  cmd->add_option("DIR", args->dir, "Folder for the pictures")->required();
  cmd->add_option("--markdown", args->markdown,
                  "Also write the gallery document (pictures with their pages) to this file");
  cmd->callback([args] {
    int rc = Gallery(*args);
    if (rc != 0) throw CLI::RuntimeError(rc);
  });
}

}  // namespace qz::host
