// nevctl's script lines: splitting with quotes and escapes, then preparing the call the words
// name (binding only: nothing is called).
#include <cstdint>
#include <string_view>

#include "nev/error.h"
#include "script.h"
#include "session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  try {
    std::vector<nevctl::Word> words = nevctl::SplitLine(line);
    if (words.empty()) return 0;
    const std::vector<nevctl::Word> args(words.begin() + 1, words.end());
    nevctl::PrepareCall(words[0].text, args);
  } catch (const nevctl::ScriptError&) {
  } catch (const nev::RuntimeError&) {
  }
  return 0;
}
