// The four entry points of an in-process server library, as the library
// defines them and as a host finds them with dlsym. They are extern "C" with
// default visibility; server.h shows the one-line definitions.
#pragma once

#include "platform/com/unknown.h"

#define QZ_EXPORT extern "C" __attribute__((visibility("default")))

QZ_EXPORT qz::HRESULT DllGetClassObject(const qz::CLSID& clsid, const qz::IID& iid, void** out);
QZ_EXPORT qz::HRESULT DllCanUnloadNow();
QZ_EXPORT qz::HRESULT DllRegisterServer();
QZ_EXPORT qz::HRESULT DllUnregisterServer();

namespace qz {

// The exports' names and types, for a host that looks them up.
inline constexpr const char* kDllGetClassObject = "DllGetClassObject";
inline constexpr const char* kDllCanUnloadNow = "DllCanUnloadNow";
inline constexpr const char* kDllRegisterServer = "DllRegisterServer";
inline constexpr const char* kDllUnregisterServer = "DllUnregisterServer";
using DllGetClassObjectFn = HRESULT (*)(const CLSID&, const IID&, void**);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

}  // namespace qz
