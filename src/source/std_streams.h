// Process-wide set-up of the standard streams before anything is written.
#pragma once

namespace sockvane::source {

// Linux: ignore SIGPIPE, so a vanished reader surfaces as a write error.
// Windows: binary mode, so each line ends with exactly the "\r\n" we write.
void PrepareStdStreams();

}  // namespace sockvane::source
