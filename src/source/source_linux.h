// The Linux socket source: the tables by sock_diag dumps the kernel filters
// (or /proc/net), owners from the tracer's descriptor walks where it runs and
// from /proc otherwise, short-lived sockets from the kernel's destroy
// notifications and the tracer's hooks.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "source/direction.h"
#include "source/owners_linux.h"
#include "source/short_lived_linux.h"
#include "source/socket_table_linux.h"
#include "source/source.h"
#include "source/tracer.h"
#include "source/walked_owners_linux.h"

namespace sockvane::source {

struct LinuxSource final : Source {
  // `proc_root`: /proc, or a tree laid out like it.
  explicit LinuxSource(const std::string& proc_root = "/proc");

  std::string Start(const SourceSettings& settings) override;
  bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) override;
  void ReadShortLived(const RowConsumer& consume) override;
  void Pause(uint32_t milliseconds) override;
  std::vector<std::string> Notices() override;

  SourceSettings settings;
  TableReads reads;
  OwnerSearch owners;
  ShortLived short_lived;
  Tracer tracer;
  WalkedOwners walked;
  bool walk_once = false;  // a single scan whose read decides whether to walk
  bool owner_problem_told = false;
  // The read's rows and their owners, kept for their capacity.
  std::vector<RawSocket> raws;
  std::vector<uint32_t> pids;
  std::vector<uint32_t> searched;          // the owners before the tracer's record named more
  std::vector<track::OwnerFrom> from;      // how each row's owner is known
  Listeners listeners;                     // of the last read, when the direction is asked for
  std::unordered_set<uint64_t> connected;  // cookies the hooks saw connect, of the last read's rows
};

}  // namespace sockvane::source
