// The render road and its relatives: the members of QuenzaChart that
// capture, stamp, print on and deliver the chart. QuenzaChart forwards to
// these functions with its ObjectState; each raises qz::Error on failure
// (the render methods answer their own failures through mResponse, as their
// contracts say).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "component/object_state.h"
#include "platform/automation/variant.h"

namespace qz::component {

void SendChart(ObjectState& object);
void SaveChart(ObjectState& object, std::string_view mSaveFile);
Variant GetTmpPath(ObjectState& object);
void PastePicture(ObjectState& object, std::int16_t x1, std::int16_t y1, std::string_view PName);
void PrintStub(ObjectState& object);
void PrintStub2(ObjectState& object);
// mErr is passed by reference: the function may write it back.
void ShowError(ObjectState& object, std::string& mErr);

}  // namespace qz::component
