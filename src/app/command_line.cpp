#include "app/command_line.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "config/build_info.h"
#include "output/console.h"
#include "output/safe_text.h"

namespace sockvane::app {

namespace {

void SayOnStderr(std::string_view message) {
  std::string line = config::kProgramName;
  line += ": ";
  // The message echoes arguments and file names: they must not drive the terminal.
  line += output::SafeText(message);
  line += config::kEol;
  output::WriteErr(line);
}

}  // namespace

[[noreturn]] void UsageError(std::string_view message) {
  SayOnStderr(message);
  std::exit(2);
}

config::Settings ParseOptions(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) args.emplace_back(argv[i]);
  config::ParseResult result = config::ParseArguments(args);
  switch (result.action) {
    case config::ParseAction::kHelp:
    case config::ParseAction::kVersion: {
      output::Console console;
      output::WriteOut(
          console, result.action == config::ParseAction::kHelp ? config::HelpText() : config::VersionLine());
      output::FlushOut(console);
      std::exit(0);
    }
    case config::ParseAction::kUsageError:
      UsageError(result.message);
    case config::ParseAction::kRun:
      break;
  }
  // A typo that selects nothing would otherwise pass for a quiet host.
  for (const std::string& notice : result.notices) SayOnStderr(notice);
  return std::move(result.settings);
}

}  // namespace sockvane::app
