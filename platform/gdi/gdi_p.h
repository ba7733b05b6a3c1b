// What the GDI's own source files share.
#pragma once

#include "platform/gdi/gdi.h"

namespace qz::gdi::detail {

// Lets go of a bitmap a picture owned: deletes it now, or, when it is
// selected into a DC, as soon as the DC lets go of it. Never fails.
void ReleaseOwnedBitmap(HBITMAP bitmap) noexcept;

}  // namespace qz::gdi::detail
