#include "host/vbscript/lexer.h"

#include <cctype>
#include <cmath>

#include "host/vbscript/conversions.h"
#include "host/vbscript/text.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::vbs {
namespace {

bool IsIdentStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool IsIdentChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

[[noreturn]] void Fail(int number, int line, int column) {
  ScriptError e(number, {}, "VBScript compilation error");
  e.line = line;
  e.column = column;
  throw e;
}

class Lexer {
 public:
  explicit Lexer(std::string_view s) : s_(s) {}

  std::vector<Token> Run() {
    while (true) {
      bool space = SkipSpace();
      if (pos_ >= s_.size()) break;
      if (out_.size() >= kMaxTokens) Fail(1001, line_, Column());
      Token t;
      t.space_before = space;
      t.line = line_;
      t.column = Column();
      char c = s_[pos_];
      if (c == '\n' || c == ':') {
        t.kind = Token::Kind::Newline;
        t.text = std::string(1, c);
        if (c == '\n') NewLine(pos_ + 1);
        ++pos_;
        out_.push_back(std::move(t));
        continue;
      }
      if (c == '\'') {
        SkipComment();
        continue;
      }
      // A leading '_' is the host's own names (__qzWrite); a lone one is a
      // line continuation, handled above.
      if (IsIdentStart(c) || (c == '_' && pos_ + 1 < s_.size() && IsIdentChar(s_[pos_ + 1]))) {
        std::size_t start = pos_;
        while (pos_ < s_.size() && IsIdentChar(s_[pos_])) ++pos_;
        t.text = std::string(s_.substr(start, pos_ - start));
        if (t.text.size() > 255) Fail(1030, t.line, t.column);
        t.lower = text::AsciiLower(t.text);
        if (t.lower == "rem" && (pos_ >= s_.size() || !IsIdentChar(s_[pos_]))) {
          SkipComment();
          continue;
        }
        t.kind = Token::Kind::Ident;
        out_.push_back(std::move(t));
        continue;
      }
      if (c == '[') {  // [any name]
        std::size_t end = s_.find(']', pos_);
        std::size_t nl = s_.find('\n', pos_);
        if (end == std::string_view::npos || end > nl || end - pos_ > 256)
          Fail(1032, t.line, t.column);
        t.text = std::string(s_.substr(pos_ + 1, end - pos_ - 1));
        t.lower = text::AsciiLower(t.text);
        t.kind = Token::Kind::Ident;
        pos_ = end + 1;
        out_.push_back(std::move(t));
        continue;
      }
      if (std::isdigit(static_cast<unsigned char>(c)) ||
          (c == '.' && pos_ + 1 < s_.size() &&
           std::isdigit(static_cast<unsigned char>(s_[pos_ + 1])) && (space || !AfterOperand()))) {
        Number(t);
        out_.push_back(std::move(t));
        continue;
      }
      if (c == '&' && pos_ + 1 < s_.size() &&
          (s_[pos_ + 1] == 'h' || s_[pos_ + 1] == 'H' || s_[pos_ + 1] == 'o' ||
           s_[pos_ + 1] == 'O' || (s_[pos_ + 1] >= '0' && s_[pos_ + 1] <= '7'))) {
        Radix(t);
        out_.push_back(std::move(t));
        continue;
      }
      if (c == '"') {
        String(t);
        out_.push_back(std::move(t));
        continue;
      }
      if (c == '#') {
        std::size_t end = pos_ + 1;
        while (end < s_.size() && s_[end] != '#' && s_[end] != '\n') ++end;
        if (end >= s_.size() || s_[end] != '#') Fail(1032, t.line, t.column);
        auto d = ParseDate(s_.substr(pos_ + 1, end - pos_ - 1));
        if (!d) Fail(1032, t.line, t.column);
        t.kind = Token::Kind::Date;
        t.value = Value::Date(*d);
        pos_ = end + 1;
        out_.push_back(std::move(t));
        continue;
      }
      t.kind = Token::Kind::Symbol;
      if ((c == '<' || c == '>') && pos_ + 1 < s_.size() &&
          (s_[pos_ + 1] == '=' || (c == '<' && s_[pos_ + 1] == '>'))) {
        t.text = std::string(s_.substr(pos_, 2));
        pos_ += 2;
      } else if (std::string_view("+-*/\\^&=<>(),.").find(c) != std::string_view::npos) {
        t.text = std::string(1, c);
        ++pos_;
      } else {
        Fail(1032, t.line, t.column);
      }
      out_.push_back(std::move(t));
    }
    Token end;
    end.line = line_;
    end.column = Column();
    out_.push_back(std::move(end));
    return std::move(out_);
  }

 private:
  int Column() const { return static_cast<int>(pos_ - line_start_) + 1; }
  void NewLine(std::size_t next) {
    ++line_;
    line_start_ = next;
  }
  bool AfterOperand() const {
    if (out_.empty()) return false;
    const Token& t = out_.back();
    return t.kind == Token::Kind::Ident || (t.kind == Token::Kind::Symbol && t.text == ")");
  }

  // Skips blanks and line continuations; answers whether any were skipped.
  bool SkipSpace() {
    bool any = false;
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v' ||
          static_cast<unsigned char>(c) == 0xA0) {
        ++pos_;
        any = true;
        continue;
      }
      if (c == '_' && (pos_ + 1 >= s_.size() || !IsIdentChar(s_[pos_ + 1]))) {
        std::size_t j = pos_ + 1;
        while (j < s_.size() && (s_[j] == ' ' || s_[j] == '\t' || s_[j] == '\r')) ++j;
        if (j < s_.size() && s_[j] == '\n') {
          pos_ = j + 1;
          NewLine(pos_);
          any = true;
          continue;
        }
        if (j >= s_.size()) {
          pos_ = j;
          any = true;
          continue;
        }
      }
      break;
    }
    return any;
  }

  void SkipComment() {
    while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
  }

  void Number(Token& t) {
    std::size_t start = pos_;
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    bool real = false;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      real = true;
      ++pos_;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      std::size_t j = pos_ + 1;
      if (j < s_.size() && (s_[j] == '+' || s_[j] == '-')) ++j;
      if (j < s_.size() && std::isdigit(static_cast<unsigned char>(s_[j]))) {
        real = true;
        pos_ = j;
        while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
      }
    }
    std::string_view text = s_.substr(start, pos_ - start);
    if (pos_ < s_.size() && IsIdentChar(s_[pos_])) Fail(1031, t.line, t.column);
    std::optional<double> v;
    try {
      // Literals are read the same way whatever the locale.
      v = qz::TryParsePlainNumber(text);
    } catch (const qz::Error&) {
      Fail(1031, t.line, t.column);
    }
    if (!v || !std::isfinite(*v)) Fail(1031, t.line, t.column);
    t.kind = Token::Kind::Number;
    if (!real && *v <= 32767) {
      t.value = Value::Integer(static_cast<std::int16_t>(*v));
    } else if (!real && *v <= 2147483647.0) {
      t.value = Value::Long(static_cast<std::int32_t>(*v));
    } else {
      t.value = Value::Double(*v);
    }
  }

  void Radix(Token& t) {
    std::size_t start = pos_;
    int radix = 8;
    ++pos_;
    if (s_[pos_] == 'h' || s_[pos_] == 'H') {
      radix = 16;
      ++pos_;
    } else if (s_[pos_] == 'o' || s_[pos_] == 'O') {
      ++pos_;
    }
    std::uint64_t v = 0;
    int digits = 0;
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      int d = -1;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (radix == 16 && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (radix == 16 && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      if (d < 0 || d >= radix) break;
      v = v * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(d);
      if (v > 0xFFFFFFFFu) Fail(1031, t.line, t.column);
      ++digits;
      ++pos_;
    }
    bool long_suffix = pos_ < s_.size() && s_[pos_] == '&';
    if (long_suffix) ++pos_;
    if (digits == 0 || (pos_ < s_.size() && IsIdentChar(s_[pos_]))) Fail(1031, t.line, t.column);
    (void)start;
    t.kind = Token::Kind::Number;
    if (v <= 0xFFFF && !long_suffix) {
      t.value = Value::Integer(static_cast<std::int16_t>(static_cast<std::uint16_t>(v)));
    } else {
      t.value = Value::Long(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    }
  }

  void String(Token& t) {
    std::string out;
    ++pos_;
    while (true) {
      if (pos_ >= s_.size() || s_[pos_] == '\n') Fail(1033, t.line, t.column);
      char c = s_[pos_++];
      if (c == '"') {
        if (pos_ < s_.size() && s_[pos_] == '"') {
          out.push_back('"');
          ++pos_;
          continue;
        }
        break;
      }
      out.push_back(c);
    }
    t.kind = Token::Kind::String;
    t.value = Value::String(std::move(out));
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::size_t line_start_ = 0;
  int line_ = 1;
  std::vector<Token> out_;
};

}  // namespace

std::vector<Token> Lex(std::string_view source) {
  return Lexer(source).Run();
}

}  // namespace qz::vbs
