#include "script.h"

namespace nevctl {

Word Word::FromArgument(std::string text) {
  Word word{std::move(text)};
  word.name_end = word.text.find('=');
  return word;
}

std::vector<Word> SplitLine(std::string_view line) {
  std::vector<Word> words;
  Word current;
  bool in_word = false;
  bool all_unquoted = true;  // nothing of the current word came from quotes or escapes yet
  enum class Quote { None, Single, Double } quote = Quote::None;

  auto finish = [&] {
    if (in_word) words.push_back(std::move(current));
    current = Word{};
    in_word = false;
    all_unquoted = true;
  };
  auto escaped = [](char c) {
    switch (c) {
      case 't':
        return '\t';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      default:
        return c;
    }
  };

  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote == Quote::Single) {
      if (c == '\'') {
        quote = Quote::None;
      } else {
        current.text += c;
      }
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= line.size()) throw ScriptError("backslash at the end of the line");
      current.text += escaped(line[++i]);
      in_word = true;
      all_unquoted = false;
      continue;
    }
    if (quote == Quote::Double) {
      if (c == '"') {
        quote = Quote::None;
      } else {
        current.text += c;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      finish();
      continue;
    }
    if (c == '#' && !in_word) break;
    in_word = true;
    if (c == '"' || c == '\'') {
      quote = c == '"' ? Quote::Double : Quote::Single;
      all_unquoted = false;
      continue;
    }
    if (c == '=' && all_unquoted && current.name_end == std::string::npos &&
        !current.text.empty()) {
      current.name_end = current.text.size();
    }
    current.text += c;
  }
  if (quote != Quote::None) throw ScriptError("unclosed quote");
  finish();
  return words;
}

}  // namespace nevctl
