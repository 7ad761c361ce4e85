#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <random>

#include "source/netlink_linux.h"
#include "support/text_rows.h"

namespace sockvane::source {
namespace {

constexpr uint32_t kSeq = 77;

void AppendMessage(std::vector<uint8_t>& buf, uint16_t type, const void* payload, std::size_t size,
                   uint32_t seq = kSeq) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(size));
  header.nlmsg_type = type;
  header.nlmsg_seq = seq;
  std::size_t start = buf.size();
  buf.resize(start + NLMSG_ALIGN(header.nlmsg_len));
  std::memcpy(buf.data() + start, &header, sizeof header);
  if (size > 0) std::memcpy(buf.data() + start + NLMSG_HDRLEN, payload, size);
}

inet_diag_msg Row(uint8_t family, uint8_t state, std::initializer_list<uint8_t> src, uint16_t sport,
                  std::initializer_list<uint8_t> dst, uint16_t dport, uint32_t inode) {
  inet_diag_msg msg{};
  msg.idiag_family = family;
  msg.idiag_state = state;
  msg.id.idiag_sport = htons(sport);
  msg.id.idiag_dport = htons(dport);
  if (src.size() > 0) std::memcpy(msg.id.idiag_src, std::data(src), src.size());
  if (dst.size() > 0) std::memcpy(msg.id.idiag_dst, std::data(dst), dst.size());
  msg.idiag_inode = inode;
  return msg;
}

void AppendRow(std::vector<uint8_t>& buf, const inet_diag_msg& msg, uint32_t seq = kSeq) {
  AppendMessage(buf, SOCK_DIAG_BY_FAMILY, &msg, sizeof msg, seq);
}

void AppendDone(std::vector<uint8_t>& buf, int error = 0) {
  AppendMessage(buf, NLMSG_DONE, &error, sizeof error);
}

TEST(DiagReply, RowsThenDone) {
  std::vector<uint8_t> buf;
  inet_diag_msg owned = Row(AF_INET, 1, {192, 168, 1, 10}, 50000, {93, 184, 216, 34}, 443, 67890);
  owned.idiag_uid = 4242;
  AppendRow(buf, owned);
  AppendRow(buf, Row(AF_INET6, 10, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 8080, {}, 0, 5));
  AppendRow(buf, Row(AF_INET, 6, {127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, 0), kSeq + 1);  // stale reply
  AppendRow(buf, Row(AF_UNIX, 1, {}, 1, {}, 2, 3));                                    // not an inet family
  AppendDone(buf);
  AppendRow(buf, Row(AF_INET, 1, {1, 1, 1, 1}, 1, {2, 2, 2, 2}, 2, 9));  // after DONE: ignored

  // An odd offset: the parser must not rely on alignment.
  std::vector<uint8_t> shifted(buf.size() + 1);
  std::memcpy(shifted.data() + 1, buf.data(), buf.size());
  std::vector<RawSocket> rows;
  ASSERT_EQ(ParseDiagReply(shifted.data() + 1, buf.size(), kSeq, kProtoTcp, rows), DiagStatus::kDone);
  ASSERT_EQ(rows.size(), 2u);

  track::TConn first_row, second_row;
  FillAddressFields(rows[0], first_row);
  FillAddressFields(rows[1], second_row);
  const testing::TextRow first = testing::TextsOfRow(first_row), second = testing::TextsOfRow(second_row);
  EXPECT_EQ(first.src_ip, "192.168.1.10");
  EXPECT_EQ(first.src_port, 50000);
  EXPECT_EQ(first.dst_ip, "93.184.216.34");
  EXPECT_EQ(first.dst_port, 443);
  EXPECT_EQ(first.state, "ESTABLISHED");
  EXPECT_EQ(rows[0].inode, 67890u);
  EXPECT_EQ(rows[0].uid, 4242u);
  EXPECT_EQ(rows[1].uid, 0u);
  EXPECT_EQ(second.src_ip, "::1");
  EXPECT_EQ(second.src_port, 8080);
  EXPECT_EQ(second.dst_ip, "::");
  EXPECT_EQ(second.state, "LISTEN");
}

TEST(DiagReply, StatusOfEachKindOfBuffer) {
  const inet_diag_msg row = Row(AF_INET, 1, {127, 0, 0, 1}, 1, {127, 0, 0, 1}, 2, 3);
  std::vector<uint8_t> only_rows;
  AppendRow(only_rows, row);
  AppendRow(only_rows, row);

  std::vector<uint8_t> error;
  nlmsgerr err{};
  err.error = -ENOENT;
  AppendMessage(error, NLMSG_ERROR, &err, sizeof err);

  std::vector<uint8_t> failed_done;
  AppendDone(failed_done, -EINTR);

  std::vector<uint8_t> short_done;  // DONE without its error code still ends the dump
  AppendMessage(short_done, NLMSG_DONE, nullptr, 0);

  std::vector<uint8_t> short_payload;
  AppendMessage(short_payload, SOCK_DIAG_BY_FAMILY, &row, sizeof row - 1);

  std::vector<uint8_t> unknown_type;
  AppendMessage(unknown_type, NLMSG_NOOP, nullptr, 0);

  std::vector<uint8_t> too_long = only_rows;  // claims more bytes than arrived
  uint32_t claimed = static_cast<uint32_t>(too_long.size() + 1);
  std::memcpy(too_long.data(), &claimed, sizeof claimed);

  std::vector<uint8_t> too_short = only_rows;  // smaller than its own header
  claimed = 8;
  std::memcpy(too_short.data(), &claimed, sizeof claimed);

  std::vector<uint8_t> tail = only_rows;  // a partial header at the end
  tail.resize(tail.size() + 10);

  const struct {
    const char* name;
    const std::vector<uint8_t>& buf;
    DiagStatus status;
    std::size_t rows;
  } cases[] = {
      {"only rows", only_rows, DiagStatus::kMore, 2},
      {"error", error, DiagStatus::kError, 0},
      {"failed done", failed_done, DiagStatus::kError, 0},
      {"short done", short_done, DiagStatus::kDone, 0},
      {"short payload", short_payload, DiagStatus::kError, 0},
      {"unknown type", unknown_type, DiagStatus::kMore, 0},
      {"too long", too_long, DiagStatus::kError, 0},
      {"too short", too_short, DiagStatus::kError, 0},
      {"partial tail", tail, DiagStatus::kError, 2},
  };
  for (const auto& c : cases) {
    std::vector<RawSocket> rows;
    EXPECT_EQ(ParseDiagReply(c.buf.data(), c.buf.size(), kSeq, kProtoTcp, rows), c.status) << c.name;
    EXPECT_EQ(rows.size(), c.rows) << c.name;
  }
  std::vector<RawSocket> rows;
  EXPECT_EQ(ParseDiagReply(nullptr, 0, kSeq, kProtoTcp, rows), DiagStatus::kMore);
}

TEST(DiagReply, MutatedBuffersStayInBounds) {
  std::vector<uint8_t> valid;
  for (int i = 0; i < 4; ++i) {
    AppendRow(valid, Row(AF_INET6, 1, {1, 2, 3}, 80, {4, 5, 6}, 443, static_cast<uint32_t>(i)));
  }
  AppendDone(valid);
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> buf = valid;
    for (int flips = random() % 8; flips >= 0; --flips) {
      buf[random() % buf.size()] = static_cast<uint8_t>(random());
    }
    buf.resize(random() % (buf.size() + 1));
    // An exact-size copy so that the sanitizer sees any read past the end.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[buf.size()]);
    std::memcpy(exact.get(), buf.data(), buf.size());
    std::vector<RawSocket> rows;
    ParseDiagReply(exact.get(), buf.size(), kSeq, kProtoTcp, rows);
    ASSERT_LE(rows.size() * (NLMSG_HDRLEN + sizeof(inet_diag_msg)), buf.size());
  }
}

}  // namespace
}  // namespace sockvane::source
