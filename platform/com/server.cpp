#include "platform/com/server.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <exception>
#include <new>
#include <vector>

#include "platform/com/registry.h"

namespace qz {

namespace {

// Creates instances of one class. Each DllGetClassObject answers a factory of
// its own; while it lives it counts as a live object, so the library stays
// loaded for as long as anyone holds a factory.
class ClassFactory final : public ComObject<Implements<IClassFactory, IID_IClassFactory>> {
 public:
  explicit ClassFactory(const ClassRegistration& cls) : cls_(cls) {}

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (cls_.create == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    try {
      ComPtr<IUnknown> object = cls_.create();
      if (!object) return E_UNEXPECTED;
      return object->QueryInterface(iid, out);
    } catch (const Error& e) {
      return e.hresult();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_UNEXPECTED;
    }
  }

  HRESULT LockServer(ServerLock lock) override {
    if (lock == ServerLock::Lock) {
      ModuleLock();
    } else {
      ModuleUnlock();
    }
    return S_OK;
  }

 private:
  ~ClassFactory() override = default;
  const ClassRegistration& cls_;
};

// An address inside this module for dladdr: this function itself.
QZ_MODULE_LOCAL void ModuleAnchor() {}

HRESULT StatusOf(const std::exception_ptr& failure) noexcept {
  try {
    std::rethrow_exception(failure);
  } catch (const Error& e) {
    return e.hresult();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

std::string ProgIdOf(const LibraryRegistration& library, const ClassRegistration& cls) {
  return std::string(library.name) + "." + std::string(cls.name);
}

ModuleFile CurrentModule() {
  ModuleFile m;
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&ModuleAnchor), &info) == 0 ||
      info.dli_fname == nullptr || *info.dli_fname == '\0') {
    Raise(err::kPathFileAccessError, "The loaded module does not know its own file");
  }
  // dli_fname is the name the module was loaded by, possibly relative.
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) {
    Raise(err::kPathFileAccessError,
          std::string("Cannot resolve the module path ") + info.dli_fname);
  }
  m.path = resolved;
  auto slash = m.path.rfind('/');
  m.stem = m.path.substr(slash + 1);
  if (auto dot = m.stem.find('.'); dot != std::string::npos && dot > 0) m.stem.resize(dot);
  return m;
}

HRESULT ServerGetClassObject(const LibraryRegistration& library, REFCLSID clsid, REFIID iid,
                             void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (const ClassRegistration& cls : library.classes) {
    if (cls.clsid == clsid) {
      try {
        ComPtr<IUnknown> factory = CreateComObject<ClassFactory>(cls);
        return factory->QueryInterface(iid, out);
      } catch (...) {
        return StatusOf(std::current_exception());
      }
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ServerCanUnloadNow() {
  return ModuleCanUnload() ? S_OK : S_FALSE;
}

HRESULT ServerRegister(const LibraryRegistration& library) {
  try {
    ModuleFile module = CurrentModule();
    std::vector<RegisteredClass> classes;
    for (const ClassRegistration& cls : library.classes) {
      classes.push_back(
          {cls.clsid, ProgIdOf(library, cls), std::string(cls.threading), module.path});
    }
    std::vector<RegisteredTypeLib> typelibs = {
        {library.typelib, std::string(library.name),
         std::to_string(library.major) + "." + std::to_string(library.minor), module.path}};
    RegistryAddLibrary(RegistryPath(), module.path, classes, typelibs);
    return S_OK;
  } catch (...) {
    return StatusOf(std::current_exception());
  }
}

HRESULT ServerUnregister(const LibraryRegistration& library) {
  (void)library;  // the entries are found by the library's path
  try {
    RegistryRemoveLibrary(RegistryPath(), CurrentModule().path);
    return S_OK;
  } catch (...) {
    return StatusOf(std::current_exception());
  }
}

}  // namespace qz
