#include "server/reply_backlog.h"

namespace kova {

Delivery ReplyBacklog::deliver(ByteWriter& writer, std::string_view reply) {
  if (waiting() == 0) {
    const std::ptrdiff_t taken = writer.write(reply.data(), reply.size());
    if (taken < 0) return Delivery::Release;
    reply.remove_prefix(static_cast<std::size_t>(taken));
    if (reply.empty()) return Delivery::Done;
  }
  if (waiting() + reply.size() > ReplyBacklogLimit) return Delivery::Release;
  m_bytes.erase(0, m_sent);
  m_sent = 0;
  m_bytes.append(reply);
  return Delivery::Waiting;
}

Delivery ReplyBacklog::flush(ByteWriter& writer) {
  if (waiting() == 0) return Delivery::Done;
  const std::ptrdiff_t taken = writer.write(m_bytes.data() + m_sent, waiting());
  if (taken < 0) return Delivery::Release;
  m_sent += static_cast<std::size_t>(taken);
  if (waiting() > 0) return Delivery::Waiting;
  // A client that caught up goes back to costing nothing.
  std::string().swap(m_bytes);
  m_sent = 0;
  return Delivery::Done;
}

}  // namespace kova
