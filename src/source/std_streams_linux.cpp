#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "source/std_streams.h"

namespace sockvane::source {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// Waits until standard output takes data. With `deliverable`, a stop signal
// may end the process while waiting, with its default action, as it would
// have outside a write.
void WaitWritable(const sigset_t* deliverable) {
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  // POLLERR/POLLHUP/POLLNVAL also end the wait: the write that follows tells.
  while (ppoll(&out, 1, nullptr, deliverable) < 0 && errno == EINTR) {
  }
}

}  // namespace

void PrepareStdStreams() {
  signal(SIGPIPE, SIG_IGN);
}

WriteResult WriteStdout(std::string_view text, int& error) {
  if (text.empty()) return WriteResult::kDone;
  // Stop signals wait while a line is on its way; the caller's mask (which
  // may block them itself) lets them through between lines.
  const sigset_t stop = StopSignals();
  sigset_t caller_mask;
  sigprocmask(SIG_BLOCK, &stop, &caller_mask);
  WriteResult result = WriteResult::kDone;
  while (!text.empty()) {
    const std::size_t chunk = WholeLinesPrefix(text, PIPE_BUF);
    std::size_t done = 0;
    while (done < chunk) {
      // A pipe takes PIPE_BUF bytes at once once it polls writable, so the
      // wait, not the write, is where a stalled reader holds us.
      WaitWritable(done == 0 ? &caller_mask : nullptr);
      const ssize_t wrote = write(STDOUT_FILENO, text.data() + done, chunk - done);
      if (wrote > 0) {
        done += static_cast<std::size_t>(wrote);
      } else if (wrote < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        continue;
      } else {
        error = wrote == 0 ? EIO : errno;
        result = error == EPIPE ? WriteResult::kReaderGone : WriteResult::kFailed;
        break;
      }
    }
    if (result != WriteResult::kDone) break;
    text.remove_prefix(chunk);
  }
  sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
  return result;
}

bool StdoutReaderGone() {
  static const bool is_stream = [] {
    struct stat info {};
    return fstat(STDOUT_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
  }();
  if (!is_stream) return false;
  pollfd out{STDOUT_FILENO, 0, 0};
  return poll(&out, 1, 0) > 0 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

void EndForGoneReader() {
  // Die of SIGPIPE as the write would have without our SIG_IGN.
  signal(SIGPIPE, SIG_DFL);
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigprocmask(SIG_UNBLOCK, &pipe_signal, nullptr);
  raise(SIGPIPE);
  std::_Exit(128 + SIGPIPE);
}

}  // namespace sockvane::source
