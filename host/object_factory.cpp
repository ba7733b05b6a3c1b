#include "host/object_factory.h"

#include <string>

#include "platform/automation/error.h"

// The object registry of the COM layer, when this build has it.
#if __has_include("platform/com/activation.h")
#include "platform/com/activation.h"
#define QZ_HOST_HAS_REGISTRY 1
#else
#define QZ_HOST_HAS_REGISTRY 0
#endif

namespace qz::host {

ComPtr<IDispatch> CreateRegisteredObject(std::string_view prog_id) {
#if QZ_HOST_HAS_REGISTRY
  return qz::CreateObject(prog_id);
#else
  Raise(err::kCantCreateObject, "This build has no object registry", std::string(prog_id));
#endif
}

}  // namespace qz::host
