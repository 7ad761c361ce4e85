#include "output/console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/build_info.h"
#include "platform/std_streams.h"

namespace sockvane::output {
namespace {

// Past this much, the whole lines held so far go out before the flush.
constexpr std::size_t kPendingLimit = 64 * 1024;

[[noreturn]] void WriteFailed(int error) {
  std::string line = "sockvane: write error: ";
  line += std::strerror(error != 0 ? error : EIO);
  line += config::kEol;
  WriteErr(line);
  std::_Exit(1);
}

void Write(Console& console, std::string_view text) {
  if (console.capture != nullptr) {
    console.capture->append(text);
    return;
  }
  int error = 0;
  switch (platform::WriteStdout(text, error)) {
    case platform::WriteResult::kDone:
      return;
    case platform::WriteResult::kReaderGone:
      platform::EndForGoneReader();
    case platform::WriteResult::kFailed:
      WriteFailed(error);
  }
}

}  // namespace

void WriteOut(Console& console, std::string_view text) {
  console.pending.append(text);
  if (console.pending.size() < kPendingLimit) return;
  const std::size_t lines = console.pending.rfind('\n');
  if (lines == std::string::npos) return;
  Write(console, std::string_view(console.pending).substr(0, lines + 1));
  console.pending.erase(0, lines + 1);
}

void FlushOut(Console& console) {
  Write(console, console.pending);
  console.pending.clear();
}

void EndIfReaderGone() {
  if (platform::StdoutReaderGone()) platform::EndForGoneReader();
}

void WriteErr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace sockvane::output
