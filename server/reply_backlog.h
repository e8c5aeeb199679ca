#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kova {

// The sending side of one client connection.
class ByteWriter {
 public:
  virtual ~ByteWriter() = default;
  // Hands bytes to the connection without waiting: returns how many it took (0 when it has no
  // room now), or -1 when the connection has failed.
  virtual std::ptrdiff_t write(const char* data, std::size_t size) = 0;
};

enum class Delivery {
  Done,     // every reply has gone out
  Waiting,  // some bytes wait for the connection to have room
  Release,  // the connection failed or the client stopped reading: let it go
};

// A client's replies that its connection would not take yet. A reply goes out at once when
// nothing waits before it; otherwise it waits, in order, behind the others. A client that lets
// more than ReplyBacklogLimit bytes pile up is not reading, and is released before it can cost
// the program unbounded memory.
class ReplyBacklog {
 public:
  // With the 30 to 40 KiB the kernel holds for a client (EpollListener::SendBuffer), about
  // 64 KiB in all.
  static constexpr std::size_t ReplyBacklogLimit = 32 * 1024;

  Delivery deliver(ByteWriter& writer, std::string_view reply);
  // Sends what waits; for when the connection has room again.
  Delivery flush(ByteWriter& writer);
  std::size_t waiting() const { return m_bytes.size() - m_sent; }

 private:
  // Empty (and without heap memory) for every client that keeps up.
  std::string m_bytes;
  std::size_t m_sent = 0;
};

}  // namespace kova
