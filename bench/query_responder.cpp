// The floor to compare the program with: one thread, one epoll set, the program's reply builder,
// nothing else (no event loop, no window, no backlog). Answers each arrival with one reply.
//
//   query_responder [--port 2948]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/query_reply.h"
#include "tests/e2e/harness.h"

int main(int argc, char** argv) {
  int port = 2948;
  if (argc == 3 && std::strcmp(argv[1], "--port") == 0) port = std::atoi(argv[2]);
  kova::e2e::RaiseDescriptorLimit();

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 65535) != 0) {
    std::perror("listen");
    return 1;
  }
  const int poller = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);

  const kova::PositionState position{.Latitude = 48.1173f, .Longitude = 11.5167f, .Altitude = 545.4f,
                                     .Heading = 84.4f, .Speed = 22.4f, .FixQuality = 1, .FixMode = 3};
  static char request[65536];
  char reply[kova::QueryReplyCapacity];
  epoll_event events[256];
  for (;;) {
    const int count = epoll_wait(poller, events, 256, -1);
    for (int i = 0; i < count; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener) {
        for (int client; (client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
          setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          event.events = EPOLLIN;
          event.data.fd = client;
          epoll_ctl(poller, EPOLL_CTL_ADD, client, &event);
        }
        continue;
      }
      const ssize_t got = recv(fd, request, sizeof request, 0);
      if (got <= 0) {
        close(fd);
        continue;
      }
      const std::size_t size = kova::BuildQueryReply({request, static_cast<std::size_t>(got)}, position, reply);
      send(fd, reply, size, MSG_NOSIGNAL);
    }
  }
}
