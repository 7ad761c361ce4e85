#include "app/monitor.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/build_info.h"
#include "output/console.h"
#include "platform/clock.h"
#include "support/text_rows.h"

namespace sockvane::app {
namespace {

// Fake clocks: the steady one and the local time of day, both advanced by the
// tests; the local one starts at 2024-05-01 14:03:07.000.
int64_t g_steady_ms = 0;
int64_t g_local_ms = 0;  // since 14:03:07.000
int64_t FakeSteady() {
  return g_steady_ms;
}
platform::CivilTime FakeLocal(platform::LocalTimeCache&) {
  const int64_t ms = (14 * 3600 + 3 * 60 + 7) * int64_t{1000} + g_local_ms;
  return {2024,
          5,
          1,
          static_cast<int>(ms / 3600000),
          static_cast<int>(ms / 60000 % 60),
          static_cast<int>(ms / 1000 % 60),
          static_cast<int>(ms % 1000)};
}
void Advance(double seconds) {
  g_steady_ms += static_cast<int64_t>(seconds * 1000);
  g_local_ms += static_cast<int64_t>(seconds * 1000);
}

track::TConn Row(std::string pid, uint16_t src_port, std::string state = "ESTABLISHED") {
  return testing::RowFromTexts(
      {"TCP", std::move(pid), "client", "127.0.0.1", src_port, "127.0.0.1", 8080, std::move(state)});
}

// A source that plays back one scripted poll per read; nullopt is a failed
// read. `short_lived` rows come after every good read.
struct ScriptedSource final : source::Source {
  std::deque<std::optional<std::vector<track::TConn>>> polls;
  std::vector<track::TConn> short_lived;
  int short_lived_reads = 0;
  std::function<void()> while_reading;  // what happens to the clocks meanwhile
  std::string Start(const source::SourceSettings&) override { return ""; }
  bool ReadTcpTable(const source::RowConsumer& consume, const source::RowWanted& wanted) override {
    if (while_reading) while_reading();
    auto poll = polls.front();
    polls.pop_front();
    if (!poll) return false;
    for (auto row : *poll) {
      track::TConn ownerless = row;
      ownerless.pid = 0;
      ownerless.process = nullptr;
      if (!wanted || wanted(ownerless)) consume(std::move(row));
    }
    return true;
  }
  void ReadShortLived(const source::RowConsumer& consume) override {
    ++short_lived_reads;
    for (auto row : short_lived) consume(std::move(row));
  }
  void Pause(uint32_t) override {}
  std::vector<std::string> Notices() override { return {}; }
};

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_steady_ms = g_local_ms = 0;
    UseFakeClocks(state_);
    state_.console.capture = &captured_;
    state_.settings.filters.include_all = true;
    state_.settings.format = config::Format::kCsv;
    state_.settings.events.set();
  }
  static void UseFakeClocks(MonitorState& state) {
    state.clock.steady_ms = FakeSteady;
    state.clock.local_time = FakeLocal;
  }
  std::vector<std::string> Lines() {
    const std::string& text = out();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i; (i = text.find('\n', start)) != std::string::npos; start = i + 1) {
      std::string line = text.substr(start, i - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  // Everything written so far, held-back lines included.
  std::string& out() {
    output::FlushOut(state_.console);
    return captured_;
  }
  std::string captured_;
  MonitorState state_;
};

TEST_F(MonitorTest, FailedReadReportsNothingClosed) {
  ScriptedSource source;
  source.polls = {std::vector{Row("10", 1000), Row("10", 1001)}, std::nullopt,
                  std::vector{Row("10", 1000), Row("10", 1001, "CLOSE_WAIT")}};
  StartMonitor(state_);
  PollCycle(state_, source);
  Advance(1);
  PollCycle(state_, source);
  EXPECT_FALSE(state_.last_read_ok);
  EXPECT_EQ(state_.previous->rows.size(), 2u) << "the last good poll stays the comparison base";
  Advance(1);
  PollCycle(state_, source);

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u) << out();
  EXPECT_EQ(lines[0], "time,event,proto,pid,process,src_ip,src_port,dst_ip,dst_port,state,age_seconds");
  EXPECT_NE(lines[1].find("\"new\""), std::string::npos);
  EXPECT_NE(lines[2].find("\"new\""), std::string::npos);
  // Age counts from the first poll, across the failed one.
  EXPECT_NE(lines[3].find("\"state\",\"TCP\",\"10\",\"client\",\"127.0.0.1\",1001,\"127.0.0.1\",8080,"
                          "\"CLOSE_WAIT\",2"),
            std::string::npos)
      << lines[3];
  EXPECT_EQ(state_.counters.new_count, 2u);
  EXPECT_EQ(state_.counters.closed_count, 0u);
  EXPECT_EQ(state_.counters.state_count, 1u);
}

// Sockets that lived between two reads: filtered like any row, new then
// closed in the poll that hears of them, dated back by a known life, never
// active, and not read at all after a failed read.
TEST_F(MonitorTest, ShortLivedSocketsGoThroughTheFiltersAndCounters) {
  ScriptedSource source;
  source.polls = {std::vector{Row("10", 1000)}, std::vector{Row("10", 1000)}, std::nullopt};
  track::TConn brief = Row("20", 2000, "1");
  brief.life_ms = 3500;
  track::TConn listener = Row("20", 2001, "1");
  listener.dst_port = 0;  // the filters drop it as they drop any such row
  source.short_lived = {brief, listener};
  state_.settings.summary = true;
  StartMonitor(state_);
  PollCycle(state_, source);
  Advance(1);
  PollCycle(state_, source);
  PollCycle(state_, source);
  EXPECT_EQ(source.short_lived_reads, 2);

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 6u) << out();
  const std::string tail = ",\"TCP\",\"20\",\"client\",\"127.0.0.1\",2000,\"127.0.0.1\",8080,\"1\",";
  EXPECT_NE(lines[2].find("\"new\"" + tail + "0"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("\"closed\"" + tail + "3"), std::string::npos) << lines[3];
  EXPECT_NE(lines[4].find("\"new\"" + tail + "0"), std::string::npos) << lines[4];
  EXPECT_NE(lines[5].find("\"closed\"" + tail + "3"), std::string::npos) << lines[5];
  EXPECT_EQ(state_.counters.new_count, 3u);
  EXPECT_EQ(state_.counters.closed_count, 2u);
  EXPECT_EQ(state_.previous->rows.size(), 1u) << "only the polled socket is active";
  ASSERT_EQ(state_.process_counts.entries.size(), 2u);
  EXPECT_EQ(state_.process_counts.entries[1].name, "client (20)");
  EXPECT_EQ(state_.process_counts.entries[1].count, 2u);
}

TEST_F(MonitorTest, SettingsReachTheSource) {
  state_.settings.ipv6 = true;
  state_.settings.filters.dst_ports = config::PortSet().set(80).set(443);
  StartMonitor(state_);
  source::SourceSettings settings = SourceSettingsOf(state_);
  EXPECT_TRUE(settings.ipv6);
  EXPECT_TRUE(settings.short_lived);
  ASSERT_EQ(settings.filter.ports.size(), 2u);
  EXPECT_EQ(settings.filter.ports[1].first, 443);
  state_.settings.once = true;
  state_.settings.ipv6 = false;
  settings = SourceSettingsOf(state_);
  EXPECT_FALSE(settings.ipv6);
  EXPECT_FALSE(settings.short_lived) << "a single scan has no next poll";
}

TEST_F(MonitorTest, EmptyTableIsNotAFailure) {
  ScriptedSource source;
  source.polls = {std::vector{Row("10", 1000)}, std::vector<track::TConn>{}, std::vector{Row("10", 1000)}};
  StartMonitor(state_);
  for (int i = 0; i < 3; ++i) {
    PollCycle(state_, source);
    Advance(1);
  }
  EXPECT_TRUE(state_.last_read_ok);
  EXPECT_EQ(state_.counters.new_count, 2u);
  EXPECT_EQ(state_.counters.closed_count, 1u);
}

TEST_F(MonitorTest, StatisticsWhenThePeriodHasPassed) {
  state_.settings.format = config::Format::kJsonl;
  state_.settings.events.reset();
  state_.settings.stats_seconds = 5;
  ScriptedSource source;
  for (int i = 0; i < 12; ++i) source.polls.push_back(std::vector{Row("10", 1000)});
  StartMonitor(state_);
  std::vector<int> report_cycles;
  for (int cycle = 0; cycle < 12; ++cycle) {
    const auto before = out().size();
    Advance(1);  // the cycle ends one second after it starts
    PollCycle(state_, source);
    if (out().size() != before) report_cycles.push_back(cycle);
  }
  // Seconds since start at each cycle end: 1, 2, ... The first report at 5 s,
  // the next at least 5 s after it.
  EXPECT_EQ(report_cycles, (std::vector<int>{4, 9}));
  EXPECT_NE(
      out().find(
          "{\"type\":\"stats\",\"time\":\"14:03:12.000\",\"new\":1,\"closed\":0,\"state\":0,\"active\":1}"),
      std::string::npos)
      << out();
}

TEST_F(MonitorTest, BannerAndHeaderByFormat) {
  struct Case {
    config::Format format;
    std::string expected;
  };
  const Case cases[] = {
      {config::Format::kJsonl, ""},
      {config::Format::kTextWithoutBanner, ""},
      {config::Format::kCsv,
       std::string("time,event,proto,pid,process,src_ip,src_port,dst_ip,dst_port,state,age_seconds") +
           config::kEol},
  };
  for (const auto& c : cases) {
    out().clear();
    MonitorState state;
    state.console.capture = &captured_;
    state.settings.format = c.format;
    StartMonitor(state);
    output::FlushOut(state.console);
    EXPECT_EQ(out(), c.expected) << static_cast<int>(c.format);
  }
  out().clear();
  MonitorState state;
  state.console.capture = &captured_;
  state.settings.interval_ms = 1500;
  StartMonitor(state);
  output::FlushOut(state.console);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind(std::string("SOCKVANE ") + config::kVersion + " | source=", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 17), " | polling=1500ms") << lines[0];
  EXPECT_EQ(
      lines[1],
      "TIME         EVENT PROTO      PID PROCESS              SPORT DST-IP                                   "
      "DPORT STATE           AGE");
}

// Ages, the uptime, the statistics period and the pause follow the steady
// clock; the local time, which a daylight-saving change or a clock step
// moves, shows only in the timestamps.
TEST_F(MonitorTest, WallClockStepsMoveOnlyTheTimestamps) {
  ScriptedSource source;
  source.polls = {std::vector{Row("10", 1000), Row("10", 1001)}, std::vector{Row("10", 1000, "CLOSE_WAIT")},
                  std::vector<track::TConn>{}};
  state_.settings.stats_seconds = 3;
  StartMonitor(state_);
  EXPECT_EQ(PollCycle(state_, source), 0);
  Advance(2.4);
  // The wall clock goes an hour back during a read that takes 100 ms.
  source.while_reading = [] {
    Advance(0.1);
    g_local_ms -= 3600 * 1000;
  };
  EXPECT_EQ(PauseAfterCycle(500, PollCycle(state_, source)), 400u);
  Advance(0.9);
  // And two hours forward.
  source.while_reading = [] {
    Advance(0.1);
    g_local_ms += 7200 * 1000;
  };
  EXPECT_EQ(PauseAfterCycle(500, PollCycle(state_, source)), 400u);

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 7u) << out();
  const std::string tail = ",\"127.0.0.1\",8080,";
  EXPECT_EQ(lines[3], "\"13:03:09.500\",\"state\",\"TCP\",\"10\",\"client\",\"127.0.0.1\",1000" + tail +
                          "\"CLOSE_WAIT\",2");
  EXPECT_EQ(lines[4], "\"13:03:09.500\",\"closed\",\"TCP\",\"10\",\"client\",\"127.0.0.1\",1001" + tail +
                          "\"ESTABLISHED\",2");
  EXPECT_EQ(lines[5], "\"15:03:10.500\",\"closed\",\"TCP\",\"10\",\"client\",\"127.0.0.1\",1000" + tail +
                          "\"CLOSE_WAIT\",3");
  EXPECT_EQ(lines[6], "# STATS uptime=3s new=2 closed=2 state=1 active=0");
}

TEST(PauseAfterCycle, NeverLongerThanTheInterval) {
  struct Case {
    int32_t interval;
    int64_t elapsed;
    uint32_t pause;
  };
  const Case cases[] = {
      {500, 0, 500},  {500, 499, 1},        {500, 500, 0}, {500, 7000, 0},
      {500, -1, 500}, {500, -3600000, 500}, {1, 0, 1},     {1, 1, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PauseAfterCycle(c.interval, c.elapsed), c.pause) << c.interval << " " << c.elapsed;
  }
}

}  // namespace
}  // namespace sockvane::app
