#include "app/monitor.h"
#include "source/short_lived.h"
#include "source/socket_table.h"

int main(int argc, char** argv) {
  const sockvane::app::FleetingSource fleeting{
      sockvane::source::StartShortLived, sockvane::source::ReadShortLived, sockvane::source::PauseShortLived,
      sockvane::source::ShortLivedLossNotice};
  return sockvane::app::RunMonitor(argc, argv, sockvane::source::ReadTcpTable, &fleeting);
}
