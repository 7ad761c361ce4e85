// Test peer for the Windows smoke test: a Wine process that owns a TCP
// connection to a loopback listener, so the table shows a Windows PID.
//   connect_helper.exe [-6] PORT STOPFILE [SECONDS]
// -6 connects to [::1] instead of 127.0.0.1.
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
  const bool ipv6 = argc > 1 && std::strcmp(argv[1], "-6") == 0;
  if (ipv6) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: connect_helper [-6] PORT STOPFILE [SECONDS]\n");
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
  sockaddr_storage to = {};
  int length = 0;
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&to);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<u_short>(port));
    in6->sin6_addr.s6_addr[15] = 1;  // ::1
    length = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&to);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<u_short>(port));
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  SOCKET s = socket(to.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Fail("socket");
  if (connect(s, reinterpret_cast<sockaddr*>(&to), length) != 0) return Fail("connect");
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
