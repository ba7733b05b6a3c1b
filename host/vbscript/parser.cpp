#include "host/vbscript/parser.h"

#include <set>

#include "host/vbscript/conversions.h"
#include "host/vbscript/lexer.h"

namespace qz::vbs {
namespace {

using K = Token::Kind;

// Words that end an expression or a block and so never start an operand.
const std::set<std::string, std::less<>> kReserved = {
    "and",    "or",     "xor",     "eqv",      "imp",   "mod",      "is",     "then",  "else",
    "elseif", "end",    "to",      "step",     "next",  "loop",     "wend",   "until", "case",
    "each",   "in",     "dim",     "redim",    "set",   "if",       "select", "for",   "do",
    "while",  "exit",   "sub",     "function", "class", "property", "const",  "on",    "call",
    "with",   "public", "private", "byval",    "byref", "option",   "erase"};

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  std::unique_ptr<Program> ParseProgram() {
    program_ = std::make_unique<Program>();
    ParseBlock(program_->body, {}, true);
    if (!At(K::End)) Fail(1024);
    return std::move(program_);
  }

  ExprPtr ParseSingleExpression() {
    SkipNewlines();
    ExprPtr e = ParseExpr();
    SkipNewlines();
    if (!At(K::End)) Fail(1025);
    return e;
  }

 private:
  // ---- tokens ----
  const Token& Cur() const { return t_[pos_]; }
  const Token& Peek(std::size_t n = 1) const { return t_[std::min(pos_ + n, t_.size() - 1)]; }
  bool At(K k) const { return Cur().kind == k; }
  bool AtWord(std::string_view w) const { return Cur().kind == K::Ident && Cur().lower == w; }
  bool PeekWord(std::size_t n, std::string_view w) const {
    return Peek(n).kind == K::Ident && Peek(n).lower == w;
  }
  bool AtSym(std::string_view s) const { return Cur().kind == K::Symbol && Cur().text == s; }
  bool AtLineEnd() const { return At(K::End) || (At(K::Newline) && Cur().text != ":"); }
  bool AtStatementEnd() const {
    return At(K::End) || At(K::Newline) || (single_line_ && AtWord("else"));
  }
  void Next() {
    if (pos_ + 1 < t_.size()) ++pos_;
  }
  [[noreturn]] void Fail(int number) const {
    ScriptError e(number, {}, "VBScript compilation error");
    e.line = Cur().line;
    e.column = Cur().column;
    throw e;
  }
  void ExpectWord(std::string_view w, int number) {
    if (!AtWord(w)) Fail(number);
    Next();
  }
  void ExpectSym(std::string_view s, int number) {
    if (!AtSym(s)) Fail(number);
    Next();
  }
  const Token& ExpectIdent() {
    if (!At(K::Ident) || kReserved.count(Cur().lower)) Fail(1010);
    const Token& t = Cur();
    Next();
    return t;
  }
  void SkipNewlines() {
    while (At(K::Newline)) Next();
  }
  void EndStatement() {
    if (single_line_) {
      if (AtStatementEnd()) return;
      Fail(1025);
    }
    if (At(K::End)) return;
    if (!At(K::Newline)) Fail(1025);
  }

  struct Depth {
    explicit Depth(Parser& p) : p_(p) {
      if (++p_.depth_ > kMaxNesting) p_.Fail(1001);
    }
    ~Depth() { --p_.depth_; }
    Parser& p_;
  };

  template <class T>
  std::unique_ptr<T> Node(typename T::Kind kind) {
    auto n = std::make_unique<T>();
    n->kind = kind;
    n->line = Cur().line;
    n->column = Cur().column;
    return n;
  }

  // ---- blocks ----
  bool AtTerminator(const std::vector<std::string_view>& words) const {
    if (!At(K::Ident)) return false;
    for (std::string_view w : words) {
      if (Cur().lower == w) return true;
    }
    return false;
  }

  void ParseBlock(Block& block, const std::vector<std::string_view>& until, bool top) {
    Depth d(*this);
    while (true) {
      SkipNewlines();
      if (At(K::End) || AtTerminator(until)) return;
      ParseStatement(block, top);
      EndStatement();
    }
  }

  // ---- statements ----
  void ParseStatement(Block& block, bool top) {
    if (!At(K::Ident) && !AtSym(".")) Fail(1024);
    std::string w = At(K::Ident) ? Cur().lower : "";
    if (w == "dim") {
      auto s = Node<Stmt>(Stmt::Kind::Dim);
      Next();
      ParseDimItems(s->items, true);
      block.push_back(std::move(s));
    } else if (w == "redim") {
      auto s = Node<Stmt>(Stmt::Kind::ReDim);
      Next();
      if (AtWord("preserve")) {
        s->preserve = true;
        Next();
      }
      ParseDimItems(s->items, false);
      block.push_back(std::move(s));
    } else if (w == "const") {
      Next();
      block.push_back(ParseConst());
    } else if (w == "erase") {
      auto s = Node<Stmt>(Stmt::Kind::Erase);
      Next();
      do {
        const Token& id = ExpectIdent();
        s->items.push_back(DimItem{id.lower, id.text, false, {}});
      } while (AtSym(",") && (Next(), true));
      block.push_back(std::move(s));
    } else if (w == "set") {
      auto s = Node<Stmt>(Stmt::Kind::Assign);
      s->set = true;
      Next();
      s->target = ParseTarget();
      ExpectSym("=", 1011);
      s->a = ParseExpr();
      block.push_back(std::move(s));
    } else if (w == "call") {
      auto s = Node<Stmt>(Stmt::Kind::Call);
      Next();
      s->target = ParseTarget();
      block.push_back(std::move(s));
    } else if (w == "if") {
      block.push_back(ParseIf());
    } else if (w == "select") {
      block.push_back(ParseSelect());
    } else if (w == "for") {
      block.push_back(ParseFor());
    } else if (w == "do") {
      block.push_back(ParseDo());
    } else if (w == "while") {
      auto s = Node<Stmt>(Stmt::Kind::While);
      Next();
      s->a = ParseExpr();
      EndStatement();
      ParseBlock(s->body, {"wend"}, false);
      ExpectWord("wend", 1018);
      block.push_back(std::move(s));
    } else if (w == "exit") {
      auto s = Node<Stmt>(Stmt::Kind::Exit);
      Next();
      std::string what = At(K::Ident) ? Cur().lower : "";
      if (what == "do")
        s->exit_kind = Stmt::ExitKind::Do;
      else if (what == "for")
        s->exit_kind = Stmt::ExitKind::For;
      else if (what == "sub")
        s->exit_kind = Stmt::ExitKind::Sub;
      else if (what == "function")
        s->exit_kind = Stmt::ExitKind::Function;
      else if (what == "property")
        s->exit_kind = Stmt::ExitKind::Property;
      else
        Fail(1039);
      Next();
      block.push_back(std::move(s));
    } else if (w == "on") {
      auto s = Node<Stmt>(Stmt::Kind::OnError);
      Next();
      ExpectWord("error", 1002);
      if (AtWord("resume")) {
        Next();
        ExpectWord("next", 1002);
        s->resume_next = true;
      } else {
        ExpectWord("goto", 1002);
        if (!At(K::Number) || ToDouble(Cur().value) != 0) Fail(1002);
        Next();
      }
      block.push_back(std::move(s));
    } else if (w == "with") {
      auto s = Node<Stmt>(Stmt::Kind::With);
      Next();
      s->a = ParseExpr();
      EndStatement();
      ParseBlock(s->body, {"end"}, false);
      ExpectEndOf("with", 1029);
      block.push_back(std::move(s));
    } else if (w == "option") {
      Next();
      ExpectWord("explicit", 1002);
      program_->option_explicit = true;
    } else if (w == "stop") {
      Next();
    } else if (w == "sub" || w == "function" || w == "class" || w == "public" || w == "private") {
      if (!top || single_line_) Fail(1024);
      ParseTopDeclaration(block);
    } else if (w == "randomize") {
      auto s = Node<Stmt>(Stmt::Kind::Call);
      auto target = Node<Expr>(Expr::Kind::Call);
      auto name = Node<Expr>(Expr::Kind::Ident);
      name->name = "randomize";
      name->display = Cur().text;
      Next();
      target->a = std::move(name);
      if (!AtStatementEnd()) target->args.push_back(ParseExpr());
      s->target = std::move(target);
      block.push_back(std::move(s));
    } else if (!w.empty() && w != "me" && kReserved.count(w)) {
      Fail(1024);
    } else {
      block.push_back(ParseAssignOrCall());
    }
  }

  void ExpectEndOf(std::string_view what, int number) {
    if (!AtWord("end") || !PeekWord(1, what)) Fail(number);
    Next();
    Next();
  }

  void ParseDimItems(std::vector<DimItem>& items, bool constant_bounds) {
    (void)constant_bounds;
    do {
      const Token& id = ExpectIdent();
      DimItem item{id.lower, id.text, false, {}};
      if (AtSym("(")) {
        Next();
        item.array = true;
        if (!AtSym(")")) {
          do {
            item.bounds.push_back(ParseExpr());
          } while (AtSym(",") && (Next(), true));
        }
        ExpectSym(")", 1006);
        if (item.bounds.size() > ArrayData::kMaxDimensions) Fail(1002);
      }
      items.push_back(std::move(item));
    } while (AtSym(",") && (Next(), true));
  }

  StmtPtr ParseConst() {
    auto s = Node<Stmt>(Stmt::Kind::Const);
    do {
      const Token& id = ExpectIdent();
      DimItem item{id.lower, id.text, false, {}};
      ExpectSym("=", 1011);
      item.bounds.push_back(ParseExpr());
      s->items.push_back(std::move(item));
    } while (AtSym(",") && (Next(), true));
    return s;
  }

  StmtPtr ParseIf() {
    auto s = Node<Stmt>(Stmt::Kind::If);
    Next();
    s->conditions.push_back(ParseExpr());
    ExpectWord("then", 1017);
    if (!At(K::Newline) && !At(K::End)) {
      // The one-line form: statements up to the line end, an optional Else.
      bool outer = single_line_;
      single_line_ = true;
      s->blocks.emplace_back();
      ParseLineStatements(s->blocks.back());
      if (AtWord("else")) {
        Next();
        s->has_else = true;
        ParseLineStatements(s->else_block);
      }
      if (AtWord("end") && PeekWord(1, "if")) {
        Next();
        Next();
      }
      single_line_ = outer;
      return s;
    }
    if (single_line_) Fail(1002);
    s->blocks.emplace_back();
    ParseBlock(s->blocks.back(), {"elseif", "else", "end"}, false);
    while (true) {
      if (AtWord("elseif")) {
        Next();
        s->conditions.push_back(ParseExpr());
        ExpectWord("then", 1017);
        s->blocks.emplace_back();
        ParseBlock(s->blocks.back(), {"elseif", "else", "end"}, false);
      } else if (AtWord("else")) {
        Next();
        s->has_else = true;
        ParseBlock(s->else_block, {"end"}, false);
        ExpectEndOf("if", 1012);
        return s;
      } else {
        ExpectEndOf("if", 1012);
        return s;
      }
    }
  }

  void ParseLineStatements(Block& block) {
    Depth d(*this);
    while (true) {
      while (At(K::Newline) && Cur().text == ":") Next();
      if (AtLineEnd() || AtWord("else")) return;
      ParseStatement(block, false);
      if (AtLineEnd() || AtWord("else")) return;
      if (!(At(K::Newline) && Cur().text == ":")) Fail(1025);
    }
  }

  StmtPtr ParseSelect() {
    auto s = Node<Stmt>(Stmt::Kind::Select);
    Next();
    ExpectWord("case", 1021);
    s->a = ParseExpr();
    EndStatement();
    SkipNewlines();
    while (AtWord("case")) {
      Next();
      if (AtWord("else")) {
        Next();
        s->has_else = true;
        ParseBlock(s->else_block, {"end"}, false);
        break;
      }
      CaseClause clause;
      do {
        CaseTest test;
        if (AtWord("is")) {
          Next();
          test.kind = CaseTest::Kind::Is;
          test.op = ComparisonOp();
          test.a = ParseConcat();
        } else {
          test.a = ParseExpr();
          if (AtWord("to")) {
            Next();
            test.kind = CaseTest::Kind::Range;
            test.b = ParseExpr();
          }
        }
        clause.tests.push_back(std::move(test));
      } while (AtSym(",") && (Next(), true));
      ParseBlock(clause.body, {"case", "end"}, false);
      s->cases.push_back(std::move(clause));
    }
    ExpectEndOf("select", 1022);
    return s;
  }

  Op ComparisonOp() {
    static const std::pair<std::string_view, Op> ops[] = {{"=", Op::Eq},  {"<>", Op::Ne},
                                                          {"<", Op::Lt},  {">", Op::Gt},
                                                          {"<=", Op::Le}, {">=", Op::Ge}};
    for (auto [text, op] : ops) {
      if (AtSym(text)) {
        Next();
        return op;
      }
    }
    Fail(1002);
  }

  StmtPtr ParseFor() {
    Next();
    if (AtWord("each")) {
      auto s = Node<Stmt>(Stmt::Kind::ForEach);
      Next();
      const Token& id = ExpectIdent();
      s->name = id.lower;
      s->display = id.text;
      ExpectWord("in", 1046);
      s->a = ParseExpr();
      EndStatement();
      ParseBlock(s->body, {"next"}, false);
      ExpectWord("next", 1020);
      if (At(K::Ident) && !kReserved.count(Cur().lower)) Next();
      return s;
    }
    auto s = Node<Stmt>(Stmt::Kind::For);
    const Token& id = ExpectIdent();
    s->name = id.lower;
    s->display = id.text;
    ExpectSym("=", 1011);
    s->a = ParseExpr();
    ExpectWord("to", 1013);
    s->b = ParseExpr();
    if (AtWord("step")) {
      Next();
      s->c = ParseExpr();
    }
    EndStatement();
    ParseBlock(s->body, {"next"}, false);
    ExpectWord("next", 1020);
    if (At(K::Ident) && !kReserved.count(Cur().lower)) Next();
    return s;
  }

  StmtPtr ParseDo() {
    auto s = Node<Stmt>(Stmt::Kind::Do);
    Next();
    if (AtWord("while") || AtWord("until")) {
      s->test_first = true;
      s->until = AtWord("until");
      Next();
      s->a = ParseExpr();
    }
    EndStatement();
    ParseBlock(s->body, {"loop"}, false);
    ExpectWord("loop", 1019);
    if (AtWord("while") || AtWord("until")) {
      if (s->a) Fail(1025);
      s->until = AtWord("until");
      Next();
      s->a = ParseExpr();
    }
    return s;
  }

  // Sub, Function, Class and their Public/Private forms; a Public or
  // Private variable outside a class is a Dim.
  void ParseTopDeclaration(Block& block) {
    bool is_public = true;
    bool is_default = false;
    if (AtWord("public") || AtWord("private")) {
      is_public = AtWord("public");
      Next();
      if (AtWord("default")) {
        Next();
        is_default = true;
      }
    }
    if (AtWord("sub") || AtWord("function")) {
      if (is_default) Fail(1048);
      program_->procs.push_back(ParseProc(is_public, false));
      return;
    }
    if (AtWord("class")) {
      if (is_default) Fail(1002);
      ParseClass();
      return;
    }
    if (AtWord("const")) {
      Next();
      block.push_back(ParseConst());
      return;
    }
    auto s = Node<Stmt>(Stmt::Kind::Dim);
    ParseDimItems(s->items, true);
    block.push_back(std::move(s));
  }

  std::unique_ptr<Proc> ParseProc(bool is_public, bool in_class) {
    auto p = std::make_unique<Proc>();
    p->is_public = is_public;
    p->line = Cur().line;
    std::string end_word;
    if (AtWord("sub")) {
      p->kind = Proc::Kind::Sub;
      end_word = "sub";
    } else if (AtWord("function")) {
      p->kind = Proc::Kind::Function;
      end_word = "function";
    } else {
      if (!in_class) Fail(1048);
      Next();
      end_word = "property";
      if (AtWord("get"))
        p->kind = Proc::Kind::PropertyGet;
      else if (AtWord("let"))
        p->kind = Proc::Kind::PropertyLet;
      else if (AtWord("set"))
        p->kind = Proc::Kind::PropertySet;
      else
        Fail(1049);
    }
    Next();
    const Token& id = ExpectIdent();
    p->name = id.lower;
    p->display = id.text;
    if (AtSym("(")) {
      Next();
      if (!AtSym(")")) {
        do {
          Param param;
          if (AtWord("byval")) {
            param.by_val = true;
            Next();
          } else if (AtWord("byref")) {
            Next();
          }
          const Token& pid = ExpectIdent();
          param.name = pid.lower;
          param.display = pid.text;
          if (AtSym("(")) {
            Next();
            ExpectSym(")", 1006);
            param.array = true;
          }
          p->params.push_back(std::move(param));
        } while (AtSym(",") && (Next(), true));
      }
      ExpectSym(")", 1006);
    }
    if ((p->kind == Proc::Kind::PropertyLet || p->kind == Proc::Kind::PropertySet) &&
        p->params.empty())
      Fail(1054);
    EndStatement();
    ParseBlock(p->body, {"end"}, false);
    ExpectEndOf(end_word, end_word == "sub" ? 1016 : end_word == "function" ? 1015 : 1050);
    return p;
  }

  void ParseClass() {
    Next();
    auto c = std::make_unique<ClassDef>();
    const Token& id = ExpectIdent();
    c->name = id.lower;
    c->display = id.text;
    EndStatement();
    while (true) {
      SkipNewlines();
      if (AtWord("end")) break;
      if (At(K::End)) Fail(1047);
      bool is_public = true;
      bool is_default = false;
      bool declared = false;
      if (AtWord("public") || AtWord("private")) {
        is_public = AtWord("public");
        declared = true;
        Next();
        if (AtWord("default")) {
          if (!is_public) Fail(1057);
          is_default = true;
          Next();
        }
      } else if (AtWord("dim")) {
        declared = true;
        Next();
        ParseFields(*c, true);
        EndStatement();
        continue;
      }
      if (AtWord("sub") || AtWord("function") || AtWord("property")) {
        std::unique_ptr<Proc> p = ParseProc(is_public, true);
        p->is_default = is_default;
        if (is_default && p->kind != Proc::Kind::PropertyGet && p->kind != Proc::Kind::Function &&
            p->kind != Proc::Kind::Sub)
          Fail(1058);
        ClassMember& m = c->members[p->name];
        const Proc** slot = nullptr;
        switch (p->kind) {
          case Proc::Kind::Sub:
            slot = &m.sub;
            break;
          case Proc::Kind::Function:
          case Proc::Kind::PropertyGet:
            slot = &m.get;
            break;
          case Proc::Kind::PropertyLet:
            slot = &m.let;
            break;
          case Proc::Kind::PropertySet:
            slot = &m.set;
            break;
        }
        if (*slot != nullptr || (p->kind == Proc::Kind::Sub && m.get) ||
            ((p->kind == Proc::Kind::Function || p->kind == Proc::Kind::PropertyGet) && m.sub))
          Fail(1041);
        if (is_default) {
          if (!c->default_member.empty() && c->default_member != p->name) Fail(1052);
          c->default_member = p->name;
        }
        if ((p->name == "class_initialize" || p->name == "class_terminate") && !p->params.empty())
          Fail(1053);
        *slot = p.get();
        c->procs.push_back(std::move(p));
      } else if (declared && !is_default) {
        ParseFields(*c, is_public);
      } else {
        Fail(1024);
      }
      EndStatement();
    }
    ExpectEndOf("class", 1047);
    for (const auto& existing : program_->classes) {
      if (existing->name == c->name) Fail(1041);
    }
    program_->classes.push_back(std::move(c));
  }

  void ParseFields(ClassDef& c, bool is_public) {
    std::vector<DimItem> items;
    ParseDimItems(items, true);
    for (DimItem& item : items) {
      ClassDef::Field f;
      f.name = item.name;
      f.display = item.display;
      f.is_public = is_public;
      f.array = item.array;
      f.bounds = std::move(item.bounds);
      c.fields.push_back(std::move(f));
    }
  }

  // target [= value] | target args
  StmtPtr ParseAssignOrCall() {
    int line = Cur().line, column = Cur().column;
    ExprPtr target = ParseTarget();
    if (AtSym("=")) {
      Next();
      auto s = std::make_unique<Stmt>();
      s->kind = Stmt::Kind::Assign;
      s->line = line;
      s->column = column;
      s->target = std::move(target);
      s->a = ParseExpr();
      return s;
    }
    auto s = std::make_unique<Stmt>();
    s->kind = Stmt::Kind::Call;
    s->line = line;
    s->column = column;
    if (!AtStatementEnd()) {
      // Arguments without parentheses. "f(a), b" had its first argument
      // taken as call parentheses: they were the first argument's own.
      std::vector<ExprPtr> args;
      if (target->kind == Expr::Kind::Call && AtSym(",")) {
        ExprPtr inner = std::move(target->a);
        for (auto& a : target->args) {
          if (a) a->paren = true;
          args.push_back(std::move(a));
        }
        target = std::move(inner);
        Next();
      }
      ParseArgList(args);
      auto call = std::make_unique<Expr>();
      call->kind = Expr::Kind::Call;
      call->line = line;
      call->column = column;
      call->a = std::move(target);
      call->args = std::move(args);
      Deepen(*call);
      target = std::move(call);
    }
    s->target = std::move(target);
    return s;
  }

  void ParseArgList(std::vector<ExprPtr>& args) {
    while (true) {
      if (AtSym(",")) {
        args.push_back(nullptr);
        Next();
        continue;
      }
      args.push_back(ParseExpr());
      if (!AtSym(",")) break;
      Next();
      if (AtStatementEnd()) args.push_back(nullptr);
    }
  }

  // A name, a member chain and call parentheses written against the name
  // (a space before "(" makes it an argument instead).
  ExprPtr ParseTarget() {
    Depth d(*this);
    ExprPtr e;
    if (AtSym(".")) {
      e = ParseMember(nullptr);
    } else if (AtWord("me")) {
      e = Node<Expr>(Expr::Kind::Me);
      Next();
    } else {
      e = Node<Expr>(Expr::Kind::Ident);
      const Token& id = ExpectIdent();
      e->name = id.lower;
      e->display = id.text;
    }
    while (true) {
      if (AtSym(".") && !Cur().space_before) {
        e = ParseMember(std::move(e));
      } else if (AtSym("(") && (!Cur().space_before || ParenHoldsList())) {
        e = ParseCallParens(std::move(e));
      } else {
        return e;
      }
    }
  }

  // Whether the parentheses at the cursor hold a comma at their own level
  // ("f (a, b)" is a call, "f (a) + 1" an argument).
  bool ParenHoldsList() const {
    int level = 0;
    for (std::size_t i = pos_; i < t_.size(); ++i) {
      const Token& t = t_[i];
      if (t.kind == K::End || t.kind == K::Newline) return false;
      if (t.kind != K::Symbol) continue;
      if (t.text == "(") {
        ++level;
      } else if (t.text == ")") {
        if (--level == 0) return false;
      } else if (t.text == "," && level == 1) {
        return true;
      }
    }
    return false;
  }

  const Token& ExpectMemberName() {
    if (!At(K::Ident)) Fail(1010);
    const Token& t = Cur();
    Next();
    return t;
  }

  // ".name" at the current dot, on base; a null base is the With block's
  // object. The node takes the dot's position.
  ExprPtr ParseMember(ExprPtr base) {
    auto m = Node<Expr>(Expr::Kind::Member);
    Next();  // .
    const Token& id = ExpectMemberName();
    m->name = id.lower;
    m->display = id.text;
    m->a = std::move(base);
    Deepen(*m);
    return m;
  }

  ExprPtr ParseCallParens(ExprPtr target) {
    auto call = Node<Expr>(Expr::Kind::Call);
    call->line = target->line;
    call->column = target->column;
    Next();  // (
    if (!AtSym(")")) {
      while (true) {
        if (AtSym(",")) {
          call->args.push_back(nullptr);
          Next();
          continue;
        }
        if (AtSym(")")) {
          call->args.push_back(nullptr);
          break;
        }
        call->args.push_back(ParseExpr());
        if (!AtSym(",")) break;
        Next();
        if (AtSym(")")) call->args.push_back(nullptr);
      }
    }
    ExpectSym(")", 1006);
    call->a = std::move(target);
    Deepen(*call);
    return call;
  }

  // Records a node's depth from its children's; too deep is an error.
  void Deepen(Expr& e) {
    int d = 0;
    if (e.a) d = std::max(d, e.a->depth);
    if (e.b) d = std::max(d, e.b->depth);
    for (const ExprPtr& arg : e.args) {
      if (arg) d = std::max(d, arg->depth);
    }
    e.depth = d + 1;
    if (e.depth > kMaxExpressionDepth) Fail(1001);
  }

  // ---- expressions, lowest precedence first ----
  ExprPtr Binary(Op op, ExprPtr a, ExprPtr b, int line, int column) {
    auto e = std::make_unique<Expr>();
    e->kind = Expr::Kind::Binary;
    e->op = op;
    e->line = line;
    e->column = column;
    e->a = std::move(a);
    e->b = std::move(b);
    Deepen(*e);
    return e;
  }

  template <class Next>
  ExprPtr LeftAssoc(Next next, std::initializer_list<std::pair<std::string_view, Op>> ops,
                    bool words) {
    Depth d(*this);
    ExprPtr e = (this->*next)();
    while (true) {
      bool matched = false;
      for (auto [text, op] : ops) {
        if (words ? AtWord(text) : AtSym(text)) {
          int line = Cur().line, column = Cur().column;
          Parser::Next();
          ExprPtr rhs = (this->*next)();
          e = Binary(op, std::move(e), std::move(rhs), line, column);
          matched = true;
          break;
        }
      }
      if (!matched) return e;
    }
  }

 public:
  ExprPtr ParseExpr() { return LeftAssoc(&Parser::ParseEqv, {{"imp", Op::Imp}}, true); }

 private:
  ExprPtr ParseEqv() { return LeftAssoc(&Parser::ParseXor, {{"eqv", Op::Eqv}}, true); }
  ExprPtr ParseXor() { return LeftAssoc(&Parser::ParseOr, {{"xor", Op::Xor}}, true); }
  ExprPtr ParseOr() { return LeftAssoc(&Parser::ParseAnd, {{"or", Op::Or}}, true); }
  ExprPtr ParseAnd() { return LeftAssoc(&Parser::ParseNot, {{"and", Op::And}}, true); }
  ExprPtr ParseNot() {
    Depth d(*this);
    if (AtWord("not")) {
      auto e = Node<Expr>(Expr::Kind::Unary);
      e->op = Op::Not;
      Next();
      e->a = ParseNot();
      Deepen(*e);
      return e;
    }
    return ParseCompare();
  }
  ExprPtr ParseCompare() {
    Depth d(*this);
    ExprPtr e = ParseConcat();
    while (true) {
      static const std::pair<std::string_view, Op> ops[] = {{"=", Op::Eq},  {"<>", Op::Ne},
                                                            {"<=", Op::Le}, {">=", Op::Ge},
                                                            {"<", Op::Lt},  {">", Op::Gt}};
      int line = Cur().line, column = Cur().column;
      Op op;
      bool found = false;
      for (auto [text, o] : ops) {
        if (AtSym(text)) {
          op = o;
          found = true;
          break;
        }
      }
      if (!found && AtWord("is")) {
        op = Op::Is;
        found = true;
      }
      if (!found) return e;
      Next();
      e = Binary(op, std::move(e), ParseConcat(), line, column);
    }
  }
  ExprPtr ParseConcat() { return LeftAssoc(&Parser::ParseAdd, {{"&", Op::Concat}}, false); }
  ExprPtr ParseAdd() {
    return LeftAssoc(&Parser::ParseMod, {{"+", Op::Add}, {"-", Op::Sub}}, false);
  }
  ExprPtr ParseMod() { return LeftAssoc(&Parser::ParseIntDiv, {{"mod", Op::Mod}}, true); }
  ExprPtr ParseIntDiv() { return LeftAssoc(&Parser::ParseMul, {{"\\", Op::IntDiv}}, false); }
  ExprPtr ParseMul() {
    return LeftAssoc(&Parser::ParseUnary, {{"*", Op::Mul}, {"/", Op::Div}}, false);
  }
  ExprPtr ParseUnary() {
    Depth d(*this);
    if (AtSym("-") || AtSym("+")) {
      bool neg = AtSym("-");
      auto e = Node<Expr>(Expr::Kind::Unary);
      Next();
      ExprPtr operand = ParseUnary();
      if (!neg) return operand;
      e->op = Op::Neg;
      e->a = std::move(operand);
      Deepen(*e);
      return e;
    }
    return ParsePow();
  }
  ExprPtr ParsePow() {
    Depth d(*this);
    ExprPtr e = ParsePostfix();
    while (AtSym("^")) {
      int line = Cur().line, column = Cur().column;
      Next();
      ExprPtr rhs;
      if (AtSym("-") || AtSym("+")) {
        bool neg = AtSym("-");
        auto u = Node<Expr>(Expr::Kind::Unary);
        Next();
        ExprPtr operand = ParsePostfix();
        if (neg) {
          u->op = Op::Neg;
          u->a = std::move(operand);
          Deepen(*u);
          rhs = std::move(u);
        } else {
          rhs = std::move(operand);
        }
      } else {
        rhs = ParsePostfix();
      }
      e = Binary(Op::Pow, std::move(e), std::move(rhs), line, column);
    }
    return e;
  }
  ExprPtr ParsePostfix() {
    Depth d(*this);
    ExprPtr e = ParsePrimary();
    bool chain = e->kind == Expr::Kind::Ident || e->kind == Expr::Kind::Member ||
                 e->kind == Expr::Kind::Me || e->kind == Expr::Kind::Call ||
                 (e->kind == Expr::Kind::Literal && e->paren) || e->kind == Expr::Kind::New;
    while (chain) {
      if (AtSym(".") && !Cur().space_before) {
        e = ParseMember(std::move(e));
      } else if (AtSym("(") && e->kind != Expr::Kind::New) {
        e = ParseCallParens(std::move(e));
      } else {
        break;
      }
    }
    return e;
  }
  ExprPtr ParsePrimary() {
    Depth d(*this);
    const Token& t = Cur();
    switch (t.kind) {
      case K::Number:
      case K::String:
      case K::Date: {
        auto e = Node<Expr>(Expr::Kind::Literal);
        e->literal = t.value;
        e->numeric_literal = t.kind == K::Number;
        Next();
        return e;
      }
      case K::Symbol:
        if (t.text == "(") {
          Next();
          ExprPtr e = ParseExpr();
          ExpectSym(")", 1006);
          e->paren = true;
          e->numeric_literal = false;
          return e;
        }
        if (t.text == ".") return ParseMember(nullptr);
        Fail(1023);
      case K::Ident: {
        const std::string& w = t.lower;
        auto literal = [&](Value v) {
          auto e = Node<Expr>(Expr::Kind::Literal);
          e->literal = std::move(v);
          Next();
          return e;
        };
        if (w == "true") return literal(Value::Bool(true));
        if (w == "false") return literal(Value::Bool(false));
        if (w == "empty") return literal(Value());
        if (w == "null") return literal(Value::Null());
        if (w == "nothing") return literal(Value::Nothing());
        if (w == "me") {
          auto e = Node<Expr>(Expr::Kind::Me);
          Next();
          return e;
        }
        if (w == "new") {
          auto e = Node<Expr>(Expr::Kind::New);
          Next();
          const Token& id = ExpectIdent();
          e->name = id.lower;
          e->display = id.text;
          return e;
        }
        if (kReserved.count(w)) Fail(1023);
        auto e = Node<Expr>(Expr::Kind::Ident);
        e->name = w;
        e->display = t.text;
        Next();
        return e;
      }
      default:
        Fail(1023);
    }
  }

  std::vector<Token> t_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  bool single_line_ = false;
  std::unique_ptr<Program> program_;
};

}  // namespace

std::unique_ptr<Program> Parse(std::string_view source) {
  return Parser(Lex(source)).ParseProgram();
}

ExprPtr ParseExpression(std::string_view source) {
  return Parser(Lex(source)).ParseSingleExpression();
}

}  // namespace qz::vbs
