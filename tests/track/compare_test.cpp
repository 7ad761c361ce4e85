#include "track/compare.h"

#include <gtest/gtest.h>

#include "support/text_rows.h"

namespace sockvane::track {
namespace {

int64_t g_now = 0;

struct Event {
  std::string event, pid, state, process;
  int32_t age;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << e.event << " pid=" << e.pid << " state=" << e.state << " process=" << e.process
             << " age=" << e.age;
}

TConn Row(std::string pid, std::string state = "ESTABLISHED", std::string process = "browser.exe",
          uint16_t src_port = 50123) {
  return testing::RowFromTexts({"TCP", std::move(pid), std::move(process), "192.168.1.20", src_port,
                                "203.0.113.5", 443, std::move(state)});
}

// Drives polls the way the loop does: fill current, compare, swap.
struct Polls {
  Snapshot previous, current;
  Counters counters;
  ProcessCounts process_counts;
  std::vector<Event> events;
  Counters counters_seen_by_sink;

  std::vector<Event> Poll(const std::vector<TConn>& rows, const std::vector<TConn>* lived = nullptr) {
    ClearSnapshot(current);
    for (const TConn& row : rows) AddRow(current, row, g_now);
    SealSnapshot(current);
    Snapshot short_lived;
    if (lived != nullptr) {
      for (const TConn& row : *lived) AddRow(short_lived, row, g_now);
      SealSnapshot(short_lived);
    }
    events.clear();
    CompareSnapshots(
        current, previous, counters, process_counts,
        [this](track::Event event, const TConn& c, int32_t age) {
          const testing::TextRow texts = testing::TextsOfRow(c);
          events.push_back({std::string(EventName(event)), texts.pid, texts.state, texts.process, age});
          counters_seen_by_sink = counters;
        },
        g_now, lived != nullptr ? &short_lived : nullptr);
    std::swap(current, previous);
    return events;
  }
};

TEST(CompareSnapshots, SameSocketsTwiceGiveNoEventsAndCarryFirstSeen) {
  g_now = 0;
  Polls run;
  EXPECT_EQ(run.Poll({Row("1"), Row("2")}).size(), 2u);
  g_now += 5000;
  EXPECT_TRUE(run.Poll({Row("2"), Row("1")}).empty());
  ASSERT_EQ(run.previous.rows.size(), 2u);
  EXPECT_EQ(run.previous.rows[0].first_seen, 0);
  EXPECT_EQ(run.previous.rows[1].first_seen, 0);
  EXPECT_EQ(run.counters.new_count, 2u);
  EXPECT_EQ(run.counters.closed_count + run.counters.state_count, 0u);
}

TEST(CompareSnapshots, StateChangeIsDatedFromTheFirstPoll) {
  g_now = 0;
  Polls run;
  EXPECT_EQ(run.Poll({Row("1", "SYN_SENT")}),
            (std::vector<Event>{{"new", "1", "SYN_SENT", "browser.exe", 0}}));
  g_now += 2000;
  EXPECT_TRUE(run.Poll({Row("1", "SYN_SENT")}).empty());
  g_now += 1500;
  EXPECT_EQ(run.Poll({Row("1", "ESTABLISHED")}),
            (std::vector<Event>{{"state", "1", "ESTABLISHED", "browser.exe", 3}}));
  g_now += 1000;
  EXPECT_TRUE(run.Poll({Row("1", "ESTABLISHED")}).empty());
  EXPECT_EQ(run.counters.state_count, 1u);
  EXPECT_EQ(run.counters_seen_by_sink.state_count, 1u);  // counted before rendering
}

TEST(CompareSnapshots, PidChangeGivesNewBeforeClosed) {
  g_now = 0;
  Polls run;
  run.Poll({Row("900", "ESTABLISHED", "old.exe")});
  g_now += 4000;
  // "new" first although the closed key (pid 900) sorts before... and after.
  EXPECT_EQ(run.Poll({Row("1000")}), (std::vector<Event>{{"new", "1000", "ESTABLISHED", "browser.exe", 0},
                                                         {"closed", "900", "ESTABLISHED", "old.exe", 4}}));
  EXPECT_EQ(run.Poll({Row("1")}), (std::vector<Event>{{"new", "1", "ESTABLISHED", "browser.exe", 0},
                                                      {"closed", "1000", "ESTABLISHED", "browser.exe", 0}}));
}

TEST(CompareSnapshots, EmptyPollClosesAllThenTheyAreNewAgain) {
  g_now = 0;
  Polls run;
  run.Poll({Row("1"), Row("2", "SYN_SENT")});
  g_now += 10000;
  const std::vector<Event> closed = run.Poll({});
  EXPECT_EQ(closed, (std::vector<Event>{{"closed", "1", "ESTABLISHED", "browser.exe", 10},
                                        {"closed", "2", "SYN_SENT", "browser.exe", 10}}));
  g_now += 1000;
  EXPECT_EQ(run.Poll({Row("1"), Row("2")}).size(), 2u);
  g_now += 2000;
  // Fresh first_seen: the age counts from the poll after the gap.
  EXPECT_EQ(run.Poll({}), (std::vector<Event>{{"closed", "1", "ESTABLISHED", "browser.exe", 2},
                                              {"closed", "2", "ESTABLISHED", "browser.exe", 2}}));
  EXPECT_EQ(run.counters.new_count, 4u);
  EXPECT_EQ(run.counters.closed_count, 4u);
  ASSERT_EQ(run.process_counts.entries.size(), 2u);
  EXPECT_EQ(run.process_counts.entries[0].count, 2u);
}

TEST(CompareSnapshots, ClosedShowsTheLastRecordAndNewerNamesWin) {
  g_now = 0;
  Polls run;
  run.Poll({Row("1", "ESTABLISHED", "before.exe")});
  EXPECT_TRUE(run.Poll({Row("1", "ESTABLISHED", "after.exe")}).empty());
  EXPECT_EQ(run.Poll({}), (std::vector<Event>{{"closed", "1", "ESTABLISHED", "after.exe", 0}}));
}

TEST(AgeSeconds, TruncatesTowardZero) {
  EXPECT_EQ(AgeSeconds(100, 100), 0);
  EXPECT_EQ(AgeSeconds(100, 100 + 59999), 59);
  EXPECT_EQ(AgeSeconds(100, 100 - 59999), -59);
  EXPECT_EQ(AgeSeconds(0, 86400000), 86400);
  // Beyond 32 bits only the low bits are kept, as documented.
  EXPECT_EQ(AgeSeconds(0, 4294967296000 + 5000), 5);
  // A clock gone mad must not be undefined behaviour.
  EXPECT_EQ(AgeSeconds(INT64_MIN, INT64_MAX), 0);
}

TEST(CountNewSocket, CaseDifferentNamesShareTheFirstSpelling) {
  ProcessCounts counts;
  CountNewSocket(counts, Row("4312", "ESTABLISHED", "browser.exe"));
  CountNewSocket(counts, Row("4312", "ESTABLISHED", "browser.exe"));
  CountNewSocket(counts, Row("4313", "ESTABLISHED", "browser.exe"));
  CountNewSocket(counts, Row("4312", "ESTABLISHED", "BROWSER.EXE"));
  CountNewSocket(counts, Row("2210", "ESTABLISHED", "mailer.exe"));
  ASSERT_EQ(counts.entries.size(), 3u);
  EXPECT_EQ(counts.entries[0].name, "browser.exe (4312)");
  EXPECT_EQ(counts.entries[0].count, 3u);
  EXPECT_EQ(counts.entries[1].name, "browser.exe (4313)");
  EXPECT_EQ(counts.entries[1].count, 1u);
  EXPECT_EQ(counts.entries[2].name, "mailer.exe (2210)");

  ProcessCounts upper_first;
  CountNewSocket(upper_first, Row("1", "ESTABLISHED", "Svc\xC9.exe"));
  CountNewSocket(upper_first, Row("1", "ESTABLISHED", "svc\xC9.EXE"));
  CountNewSocket(upper_first, Row("1", "ESTABLISHED", "svc\xE9.exe"));  // not ASCII: a different name
  ASSERT_EQ(upper_first.entries.size(), 2u);
  EXPECT_EQ(upper_first.entries[0].name, "Svc\xC9.exe (1)");
  EXPECT_EQ(upper_first.entries[0].count, 2u);
}

TEST(CompareSnapshots, NewSocketIsTalliedBeforeItIsRendered) {
  g_now = 0;
  Polls run;
  std::size_t entries_at_render = 0;
  run.Poll({});
  ClearSnapshot(run.current);
  AddRow(run.current, Row("5"), g_now);
  SealSnapshot(run.current);
  CompareSnapshots(
      run.current, run.previous, run.counters, run.process_counts,
      [&](track::Event, const TConn&, int32_t) { entries_at_render = run.process_counts.entries.size(); },
      g_now);
  EXPECT_EQ(entries_at_render, 1u);
  EXPECT_EQ(run.counters.new_count, 1u);
}

}  // namespace
}  // namespace sockvane::track

namespace sockvane::track {
namespace {

// Sockets that lived between two reads: new in the first pass, closed in the
// second, each merged into key order; keys the polls report stay theirs.
TEST(CompareSnapshots, ShortLivedSocketsMergeIntoKeyOrder) {
  struct Case {
    const char* name;
    std::vector<TConn> before, now, lived;
    std::vector<Event> want;
  };
  const std::vector<Case> cases = {
      {"alone",
       {},
       {},
       {Row("7", "CLOSE")},
       {{"new", "7", "CLOSE", "browser.exe", 0}, {"closed", "7", "CLOSE", "browser.exe", 0}}},
      {"between live keys",
       {Row("100"), Row("300")},
       {Row("300"), Row("400")},
       {Row("200", "SYN_SENT"), Row("350", "CLOSE")},
       {{"new", "200", "SYN_SENT", "browser.exe", 0},
        {"new", "350", "CLOSE", "browser.exe", 0},
        {"new", "400", "ESTABLISHED", "browser.exe", 0},
        {"closed", "100", "ESTABLISHED", "browser.exe", 0},
        {"closed", "200", "SYN_SENT", "browser.exe", 0},
        {"closed", "350", "CLOSE", "browser.exe", 0}}},
      {"key still open is left to the polls",
       {},
       {Row("5")},
       {Row("5", "CLOSE")},
       {{"new", "5", "ESTABLISHED", "browser.exe", 0}}},
      {"key closing now is left to the polls",
       {Row("5")},
       {},
       {Row("5", "CLOSE")},
       {{"closed", "5", "ESTABLISHED", "browser.exe", 0}}},
      {"one event pair per key",
       {},
       {},
       {Row("9", "CLOSE"), Row("9", "TIME_WAIT")},
       {{"new", "9", "CLOSE", "browser.exe", 0}, {"closed", "9", "CLOSE", "browser.exe", 0}}},
      {"after every live key",
       {Row("1")},
       {Row("1", "CLOSE_WAIT")},
       {Row("2", "CLOSE")},
       {{"state", "1", "CLOSE_WAIT", "browser.exe", 0},
        {"new", "2", "CLOSE", "browser.exe", 0},
        {"closed", "2", "CLOSE", "browser.exe", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_now = 0;
    Polls run;
    run.Poll(c.before);
    const Counters start = run.counters;
    EXPECT_EQ(run.Poll(c.now, &c.lived), c.want);
    uint64_t news = 0, closes = 0;
    for (const Event& e : c.want) {
      news += e.event == "new";
      closes += e.event == "closed";
    }
    EXPECT_EQ(run.counters.new_count - start.new_count, news);
    EXPECT_EQ(run.counters.closed_count - start.closed_count, closes);
    // Not carried: the next poll has nothing of them.
    for (const Event& e : run.Poll(c.now)) EXPECT_NE(e.event, "closed") << e;
  }
}

TEST(CompareSnapshots, ShortLivedSocketIsTalliedPerProcess) {
  g_now = 0;
  Polls run;
  const std::vector<TConn> lived = {Row("42", "CLOSE", "curl"), Row("43", "CLOSE", "curl", 50124)};
  run.Poll({}, &lived);
  ASSERT_EQ(run.process_counts.entries.size(), 2u);
  EXPECT_EQ(run.process_counts.entries[0].name, "curl (42)");
  EXPECT_EQ(run.counters.new_count, 2u);
  EXPECT_EQ(run.counters.closed_count, 2u);
  EXPECT_TRUE(run.previous.rows.empty());
}

}  // namespace
}  // namespace sockvane::track
