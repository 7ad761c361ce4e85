// Process-wide set-up of the standard streams, and the raw writes to
// standard output.
#pragma once

#include <cstddef>
#include <string_view>

namespace sockvane::platform {

// Linux: ignore SIGPIPE, so a vanished reader surfaces as EPIPE; catch the
// stop signals, so that a write under way can finish its line first.
// Windows: binary mode, so each line ends with exactly the "\r\n" we write.
void PrepareStdStreams();

// How much of `text` one write() may carry: whole lines of at most `limit`
// bytes together; a first line longer than that alone; a text without any
// line break whole. Pure.
std::size_t WholeLinesPrefix(std::string_view text, std::size_t limit);

enum class WriteResult { kDone, kReaderGone, kFailed };

// Writes all of `text` to standard output, each write() whole lines of at
// most PIPE_BUF bytes where the lines allow it. A non-blocking descriptor is
// waited for. A stop signal (SIGTERM, SIGINT, SIGHUP) ends the process
// between lines, or within a second if the reader leaves a line unfinished.
// On kFailed, `error` holds the errno value.
WriteResult WriteStdout(std::string_view text, int& error);

// True when standard output is a pipe or socket whose reader has gone.
bool StdoutReaderGone();

// Ends the process quietly as a write to a vanished reader does (SIGPIPE,
// status 141).
[[noreturn]] void EndForGoneReader();

}  // namespace sockvane::platform
