// The Linux socket source as one object.
#include <memory>

#include "source/short_lived.h"
#include "source/socket_table.h"
#include "source/source.h"

namespace sockvane::source {
namespace {

class LinuxSource final : public Source {
 public:
  std::string Start(const SourceSettings& settings) override {
    settings_ = settings;
    return settings.short_lived ? StartShortLived() : "";
  }

  bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) override {
    return source::ReadTcpTable(consume, wanted, settings_.ipv6);
  }

  void ReadShortLived(const RowConsumer& consume) override { source::ReadShortLived(consume); }

  void Pause(uint32_t milliseconds) override { PauseShortLived(milliseconds); }

  std::vector<std::string> Notices() override {
    std::vector<std::string> lines;
    if (std::string notice = ShortLivedLossNotice(); !notice.empty()) lines.push_back(std::move(notice));
    if (std::string why = OwnerSearchProblem(); !why.empty() && !owner_problem_told_) {
      // Every owner reads PID 0 then: that must not pass for a host of ownerless sockets.
      lines.push_back("sockvane: could not search for socket owners: " + why);
      owner_problem_told_ = true;
    }
    return lines;
  }

 private:
  SourceSettings settings_;
  bool owner_problem_told_ = false;
};

}  // namespace

std::unique_ptr<Source> MakeSystemSource() {
  return std::make_unique<LinuxSource>();
}

}  // namespace sockvane::source
