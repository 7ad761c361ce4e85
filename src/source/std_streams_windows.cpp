#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "source/std_streams.h"

namespace sockvane::source {

// Lines already end in "\r\n"; text mode would make that "\r\r\n".
void PrepareStdStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace sockvane::source
