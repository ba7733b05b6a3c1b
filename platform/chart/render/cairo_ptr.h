// Move-only owners of Cairo handles.
#pragma once

#include <cairo.h>

#include <memory>

namespace qz::chart::render {

struct CairoSurfaceDeleter {
  void operator()(cairo_surface_t* s) const noexcept {
    if (s) cairo_surface_destroy(s);
  }
};
struct CairoDeleter {
  void operator()(cairo_t* c) const noexcept {
    if (c) cairo_destroy(c);
  }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, CairoSurfaceDeleter>;
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;

}  // namespace qz::chart::render
