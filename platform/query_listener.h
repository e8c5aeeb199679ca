#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kova {

// The query server's sockets: one TCP listener and every client it accepts.
class QueryListener {
 public:
  // Answers one arrival of request bytes (everything waiting on a connection); the reply it
  // returns stays valid until the next call.
  using Responder = std::function<std::string_view(std::string_view request)>;

  virtual ~QueryListener() = default;
  // Listens on TCP port on every local address and answers each arrival with responder's
  // reply. Returns an empty text, or the cause when the port cannot be had.
  virtual std::string listen(std::uint16_t port, Responder responder) = 0;
};

}  // namespace kova
