// Placeholders for the render road until the delivery module defines these
// functions: each refuses with 445 (Object doesn't support this action), so
// that no script mistakes a missing render for a finished one. Delete this
// file when delivery/ provides the definitions.
#include "component/render_methods.h"

#include "platform/automation/error.h"

namespace qz::component {

namespace {
constexpr std::int32_t kObjectDoesntSupportAction = 445;
[[noreturn]] void NotYet() {
  Raise(kObjectDoesntSupportAction, "Object doesn't support this action");
}
}  // namespace

void SendChart(ObjectState&) {
  NotYet();
}
void SaveChart(ObjectState&, std::string_view) {
  NotYet();
}
Variant GetTmpPath(ObjectState&) {
  NotYet();
}
void PastePicture(ObjectState&, std::int16_t, std::int16_t, std::string_view) {
  NotYet();
}
void PrintStub(ObjectState&) {
  NotYet();
}
void PrintStub2(ObjectState&) {
  NotYet();
}
void ShowError(ObjectState&, std::string&) {
  NotYet();
}

}  // namespace qz::component
