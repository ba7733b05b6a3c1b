// The chart gallery: pages that draw every chart kind and the looks a page
// can ask for, each run through the page host, the component and its render
// road exactly as a site's page is, so that every picture is what a page
// gets. quenza gallery writes the pictures and docs/gallery.md, whose
// captions carry each page's code.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "host/page_engine.h"

namespace qz::host {

struct GalleryEntry {
  std::string name;     // the picture's file name without ".png"
  std::string caption;  // what the picture shows
  std::string page;     // the whole .asp page that draws it
};

const std::vector<GalleryEntry>& GalleryEntries();

// Runs page text on the calling thread as the page /NAME.asp of root, with
// objects from create; the thread's chart engine is warmed first (one page
// run and ended on it), as quenza serve warms its workers, so that the
// picture is the one a served page gets.
PageResult RunGalleryPage(const GalleryEntry& entry, const ObjectCreator& create,
                          const std::filesystem::path& root);

// Writes a BMP image (24 or 32 bits, uncompressed) as a PNG file. Answers
// why not when it cannot; empty on success.
std::string WriteBmpAsPng(std::string_view bmp, const std::string& file);

// docs/gallery.md: every entry's picture (in folder, relative to the
// document) with its caption and page code.
std::string GalleryMarkdown(std::string_view folder);

}  // namespace qz::host
