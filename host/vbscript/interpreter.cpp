#include "host/vbscript/interpreter.h"

#include <chrono>
#include <cmath>
#include <cstring>

#include "host/vbscript/conversions.h"
#include "host/vbscript/operators.h"
#include "host/vbscript/parser.h"
#include "host/vbscript/runtime.h"
#include "host/vbscript/text.h"
#include "platform/automation/error.h"
#include "platform/com/typeinfo.h"

namespace qz::vbs {
namespace {

[[noreturn]] void ThrowNamed(std::int32_t number, std::string_view name) {
  Throw(number, std::string(MessageOf(number)) + ": '" + std::string(name) + "'");
}

// A dispatch object: members are called through IDispatch, arguments and
// results pass as automation variants, by-reference arguments are written
// back.
class DispatchObject final : public Object {
 public:
  explicit DispatchObject(ComPtr<IDispatch> d) : d_(std::move(d)) {}
  std::string TypeName() const override {
    std::string name(d_->GetTypeInfo().name);
    if (!name.empty() && name.front() == '_') name.erase(0, 1);
    if (name.size() > 1 && name.front() == 'I' && std::isupper(static_cast<unsigned char>(name[1])))
      name.erase(0, 1);
    return name.empty() ? "Object" : name;
  }
  IDispatch* dispatch() override { return d_.get(); }

  Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args, Access access,
               const Value* assigned) override {
    DISPID id = DISPID_VALUE;
    if (!name.empty() && Failed(d_->GetIDsOfNames(name, &id))) ThrowNamed(438, name);
    std::vector<Variant> vargs;
    vargs.reserve(args.size() + 1);
    bool by_ref = false;
    for (const Arg& a : args) {
      // A script object passes its default value; dispatch objects pass as
      // themselves.
      bool script_object = a.value.is_object() && a.value.object() && !a.value.object()->dispatch();
      vargs.push_back(a.missing       ? Variant()
                      : script_object ? ToVariant(in.Simple(a.value))
                                      : ToVariant(a.value));
      by_ref = by_ref || a.ref || a.array_var;
    }
    std::vector<Variant> before;
    if (by_ref) before = vargs;
    std::uint16_t flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    if (access == Access::Let || access == Access::Set) {
      vargs.push_back(ToVariant(*assigned));
      flags = access == Access::Set ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT;
    }
    Variant result;
    EXCEPINFO excep;
    ComPtr<IDispatch> hold(d_);
    HRESULT hr = d_->Invoke(id, flags, vargs, &result, &excep);
    if (Failed(hr)) {
      std::int32_t number = hr == DISP_E_EXCEPTION || excep.number != 0 ? excep.number : 0;
      if (number == 0) number = NumberFromHResult(hr);
      if (hr == DISP_E_MEMBERNOTFOUND && !name.empty()) ThrowNamed(438, name);
      std::string description = excep.description;
      if (description.empty()) description = std::string(MessageOf(number));
      throw ScriptError(number, description, excep.source);
    }
    if (by_ref) {
      for (std::size_t i = 0; i < args.size(); ++i) {
        if (!(vargs[i] == before[i])) {
          args[i].value = FromVariant(vargs[i], in);
          if (args[i].ref) *args[i].ref = args[i].value;
        }
      }
    }
    return FromVariant(result, in);
  }

 private:
  ComPtr<IDispatch> d_;
};

// The Err object.
class ErrObject final : public Object {
 public:
  std::string TypeName() const override { return "ErrObject"; }
  Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args, Access access,
               const Value* assigned) override {
    std::string n = name.empty() ? "number" : text::AsciiLower(name);
    ScriptError& e = in.ErrState();
    bool put = access == Access::Let || access == Access::Set;
    if (n == "number") {
      if (put) {
        e.number = ToLong(in.Simple(*assigned));
        return {};
      }
      return Value::Long(in.ErrNumber());
    }
    if (n == "description" || n == "source" || n == "helpfile") {
      std::string* field = n == "description" ? &e.description : &e.source;
      if (n == "helpfile") return Value::String("");
      if (put) {
        *field = ToText(in.Simple(*assigned));
        return {};
      }
      return Value::String(in.ErrNumber() || !field->empty() ? *field : "");
    }
    if (n == "helpcontext") return Value::Long(0);
    if (n == "clear") {
      in.ClearError();
      return {};
    }
    if (n == "raise") {
      if (args.empty() || args[0].missing) Throw(450);
      std::int32_t number = ToLong(in.Simple(args[0].value));
      if (number == 0) Throw(5);
      std::string source = HasArg(args, 1) ? ToText(in.Simple(args[1].value)) : std::string();
      std::string description =
          HasArg(args, 2) ? ToText(in.Simple(args[2].value)) : std::string(MessageOf(number));
      if (source.empty()) source = "VBScript runtime error";
      throw ScriptError(number, description.empty() ? std::string(MessageOf(number)) : description,
                        source);
    }
    ThrowNamed(438, name);
  }
};

// What GetRef answers: calling it calls the procedure.
class ProcRef final : public Object {
 public:
  explicit ProcRef(const Proc& p) : proc_(p) {}
  std::string TypeName() const override { return "Object"; }
  Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args, Access access,
               const Value*) override {
    if (!name.empty() || access == Access::Let || access == Access::Set) ThrowNamed(438, name);
    return in.CallProc(proc_, nullptr, args);
  }

 private:
  const Proc& proc_;
};

// Pops what a scope pushed, however it is left.
template <class F>
struct Finally {
  F f;
  ~Finally() { f(); }
};
template <class F>
Finally(F) -> Finally<F>;

}  // namespace

const Value& ArgValue(const std::vector<Arg>& args, std::size_t i) {
  static const Value empty;
  return i < args.size() && !args[i].missing ? args[i].value : empty;
}

bool HasArg(const std::vector<Arg>& args, std::size_t i) {
  return i < args.size() && !args[i].missing;
}

// ---- class instances ----

ClassInstance::ClassInstance(Interpreter& in, const ClassDef& cls) : in_(&in), cls_(cls) {
  TakeItems(1 + cls.fields.size());
  in.RegisterInstance(this);
  for (const auto& f : cls.fields) {
    Value v;
    if (f.array) {
      if (f.bounds.empty()) {
        v = Value::Array(std::make_unique<ArrayData>());
      } else {
        v = Value::Array(in.MakeArray(f.bounds));
      }
    }
    fields_[f.name] = std::move(v);
  }
}

ClassInstance::~ClassInstance() {
  if (in_) in_->UnregisterInstance(this);
  GiveItems(1 + cls_.fields.size());
}

namespace {
// Instances whose last reference went while another was being released:
// they go in turn, so that a long chain of objects does not nest releases.
thread_local int t_releasing = 0;
thread_local std::vector<ClassInstance*> t_pending;
}  // namespace

void ClassInstance::LastRelease() {
  if (t_releasing > 0) {
    t_pending.push_back(this);
    return;
  }
  ++t_releasing;
  Finish();
  while (!t_pending.empty()) {
    ClassInstance* next = t_pending.back();
    t_pending.pop_back();
    next->Finish();
  }
  --t_releasing;
}

void ClassInstance::Finish() {
  if (!terminated_ && in_ && in_->CanTerminate()) {
    terminated_ = true;
    auto it = cls_.members.find("class_terminate");
    if (it != cls_.members.end() && it->second.sub) {
      refs_ = 1;  // Me is valid while Class_Terminate runs
      try {
        std::vector<Arg> none;
        in_->CallProc(*it->second.sub, this, none);
      } catch (...) {
        // An error in Class_Terminate has nowhere to go: the object goes.
      }
      if (--refs_ > 0) return;  // kept alive by the terminate code
    }
  }
  delete this;
}

void ClassInstance::ClearFields() {
  for (auto& [name, v] : fields_) {
    Value gone = std::move(v);
    v = Value();
  }
}

Value* ClassInstance::Field(const std::string& name, bool from_inside) {
  auto it = fields_.find(name);
  if (it == fields_.end()) return nullptr;
  if (!from_inside) {
    for (const auto& f : cls_.fields) {
      if (f.name == name && !f.is_public) return nullptr;
    }
  }
  return &it->second;
}

const ClassMember* ClassInstance::FindMember(const std::string& name, bool from_inside) const {
  auto it = cls_.members.find(name);
  if (it == cls_.members.end()) return nullptr;
  if (!from_inside) {
    const ClassMember& m = it->second;
    for (const Proc* p : {m.get, m.let, m.set, m.sub}) {
      if (p && !p->is_public) return nullptr;
    }
  }
  return &it->second;
}

Value ClassInstance::Member(Interpreter& in, std::string_view name, std::vector<Arg>& args,
                            Access access, const Value* assigned) {
  bool inside = in.CurrentMe() == this;
  std::string key = name.empty() ? cls_.default_member : text::AsciiLower(name);
  if (key.empty()) Throw(438);
  Ref<Object> hold(this);
  bool put = access == Access::Let || access == Access::Set;
  if (Value* f = Field(key, inside)) {
    if (put) {
      in.StoreInto(*f, args, *assigned, access == Access::Set);
      return {};
    }
    return in.InvokeValue(*f, args, access, nullptr);
  }
  const ClassMember* m = FindMember(key, inside);
  if (!m) ThrowNamed(438, name.empty() ? key : name);
  if (put) {
    const Proc* p = access == Access::Set ? (m->set ? m->set : m->let) : (m->let ? m->let : m->set);
    if (!p) ThrowNamed(438, name);
    std::vector<Arg> all = args;
    Arg value;
    value.value = *assigned;
    all.push_back(std::move(value));
    in.CallProc(*p, this, all);
    return {};
  }
  const Proc* p = m->get ? m->get : m->sub;
  if (!p) ThrowNamed(438, name);
  if (p->params.empty() && !args.empty()) {
    std::vector<Arg> none;
    Value v = in.CallProc(*p, this, none);
    return in.InvokeValue(v, args, access, nullptr);
  }
  return in.CallProc(*p, this, args);
}

// ---- the interpreter ----

Interpreter::Interpreter(Limits limits) : limits_(std::move(limits)) {
  auto global = std::make_unique<Frame>();
  global->global = true;
  frames_.push_back(std::move(global));
  err_object_ = Ref<Object>(new ErrObject());
  AddObject("err", err_object_);
}

Interpreter::~Interpreter() {
  Shutdown();
}

void Interpreter::PopFrame() {
  // The frame leaves the stack before its values go: releasing them may run
  // Class_Terminate, which pushes frames of its own.
  std::unique_ptr<Frame> f = std::move(frames_.back());
  frames_.pop_back();
  f.reset();
}

void Interpreter::AddObject(std::string_view name, Ref<Object> object) {
  std::string key = text::AsciiLower(name);
  globals_[key] = std::make_unique<Value>(Value::Object(std::move(object)));
  constants_.insert(key);
}

void Interpreter::AddFunction(std::string_view name, NativeFunction f) {
  host_functions_[text::AsciiLower(name)] = std::move(f);
}

Ref<Object> Interpreter::WrapDispatch(ComPtr<IDispatch> object) {
  return Ref<Object>(new DispatchObject(std::move(object)));
}

void Interpreter::Declare(const Program& program) {
  if (program.option_explicit) option_explicit_ = true;
  for (const auto& p : program.procs) procs_[p->name] = p.get();
  for (const auto& c : program.classes) classes_[c->name] = c.get();
}

void Interpreter::Run(std::string_view source) {
  std::unique_ptr<Program> program = Parse(source);
  Declare(*program);
  programs_.push_back(std::move(program));
  ExecBlock(programs_.back()->body);
}

void Interpreter::Shutdown() {
  if (stopping_) return;
  while (frames_.size() > 1) PopFrame();
  std::deque<Value> with = std::move(frames_[0]->with);
  with.clear();
  // Globals go one by one, so that Class_Terminate still finds the others;
  // what the terminate code leaves in them goes in a later round.
  for (int round = 0; round < 4; ++round) {
    std::vector<Value*> vars;
    for (auto& [name, v] : globals_) {
      if (!v->is_empty()) vars.push_back(v.get());
    }
    if (vars.empty()) break;
    for (Value* v : vars) {
      Value gone = std::move(*v);
    }
  }
  stopping_ = true;
  // What is left is held in cycles between script objects: break them.
  std::vector<Ref<Object>> left;
  for (ClassInstance* i : instances_) left.emplace_back(i);
  for (auto& r : left) static_cast<ClassInstance*>(r.get())->ClearFields();
  for (ClassInstance* i : instances_) i->Detach();
  instances_.clear();
  left.clear();
  globals_.clear();
}

void Interpreter::Tick() {
  if (limits_.stop && limits_.stop->load(std::memory_order_relaxed)) throw ScriptStop();
  if ((++ticks_ & 255) == 0 && limits_.expired && limits_.expired()) throw ScriptStop();
}

ClassInstance* Interpreter::CurrentMe() const {
  return frames_.back()->me.get();
}

void Interpreter::SetError(const ScriptError& e) {
  err_ = e;
}

void Interpreter::ClearError() {
  err_.number = 0;
  err_.description.clear();
  err_.source.clear();
}

Value Interpreter::Err() {
  return Value::Object(err_object_);
}

// ---- statements ----

Interpreter::Flow Interpreter::ExecBlock(const Block& block) {
  // A failure from below the language (a component, memory) becomes a
  // runtime error at the statement that met it.
  auto raise_at = [this](ScriptError e, const Stmt& at) {
    e.line = at.line;
    e.column = at.column;
    if (!frame().resume_next) throw e;
    SetError(e);
  };
  for (const StmtPtr& s : block) {
    Flow flow;
    try {
      Tick();
      flow = Exec(*s);
    } catch (ScriptError& e) {
      if (e.line == 0) {
        e.line = s->line;
        e.column = s->column;
      }
      if (!frame().resume_next) throw;
      SetError(e);
      continue;
    } catch (const qz::Error& q) {
      raise_at(ScriptError(q.number(), q.description(), q.source()), *s);
      continue;
    } catch (const std::bad_alloc&) {
      raise_at(ScriptError(7, ""), *s);
      continue;
    }
    if (flow != Flow::Normal) return flow;
  }
  return Flow::Normal;
}

Interpreter::Flow Interpreter::Exec(const Stmt& s) {
  switch (s.kind) {
    case Stmt::Kind::Assign: {
      Value v = EvalExpr(*s.a);
      if (!s.set) {
        v = Simple(std::move(v));
      } else if (!v.is_object()) {
        Throw(424);
      }
      Assign(*s.target, std::move(v), s.set);
      return Flow::Normal;
    }
    case Stmt::Kind::Call:
      if (s.target->kind == Expr::Kind::Call) {
        Invoke(*s.target->a, &s.target->args, Access::Call);
      } else {
        Invoke(*s.target, nullptr, Access::Call);
      }
      return Flow::Normal;
    case Stmt::Kind::Dim:
      ExecDim(s);
      return Flow::Normal;
    case Stmt::Kind::ReDim:
      ExecReDim(s);
      return Flow::Normal;
    case Stmt::Kind::Const:
      for (const DimItem& item : s.items) {
        Value v = EvalSimple(*item.bounds[0]);
        if (frame().global) {
          globals_[item.name] = std::make_unique<Value>(std::move(v));
          constants_.insert(item.name);
        } else {
          frame().storage.push_back(std::move(v));
          frame().vars[item.name] = &frame().storage.back();
        }
      }
      return Flow::Normal;
    case Stmt::Kind::Erase:
      for (const DimItem& item : s.items) {
        Value* v = FindVariable(item.name);
        if (!v || !v->is_array()) ThrowNamed(13, item.display);
        ArrayData& a = *v->array();
        if (a.fixed) {
          for (Value& x : a.items) x = Value();
        } else {
          a.Resize(0);
          a.upper.clear();
        }
      }
      return Flow::Normal;
    case Stmt::Kind::If:
      for (std::size_t i = 0; i < s.conditions.size(); ++i) {
        Value c = EvalSimple(*s.conditions[i]);
        if (!c.is_null() && ToBool(c)) return ExecBlock(s.blocks[i]);
      }
      if (s.has_else) return ExecBlock(s.else_block);
      return Flow::Normal;
    case Stmt::Kind::Select:
      return ExecSelect(s);
    case Stmt::Kind::For:
      return ExecFor(s);
    case Stmt::Kind::ForEach:
      return ExecForEach(s);
    case Stmt::Kind::Do:
      while (true) {
        Tick();
        if (s.test_first && s.a) {
          Value c = EvalSimple(*s.a);
          bool t = !c.is_null() && ToBool(c);
          if (t == s.until) break;
        }
        Flow f = ExecBlock(s.body);
        if (f == Flow::ExitDo) break;
        if (f != Flow::Normal) return f;
        if (!s.test_first && s.a) {
          Value c = EvalSimple(*s.a);
          bool t = !c.is_null() && ToBool(c);
          if (t == s.until) break;
        }
      }
      return Flow::Normal;
    case Stmt::Kind::While:
      while (true) {
        Tick();
        Value c = EvalSimple(*s.a);
        if (c.is_null() || !ToBool(c)) break;
        Flow f = ExecBlock(s.body);
        if (f != Flow::Normal) return f;
      }
      return Flow::Normal;
    case Stmt::Kind::Exit:
      switch (s.exit_kind) {
        case Stmt::ExitKind::Do:
          return Flow::ExitDo;
        case Stmt::ExitKind::For:
          return Flow::ExitFor;
        default:
          return Flow::ExitProc;
      }
    case Stmt::Kind::OnError:
      frame().resume_next = s.resume_next;
      ClearError();
      return Flow::Normal;
    case Stmt::Kind::With: {
      Value v = EvalExpr(*s.a);
      Frame& f = frame();
      f.with.push_back(std::move(v));
      Finally pop{[&f] {
        Value gone = std::move(f.with.back());
        f.with.pop_back();
      }};
      return ExecBlock(s.body);
    }
  }
  return Flow::Normal;
}

std::unique_ptr<ArrayData> Interpreter::MakeArray(const std::vector<ExprPtr>& bounds) {
  auto a = std::make_unique<ArrayData>();
  std::size_t count = 1;
  for (const ExprPtr& b : bounds) {
    std::int32_t upper = ToLong(EvalSimple(*b));
    if (upper < -1) Throw(9);
    auto n = static_cast<std::size_t>(upper + 1);
    if (n != 0 && count > SIZE_MAX / n) Throw(7);
    count *= n;
    a->upper.push_back(upper);
  }
  a->Resize(count);
  return a;
}

void Interpreter::ExecDim(const Stmt& s) {
  for (const DimItem& item : s.items) {
    Value v;
    if (item.array) {
      if (item.bounds.empty()) {
        v = Value::Array(std::make_unique<ArrayData>());
      } else {
        auto a = MakeArray(item.bounds);
        a->fixed = true;
        v = Value::Array(std::move(a));
      }
    }
    if (frame().global) {
      auto& slot = globals_[item.name];
      if (!slot) {
        slot = std::make_unique<Value>(std::move(v));
      } else if (item.array) {
        *slot = std::move(v);
      }
    } else {
      auto it = frame().vars.find(item.name);
      if (it != frame().vars.end()) {
        if (item.array) *it->second = std::move(v);
        continue;
      }
      frame().storage.push_back(std::move(v));
      frame().vars[item.name] = &frame().storage.back();
    }
  }
}

void Interpreter::ExecReDim(const Stmt& s) {
  for (const DimItem& item : s.items) {
    Value* var = FindVariable(item.name);
    if (!var) {
      if (option_explicit_) ThrowNamed(500, item.display);
      AssignName(item.name, Value(), false, s.line, s.column);
      var = FindVariable(item.name);
      if (!var) Throw(501);
    }
    if (var->is_array() && var->array()->fixed) Throw(10);
    std::unique_ptr<ArrayData> fresh = MakeArray(item.bounds);
    if (s.preserve && var->is_array()) {
      ArrayData& old = *var->array();
      if (!old.upper.empty()) {
        if (old.upper.size() != fresh->upper.size()) Throw(9);
        for (std::size_t d = 0; d + 1 < old.upper.size(); ++d) {
          if (old.upper[d] != fresh->upper[d]) Throw(9);
        }
        fresh->depth = old.depth;
        std::size_t n = std::min(old.items.size(), fresh->items.size());
        for (std::size_t i = 0; i < n; ++i) fresh->items[i] = std::move(old.items[i]);
      }
    }
    *var = Value::Array(std::move(fresh));
  }
}

Interpreter::Flow Interpreter::ExecFor(const Stmt& s) {
  Value from = EvalSimple(*s.a);
  Value to = EvalSimple(*s.b);
  Value step = s.c ? EvalSimple(*s.c) : Value::Integer(1);
  if (from.is_null() || to.is_null() || step.is_null()) Throw(94);
  double dto = ToDouble(to), dstep = ToDouble(step);
  AssignName(s.name, from, false, s.line, s.column);
  Value* var = FindVariable(s.name);
  if (!var) Throw(1040);
  while (true) {
    Tick();
    double cur = ToDouble(Simple(*var));
    if (dstep >= 0 ? cur > dto : cur < dto) break;
    Flow f = ExecBlock(s.body);
    if (f == Flow::ExitFor) break;
    if (f != Flow::Normal) return f;
    var = FindVariable(s.name);
    if (!var) Throw(1040);
    *var = BinaryOp(Op::Add, Simple(*var), step);
  }
  return Flow::Normal;
}

Interpreter::Flow Interpreter::ExecForEach(const Stmt& s) {
  Value collection = EvalExpr(*s.a);
  std::vector<Value> items;
  if (collection.is_array()) {
    items = collection.array()->items;
  } else if (collection.is_object() && collection.object()) {
    if (!collection.object()->Enumerate(*this, items)) Throw(451);
  } else if (collection.is_object()) {
    Throw(91);
  } else {
    Throw(451);
  }
  for (Value& item : items) {
    Tick();
    bool set = item.is_object();
    AssignName(s.name, std::move(item), set, s.line, s.column);
    Flow f = ExecBlock(s.body);
    if (f == Flow::ExitFor) break;
    if (f != Flow::Normal) return f;
  }
  return Flow::Normal;
}

Interpreter::Flow Interpreter::ExecSelect(const Stmt& s) {
  Value v = EvalSimple(*s.a);
  bool literal = s.a->numeric_literal;
  for (const CaseClause& clause : s.cases) {
    for (const CaseTest& test : clause.tests) {
      bool match = false;
      Value x = EvalSimple(*test.a);
      switch (test.kind) {
        case CaseTest::Kind::Value: {
          auto c = Compare(v, x, literal, test.a->numeric_literal);
          match = c && *c == 0;
          break;
        }
        case CaseTest::Kind::Range: {
          Value y = EvalSimple(*test.b);
          auto lo = Compare(v, x, literal, test.a->numeric_literal);
          auto hi = Compare(v, y, literal, test.b->numeric_literal);
          match = lo && hi && *lo >= 0 && *hi <= 0;
          break;
        }
        case CaseTest::Kind::Is: {
          Value r = BinaryOp(test.op, v, x, literal, test.a->numeric_literal);
          match = !r.is_null() && ToBool(r);
          break;
        }
      }
      if (match) return ExecBlock(clause.body);
    }
  }
  if (s.has_else) return ExecBlock(s.else_block);
  return Flow::Normal;
}

// ---- names and assignment ----

Value* Interpreter::FindVariable(const std::string& name) {
  Frame& f = frame();
  if (!f.global) {
    auto it = f.vars.find(name);
    if (it != f.vars.end()) return it->second;
  }
  if (f.me) {
    if (Value* v = f.me->Field(name, true)) return v;
  }
  auto it = globals_.find(name);
  if (it != globals_.end()) return it->second.get();
  return nullptr;
}

void Interpreter::AssignName(const std::string& name, Value value, bool set, int, int) {
  Frame& f = frame();
  if (f.proc && name == f.proc->name &&
      (f.proc->kind == Proc::Kind::Function || f.proc->kind == Proc::Kind::PropertyGet)) {
    f.ret = std::move(value);
    return;
  }
  if (!f.global) {
    auto it = f.vars.find(name);
    if (it != f.vars.end()) {
      *it->second = std::move(value);
      return;
    }
  }
  if (f.me) {
    if (Value* v = f.me->Field(name, true)) {
      *v = std::move(value);
      return;
    }
    if (const ClassMember* m = f.me->FindMember(name, true); m && (m->let || m->set)) {
      std::vector<Arg> none;
      f.me->Member(*this, name, none, set ? Access::Set : Access::Let, &value);
      return;
    }
  }
  auto it = globals_.find(name);
  if (it != globals_.end()) {
    if (constants_.count(name)) ThrowNamed(501, name);
    *it->second = std::move(value);
    return;
  }
  if (procs_.count(name)) ThrowNamed(501, name);
  if (option_explicit_) ThrowNamed(500, name);
  if (f.global) {
    globals_[name] = std::make_unique<Value>(std::move(value));
  } else {
    f.storage.push_back(std::move(value));
    f.vars[name] = &f.storage.back();
  }
}

void Interpreter::StoreInto(Value& holder, std::vector<Arg>& args, Value value, bool set) {
  if (args.empty()) {
    holder = std::move(value);
    return;
  }
  if (holder.is_array()) {
    Value* slot = Element(holder, Subscripts(args));
    holder.array()->Holds(value);
    *slot = std::move(value);
    return;
  }
  if (holder.is_object()) {
    if (!holder.object()) Throw(91);
    Ref<Object> o = holder.object_ref();
    o->Member(*this, "", args, set ? Access::Set : Access::Let, &value);
    return;
  }
  Throw(13);
}

void Interpreter::Assign(const Expr& target, Value value, bool set) {
  switch (target.kind) {
    case Expr::Kind::Ident:
      AssignName(target.name, std::move(value), set, target.line, target.column);
      return;
    case Expr::Kind::Member: {
      Value obj = target.a ? EvalExpr(*target.a) : WithObject();
      if (!obj.is_object()) Throw(424);
      if (!obj.object()) Throw(91);
      std::vector<Arg> none;
      Ref<Object> o = obj.object_ref();
      o->Member(*this, target.name, none, set ? Access::Set : Access::Let, &value);
      return;
    }
    case Expr::Kind::Call: {
      std::vector<Arg> args = EvalArgs(target.args);
      const Expr& base = *target.a;
      if (base.kind == Expr::Kind::Ident) {
        if (Value* var = FindVariable(base.name)) {
          if (var->is_array() || var->is_object()) {
            StoreInto(*var, args, std::move(value), set);
            return;
          }
          ThrowNamed(13, base.display);
        }
        if (ClassInstance* me = CurrentMe()) {
          if (const ClassMember* m = me->FindMember(base.name, true); m && (m->let || m->set)) {
            me->Member(*this, base.name, args, set ? Access::Set : Access::Let, &value);
            return;
          }
        }
        ThrowNamed(501, base.display);
      }
      if (base.kind == Expr::Kind::Member) {
        Value obj = base.a ? EvalExpr(*base.a) : WithObject();
        if (!obj.is_object()) Throw(424);
        if (!obj.object()) Throw(91);
        Ref<Object> o = obj.object_ref();
        o->Member(*this, base.name, args, set ? Access::Set : Access::Let, &value);
        return;
      }
      Value holder = EvalExpr(base);
      if (!holder.is_object()) Throw(501);
      StoreInto(holder, args, std::move(value), set);
      return;
    }
    default:
      Throw(501);
  }
}

Value& Interpreter::WithObject() {
  for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
    if (!(*it)->with.empty()) return (*it)->with.back();
    break;
  }
  Throw(424);
}

Value* Interpreter::Element(Value& array, const std::vector<std::int32_t>& index) {
  ArrayData& a = *array.array();
  if (index.size() != a.upper.size()) Throw(9);
  std::size_t flat = 0, stride = 1;
  for (std::size_t d = 0; d < index.size(); ++d) {
    if (index[d] < 0 || index[d] > a.upper[d]) Throw(9);
    flat += static_cast<std::size_t>(index[d]) * stride;
    stride *= static_cast<std::size_t>(a.upper[d]) + 1;
  }
  if (flat >= a.items.size()) Throw(9);
  return &a.items[flat];
}

std::vector<std::int32_t> Interpreter::Subscripts(std::vector<Arg>& args) {
  std::vector<std::int32_t> out;
  out.reserve(args.size());
  for (Arg& a : args) {
    if (a.missing) Throw(9);
    out.push_back(ToLong(Simple(a.value)));
  }
  return out;
}

// ---- expressions ----

Value Interpreter::Simple(Value v) {
  if (!v.is_object()) return v;
  if (!v.object()) Throw(91);
  std::vector<Arg> none;
  Ref<Object> o = v.object_ref();
  Value r = o->Member(*this, "", none, Access::Get, nullptr);
  if (r.is_object()) Throw(438);
  return r;
}

Value Interpreter::EvalExpr(const Expr& e) {
  switch (e.kind) {
    case Expr::Kind::Literal:
      return e.literal;
    case Expr::Kind::Ident:
    case Expr::Kind::Member:
      return Invoke(e, nullptr, Access::Get);
    case Expr::Kind::Call:
      return Invoke(*e.a, &e.args, Access::Get);
    case Expr::Kind::Me:
      if (!CurrentMe()) Throw(1037);
      return Value::Object(Ref<Object>(CurrentMe()));
    case Expr::Kind::New:
      return Value::Object(NewInstance(e.name));
    case Expr::Kind::Unary:
      return UnaryOp(e.op, EvalSimple(*e.a));
    case Expr::Kind::Binary: {
      if (e.op == Op::Is) {
        Value a = EvalExpr(*e.a);
        Value b = EvalExpr(*e.b);
        if (!a.is_object() || !b.is_object()) Throw(424);
        Object* x = a.object();
        Object* y = b.object();
        if (x && y && x->dispatch() && y->dispatch())
          return Value::Bool(x->dispatch() == y->dispatch());
        return Value::Bool(x == y);
      }
      Value a = EvalSimple(*e.a);
      Value b = EvalSimple(*e.b);
      return BinaryOp(e.op, a, b, e.a->numeric_literal, e.b->numeric_literal);
    }
  }
  return {};
}

std::vector<Arg> Interpreter::EvalArgs(const std::vector<ExprPtr>& exprs) {
  std::vector<Arg> args;
  args.reserve(exprs.size());
  for (const ExprPtr& e : exprs) {
    Arg a;
    if (!e) {
      a.missing = true;
    } else if (e->kind == Expr::Kind::Ident && !e->paren) {
      Value* v = FindVariable(e->name);
      if (!v && !option_explicit_ && !procs_.count(e->name) && !host_functions_.count(e->name) &&
          !FindConstant(e->name) && !FindBuiltin(e->name)) {
        // An undeclared variable passed by reference comes into being.
        AssignName(e->name, Value(), false, e->line, e->column);
        v = FindVariable(e->name);
      }
      if (v) {
        a.value = *v;
        a.ref = v;
      } else {
        a.value = EvalExpr(*e);
      }
    } else if (e->kind == Expr::Kind::Call && !e->paren && e->a->kind == Expr::Kind::Ident) {
      Value* v = FindVariable(e->a->name);
      if (v && v->is_array()) {
        std::vector<Arg> sub = EvalArgs(e->args);
        a.index = Subscripts(sub);
        a.value = *Element(*v, a.index);
        a.array_var = v;
      } else {
        a.value = EvalExpr(*e);
      }
    } else {
      a.value = EvalExpr(*e);
    }
    args.push_back(std::move(a));
  }
  return args;
}

void Interpreter::WriteBack(std::vector<Arg>& args) {
  for (Arg& a : args) {
    if (!a.array_var || !a.array_var->is_array()) continue;
    ArrayData& arr = *a.array_var->array();
    bool inside = a.index.size() == arr.upper.size();
    for (std::size_t d = 0; inside && d < a.index.size(); ++d) {
      inside = a.index[d] >= 0 && a.index[d] <= arr.upper[d];
    }
    if (inside) {
      Value* slot = Element(*a.array_var, a.index);
      arr.Holds(a.value);
      *slot = a.value;
    }
  }
}

Value Interpreter::InvokeValue(Value& holder, std::vector<Arg>& args, Access access, const Value*) {
  if (holder.is_array()) {
    if (args.empty()) return holder;
    return *Element(holder, Subscripts(args));
  }
  if (holder.is_object()) {
    if (args.empty() && access == Access::Get) return holder;
    if (!holder.object()) Throw(91);
    Ref<Object> o = holder.object_ref();
    return o->Member(*this, "", args, access, nullptr);
  }
  if (!args.empty()) Throw(13);
  return holder;
}

Value Interpreter::Invoke(const Expr& target, const std::vector<ExprPtr>* arg_exprs,
                          Access access) {
  std::vector<Arg> args;
  if (arg_exprs) args = EvalArgs(*arg_exprs);
  Value result;
  switch (target.kind) {
    case Expr::Kind::Ident:
      result = InvokeName(target.name, target.display, args, access);
      break;
    case Expr::Kind::Member: {
      Value obj = target.a ? EvalExpr(*target.a) : WithObject();
      if (!obj.is_object()) Throw(424);
      if (!obj.object()) Throw(91);
      Ref<Object> o = obj.object_ref();
      result = o->Member(*this, target.name, args, access, nullptr);
      break;
    }
    default: {
      Value holder = EvalExpr(target);
      if (!arg_exprs && access == Access::Get) return holder;
      result = InvokeValue(holder, args, access, nullptr);
      break;
    }
  }
  WriteBack(args);
  return result;
}

Value Interpreter::InvokeName(const std::string& name, const std::string& display,
                              std::vector<Arg>& args, Access access) {
  Frame& f = frame();
  if (!f.global) {
    auto it = f.vars.find(name);
    if (it != f.vars.end()) return InvokeValue(*it->second, args, access, nullptr);
  }
  if (ClassInstance* me = f.me.get()) {
    if (Value* v = me->Field(name, true)) return InvokeValue(*v, args, access, nullptr);
    if (me->FindMember(name, true)) return me->Member(*this, name, args, access, nullptr);
  }
  if (auto it = globals_.find(name); it != globals_.end()) {
    return InvokeValue(*it->second, args, access, nullptr);
  }
  if (auto it = procs_.find(name); it != procs_.end()) return CallProc(*it->second, nullptr, args);
  if (auto it = host_functions_.find(name); it != host_functions_.end()) {
    return it->second(*this, args);
  }
  if (const Value* c = FindConstant(name)) {
    if (!args.empty()) ThrowNamed(13, display);
    return *c;
  }
  if (const Builtin* b = FindBuiltin(name)) {
    if (args.size() < b->min_args || args.size() > b->max_args) ThrowNamed(450, display);
    return b->fn(*this, args);
  }
  if (!args.empty() || access == Access::Call) ThrowNamed(13, display);
  if (option_explicit_) ThrowNamed(500, display);
  return {};
}

Value Interpreter::CallProc(const Proc& proc, ClassInstance* me, std::vector<Arg>& args) {
  if (args.size() != proc.params.size()) ThrowNamed(450, proc.display);
  if (static_cast<int>(frames_.size()) + eval_depth_ > limits_.max_depth) Throw(28);
  Tick();
  auto f = std::make_unique<Frame>();
  f->proc = &proc;
  f->me = Ref<ClassInstance>(me);
  std::vector<Value*> params(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Param& p = proc.params[i];
    Arg& a = args[i];
    if (!p.by_val && a.ref) {
      params[i] = a.ref;
    } else {
      f->storage.push_back(a.missing ? Value() : a.value);
      params[i] = &f->storage.back();
    }
    f->vars[p.name] = params[i];
  }
  frames_.push_back(std::move(f));
  Finally pop{[this] { PopFrame(); }};
  ExecBlock(proc.body);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!proc.params[i].by_val && !args[i].ref && args[i].array_var) args[i].value = *params[i];
  }
  return std::move(frame().ret);
}

Ref<Object> Interpreter::NewInstance(const std::string& name) {
  auto it = classes_.find(name);
  if (it == classes_.end()) ThrowNamed(506, name);
  Ref<ClassInstance> instance(new ClassInstance(*this, *it->second));
  auto init = it->second->members.find("class_initialize");
  if (init != it->second->members.end() && init->second.sub) {
    std::vector<Arg> none;
    CallProc(*init->second.sub, instance.get(), none);
  }
  return instance;
}

// ---- Eval, Execute, GetRef, Rnd ----

Value Interpreter::Eval(std::string_view expression) {
  if (static_cast<int>(frames_.size()) + eval_depth_ >= limits_.max_depth) Throw(28);
  ++eval_depth_;
  Finally done{[this] { --eval_depth_; }};
  ExprPtr e = ParseExpression(expression);
  return EvalExpr(*e);
}

void Interpreter::Execute(std::string_view statements, bool global) {
  if (static_cast<int>(frames_.size()) + eval_depth_ >= limits_.max_depth) Throw(28);
  ++eval_depth_;
  Finally done{[this] { --eval_depth_; }};
  std::unique_ptr<Program> program = Parse(statements);
  Declare(*program);
  programs_.push_back(std::move(program));
  const Block& body = programs_.back()->body;
  if (!global || frame().global) {
    ExecBlock(body);
    return;
  }
  if (static_cast<int>(frames_.size()) > limits_.max_depth) Throw(28);
  auto f = std::make_unique<Frame>();
  f->global = true;
  frames_.push_back(std::move(f));
  Finally pop{[this] { PopFrame(); }};
  ExecBlock(body);
}

Ref<Object> Interpreter::GetRef(std::string_view name) {
  auto it = procs_.find(text::AsciiLower(name));
  if (it == procs_.end()) Throw(5);
  return Ref<Object>(new ProcRef(*it->second));
}

double Interpreter::RandomNext(double arg) {
  if (arg == 0) return rnd_last_;
  if (arg < 0) {
    float f = static_cast<float>(arg);
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    rnd_state_ = (bits + (bits >> 24)) & 0xFFFFFF;
  }
  rnd_state_ = (rnd_state_ * 0x43FD43FDu + 0xC39EC3u) & 0xFFFFFFu;
  rnd_last_ = static_cast<double>(rnd_state_) / 16777216.0;
  return rnd_last_;
}

void Interpreter::Randomize(std::optional<double> seed) {
  double s = seed ? *seed
                  : static_cast<double>(
                        std::chrono::steady_clock::now().time_since_epoch().count() % 1000003);
  float f = static_cast<float>(s);
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  bits = (bits & 0xFFFF) ^ (bits >> 16);
  rnd_state_ = (rnd_state_ & 0xFF00FFu) | ((bits & 0xFFFF) << 8);
  rnd_state_ &= 0xFFFFFF;
}

}  // namespace qz::vbs
