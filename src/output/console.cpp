#include "output/console.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/build_info.h"

namespace sockvane::output {
namespace {

WriteResult StdioWrite(std::string_view text, int& error) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) {
    return WriteResult::kDone;
  }
  error = errno;
  return WriteResult::kFailed;
}

bool NeverGone() {
  return false;
}

StdoutWriter g_writer{StdioWrite, NeverGone, nullptr};

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
  switch (g_writer.write(text, error)) {
    case WriteResult::kDone:
      return;
    case WriteResult::kReaderGone:
      if (g_writer.end_for_gone_reader != nullptr) g_writer.end_for_gone_reader();
      WriteFailed(EPIPE);
    case WriteResult::kFailed:
      WriteFailed(error);
  }
}

}  // namespace

void WriteOut(std::string_view text) {
  g_pending.append(text);
  if (g_pending.size() < kPendingLimit) return;
  const std::size_t lines = g_pending.rfind('\n');
  if (lines == std::string::npos) return;
  Write(std::string_view(g_pending).substr(0, lines + 1));
  g_pending.erase(0, lines + 1);
}

void FlushOut() {
  Write(g_pending);
  g_pending.clear();
}

void EndIfReaderGone() {
  if (g_writer.reader_gone == nullptr || !g_writer.reader_gone()) return;
  if (g_writer.end_for_gone_reader != nullptr) g_writer.end_for_gone_reader();
  std::_Exit(141);
}

void WriteErr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

StdoutWriter UseStdoutWriter(const StdoutWriter& writer) {
  FlushOut();
  const StdoutWriter replaced = g_writer;
  g_writer = writer;
  return replaced;
}

}  // namespace sockvane::output
