// Calls an object's members by name through IDispatch, as a page script
// does, keeping the status and error information of each call.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/dispatch.h"

namespace qz::test {

struct ScriptOutcome {
  HRESULT status = S_OK;
  Variant result;
  EXCEPINFO excep;
  std::vector<Variant> args;  // the arguments after the call (by-reference write-back)

  bool ok() const { return status == S_OK; }
  // The automation error number, 0 on success.
  std::int32_t number() const { return ok() ? 0 : excep.number; }
};

class ScriptObject {
 public:
  explicit ScriptObject(ComPtr<IDispatch> object) : object_(std::move(object)) {}

  IDispatch* get() const { return object_.get(); }

  // The member's identifier, DISPID_UNKNOWN when there is none.
  DISPID Id(std::string_view name) const {
    DISPID id = DISPID_UNKNOWN;
    object_->GetIDsOfNames(name, &id);
    return id;
  }
  ScriptOutcome Invoke(std::string_view name, std::uint16_t flags,
                       std::vector<Variant> args = {}) const {
    ScriptOutcome o;
    o.args = std::move(args);
    o.status = object_->Invoke(Id(name), flags, o.args, &o.result, &o.excep);
    return o;
  }
  // x = obj.Name
  ScriptOutcome Get(std::string_view name) const {
    return Invoke(name, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  }
  // The value of obj.Name (empty when the read fails).
  Variant Read(std::string_view name) const { return Get(name).result; }
  // obj.Name = value
  ScriptOutcome Put(std::string_view name, Variant value) const {
    return Invoke(name, DISPATCH_PROPERTYPUT, {std::move(value)});
  }
  // Set obj.Name = object
  ScriptOutcome PutRef(std::string_view name, Variant value) const {
    return Invoke(name, DISPATCH_PROPERTYPUTREF, {std::move(value)});
  }
  // obj.Name args...
  ScriptOutcome Call(std::string_view name, std::vector<Variant> args = {}) const {
    return Invoke(name, DISPATCH_METHOD, std::move(args));
  }

 private:
  ComPtr<IDispatch> object_;
};

}  // namespace qz::test
