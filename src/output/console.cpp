#include "output/console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/build_info.h"

namespace sockvane::output {
namespace {

std::string* g_capture = nullptr;

[[noreturn]] void WriteFailed(int error) {
  std::string line = "sockvane: write error: ";
  line += std::strerror(error != 0 ? error : EIO);
  line += config::kEol;
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  // Skip the exit-time flush of the dead stream.
  std::_Exit(1);
}

}  // namespace

void WriteOut(std::string_view text) {
  if (g_capture != nullptr) {
    g_capture->append(text);
    return;
  }
  if (text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) WriteFailed(errno);
}

void FlushOut() {
  if (g_capture != nullptr) return;
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) WriteFailed(errno);
}

void WriteErr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void CaptureOutForTesting(std::string* sink) {
  g_capture = sink;
}

}  // namespace sockvane::output
