#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/query_listener.h"
#include "server/query_reply.h"
#include "state/position_state.h"

namespace kova {

// Winsock1: answers position queries on TCP port 2947, each from the position as it stands
// when the request arrives.
class QueryServer {
 public:
  static constexpr std::uint16_t Port = 2947;

  QueryServer(QueryListener& listener, const PositionState& position)
      : m_listener(listener), m_position(position) {}

  // Opens the listener. Returns an empty text, or a sentence for the user that names the port
  // and the cause.
  std::string open();
  // The DataArrival handler.
  std::string_view DataArrival(std::string_view request);

 private:
  QueryListener& m_listener;
  const PositionState& m_position;
  char m_reply[QueryReplyCapacity];
};

}  // namespace kova
