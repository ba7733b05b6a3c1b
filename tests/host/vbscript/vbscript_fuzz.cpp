// libFuzzer target: any input is VBScript source. It must parse or fail with
// a ScriptError, and what parses must run, within a small budget, to an end
// (normally, by a ScriptError, or stopped) without a crash or a leak.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/vbscript/interpreter.h"
#include "host/vbscript/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qz::vbs;
  std::string_view source(reinterpret_cast<const char*>(data), size);
  try {
    (void)ParseExpression(source);
  } catch (const ScriptError&) {
  }
  ItemBudget& items = ThreadItemBudget();
  items = ItemBudget{0, 100000, std::size_t{1} << 20};
  Limits limits;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  limits.expired = [deadline] { return std::chrono::steady_clock::now() > deadline; };
  limits.max_depth = 50;
  try {
    Interpreter in(limits);
    try {
      in.Run(source);
    } catch (const ScriptError&) {
    } catch (const ScriptStop&) {
    }
    in.Shutdown();
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
