// Parses VBScript source into a syntax tree. Raises ScriptError with the
// language's compilation error numbers (1002 Syntax error, 1025 Expected end
// of statement, ...), and the line and column of the offending token.
// Nesting is bounded (kMaxNesting) so that no input exhausts the stack.
#pragma once

#include <memory>
#include <string_view>

#include "host/vbscript/ast.h"

namespace qz::vbs {

inline constexpr int kMaxNesting = 1000;
// The deepest expression tree, which the interpreter walks recursively.
inline constexpr int kMaxExpressionDepth = 256;

std::unique_ptr<Program> Parse(std::string_view source);
// One expression, as Eval reads it.
ExprPtr ParseExpression(std::string_view source);

}  // namespace qz::vbs
