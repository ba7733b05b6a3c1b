// The syntax tree of a VBScript program. Names are kept in lower case (the
// language ignores letter case) beside the spelling the script used.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/vbscript/value.h"

namespace qz::vbs {

enum class Op : std::uint8_t {
  Pow,
  Neg,
  Mul,
  Div,
  IntDiv,
  Mod,
  Add,
  Sub,
  Concat,
  Eq,
  Ne,
  Lt,
  Gt,
  Le,
  Ge,
  Is,
  Not,
  And,
  Or,
  Xor,
  Eqv,
  Imp,
};

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct Expr {
  enum class Kind : std::uint8_t {
    Literal,  // literal
    Ident,    // name
    Member,   // object.name; object null inside With: .name
    Call,     // target(args): call, index or default member
    Unary,    // op a
    Binary,   // a op b
    New,      // New name
    Me,
  };
  Kind kind;
  int line = 0, column = 0;
  int depth = 1;  // of the tree below and including this node
  Op op = Op::Add;
  bool paren = false;            // written in parentheses: passed by value
  bool numeric_literal = false;  // a number written as a literal
  Value literal;
  std::string name, display;
  ExprPtr a, b;
  std::vector<ExprPtr> args;  // a null entry is an omitted argument
};

struct Stmt;
using StmtPtr = std::unique_ptr<Stmt>;
using Block = std::vector<StmtPtr>;

struct DimItem {
  std::string name, display;
  bool array = false;           // declared with parentheses
  std::vector<ExprPtr> bounds;  // upper bounds; empty for a dynamic array
};

struct CaseTest {
  enum class Kind : std::uint8_t { Value, Range, Is } kind = Kind::Value;
  Op op = Op::Eq;
  ExprPtr a, b;
};

struct CaseClause {
  std::vector<CaseTest> tests;
  Block body;
};

struct Stmt {
  enum class Kind : std::uint8_t {
    Assign,   // target = value (Set when set)
    Call,     // expr as a statement
    Dim,      // items
    ReDim,    // items, preserve
    Const,    // items with a value in bounds[0]
    Erase,    // items
    If,       // conditions[i] with blocks[i]; else_block
    Select,   // value, cases, else_block (has_else)
    For,      // name, a from, b to, c step, body
    ForEach,  // name, a collection, body
    Do,       // a condition (may be null), test_first, until, body
    While,    // a condition, body
    Exit,     // exit_kind
    OnError,  // resume_next
    With,     // a object, body
  };
  enum class ExitKind : std::uint8_t { Do, For, Sub, Function, Property };
  Kind kind;
  int line = 0, column = 0;
  bool set = false, preserve = false, has_else = false, test_first = false, until = false,
       resume_next = false;
  ExitKind exit_kind = ExitKind::Do;
  std::string name, display;
  ExprPtr target, a, b, c;
  std::vector<DimItem> items;
  std::vector<ExprPtr> conditions;
  std::vector<Block> blocks;
  Block body, else_block;
  std::vector<CaseClause> cases;
};

struct Param {
  std::string name, display;
  bool by_val = false;
  bool array = false;
};

struct Proc {
  enum class Kind : std::uint8_t { Sub, Function, PropertyGet, PropertyLet, PropertySet };
  Kind kind = Kind::Sub;
  std::string name, display;
  std::vector<Param> params;
  Block body;
  bool is_public = true;
  bool is_default = false;
  int line = 0;
};

struct ClassMember {
  const Proc* get = nullptr;  // Function or Property Get
  const Proc* let = nullptr;
  const Proc* set = nullptr;
  const Proc* sub = nullptr;
};

struct ClassDef {
  std::string name, display;
  struct Field {
    std::string name, display;
    bool is_public = true;
    bool array = false;
    std::vector<ExprPtr> bounds;
  };
  std::vector<Field> fields;
  std::map<std::string, ClassMember> members;
  std::vector<std::unique_ptr<Proc>> procs;
  std::string default_member;  // lower case; empty when none
};

struct Program {
  Block body;
  std::vector<std::unique_ptr<Proc>> procs;
  std::vector<std::unique_ptr<ClassDef>> classes;
  bool option_explicit = false;
};

}  // namespace qz::vbs
