// Arbitrary request bytes and position values through the reply builder, and the replies of
// arbitrary arrivals through a client's backlog on a connection that takes arbitrary amounts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bench/soak_check.h"
#include "server/query_reply.h"
#include "server/reply_backlog.h"

namespace {

using kova::Delivery;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Takes as many bytes as the fuzzer's next room byte says (255: fails).
class ScriptedWriter : public kova::ByteWriter {
 public:
  explicit ScriptedWriter(std::string_view script) : m_script(script) {}
  std::ptrdiff_t write(const char* data, std::size_t size) override {
    unsigned char room = 64;
    if (!m_script.empty()) {
      room = static_cast<unsigned char>(m_script.front());
      m_script.remove_prefix(1);
    }
    if (room == 255) return -1;
    const std::size_t taken = size < room ? size : room;
    received.append(data, taken);
    return static_cast<std::ptrdiff_t>(taken);
  }
  std::string received;

 private:
  std::string_view m_script;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kova::PositionState state;
  constexpr std::size_t StateBytes = 6 * sizeof(float) + sizeof(std::int16_t);
  if (size < StateBytes + 1) return 0;
  float values[6];
  std::memcpy(values, data, sizeof values);
  state.Latitude = values[0];
  state.Longitude = values[1];
  state.Altitude = values[2];
  state.Heading = values[3];
  state.Speed = values[4];
  state.FixQuality = values[5];
  std::memcpy(&state.FixMode, data + sizeof values, sizeof state.FixMode);

  // The rest: a script of connection room bytes, then arrivals separated by '|'.
  std::string_view rest(reinterpret_cast<const char*>(data) + StateBytes, size - StateBytes);
  const std::size_t scriptSize = static_cast<unsigned char>(rest.front()) % 16;
  rest.remove_prefix(1);
  const std::string_view script = rest.substr(0, scriptSize);
  rest.remove_prefix(script.size());

  ScriptedWriter connection(script);
  kova::ReplyBacklog backlog;
  std::string replies;
  char reply[kova::QueryReplyCapacity];
  for (;;) {
    const std::size_t cut = rest.find('|');
    const std::string_view request = rest.substr(0, cut);
    const std::size_t length = kova::BuildQueryReply(request, state, reply);
    Check(length <= kova::QueryReplyCapacity &&
          kova::soak::WellFormedReply(request, {reply, length}));
    replies.append(reply, length);
    const Delivery delivery = backlog.deliver(connection, {reply, length});
    if (delivery == Delivery::Release) return 0;
    Check((delivery == Delivery::Waiting) == (backlog.waiting() > 0));
    Check(backlog.waiting() <= kova::ReplyBacklog::ReplyBacklogLimit);
    // Whatever went out went out whole and in order.
    Check(replies.compare(0, connection.received.size(), connection.received) == 0);
    Check(connection.received.size() + backlog.waiting() == replies.size());
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  Delivery last = Delivery::Waiting;
  while (last == Delivery::Waiting) last = backlog.flush(connection);
  if (last == Delivery::Done) Check(connection.received == replies);
  return 0;
}
