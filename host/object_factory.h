// Creation of objects by ProgID for pages: the one place where the host
// reaches the object registry, so that pages and tests can use another
// creator (PageOptions::create_object).
#pragma once

#include <string_view>

#include "platform/com/dispatch.h"

namespace qz::host {

// Creates the object registered under prog_id (its library loaded into the
// process once) and answers its IDispatch; raises qz::Error (429, "ActiveX
// component can't create object", when it cannot).
ComPtr<IDispatch> CreateRegisteredObject(std::string_view prog_id);

}  // namespace qz::host
