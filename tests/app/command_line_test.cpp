#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/build_info.h"

namespace sockvane::app {
namespace {

using Args = std::vector<std::string>;
using config::Settings;

// The process-ending paths, each in a child process.
TEST(ParseOptionsDeathTest, ExitStatusAndStandardError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    Args argv;
    int status;
    std::string stderr_pattern;
  };
  const std::string eol = config::kEol;
  const std::vector<Case> cases = {
      {{"sockvane", "--help"}, 0, "^$"},
      {{"sockvane", "--version"}, 0, "^$"},
      {{"sockvane", "--bogus"}, 2, "^sockvane: unknown option --bogus \\(see --help\\)" + eol + "$"},
      {{"sockvane", "--interval", "0"}, 2, "^sockvane: invalid interval" + eol + "$"},
      {{"sockvane", "--events", ""}, 2, "^sockvane: empty events" + eol + "$"},
      // An echoed argument must not drive the terminal.
      {{"sockvane",
        "--a\x1b"
        "b\x07"},
       2,
       "^sockvane: unknown option --a\\?b\\? \\(see --help\\)" + eol + "$"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv;
    for (const std::string& a : c.argv) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    EXPECT_EXIT(ParseOptions(static_cast<int>(c.argv.size()), argv.data()), testing::ExitedWithCode(c.status),
                c.stderr_pattern)
        << c.argv[1];
  }
}

TEST(ParseOptionsTest, ReturnsSettingsOfValidLine) {
  const char* argv[] = {"sockvane", "--once", "--format", "CSV", "--dst-port", "443", nullptr};
  const Settings got = ParseOptions(6, argv);
  EXPECT_TRUE(got.once);
  EXPECT_EQ(got.format, config::Format::kCsv);
  ASSERT_TRUE(got.filters.dst_ports);
  EXPECT_EQ(got.filters.dst_ports->count(), 1u);
  EXPECT_TRUE(got.filters.dst_ports->test(443));
}

}  // namespace
}  // namespace sockvane::app
