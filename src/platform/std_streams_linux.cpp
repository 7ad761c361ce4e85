#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/std_streams.h"

namespace sockvane::platform {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Set by the signal handlers; statics because a handler can reach nothing else.
volatile sig_atomic_t writing = 0;      // inside WriteStdout
volatile sig_atomic_t stop_signal = 0;  // a stop signal that came during a write
volatile sig_atomic_t deadline_passed = 0;

void RestoreDefault(int signal) {
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigaction(signal, &plain, nullptr);
}

// Ends the process by `signal`'s default action, as if never caught.
[[noreturn]] void DieOf(int signal) {
  RestoreDefault(signal);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  std::_Exit(128 + signal);
}

// A reader that stopped draining must not hold a stop signal back for long.
constexpr suseconds_t kFinishLineMicroseconds = 300000;

void OnStopSignal(int signal) {
  if (writing == 0) {
    // Outside a write the default action, once this handler returns.
    RestoreDefault(signal);
    raise(signal);
    return;
  }
  if (stop_signal != 0) return;
  stop_signal = signal;
  // Interrupts a write the reader no longer drains, and keeps interrupting
  // in case the first one fell just before the write began.
  itimerval deadline{};
  deadline.it_value.tv_usec = kFinishLineMicroseconds;
  deadline.it_interval.tv_usec = kFinishLineMicroseconds / 3;
  setitimer(ITIMER_REAL, &deadline, nullptr);
}

void OnDeadline(int) {
  deadline_passed = 1;
}

// Catches a stop signal left to its default action (not one ignored, as
// under nohup, nor one the caller handles).
void CatchStopSignal(int signal) {
  struct sigaction current {};
  if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
  struct sigaction caught {};
  caught.sa_handler = OnStopSignal;  // no SA_RESTART: a blocked write must return
  sigaction(signal, &caught, nullptr);
}

// Waits until standard output takes data, or a signal comes.
void WaitWritable() {
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  // POLLERR/POLLHUP/POLLNVAL also end the wait: the write that follows tells.
  poll(&out, 1, -1);
}

}  // namespace

void PrepareStdStreams() {
  signal(SIGPIPE, SIG_IGN);
  for (int stop : kStopSignals) CatchStopSignal(stop);
  struct sigaction alarm {};
  alarm.sa_handler = OnDeadline;
  sigaction(SIGALRM, &alarm, nullptr);
}

WriteResult WriteStdout(std::string_view text, int& error) {
  if (text.empty()) return WriteResult::kDone;
  // A stop signal now is only noted. It ends the process at the next line
  // boundary, or once the reader has left a line unfinished for a while.
  writing = 1;
  WriteResult result = WriteResult::kDone;
  while (!text.empty() && stop_signal == 0) {
    const std::size_t chunk = WholeLinesPrefix(text, PIPE_BUF);
    std::size_t done = 0;
    // Between lines a stop signal ends the process at once; within a line,
    // once the reader has had its time to take the rest.
    const auto must_end = [&done] { return done == 0 ? stop_signal != 0 : deadline_passed != 0; };
    while (done < chunk && !must_end()) {
      // A pipe takes PIPE_BUF bytes at once once it polls writable, so the
      // wait, not the write, is where a stalled reader holds a pipe.
      WaitWritable();
      if (must_end()) break;
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
    if (result != WriteResult::kDone || done < chunk) break;
    text.remove_prefix(chunk);
  }
  writing = 0;
  if (stop_signal != 0) DieOf(stop_signal);
  return result;
}

bool StdoutReaderGone() {
  struct stat info {};
  const bool is_stream =
      fstat(STDOUT_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
  if (!is_stream) return false;
  pollfd out{STDOUT_FILENO, 0, 0};
  return poll(&out, 1, 0) > 0 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

void EndForGoneReader() {
  // Die of SIGPIPE as the write would have without our SIG_IGN.
  DieOf(SIGPIPE);
}

}  // namespace sockvane::platform
