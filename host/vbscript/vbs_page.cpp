#include "host/vbscript/vbs_page.h"

#include <map>

#include "host/page_parser.h"
#include "host/vbscript/conversions.h"
#include "host/vbscript/interpreter.h"
#include "host/vbscript/text.h"
#include "platform/automation/error.h"

namespace qz::host {
namespace {

using vbs::Access;
using vbs::Arg;
using vbs::Interpreter;
using vbs::Value;

// The most nested procedure calls a page may make.
constexpr int kMaxCallDepth = 200;
// What one array item or object is counted as against the memory limit.
constexpr std::size_t kItemBytes = 128;

using Items = std::vector<std::pair<std::string, std::string>>;

// One of Request's collections: by name (values of a repeated name joined
// by ", "), by number from 1, Count, Key(n), and its names for For Each. Its
// own value is the raw text it was read from.
class Collection final : public vbs::Object {
 public:
  Collection(Items items, std::string raw) : items_(std::move(items)), raw_(std::move(raw)) {}
  std::string TypeName() const override { return "IRequestDictionary"; }

  Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args, Access access,
               const Value*) override {
    if (access == Access::Let || access == Access::Set) vbs::Throw(445);
    std::string n = vbs::text::AsciiLower(name);
    if (n == "count") return Value::Long(static_cast<std::int32_t>(Names().size()));
    if (n == "key") {
      if (args.size() != 1) vbs::Throw(450);
      std::int32_t i = vbs::ToLong(in.Simple(args[0].value));
      auto names = Names();
      if (i < 1 || static_cast<std::size_t>(i) > names.size()) vbs::Throw(9);
      return Value::String(names[static_cast<std::size_t>(i - 1)]);
    }
    if (!n.empty() && n != "item") vbs::Throw(438);
    if (args.empty()) return Value::String(raw_);
    if (args.size() != 1) vbs::Throw(450);
    Value key = in.Simple(args[0].value);
    if (key.is_numeric()) {
      std::int32_t i = vbs::ToLong(key);
      auto names = Names();
      if (i < 1 || static_cast<std::size_t>(i) > names.size()) vbs::Throw(9);
      return Lookup(names[static_cast<std::size_t>(i - 1)]);
    }
    return Lookup(vbs::ToText(key));
  }

  bool Enumerate(Interpreter&, std::vector<Value>& out) override {
    for (std::string& n : Names()) out.push_back(Value::String(std::move(n)));
    return true;
  }

  Value Lookup(std::string_view name) const {
    std::string joined;
    bool found = false;
    for (const auto& [k, v] : items_) {
      if (!EqualsNoCase(k, name)) continue;
      if (found) joined += ", ";
      joined += v;
      found = true;
    }
    return found ? Value::String(std::move(joined)) : Value();
  }

 private:
  // Each name once, in the order of first appearance.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& [k, v] : items_) {
      bool seen = false;
      for (const std::string& n : names) seen = seen || EqualsNoCase(n, k);
      if (!seen) names.push_back(k);
    }
    return names;
  }

  Items items_;
  std::string raw_;
};

// Request: its collections as objects, Request("name"), and every other
// member through the host's dispatch object.
class RequestWrapper final : public vbs::Object {
 public:
  RequestWrapper(Interpreter& in, IDispatch* request, const RequestData& data)
      : dispatch_(in.WrapDispatch(ComPtr<IDispatch>(request))) {
    query_ = vbs::Ref<Collection>(new Collection(data.query_items, data.query));
    form_ = vbs::Ref<Collection>(new Collection(data.form_items, data.form));
    Items vars(data.server_variables.begin(), data.server_variables.end());
    server_variables_ = vbs::Ref<Collection>(new Collection(std::move(vars), ""));
  }
  std::string TypeName() const override { return "IRequest"; }
  IDispatch* dispatch() override { return dispatch_->dispatch(); }

  Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args, Access access,
               const Value* assigned) override {
    std::string n = vbs::text::AsciiLower(name);
    Collection* c = n == "querystring"       ? query_.get()
                    : n == "form"            ? form_.get()
                    : n == "servervariables" ? server_variables_.get()
                                             : nullptr;
    if (c && access != Access::Let && access != Access::Set) {
      if (args.empty()) return Value::Object(vbs::Ref<vbs::Object>(c));
      return c->Member(in, "", args, access, assigned);
    }
    if (n.empty() || n == "item") {
      if (args.size() != 1) vbs::Throw(450);
      std::string key = vbs::ToText(in.Simple(args[0].value));
      for (Collection* each : {query_.get(), form_.get(), server_variables_.get()}) {
        Value v = each->Lookup(key);
        if (!v.is_empty()) return v;
      }
      return {};
    }
    return dispatch_->Member(in, name, args, access, assigned);
  }

 private:
  vbs::Ref<vbs::Object> dispatch_;
  vbs::Ref<Collection> query_, form_, server_variables_;
};

// Sets the thread's item budget for the page and puts it back after.
class ItemBudgetScope {
 public:
  explicit ItemBudgetScope(std::size_t memory_limit) : saved_(vbs::ThreadItemBudget()) {
    vbs::ItemBudget& b = vbs::ThreadItemBudget();
    b.live = 0;
    b.limit = memory_limit / kItemBytes;
    b.max_string = memory_limit;
  }
  ~ItemBudgetScope() { vbs::ThreadItemBudget() = saved_; }
  ItemBudgetScope(const ItemBudgetScope&) = delete;
  ItemBudgetScope& operator=(const ItemBudgetScope&) = delete;

 private:
  vbs::ItemBudget saved_;
};

void Fill(VbsPageOutcome& out, const vbs::ScriptError& e) {
  out.failed = true;
  out.number = std::to_string(e.number);
  out.description = e.description;
  out.source = e.source;
  out.line = e.line;
  out.column = e.column;
}

}  // namespace

VbsPageOutcome RunVbsPage(const VbsPageHost& host, std::string_view script) {
  VbsPageOutcome out;
  ItemBudgetScope items(host.memory_limit);
  vbs::Limits limits;
  ScriptBudget* budget = host.budget;
  if (budget) {
    limits.stop = &budget->stop;
    limits.expired = [budget] { return budget->Expired(); };
  }
  limits.max_depth = kMaxCallDepth;
  try {
    Interpreter in(limits);
    try {
      if (host.response)
        in.AddObject("Response", in.WrapDispatch(ComPtr<IDispatch>(host.response)));
      if (host.server) in.AddObject("Server", in.WrapDispatch(ComPtr<IDispatch>(host.server)));
      if (host.request && host.request_data) {
        in.AddObject("Request", vbs::Ref<vbs::Object>(
                                    new RequestWrapper(in, host.request, *host.request_data)));
      }
      in.AddFunction(kPageWriteFunction, [&host](Interpreter& i, std::vector<Arg>& args) {
        if (args.size() != 1) vbs::Throw(450);
        Value v = i.Simple(args[0].value);
        if (host.write) host.write(vbs::ToVariant(v));
        return Value();
      });
      in.AddFunction(kPageLiteralFunction, [&host](Interpreter& i, std::vector<Arg>& args) {
        if (args.size() != 1 || !host.literals) vbs::Throw(450);
        auto n = static_cast<std::size_t>(vbs::ToLong(i.Simple(args[0].value)));
        if (n >= host.literals->size()) vbs::Throw(9);
        if (host.write) host.write(Variant((*host.literals)[n]));
        return Value();
      });
      in.AddFunction("CreateObject", [&host](Interpreter& i, std::vector<Arg>& args) {
        if (args.size() != 1) vbs::Throw(450);
        std::string prog_id = vbs::ToText(i.Simple(args[0].value));
        if (!host.create_without_context) vbs::Throw(429);
        ComPtr<IDispatch> object = host.create_without_context(prog_id);
        if (!object) vbs::Throw(429);
        return Value::Object(i.WrapDispatch(std::move(object)));
      });
      in.Run(script);
    } catch (const vbs::ScriptError& e) {
      Fill(out, e);
    } catch (const vbs::ScriptStop&) {
      out.stopped = true;
    } catch (const qz::Error& e) {
      Fill(out, vbs::ScriptError(e.number(), e.description(), e.source()));
    } catch (const std::bad_alloc&) {
      Fill(out, vbs::ScriptError(7, ""));
    }
    in.Shutdown();
  } catch (const std::bad_alloc&) {
    Fill(out, vbs::ScriptError(7, ""));
  }
  return out;
}

}  // namespace qz::host
