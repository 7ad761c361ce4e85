#include <csignal>

#include "source/std_streams.h"

namespace sockvane::source {

void PrepareStdStreams() {
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace sockvane::source
