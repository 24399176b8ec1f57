// Small helpers shared by the test folders: a temporary folder, files and log entries, recorded
// message boxes, environment variables, bytes as hex text and the error number of a call.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nev/error.h"
#include "nev/message.h"

namespace nevtest {

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nevtest-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The lines of a log file without their CR LF; entries lose their elapsed time and date, so they
// start with their kind: "(i)\tNEV\tInitConnection\tEntering".
inline std::vector<std::string> LogEntries(const std::filesystem::path& log) {
  std::istringstream in(ReadFile(log));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto kind = line.find("\t(");
    lines.push_back(kind == std::string::npos ? line : line.substr(kind + 1));
  }
  return lines;
}

// Message boxes are recorded instead of shown while this object lives.
class MessageRecorder {
 public:
  MessageRecorder() : previous_(nev::SetMessageSink(sink_)) {}
  ~MessageRecorder() { nev::SetMessageSink(previous_); }
  // The texts shown since the last call, which are then forgotten. Each box must carry the
  // driver's title and the given style.
  std::vector<std::string> Take(int style = nev::kStyleCritical) {
    std::vector<std::string> texts;
    for (const auto& m : sink_->messages) {
      EXPECT_EQ(m.title, nev::kMessageTitle) << m.text;
      EXPECT_EQ(m.style, style) << m.text;
      texts.push_back(m.text);
    }
    sink_->messages.clear();
    return texts;
  }

 private:
  std::shared_ptr<nev::RecordingSink> sink_ = std::make_shared<nev::RecordingSink>();
  std::shared_ptr<nev::MessageSink> previous_;
};

// Sets (or with nullptr clears) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// How many times part occurs in text (overlapping occurrences counted).
inline std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Bytes as "02 20 21 ..." for readable failures, and back.
inline std::string Hex(const std::string& bytes) {
  std::string text;
  char buffer[4];
  for (unsigned char c : bytes) {
    std::snprintf(buffer, sizeof buffer, text.empty() ? "%02X" : " %02X", c);
    text += buffer;
  }
  return text;
}

inline std::string Bytes(const std::string& hex) {
  std::string bytes;
  std::istringstream in(hex);
  for (unsigned value = 0; in >> std::hex >> value;) bytes.push_back(static_cast<char>(value));
  return bytes;
}

// The number of the run-time error a call raises, 0 when it raises none.
template <class F>
int32_t ErrorOf(F&& call) {
  try {
    call();
  } catch (const nev::RuntimeError& e) {
    EXPECT_FALSE(e.record().description.empty()) << e.number();
    return e.number();
  }
  return 0;
}

}  // namespace nevtest
