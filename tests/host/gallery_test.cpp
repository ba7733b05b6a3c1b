// The gallery shows what a page gets: the page printed under a picture in
// docs/gallery.md, run through the page host with Quenza.so from the
// registry (as quenza serve runs it), gives exactly the bytes the gallery
// drew for that picture; and the gallery's PNG keeps every pixel of the
// page's BMP.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "component/quenza_chart.h"
#include "host/gallery.h"
#include "host/object_factory.h"
#include "tests/host/page_test_util.h"

namespace qz::host::test {
namespace {

ComPtr<IDispatch> CreateLinked(std::string_view prog_id) {
  if (prog_id != "Quenza.QuenzaChart") Raise(err::kCantCreateObject);
  return CreateQuenzaChart().As<IDispatch>(IID_IDispatch);
}

// The page under the picture NAME in docs/gallery.md.
std::string PageInDocument(const std::string& name) {
  std::ifstream in(std::string(QZ_SOURCE_DIR) + "/docs/gallery.md", std::ios::binary);
  std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = doc.find("\n## " + name + "\n");
  if (at == std::string::npos) return {};
  std::size_t open = doc.find("```asp\n", at);
  std::size_t close = doc.find("```\n", open + 7);
  if (open == std::string::npos || close == std::string::npos) return {};
  return doc.substr(open + 7, close - open - 7);
}

const GalleryEntry& Entry(const std::string& name) {
  for (const GalleryEntry& e : GalleryEntries()) {
    if (e.name == name) return e;
  }
  throw std::runtime_error("no gallery entry " + name);
}

TEST(Gallery, TheDocumentsPageThroughTheRegisteredComponentGivesTheGallerysBytes) {
  TempSite site;
  const std::string registry = (site.root() / "registry.txt").string();
  ::setenv("QUENZA_REGISTRY", registry.c_str(), 1);
  const std::string cmd =
      std::string(QZ_BUILD_DIR) + "/quenza regsvr " + QZ_BUILD_DIR + "/Quenza.so >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);

  for (const std::string name : {"bar2d", "styled"}) {
    const GalleryEntry& entry = Entry(name);
    const std::string documented = PageInDocument(name);
    ASSERT_EQ(documented, entry.page) << "docs/gallery.md is stale: run build/quenza gallery "
                                         "docs/gallery --markdown docs/gallery.md";
    PageResult served = RunGalleryPage({name, "", documented}, CreateRegisteredObject, site.root());
    PageResult drawn = RunGalleryPage(entry, CreateLinked, site.root());
    ASSERT_EQ(served.status, 200) << served.body;
    EXPECT_EQ(served.content_type, "image/bmp");
    EXPECT_EQ(served.chart_errors, 0);
    ASSERT_GT(served.BodySize(), 54u);
    EXPECT_TRUE(served.WholeBody() == drawn.WholeBody())
        << name << ": the page's image differs from the gallery's";
  }
  ::unsetenv("QUENZA_REGISTRY");
}

TEST(Gallery, ThePngKeepsEveryPixelOfTheBmp) {
  TempSite site;
  PageResult r = RunGalleryPage(Entry("thumbnail"), CreateLinked, site.root());
  ASSERT_EQ(r.content_type, "image/bmp") << r.body;
  const std::string png = (site.root() / "t.png").string();
  const std::string body = r.WholeBody();
  ASSERT_EQ(WriteBmpAsPng(body, png), "");

  std::unique_ptr<cairo_surface_t, void (*)(cairo_surface_t*)> surface(
      cairo_image_surface_create_from_png(png.c_str()), cairo_surface_destroy);
  ASSERT_EQ(cairo_surface_status(surface.get()), CAIRO_STATUS_SUCCESS);
  const int w = cairo_image_surface_get_width(surface.get());
  const int h = cairo_image_surface_get_height(surface.get());
  EXPECT_EQ(w, 96);
  EXPECT_EQ(h, 64);
  // The BMP is 24-bit bottom-up with rows padded to 4 bytes.
  const auto* bmp = reinterpret_cast<const unsigned char*>(body.data());
  const std::size_t offset = bmp[10] | bmp[11] << 8 | bmp[12] << 16;
  const std::size_t stride = (static_cast<std::size_t>(w) * 3 + 3) & ~std::size_t{3};
  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int out_stride = cairo_image_surface_get_stride(surface.get());
  int differing = 0;
  for (int y = 0; y < h; ++y) {
    const unsigned char* row = bmp + offset + static_cast<std::size_t>(h - 1 - y) * stride;
    const auto* px = reinterpret_cast<const std::uint32_t*>(data + y * out_stride);
    for (int x = 0; x < w; ++x) {
      const std::uint32_t want = static_cast<std::uint32_t>(row[x * 3 + 2]) << 16 |
                                 static_cast<std::uint32_t>(row[x * 3 + 1]) << 8 | row[x * 3];
      if ((px[x] & 0xFFFFFF) != want) ++differing;
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_NE(WriteBmpAsPng(body.substr(0, 60), png), "");
  EXPECT_NE(WriteBmpAsPng("GIF89a", png), "");
}

TEST(Gallery, EveryEntryDrawsWithoutAFailure) {
  TempSite site;
  for (const GalleryEntry& e : GalleryEntries()) {
    PageResult r = RunGalleryPage(e, CreateLinked, site.root());
    EXPECT_EQ(r.status, 200) << e.name;
    EXPECT_EQ(r.chart_errors, 0) << e.name << ": " << r.body;
    EXPECT_EQ(r.content_type, "image/bmp") << e.name;
  }
}

}  // namespace
}  // namespace qz::host::test
