// quenza regsvr [-u] LIBRARY: calls the library's DllRegisterServer or
// DllUnregisterServer and reports the registry entries it wrote or removed.
// quenza typelib LIBRARY: creates each class the library registers through
// its class factory and prints the interface its type information describes.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/commands.h"
#include "platform/com/activation.h"
#include "platform/com/dispatcher.h"
#include "platform/com/registry.h"
#include "platform/com/typeinfo.h"

namespace qz::host {

namespace {

std::string StatusText(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return std::string(buf) + " (" + std::string(StandardMessage(NumberFromHResult(hr))) + ")";
}

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "quenza: " << message << "\n";
  throw CLI::RuntimeError(1);
}

struct LibraryEntries {
  std::vector<RegisteredTypeLib> typelibs;
  std::vector<RegisteredClass> classes;
};

LibraryEntries EntriesOf(const RegistryContents& c, const std::string& library) {
  LibraryEntries e;
  for (const auto& t : c.typelibs) {
    if (t.library == library) e.typelibs.push_back(t);
  }
  for (const auto& k : c.classes) {
    if (k.library == library) e.classes.push_back(k);
  }
  return e;
}

void PrintEntries(const LibraryEntries& e) {
  for (const auto& t : e.typelibs) {
    std::cout << "  type library " << t.name << " " << t.version << " " << GuidToString(t.id)
              << "\n";
  }
  for (const auto& k : e.classes) {
    std::cout << "  class " << k.progid << " " << GuidToString(k.clsid) << ", threading model "
              << k.threading << "\n";
  }
}

void RunRegsvr(const std::string& library, bool unregister) {
  try {
    std::string path = AbsoluteLibraryPath(library);
    std::string registry = RegistryPath();
    if (!unregister) {
      HRESULT hr = CallServerRegistration(path, Registration::Register);
      if (Failed(hr)) Fail("DllRegisterServer of " + path + " failed: " + StatusText(hr));
      std::cout << "Registered " << path << " in " << registry << "\n";
      PrintEntries(EntriesOf(ReadRegistry(registry), path));
    } else {
      LibraryEntries before = EntriesOf(ReadRegistry(registry), path);
      HRESULT hr = CallServerRegistration(path, Registration::Unregister);
      if (Failed(hr)) Fail("DllUnregisterServer of " + path + " failed: " + StatusText(hr));
      if (before.classes.empty() && before.typelibs.empty()) {
        std::cout << "Unregistered " << path << ": it had no entries in " << registry << "\n";
      } else {
        std::cout << "Unregistered " << path << " from " << registry << ", removing\n";
        PrintEntries(before);
      }
    }
  } catch (const Error& e) {
    Fail(e.description());
  }
}

// Sets QUENZA_REGISTRY for its lifetime, so that a library registers into a
// scratch registry instead of the user's.
class ScratchRegistry {
 public:
  ScratchRegistry() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quenza-typelib-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Raise(err::kPathFileAccessError, "mkdtemp failed");
    folder_ = pattern;
    if (const char* old = ::getenv("QUENZA_REGISTRY")) old_ = old;
    ::setenv("QUENZA_REGISTRY", path().c_str(), 1);
  }
  ~ScratchRegistry() {
    if (old_) {
      ::setenv("QUENZA_REGISTRY", old_->c_str(), 1);
    } else {
      ::unsetenv("QUENZA_REGISTRY");
    }
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;

  std::string path() const { return folder_ + "/registry"; }

 private:
  std::string folder_;
  std::optional<std::string> old_;
};

std::string Params(std::span<const ParamInfo> params) {
  std::string text = "(";
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) text += ", ";
    text += params[i].pass == PassBy::Reference ? "ByRef " : "ByVal ";
    text += std::string(params[i].name) + " As " + std::string(ParamTypeName(params[i].type));
  }
  return text + ")";
}

void PrintInterface(const TypeInfo& info) {
  std::cout << "  interface " << info.name << " " << GuidToString(info.iid) << "\n";
  // One line per DISPID, in the order of first appearance.
  std::vector<DISPID> order;
  std::map<DISPID, std::vector<const MemberInfo*>> rows;
  for (const MemberInfo& m : info.members) {
    if (!rows.contains(m.id)) order.push_back(m.id);
    rows[m.id].push_back(&m);
  }
  for (DISPID id : order) {
    const auto& r = rows[id];
    char num[16];
    std::snprintf(num, sizeof num, "%6d  ", static_cast<int>(id));
    std::cout << "  " << num;
    if (r.front()->kind == MemberKind::Method) {
      const MemberInfo& m = *r.front();
      std::cout << "method   " << m.name << Params(m.params);
      if (m.result != ParamType::None) std::cout << " As " << ParamTypeName(m.result);
      std::cout << "\n";
      continue;
    }
    ParamType type = ParamType::None;
    std::string access;
    for (const MemberInfo* m : r) {
      std::string kind;
      switch (m->kind) {
        case MemberKind::PropertyGet:
          kind = "read";
          if (type == ParamType::None) type = m->result;
          break;
        case MemberKind::PropertyPut:
          kind = "write";
          if (type == ParamType::None && !m->params.empty()) type = m->params.back().type;
          break;
        case MemberKind::PropertyPutRef:
          kind = "write-reference";
          break;
        case MemberKind::Method:
          kind = "method";
          break;
      }
      access += (access.empty() ? "" : ", ") + kind;
    }
    std::cout << "property " << r.front()->name << " As " << ParamTypeName(type) << " (" << access
              << ")\n";
  }
}

void RunTypelib(const std::string& library) {
  try {
    std::string path = AbsoluteLibraryPath(library);
    LibraryEntries entries;
    {
      // What the library registers, learnt without touching the real registry.
      ScratchRegistry scratch;
      HRESULT hr = CallServerRegistration(path, Registration::Register);
      if (Failed(hr)) Fail("DllRegisterServer of " + path + " failed: " + StatusText(hr));
      entries = EntriesOf(ReadRegistry(scratch.path()), path);
    }
    std::cout << "Library " << path << "\n";
    for (const auto& t : entries.typelibs) {
      std::cout << "Type library " << t.name << " " << t.version << " " << GuidToString(t.id)
                << "\n";
    }
    if (entries.classes.empty()) std::cout << "No classes.\n";
    for (const auto& k : entries.classes) {
      std::cout << "\nclass " << k.progid << " " << GuidToString(k.clsid) << ", threading model "
                << k.threading << "\n";
      ComPtr<IClassFactory> factory = GetClassFactory(k);
      void* out = nullptr;
      HRESULT hr = factory->CreateInstance(nullptr, IID_IDispatch, &out);
      if (Failed(hr) || out == nullptr) {
        std::cout << "  cannot be created: " << StatusText(hr) << "\n";
        continue;
      }
      auto object = ComPtr<IDispatch>::Attach(static_cast<IDispatch*>(out));
      PrintInterface(object->GetTypeInfo());
    }
  } catch (const Error& e) {
    Fail(e.description());
  }
}

}  // namespace

void AddRegistryCommands(CLI::App& app) {
  struct Options {
    std::string library;
    bool unregister = false;
  };
  auto regsvr_options = std::make_shared<Options>();
  CLI::App* regsvr =
      app.add_subcommand("regsvr", "Register a server library's classes (or remove them with -u)");
  regsvr->add_flag("-u,--unregister", regsvr_options->unregister,
                   "Remove the library's registration");
  regsvr->add_option("LIBRARY", regsvr_options->library, "The server library (.so)")->required();
  regsvr->callback(
      [regsvr_options] { RunRegsvr(regsvr_options->library, regsvr_options->unregister); });

  auto typelib_options = std::make_shared<Options>();
  CLI::App* typelib =
      app.add_subcommand("typelib", "Print the interfaces of a server library's classes");
  typelib->add_option("LIBRARY", typelib_options->library, "The server library (.so)")->required();
  typelib->callback([typelib_options] { RunTypelib(typelib_options->library); });
}

}  // namespace qz::host
