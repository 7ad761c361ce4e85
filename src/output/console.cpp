#include "output/console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/build_info.h"
#include "source/std_streams.h"

namespace sockvane::output {
namespace {

std::string* g_capture = nullptr;

// Our own buffer rather than stdio's, which cuts its writes at a fixed size
// wherever that falls, mid-line included.
std::string g_pending;

// Past this much, the whole lines held so far go out before the flush.
constexpr std::size_t kPendingLimit = 64 * 1024;

[[noreturn]] void WriteFailed(int error) {
  std::string line = "sockvane: write error: ";
  line += std::strerror(error != 0 ? error : EIO);
  line += config::kEol;
  WriteErr(line);
  std::_Exit(1);
}

void Write(std::string_view text) {
  int error = 0;
  switch (source::WriteStdout(text, error)) {
    case source::WriteResult::kDone:
      return;
    case source::WriteResult::kReaderGone:
      source::EndForGoneReader();
    case source::WriteResult::kFailed:
      WriteFailed(error);
  }
}

}  // namespace

void WriteOut(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->append(text);
    return;
  }
  g_pending.append(text);
  if (g_pending.size() < kPendingLimit) return;
  const std::size_t lines = g_pending.rfind('\n');
  if (lines == std::string::npos) return;
  Write(std::string_view(g_pending).substr(0, lines + 1));
  g_pending.erase(0, lines + 1);
}

void FlushOut() {
  if (g_capture != nullptr) return;
  Write(g_pending);
  g_pending.clear();
}

void EndIfReaderGone() {
  if (g_capture == nullptr && source::StdoutReaderGone()) source::EndForGoneReader();
}

void WriteErr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void CaptureOutForTesting(std::string* sink) {
  g_capture = sink;
}

}  // namespace sockvane::output
