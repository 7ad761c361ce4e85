// Test driver for the owner tracer: starts it, prints what it drains for the
// given number of seconds, one record per line, then the count of lost ones.
//   sockvane_tracer_probe SECONDS [count]
// With "count" it prints only the totals at the end ("records=N lost=M").
// The first line is "tracer: active" or "tracer: off: <reason>". SIGTERM ends
// it early, after a last drain.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "source/naming.h"
#include "source/tracer.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void Stop(int) {
  g_stop = 1;
}

std::string AddressText(const std::array<uint8_t, 16>& address, bool ipv6) {
  if (ipv6) return sockvane::source::Ipv6ToText(address);
  uint32_t v4 = 0;
  std::memcpy(&v4, address.data(), 4);
  return sockvane::source::Ipv4ToText(v4);
}

// Names are any bytes but '/' and NUL: hex keeps the line one line.
std::string Hex(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char ch : text) {
    out += kDigits[ch >> 4];
    out += kDigits[ch & 15];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const bool count_only = argc > 2 && std::strcmp(argv[2], "count") == 0;
  uint64_t total = 0;
  std::string why;
  if (!sockvane::source::StartTracer(why)) {
    std::printf("tracer: off: %s\n", why.c_str());
    return 0;
  }
  std::signal(SIGTERM, Stop);
  std::signal(SIGINT, Stop);
  std::printf("tracer: active\n");
  std::fflush(stdout);
  uint64_t lost = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<sockvane::source::TracedSocket> records;
  while (true) {
    const bool last = g_stop != 0 || std::chrono::steady_clock::now() >= end;
    records.clear();
    sockvane::source::DrainTracer(records, lost);
    total += records.size();
    if (count_only) records.clear();
    for (const auto& r : records) {
      std::printf(
          "proto=%u pid=%u state=%u v6=%d src=%s sport=%u dst=%s dport=%u cookie=%llu when=%llu name=%s\n",
          r.protocol, r.pid, r.state, r.ipv6 ? 1 : 0, AddressText(r.src, r.ipv6).c_str(), r.src_port,
          AddressText(r.dst, r.ipv6).c_str(), r.dst_port, static_cast<unsigned long long>(r.cookie),
          static_cast<unsigned long long>(r.when_ns), Hex(r.name).c_str());
    }
    std::fflush(stdout);
    if (last) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (count_only) std::printf("records=%llu ", static_cast<unsigned long long>(total));
  std::printf("lost=%llu\n", static_cast<unsigned long long>(lost));
  return 0;
}
