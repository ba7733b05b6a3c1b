// Everything a QuenzaChart object holds: its settings and its private
// members. The render methods (delivery) work on this record, so that they
// need neither the COM class nor its interfaces.
#pragma once

#include <cstdint>
#include <string>

#include "component/settings.h"
#include "platform/automation/variant.h"
#include "platform/context/object_context.h"

namespace qz::component {

struct ObjectState {
  Settings settings;
  // Set by Activate, dropped by Deactivate; the object owns one reference
  // on each while it holds it.
  ComPtr<IObjectContext> mObjectContext;
  ComPtr<IResponse> mResponse;
  // The picture that PastePicture registered for stamping.
  VARIANT_BOOL mPastePending = VARIANT_FALSE;
  Variant mPasteX;  // holds a 16-bit integer once set
  std::int16_t mPasteY = 0;
  std::string mPasteFile;
};

}  // namespace qz::component
