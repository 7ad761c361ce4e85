#include "app/monitor.h"
#include "source/source.h"

int main(int argc, char** argv) {
  const auto source = sockvane::source::MakeSystemSource();
  return sockvane::app::RunMonitor(argc, argv, *source);
}
