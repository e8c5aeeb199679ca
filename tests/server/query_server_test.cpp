#include "server/query_server.h"

#include <gtest/gtest.h>

#include <string>

namespace kova {
namespace {

// A listener that remembers what it was asked to do and plays arrivals to the responder.
class FakeQueryListener : public QueryListener {
 public:
  std::string listen(std::uint16_t port, Responder responder) override {
    listenedOn = port;
    m_responder = std::move(responder);
    return failure;
  }
  std::string arrive(std::string_view request) { return std::string(m_responder(request)); }

  std::string failure;
  int listenedOn = -1;

 private:
  Responder m_responder;
};

TEST(QueryServer, ListensOnPort2947) {
  FakeQueryListener listener;
  PositionState position;
  QueryServer server(listener, position);
  EXPECT_EQ(server.open(), "");
  EXPECT_EQ(listener.listenedOn, 2947);
}

TEST(QueryServer, AFailureNamesThePortAndTheCause) {
  FakeQueryListener listener;
  listener.failure = "Address already in use";
  PositionState position;
  QueryServer server(listener, position);
  EXPECT_EQ(server.open(), "cannot listen on TCP port 2947: Address already in use");
}

TEST(QueryServer, EachArrivalReadsThePositionAsItStandsThen) {
  FakeQueryListener listener;
  PositionState position;
  QueryServer server(listener, position);
  ASSERT_EQ(server.open(), "");
  EXPECT_EQ(listener.arrive("pm"), "KOVA,P=0.000000 0.000000,M=0\r\n");
  position.Latitude = 48.5f;
  position.Longitude = -9.25f;
  position.FixMode = 3;
  EXPECT_EQ(listener.arrive("pm"), "KOVA,P=48.500000 -9.250000,M=3\r\n");
}

}  // namespace
}  // namespace kova
