#include "host/object_factory.h"

#include <string>

#include "platform/automation/error.h"

namespace qz::host {

ComPtr<IDispatch> CreateRegisteredObject(std::string_view prog_id) {
  // The object registry is not part of this build yet.
  Raise(err::kCantCreateObject, {}, std::string(prog_id));
}

}  // namespace qz::host
