#include "platform/com/activation.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/com/exports.h"

namespace qz {

namespace {

struct LibraryCache {
  std::mutex mutex;
  std::map<std::string, void*> handles;  // absolute path -> dlopen handle, never closed
};

LibraryCache& Cache() {
  static LibraryCache* cache = new LibraryCache;  // outlives every static destructor
  return *cache;
}

std::string Hex(HRESULT status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

[[noreturn]] void CantCreate(std::string_view progid, const std::string& cause) {
  Raise(err::kCantCreateObject, std::string(StandardMessage(err::kCantCreateObject)) + ": " +
                                    std::string(progid) + ": " + cause);
}

}  // namespace

std::string AbsoluteLibraryPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) {
    Raise(err::kFileNotFound, "Cannot find the library " + path + ": " + std::strerror(errno));
  }
  return resolved;
}

void* LoadServerLibrary(const std::string& path) {
  std::string absolute = AbsoluteLibraryPath(path);
  LibraryCache& cache = Cache();
  std::lock_guard lock(cache.mutex);
  if (auto it = cache.handles.find(absolute); it != cache.handles.end()) return it->second;
  void* handle = ::dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    Raise(48, "Cannot load the library " + absolute + ": " + (why ? why : "unknown reason"));
  }
  cache.handles.emplace(absolute, handle);
  return handle;
}

void* FindExport(void* library, const char* name) {
  return ::dlsym(library, name);
}

ComPtr<IClassFactory> GetClassFactory(const RegisteredClass& cls) {
  void* library = LoadServerLibrary(cls.library);
  auto get = reinterpret_cast<DllGetClassObjectFn>(FindExport(library, kDllGetClassObject));
  if (get == nullptr) {
    Raise(453, "The library " + cls.library + " does not export " + kDllGetClassObject);
  }
  void* out = nullptr;
  HRESULT hr = get(cls.clsid, IID_IClassFactory, &out);
  if (Failed(hr) || out == nullptr) {
    Raise(err::kCantCreateObject, "The library " + cls.library + " has no class factory for " +
                                      GuidToString(cls.clsid) + " (status " + Hex(hr) + ")");
  }
  return ComPtr<IClassFactory>::Attach(static_cast<IClassFactory*>(out));
}

ComPtr<IDispatch> CreateObject(std::string_view progid) {
  return CreateObject(progid, RegistryPath());
}

ComPtr<IDispatch> CreateObject(std::string_view progid, const std::string& registry_path) {
  std::optional<RegisteredClass> cls;
  try {
    cls = FindRegisteredClass(registry_path, progid);
  } catch (const Error& e) {
    CantCreate(progid, e.description());
  }
  if (!cls) CantCreate(progid, "no class is registered with this ProgID in " + registry_path);
  ComPtr<IClassFactory> factory;
  try {
    factory = GetClassFactory(*cls);
  } catch (const Error& e) {
    CantCreate(progid, e.description());
  }
  void* out = nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, IID_IDispatch, &out);
  if (hr == E_NOINTERFACE) {
    Raise(err::kClassDoesNotSupportAutomation,
          std::string(StandardMessage(err::kClassDoesNotSupportAutomation)) + ": " +
              std::string(progid));
  }
  if (Failed(hr) || out == nullptr) {
    std::int32_t number = NumberFromHResult(hr);
    CantCreate(progid, "its class factory failed: " + std::string(StandardMessage(number)) +
                           " (status " + Hex(hr) + ")");
  }
  return ComPtr<IDispatch>::Attach(static_cast<IDispatch*>(out));
}

HRESULT CallServerRegistration(const std::string& path, Registration what) {
  void* library = LoadServerLibrary(path);
  const char* name = what == Registration::Register ? kDllRegisterServer : kDllUnregisterServer;
  auto fn = reinterpret_cast<DllRegisterServerFn>(FindExport(library, name));
  if (fn == nullptr)
    Raise(453, "The library " + AbsoluteLibraryPath(path) + " does not export " + name);
  return fn();
}

}  // namespace qz
