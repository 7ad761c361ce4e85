// Checked writes to standard output and standard error.
#pragma once

#include <string>
#include <string_view>

namespace sockvane::output {

// Appends to standard output, which is written in whole lines only. A failed
// write ends the program with "sockvane: write error: ..." on standard error
// and exit status 1; a reader that has gone ends it quietly (status 141).
void WriteOut(std::string_view text);
void FlushOut();

// Ends the program quietly when standard output is a pipe or socket whose
// reader has gone, so a quiet run does not outlive `| head`.
void EndIfReaderGone();

// Best effort: there is nowhere left to report a failure on standard error.
void WriteErr(std::string_view text);

enum class WriteResult { kDone, kReaderGone, kFailed };

// What standard output is written through. The program installs the
// platform's checked writer at its start; until then stdio's is used.
struct StdoutWriter {
  // All of `text`, or kFailed with the errno value in `error`.
  WriteResult (*write)(std::string_view text, int& error) = nullptr;
  // True when standard output is a pipe or socket whose reader has gone.
  bool (*reader_gone)() = nullptr;
  // Ends the process as a write to a vanished reader does; never returns.
  void (*end_for_gone_reader)() = nullptr;
};

// Writes held back so far go out through the writer they were meant for
// first. Returns the writer replaced.
StdoutWriter UseStdoutWriter(const StdoutWriter& writer);

}  // namespace sockvane::output
