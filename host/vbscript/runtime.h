// The runtime library: the language's built-in functions and its vb...
// constants. Functions receive their arguments as the caller passed them
// (objects not yet reduced) and raise ScriptError with the language's
// numbers.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "host/vbscript/value.h"

namespace qz::vbs {

struct Builtin {
  std::size_t min_args;
  std::size_t max_args;
  Value (*fn)(Interpreter&, std::vector<Arg>&);
};

// By lower-case name; null when there is none.
const Builtin* FindBuiltin(std::string_view name);
const Value* FindConstant(std::string_view name);

}  // namespace qz::vbs
