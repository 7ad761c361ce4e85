#include "app/monitor.h"
#include "source/socket_table.h"

int main(int argc, char** argv) {
  return sockvane::app::RunMonitor(argc, argv, sockvane::source::ReadTcpTable);
}
