#include "source/unit.h"

#include <gtest/gtest.h>

#include <string>

namespace sockvane::source {
namespace {

TEST(UnitFromCgroup, LastServiceOrScopeElseLastComponent) {
  const std::string long_name(300, 'a');
  const struct {
    std::string text, unit;
  } cases[] = {
      {"0::/system.slice/nginx.service\n", "nginx.service"},
      {"0::/system.slice/docker-0123abcd.scope\n", "docker-0123abcd.scope"},
      {"0::/user.slice/user-1000.slice/session-3.scope\n", "session-3.scope"},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-term.scope\n", "app-term.scope"},
      {"0::/system.slice/containerd.service/payload\n", "containerd.service"},
      {"0::/kubepods/burstable/pod1/abc\n", "abc"},
      {"0::/sv-test-7.scope", "sv-test-7.scope"},  // no line break at the end
      {"0::/\n", ""},
      {"0::/../..\n", ""},
      {"0::/../other.service/.\n", "other.service"},
      // hybrid host: v1 lines first; a v1 path that looks like a v2 line does not count
      {"12:cpu,cpuacct:/x.service\n1:name=systemd:/system.slice/a.service\n0::/system.slice/b.service\n",
       "b.service"},
      {"12:cpu:/x\n10::0::/fake.service\n", ""},
      {"1:name=systemd:/init.scope\n", ""},  // no v2 line
      {"", ""},
      {"0::", ""},
      // a name with a line break in it ends where the break is
      {"0::/user.slice/evil\nname.service\n", "evil"},
      {"0::/" + long_name + "\n", long_name.substr(0, 255)},
      {std::string("0::/a\0b.scope\n", 14), std::string("a\0b.scope", 9)},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitFromCgroup(c.text), c.unit) << c.text;
}

}  // namespace
}  // namespace sockvane::source
