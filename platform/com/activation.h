// The host side: finding a class in the registry, loading the library that
// serves it and creating instances through its class factory.
//
// A library is loaded once per process (RTLD_NOW | RTLD_LOCAL), on first use,
// and stays loaded: objects and factories it handed out may live as long as
// the process. Loading is thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/dispatch.h"
#include "platform/com/registry.h"
#include "platform/com/server.h"

namespace qz {

// The loaded library at path (made absolute), loading it on first use.
// Raises Error in loading DLL (48), with the loader's reason, when it cannot
// be loaded. The handle stays valid for the life of the process.
void* LoadServerLibrary(const std::string& path);

// The named export of a loaded library, or null.
void* FindExport(void* library, const char* name);

// A class factory for a registered class, from its library's
// DllGetClassObject.
ComPtr<IClassFactory> GetClassFactory(const RegisteredClass& cls);

// A new instance of the class registered under progid (in any letter case),
// through its factory, as IDispatch. Every failure raises ActiveX component
// can't create object (429) with a description that names the cause: no such
// registration, a library that cannot be loaded, a library without
// DllGetClassObject, a factory that refuses. An object without IDispatch
// raises 430.
ComPtr<IDispatch> CreateObject(std::string_view progid);
// As above, with the registry at registry_path.
ComPtr<IDispatch> CreateObject(std::string_view progid, const std::string& registry_path);

enum class Registration : std::uint8_t { Register, Unregister };

// Loads the library at path and calls its DllRegisterServer or
// DllUnregisterServer, answering the export's status. A library that cannot
// be loaded raises 48, one without the export Specified DLL function not
// found (453).
HRESULT CallServerRegistration(const std::string& path, Registration what);

// The absolute, symlink-free form of path; raises File not found (53) when
// there is no such file.
std::string AbsoluteLibraryPath(const std::string& path);

}  // namespace qz
