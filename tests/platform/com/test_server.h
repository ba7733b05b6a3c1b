// The identifiers of the test server library (test_server.cpp), a small
// in-process server with the four standard exports, built only for the tests.
#pragma once

#include "platform/com/unknown.h"

namespace qz::test {

inline constexpr GUID LIBID_QzTest = {
    0x3C0D7A10, 0x51E4, 0x4B27, {0x8E, 0x3A, 0x6D, 0x02, 0x9F, 0x41, 0x7B, 0x10}};
inline constexpr CLSID CLSID_Sample = {
    0x3C0D7A11, 0x51E4, 0x4B27, {0x8E, 0x3A, 0x6D, 0x02, 0x9F, 0x41, 0x7B, 0x10}};
// A class whose creation always fails with Permission denied.
inline constexpr CLSID CLSID_Broken = {
    0x3C0D7A12, 0x51E4, 0x4B27, {0x8E, 0x3A, 0x6D, 0x02, 0x9F, 0x41, 0x7B, 0x10}};

}  // namespace qz::test
