// Test peer for the Windows smoke test: a Wine process that owns a TCP
// connection to a loopback listener, so the table shows a Windows PID.
//   connect_helper.exe PORT STOPFILE [SECONDS]
// Prints "pid N" once connected and data has been sent, then holds the
// connection until STOPFILE exists or SECONDS (default 30, at most 120) pass.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "connect_helper: %s failed (%d)\n", what, WSAGetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: connect_helper PORT STOPFILE [SECONDS]\n");
    return 2;
  }
  const long port = std::strtol(argv[1], nullptr, 10);
  const char* stop_file = argv[2];
  long seconds = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 30;
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "connect_helper: bad port %s\n", argv[1]);
    return 2;
  }
  if (seconds <= 0 || seconds > 120) seconds = 30;

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("WSAStartup");
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Fail("socket");
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return Fail("connect");
  // The owner shows in the table only once data has flowed.
  const char hello[] = "hello from connect_helper\n";
  if (send(s, hello, static_cast<int>(std::strlen(hello)), 0) <= 0) return Fail("send");

  std::printf("pid %lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
  std::fflush(stdout);

  for (long waited = 0; waited < seconds * 10; ++waited) {
    if (GetFileAttributesA(stop_file) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  closesocket(s);
  WSACleanup();
  return 0;
}
