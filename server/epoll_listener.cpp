#include "server/epoll_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kova {
namespace {

// The kernel caps the queue of connections not yet accepted at net.core.somaxconn (4096 on
// current kernels); asking for more takes whatever the host allows, so a burst of a thousand
// connects waits in the queue instead of being dropped and retried a second later.
constexpr int ListenBacklog = 65535;
constexpr int MaxEventsPerRound = 256;
constexpr std::size_t FirstRequestBuffer = 64 * 1024;
// One arrival reads at most this much; a client that sends more has the rest answered as a
// later arrival, so it cannot hold the other clients up.
constexpr std::size_t ArrivalLimit = 1024 * 1024;

class SocketWriter final : public ByteWriter {
 public:
  explicit SocketWriter(int fd) : m_fd(fd) {}
  std::ptrdiff_t write(const char* data, std::size_t size) override {
    for (;;) {
      // A client that has gone must not end the program with SIGPIPE.
      const ssize_t sent = ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return sent;
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
  }

 private:
  int m_fd;
};

// Every client takes a descriptor; the usual soft limit of 1024 would turn thousands away.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// host empty: every address of the family.
int ListenOn(int family, const std::string& host, std::uint16_t port, int& error) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  const int on = 1;
  const int off = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in6 any6{};
  sockaddr_in any4{};
  const sockaddr* address = reinterpret_cast<const sockaddr*>(&any4);
  socklen_t addressSize = sizeof any4;
  if (family == AF_INET6) {
    // One socket for both families: IPv4 clients arrive as mapped addresses.
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    if (!host.empty()) inet_pton(AF_INET6, host.c_str(), &any6.sin6_addr);
    any6.sin6_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&any6);
    addressSize = sizeof any6;
  } else {
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!host.empty()) inet_pton(AF_INET, host.c_str(), &any4.sin_addr);
    any4.sin_port = htons(port);
  }
  if (::bind(fd, address, addressSize) != 0 || ::listen(fd, ListenBacklog) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ForUser(std::uint16_t port, const std::string& cause) {
  if (cause.empty()) return {};
  return "cannot listen on TCP port " + std::to_string(port) + ": " + cause;
}

}  // namespace

EpollListener::EpollListener(DescriptorReserve& reserve, ReadableWatch& watch,
                                       std::string address)
    : m_reserve(reserve), m_watch(watch), m_address(std::move(address)) {}

EpollListener::~EpollListener() {
  m_watch.setEnabled(false);
  m_watch.setOnReadable({});
  for (std::size_t fd = 0; fd < m_clients.size(); ++fd)
    if (m_clients[fd].open) ::close(static_cast<int>(fd));
  for (const int fd : {m_listener, m_epoll})
    if (fd >= 0) ::close(fd);
}

std::string EpollListener::listen(std::uint16_t port, Responder responder) {
  RaiseDescriptorLimit();
  int error = 0;
  in_addr ipv4{};
  if (!m_address.empty() && inet_pton(AF_INET, m_address.c_str(), &ipv4) == 1) {
    m_listener = ListenOn(AF_INET, m_address, port, error);
  } else {
    m_listener = ListenOn(AF_INET6, m_address, port, error);
    // A host without IPv6 refuses the socket or its any-address; IPv4 alone serves there. A
    // port that is taken or forbidden stays so for IPv4.
    if (m_listener < 0 && m_address.empty() && error != EADDRINUSE && error != EACCES)
      m_listener = ListenOn(AF_INET, m_address, port, error);
  }
  if (m_listener < 0) return std::strerror(error);

  m_epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = m_listener;
  if (m_epoll < 0 || epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event) != 0) return std::strerror(errno);

  m_reserve.refill();
  m_request.resize(FirstRequestBuffer);
  m_responder = std::move(responder);
  m_watch.setDescriptor(m_epoll);
  m_watch.setOnReadable([this] { onReady(); });
  m_watch.setEnabled(true);
  return {};
}

std::string EpollListener::listenForQueries(const PositionState& position) {
  return ForUser(QueryPort, listen(QueryPort, [this, &position](std::string_view request) {
    return std::string_view(m_reply, BuildQueryReply(request, position, m_reply));
  }));
}

std::string EpollListener::listenForSentences(std::uint16_t port) {
  return ForUser(port, listen(port, {}));
}

bool EpollListener::broadcast(std::string_view bytes) {
  // Each client gets the bytes in the order given: the one under way first reaches everyone.
  while (continueBroadcast()) {
  }
  m_broadcast.assign(bytes);
  m_broadcastNext = 0;
  // A client whose connect the kernel has completed gets these bytes too, though the loop has
  // not yet come round to accepting it.
  acceptAll();
  return continueBroadcast();
}

bool EpollListener::continueBroadcast() {
  if (m_broadcast.empty()) return false;
  for (std::size_t served = 0; m_broadcastNext < m_clients.size() && served < BroadcastSlice;
       ++m_broadcastNext) {
    const std::size_t fd = m_broadcastNext;
    if (!m_clients[fd].open) continue;
    SocketWriter writer(static_cast<int>(fd));
    follow(static_cast<int>(fd), m_clients[fd].backlog.deliver(writer, m_broadcast));
    ++served;
  }
  if (m_broadcastNext < m_clients.size()) return true;
  // Done: clients accepted from now on are not owed these bytes.
  m_broadcast.clear();
  return false;
}

std::uint16_t EpollListener::localPort() const {
  sockaddr_in6 address{};
  socklen_t size = sizeof address;
  if (getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  // sin_port and sin6_port sit at the same place.
  return ntohs(address.sin6_port);
}

void EpollListener::onReady() {
  epoll_event events[MaxEventsPerRound];
  const int count = epoll_wait(m_epoll, events, MaxEventsPerRound, 0);
  for (int i = 0; i < count; ++i) {
    if (events[i].data.fd == m_listener)
      acceptAll();
    else
      serve(events[i].data.fd, events[i].events);
  }
}

void EpollListener::acceptAll() {
  for (;;) {
    const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      // Left to itself the kernel lets megabytes wait for a client that does not read.
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SendBuffer, sizeof SendBuffer);
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.fd = fd;
      if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(fd);
        continue;
      }
      if (static_cast<std::size_t>(fd) >= m_clients.size()) m_clients.resize(static_cast<std::size_t>(fd) + 1);
      m_clients[static_cast<std::size_t>(fd)].open = true;
      ++m_clientCount;
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EMFILE || errno == ENFILE) {
      // Out of descriptors: turn the connection away rather than leave it queued, where it would
      // keep the set ready and spin the loop.
      m_reserve.release();
      const int turnedAway = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (turnedAway >= 0) ::close(turnedAway);
      m_reserve.refill();
      if (turnedAway >= 0) continue;
    }
    return;
  }
}

void EpollListener::serve(int fd, std::uint32_t events) {
  const auto index = static_cast<std::size_t>(fd);
  if (index >= m_clients.size() || !m_clients[index].open) return;
  SocketWriter writer(fd);
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    std::size_t size = 0;
    const bool stillThere = readArrival(fd, size);
    if (size > 0 && m_responder) {
      follow(fd, m_clients[index].backlog.deliver(writer, m_responder({m_request.data(), size})));
      if (!m_clients[index].open) return;
    }
    if (!stillThere) {
      release(fd);
      return;
    }
  }
  if (events & EPOLLOUT) follow(fd, m_clients[index].backlog.flush(writer));
}

bool EpollListener::readArrival(int fd, std::size_t& size) {
  size = 0;
  for (;;) {
    if (size == m_request.size()) {
      if (size >= ArrivalLimit) return true;
      m_request.resize(size * 2);
    }
    const ssize_t got = ::recv(fd, m_request.data() + size, m_request.size() - size, 0);
    if (got > 0) {
      size += static_cast<std::size_t>(got);
      // A read that did not fill the buffer took everything waiting; asking again would only
      // cost a call that finds nothing.
      if (size < m_request.size()) return true;
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

void EpollListener::follow(int fd, Delivery delivery) {
  Client& client = m_clients[static_cast<std::size_t>(fd)];
  if (delivery == Delivery::Release) {
    release(fd);
    return;
  }
  const bool wantRoom = delivery == Delivery::Waiting;
  if (wantRoom == client.watchingRoom) return;
  epoll_event event{};
  event.events = wantRoom ? EPOLLIN | EPOLLOUT : EPOLLIN;
  event.data.fd = fd;
  epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
  client.watchingRoom = wantRoom;
}

void EpollListener::release(int fd) {
  epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  m_clients[static_cast<std::size_t>(fd)] = Client{};
  --m_clientCount;
}

}  // namespace kova
