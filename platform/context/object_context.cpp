#include "platform/context/object_context.h"

namespace {
thread_local qz::IObjectContext* t_current = nullptr;
}

extern "C" __attribute__((visibility("default"))) qz::IObjectContext* CoGetObjectContext() {
  return t_current;
}

extern "C" __attribute__((visibility("default"))) qz::IObjectContext* CoSetObjectContext(
    qz::IObjectContext* context) {
  qz::IObjectContext* previous = t_current;
  t_current = context;
  return previous;
}

namespace qz {

HRESULT GetObjectContext(IObjectContext** out) {
  if (out == nullptr) return E_POINTER;
  *out = CoGetObjectContext();
  if (*out == nullptr) return CONTEXT_E_NOCONTEXT;
  (*out)->AddRef();
  return S_OK;
}

ObjectContextScope::ObjectContextScope(IObjectContext* context) {
  if (context) context->AddRef();
  previous_ = CoSetObjectContext(context);
}

ObjectContextScope::~ObjectContextScope() {
  IObjectContext* mine = CoSetObjectContext(previous_);
  if (mine) mine->Release();
}

}  // namespace qz
