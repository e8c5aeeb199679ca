#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/descriptor_reserve.h"
#include "platform/query_listener.h"
#include "platform/reply_backlog.h"

class QSocketNotifier;

namespace kova {

// The query listener on Linux: every socket sits in one epoll set, and the Qt event loop
// watches only that set, so clients are served wherever the loop runs, also while a scan
// yields. Sockets never block; a reply goes straight to the kernel, and only what the kernel
// will not take waits in the client's backlog.
class EpollQueryListener : public QueryListener {
 public:
  // The reserve lets a full descriptor table still turn a connection away. address is an IPv4 or
  // IPv6 address to listen on; empty: every address, IPv4 and IPv6 on one socket.
  explicit EpollQueryListener(DescriptorReserve& reserve, std::string address = {});
  ~EpollQueryListener() override;
  EpollQueryListener(const EpollQueryListener&) = delete;
  EpollQueryListener& operator=(const EpollQueryListener&) = delete;

  // Port 0 takes any free port (see localPort).
  std::string listen(std::uint16_t port, Responder responder) override;
  // Serves what is ready: new connections, arrivals, room to send. The Qt event loop calls it
  // whenever the epoll set has something ready.
  void onReady();
  // The epoll set: readable whenever onReady has work.
  int readyFd() const { return m_epoll; }
  std::uint16_t localPort() const;
  std::size_t clientCount() const { return m_clientCount; }

 private:
  struct Client {
    bool open = false;
    bool watchingRoom = false;
    ReplyBacklog backlog;
  };

  void acceptAll();
  void serve(int fd, std::uint32_t events);
  // Reads everything waiting on fd into m_request; false when the client has gone.
  bool readArrival(int fd, std::size_t& size);
  void follow(int fd, Delivery delivery);
  void release(int fd);

  int m_epoll = -1;
  int m_listener = -1;
  DescriptorReserve& m_reserve;
  std::string m_address;
  Responder m_responder;
  std::vector<Client> m_clients;  // by socket descriptor
  std::size_t m_clientCount = 0;
  std::vector<char> m_request;
  std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace kova
