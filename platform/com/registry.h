// The class registry: which library serves which class, as a text file of our
// own.
//
// The file is named by the environment variable QUENZA_REGISTRY, else
// $XDG_CONFIG_HOME/quenza/registry, else ~/.config/quenza/registry; it is
// read afresh on every call, so a process sees registrations made by others.
// One entry a line, fields separated by tabs, the library path last:
//
//   class    {CLSID}  ProgID  threading-model  /absolute/path/of/library.so
//   typelib  {GUID}   name    major.minor      /absolute/path/of/library.so
//
// Lines starting with '#' and lines this version does not understand are kept
// as they are. Writers rewrite the whole file atomically (a temporary file in
// the same folder, fsync, rename) while holding an exclusive flock on
// "<file>.lock", so concurrent registrations from several processes neither
// lose entries nor leave a torn file; readers never see a partial file.
// Failures raise qz::Error (Path/File access error, Permission denied, Path
// not found...) naming the file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/unknown.h"

namespace qz {

struct RegisteredClass {
  CLSID clsid;
  std::string progid;
  std::string threading;
  std::string library;  // absolute path
};

struct RegisteredTypeLib {
  GUID id;
  std::string name;
  std::string version;  // "1.0"
  std::string library;
};

struct RegistryContents {
  std::vector<RegisteredClass> classes;
  std::vector<RegisteredTypeLib> typelibs;
  std::vector<std::string> other_lines;  // comments and unknown entries, kept
};

// The registry file of this process, from the environment.
std::string RegistryPath();

// The entries of the registry file at path; a missing file is an empty
// registry.
RegistryContents ReadRegistry(const std::string& path);

// Replaces every entry of library (and every entry with one of the given
// CLSIDs, ProgIDs or type library ids) by the given ones. Field texts must not
// contain tabs or line breaks (Invalid procedure call or argument).
void RegistryAddLibrary(const std::string& path, const std::string& library,
                        const std::vector<RegisteredClass>& classes,
                        const std::vector<RegisteredTypeLib>& typelibs);

// Removes every entry of library; answers how many there were. Other entries
// stay as they are; without entries the file is left alone.
int RegistryRemoveLibrary(const std::string& path, const std::string& library);

// The class registered under progid (compared without regard to letter
// case), if any. The file is read again only when it changed (another
// file in its place, or a new size, modification or change time): a change
// applies to the next lookup, but a steady registry is not read and parsed
// for every object a page creates.
std::optional<RegisteredClass> FindRegisteredClass(const std::string& path,
                                                   std::string_view progid);

}  // namespace qz
