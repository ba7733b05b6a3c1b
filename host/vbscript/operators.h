// The language's operators on simple values (objects already reduced to
// their default values): arithmetic with the Variant widening rules (Byte,
// Integer, Long, Single, Double; an integer result that overflows its type
// widens to the next), dates and currency, concatenation, comparison, and the
// logical operators (bitwise on integers, with Null propagation).
#pragma once

#include <optional>

#include "host/vbscript/ast.h"
#include "host/vbscript/value.h"

namespace qz::vbs {

// literal_a / literal_b: the operand is a number written as a literal, which
// compares with text by converting the text (a variable holding a number is
// always less than one holding text).
Value BinaryOp(Op op, const Value& a, const Value& b, bool literal_a = false,
               bool literal_b = false);
Value UnaryOp(Op op, const Value& a);
// -1, 0 or 1; nothing when either side is Null.
std::optional<int> Compare(const Value& a, const Value& b, bool literal_a, bool literal_b,
                           bool text_compare = false);

}  // namespace qz::vbs
