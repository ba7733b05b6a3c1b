// Runs VBScript programs: a tree-walking interpreter over the syntax tree,
// with the language's scopes (global, procedure, class instance), by-reference
// arguments, On Error Resume Next, the Err object and script classes.
//
// Bounds: the budget (timeout and stop requests) is checked at every
// statement and loop turn, calls nest at most max_depth deep, arrays and
// objects count against the thread's item budget. A ScriptStop ends the run
// past any On Error; everything else arrives as ScriptError.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/vbscript/ast.h"
#include "host/vbscript/value.h"

namespace qz::vbs {

class ClassInstance;

// A native function: receives its arguments (by reference where the caller
// passed a variable) and answers its value.
using NativeFunction = std::function<Value(Interpreter&, std::vector<Arg>&)>;

struct Limits {
  // The deadline and other budgets: asked every 256 statements, loop turns
  // and calls.
  std::function<bool()> expired;
  // Set by the host to stop now (Response.End, shutdown): read at every
  // statement, loop turn and call.
  const std::atomic<bool>* stop = nullptr;
  int max_depth = 200;  // nested procedure calls
};

class Interpreter {
 public:
  explicit Interpreter(Limits limits);
  ~Interpreter();
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // Names the script sees before any of its own: host objects and functions.
  void AddObject(std::string_view name, Ref<Object> object);
  void AddFunction(std::string_view name, NativeFunction f);

  // Parses and runs a program at global level (raises ScriptError,
  // ScriptStop).
  void Run(std::string_view source);
  // Releases every global and breaks reference cycles between script
  // objects, running Class_Terminate where the budget still allows.
  void Shutdown();

  // ---- for the runtime library and host objects ----
  Ref<Object> WrapDispatch(ComPtr<IDispatch> object);
  // An object's default value (Get with no arguments); other values as
  // they are. Nothing raises Object variable not set (91).
  Value Simple(Value v);
  Value Eval(std::string_view expression);
  void Execute(std::string_view statements, bool global);
  Ref<Object> GetRef(std::string_view name);
  // The instance whose member is running, if any.
  ClassInstance* CurrentMe() const;
  Value Err();
  void SetError(const ScriptError& e);
  void ClearError();
  std::int32_t ErrNumber() const { return err_.number; }
  // For the Err object.
  ScriptError& ErrState() { return err_; }
  // Runs a procedure of a script class with Me bound (Class_Initialize,
  // members).
  Value CallProc(const struct Proc& proc, ClassInstance* me, std::vector<Arg>& args);
  bool CanTerminate() const { return !stopping_; }
  void Tick();
  double RandomNext(double arg);
  void Randomize(std::optional<double> seed);
  void RegisterInstance(ClassInstance* i) { instances_.insert(i); }
  void UnregisterInstance(ClassInstance* i) { instances_.erase(i); }

 private:
  friend class ClassInstance;
  struct Frame {
    std::unordered_map<std::string, Value*> vars;
    std::deque<Value> storage;
    Ref<ClassInstance> me;
    const Proc* proc = nullptr;
    Value ret;
    bool resume_next = false;
    std::deque<Value> with;
    bool global = false;
  };
  enum class Flow : std::uint8_t { Normal, ExitDo, ExitFor, ExitProc };

  Frame& frame() { return *frames_.back(); }
  void PopFrame();
  void Declare(const Program& program);
  Flow ExecBlock(const Block& block);
  Flow Exec(const Stmt& s);
  Flow ExecFor(const Stmt& s);
  Flow ExecForEach(const Stmt& s);
  Flow ExecSelect(const Stmt& s);
  void ExecDim(const Stmt& s);
  void ExecReDim(const Stmt& s);
  void Assign(const Expr& target, Value value, bool set);
  void AssignName(const std::string& name, Value value, bool set, int line, int column);

  Value EvalExpr(const Expr& e);
  Value EvalSimple(const Expr& e) { return Simple(EvalExpr(e)); }
  Value Invoke(const Expr& target, const std::vector<ExprPtr>* arg_exprs, Access access);
  Value InvokeName(const std::string& name, const std::string& display, std::vector<Arg>& args,
                   Access access);
  Value InvokeValue(Value& holder, std::vector<Arg>& args, Access access, const Value* assigned);
  std::vector<Arg> EvalArgs(const std::vector<ExprPtr>& exprs);
  void WriteBack(std::vector<Arg>& args);
  Value* FindVariable(const std::string& name);
  Value* Variable(const Expr& e, bool create);
  Value* Element(Value& array, const std::vector<std::int32_t>& index);
  void StoreInto(Value& holder, std::vector<Arg>& args, Value value, bool set);
  std::vector<std::int32_t> Subscripts(std::vector<Arg>& args);
  Value& WithObject();
  Ref<Object> NewInstance(const std::string& name);
  std::unique_ptr<ArrayData> MakeArray(const std::vector<ExprPtr>& bounds);

  Limits limits_;
  std::vector<std::unique_ptr<Program>> programs_;  // every tree run, kept for its procedures
  std::unordered_map<std::string, std::unique_ptr<Value>> globals_;
  std::unordered_set<std::string> constants_;
  std::unordered_map<std::string, const Proc*> procs_;
  std::unordered_map<std::string, const ClassDef*> classes_;
  std::unordered_map<std::string, NativeFunction> host_functions_;
  std::vector<std::unique_ptr<Frame>> frames_;
  std::unordered_set<ClassInstance*> instances_;
  bool option_explicit_ = false;
  bool stopping_ = false;
  std::uint32_t ticks_ = 0;
  int eval_depth_ = 0;  // Eval and Execute running inside one another
  ScriptError err_{0, "", ""};
  Ref<Object> err_object_;
  std::uint32_t rnd_state_ = 0x50000;
  double rnd_last_ = 0;
};

// An instance of a script class.
class ClassInstance final : public Object {
 public:
  ClassInstance(Interpreter& in, const ClassDef& cls);
  std::string TypeName() const override { return cls_.display; }
  Value Member(Interpreter& in, std::string_view name, std::vector<Arg>& args, Access access,
               const Value* assigned) override;
  const ClassDef& cls() const { return cls_; }
  Value* Field(const std::string& name, bool from_inside);
  const ClassMember* FindMember(const std::string& name, bool from_inside) const;
  void ClearFields();
  void Detach() { in_ = nullptr; }
  // Runs Class_Terminate (when it may) and deletes the object.
  void Finish();

 protected:
  ~ClassInstance() override;
  void LastRelease() override;

 private:
  Interpreter* in_;
  const ClassDef& cls_;
  std::unordered_map<std::string, Value> fields_;
  bool terminated_ = false;
};

// The value an argument list gives a native function at index i: Empty when
// omitted or absent.
const Value& ArgValue(const std::vector<Arg>& args, std::size_t i);
bool HasArg(const std::vector<Arg>& args, std::size_t i);

}  // namespace qz::vbs
