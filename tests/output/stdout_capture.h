// Standard output captured in a string while an instance lives.
#pragma once

#include <string>
#include <string_view>

#include "output/console.h"

namespace sockvane::output {

class StdoutCapture {
 public:
  StdoutCapture() : replaced_(UseStdoutWriter(StdoutWriter{Append, nullptr, nullptr})) { sink() = &text_; }
  ~StdoutCapture() {
    UseStdoutWriter(replaced_);
    sink() = nullptr;
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written so far, held-back lines included.
  std::string& Text() {
    FlushOut();
    return text_;
  }

 private:
  static std::string*& sink() {
    static std::string* current = nullptr;
    return current;
  }
  static WriteResult Append(std::string_view text, int&) {
    if (sink() != nullptr) sink()->append(text);
    return WriteResult::kDone;
  }

  StdoutWriter replaced_;
  std::string text_;
};

}  // namespace sockvane::output
