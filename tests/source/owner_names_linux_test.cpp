#include <gtest/gtest.h>

#include <string>
#include <unordered_map>

#include "source/linux_source.h"

namespace sockvane::source {
namespace {

TEST(NameOrLastKnown, LastNameOnlyForTheSameProcess) {
  const std::unordered_map<uint32_t, KnownName> previous = {{42, {1000, "server"}}};
  struct Case {
    const char* what;
    uint32_t pid;
    const char* fresh;
    uint64_t start_time;
    const char* traced;  // the tracer's name for the PID, or ""
    const char* name;
    bool recorded;
  };
  const Case cases[] = {
      {"fresh name wins", 42, "server-v2", 1000, "", "server-v2", true},
      {"exiting process keeps its name", 42, "unknown", 1000, "", "server", true},
      {"reused PID is not named after the old program", 42, "unknown", 2000, "", "unknown", false},
      {"process gone: nothing to compare", 42, "unknown", 0, "", "unknown", false},
      {"never seen before", 7, "unknown", 1000, "", "unknown", false},
      {"new process recorded", 7, "client", 1000, "", "client", true},
      {"process gone since the read: the tracer saw it", 42, "unknown", 0, "server", "server", false},
      {"exiting, never read named: the tracer saw it", 7, "unknown", 1000, "client", "client", true},
      {"a fresh name beats the tracer's", 7, "client-v2", 1000, "client", "client-v2", true},
      {"the same process's last name beats the tracer's", 42, "unknown", 1000, "other", "server", true},
  };
  for (const Case& c : cases) {
    std::unordered_map<uint32_t, KnownName> seen;
    EXPECT_EQ(NameOrLastKnown(c.pid, c.fresh, c.start_time, previous, seen, c.traced), c.name) << c.what;
    EXPECT_EQ(seen.count(c.pid), c.recorded ? 1u : 0u) << c.what;
    if (c.recorded) {
      EXPECT_EQ(seen.at(c.pid).name, c.name) << c.what;
    }
  }
}

}  // namespace
}  // namespace sockvane::source
