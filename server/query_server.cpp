#include "server/query_server.h"

namespace kova {

std::string QueryServer::open() {
  const std::string cause =
      m_listener.listen(Port, [this](std::string_view request) { return DataArrival(request); });
  if (cause.empty()) return {};
  return "cannot listen on TCP port " + std::to_string(Port) + ": " + cause;
}

std::string_view QueryServer::DataArrival(std::string_view request) {
  return {m_reply, BuildQueryReply(request, m_position, m_reply)};
}

}  // namespace kova
