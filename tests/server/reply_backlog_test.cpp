#include "server/reply_backlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace kova {
namespace {

// A connection that takes only as many bytes as it is given room for, or fails when told.
class FakeByteWriter : public ByteWriter {
 public:
  std::ptrdiff_t write(const char* data, std::size_t size) override {
    if (failing) return -1;
    const std::size_t taken = std::min(size, room);
    received.append(data, taken);
    room -= taken;
    return static_cast<std::ptrdiff_t>(taken);
  }
  std::size_t room = SIZE_MAX;
  bool failing = false;
  std::string received;
};

const std::string Reply = "KOVA,P=48.500000 -9.250000,M=3\r\n";

TEST(ReplyBacklog, AReplyTheConnectionTakesWholeLeavesNothingWaiting) {
  FakeByteWriter connection;
  ReplyBacklog backlog;
  EXPECT_EQ(backlog.deliver(connection, Reply), Delivery::Done);
  EXPECT_EQ(connection.received, Reply);
  EXPECT_EQ(backlog.waiting(), 0u);
}

TEST(ReplyBacklog, WhatTheConnectionWillNotTakeGoesOutLaterInOrder) {
  FakeByteWriter connection;
  connection.room = 10;
  ReplyBacklog backlog;
  EXPECT_EQ(backlog.deliver(connection, Reply), Delivery::Waiting);
  EXPECT_EQ(backlog.deliver(connection, "KOVA\r\n"), Delivery::Waiting);
  EXPECT_EQ(backlog.waiting(), Reply.size() - 10 + 6);

  connection.room = 5;
  EXPECT_EQ(backlog.flush(connection), Delivery::Waiting);
  EXPECT_EQ(backlog.deliver(connection, "KOVA,M=3\r\n"), Delivery::Waiting);
  connection.room = SIZE_MAX;
  EXPECT_EQ(backlog.flush(connection), Delivery::Done);
  EXPECT_EQ(connection.received, Reply + "KOVA\r\nKOVA,M=3\r\n");
  EXPECT_EQ(backlog.waiting(), 0u);
  EXPECT_EQ(backlog.deliver(connection, "KOVA\r\n"), Delivery::Done);
}

TEST(ReplyBacklog, AFailedConnectionIsReleased) {
  struct Case {
    const char* name;
    bool waitingBefore;
    bool failOnFlush;
  };
  const Case cases[] = {
      {"send fails with nothing waiting", false, false},
      {"reply queued behind waiting bytes, then the flush fails", true, true},
  };
  for (const Case& c : cases) {
    FakeByteWriter connection;
    ReplyBacklog backlog;
    if (c.waitingBefore) {
      connection.room = 0;
      ASSERT_EQ(backlog.deliver(connection, Reply), Delivery::Waiting) << c.name;
    }
    connection.failing = true;
    const Delivery outcome = c.failOnFlush ? backlog.flush(connection) : backlog.deliver(connection, Reply);
    EXPECT_EQ(outcome, Delivery::Release) << c.name;
  }
}

TEST(ReplyBacklog, AClientThatStopsReadingIsReleasedPastTheLimit) {
  FakeByteWriter connection;
  connection.room = 0;
  ReplyBacklog backlog;
  const std::string chunk(1024, 'x');
  for (std::size_t i = 0; i < ReplyBacklog::ReplyBacklogLimit / 1024; ++i)
    ASSERT_EQ(backlog.deliver(connection, chunk), Delivery::Waiting) << i;
  EXPECT_EQ(backlog.waiting(), ReplyBacklog::ReplyBacklogLimit);
  EXPECT_EQ(backlog.deliver(connection, "K"), Delivery::Release);
}

TEST(ReplyBacklog, TheLimitCountsOnlyWhatStillWaits) {
  FakeByteWriter connection;
  connection.room = 0;
  ReplyBacklog backlog;
  const std::string chunk(1024, 'x');
  for (std::size_t i = 0; i < ReplyBacklog::ReplyBacklogLimit / 1024; ++i)
    ASSERT_EQ(backlog.deliver(connection, chunk), Delivery::Waiting) << i;
  connection.room = 1024;
  ASSERT_EQ(backlog.flush(connection), Delivery::Waiting);
  EXPECT_EQ(backlog.deliver(connection, chunk), Delivery::Waiting);
  EXPECT_EQ(backlog.waiting(), ReplyBacklog::ReplyBacklogLimit);
}

}  // namespace
}  // namespace kova
