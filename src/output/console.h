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

// Tests capture standard output in a string instead (nullptr restores).
void CaptureOutForTesting(std::string* sink);

}  // namespace sockvane::output
