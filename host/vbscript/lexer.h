// Splits VBScript source into tokens. Line ends and ':' separate
// statements; a '_' at the end of a line continues it; "'" and Rem start a
// comment. Raises ScriptError (with line and column) for a character or
// literal it cannot read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/vbscript/value.h"

namespace qz::vbs {

struct Token {
  enum class Kind : std::uint8_t {
    End,
    Newline,  // a line end or ':'
    Ident,
    Number,  // value holds the literal
    String,
    Date,
    Symbol,  // text: + - * / \ ^ & = < > <= >= <> ( ) , .
  };
  Kind kind = Kind::End;
  std::string text;   // the spelling (identifiers, symbols)
  std::string lower;  // identifiers in lower case
  Value value;        // literals
  bool space_before = false;
  int line = 1, column = 1;
};

// The most tokens one script may have; a longer one is Out of memory.
inline constexpr std::size_t kMaxTokens = 4'000'000;

std::vector<Token> Lex(std::string_view source);

}  // namespace qz::vbs
