// Checked writes to standard output and standard error.
#pragma once

#include <string>
#include <string_view>

namespace sockvane::output {

// Appends to the standard output stream; a failed write ends the program
// with "sockvane: write error: ..." on standard error and exit status 1.
void WriteOut(std::string_view text);
void FlushOut();

// Best effort: there is nowhere left to report a failure on standard error.
void WriteErr(std::string_view text);

// Tests capture standard output in a string instead (nullptr restores).
void CaptureOutForTesting(std::string* sink);

}  // namespace sockvane::output
