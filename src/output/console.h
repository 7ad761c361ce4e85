// Checked writes to standard output and standard error.
#pragma once

#include <string>
#include <string_view>

namespace sockvane::output {

// Standard output as the run writes it: in whole lines only.
struct Console {
  // Our own buffer rather than stdio's, which cuts its writes at a fixed size
  // wherever that falls, mid-line included.
  std::string pending;
  // Tests read what would have been written here instead.
  std::string* capture = nullptr;
};

// Appends to standard output. A failed write ends the program with
// "sockvane: write error: ..." on standard error and exit status 1; a reader
// that has gone ends it quietly (status 141).
void WriteOut(Console& console, std::string_view text);
void FlushOut(Console& console);

// Ends the program quietly when standard output is a pipe or socket whose
// reader has gone, so a quiet run does not outlive `| head`.
void EndIfReaderGone();

// Best effort: there is nowhere left to report a failure on standard error.
void WriteErr(std::string_view text);

}  // namespace sockvane::output
