#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/std_streams.h"

namespace sockvane::platform {

namespace {

// The size up to which a POSIX pipe write is atomic; the same chunks here
// keep a reader's view of the output identical on both platforms.
constexpr std::size_t kChunk = 4096;

}  // namespace

// Lines already end in "\r\n"; text mode would make that "\r\r\n".
void PrepareStdStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

WriteResult WriteStdout(std::string_view text, int& error) {
  while (!text.empty()) {
    const std::size_t chunk = WholeLinesPrefix(text, kChunk);
    std::size_t done = 0;
    while (done < chunk) {
      const std::size_t left = chunk - done;
      const unsigned count = left > INT_MAX ? static_cast<unsigned>(INT_MAX) : static_cast<unsigned>(left);
      errno = 0;
      const int wrote = _write(1, text.data() + done, count);
      if (wrote <= 0) {
        error = (wrote == 0 || errno == 0) ? EIO : errno;
        return WriteResult::kFailed;
      }
      done += static_cast<std::size_t>(wrote);
    }
    text.remove_prefix(chunk);
  }
  return WriteResult::kDone;
}

// A console or pipe reader that leaves shows up at the next write.
bool StdoutReaderGone() {
  return false;
}

void EndForGoneReader() {
  std::_Exit(141);
}

}  // namespace sockvane::platform
