// The Windows socket source as one object: the IP helper's table, polled.
#include <memory>

#include "platform/clock.h"
#include "source/socket_table_windows.h"
#include "source/source.h"

namespace sockvane::source {
namespace {

class WindowsSource final : public Source {
 public:
  // The table has no destroy notifications: polling alone.
  std::string Start(const SourceSettings& settings) override {
    ipv6_ = settings.ipv6;
    direction_ = settings.direction;
    return "";
  }

  bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) override {
    return ReadTcpTableWith(SystemTcpTableCall, consume, wanted, ipv6_, direction_);
  }

  void ReadShortLived(const RowConsumer&) override {}

  void Pause(uint32_t milliseconds) override {
    if (milliseconds > 0) platform::PauseMs(milliseconds);
  }

  // The table names every owner itself: there is no search to fail.
  std::vector<std::string> Notices() override { return {}; }

 private:
  bool ipv6_ = false;
  bool direction_ = false;
};

}  // namespace

std::unique_ptr<Source> MakeSystemSource() {
  return std::make_unique<WindowsSource>();
}

}  // namespace sockvane::source
