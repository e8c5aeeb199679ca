#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <functional>
#include <string_view>

#include "platform/descriptor_reserve.h"
#include "platform/readable_watch.h"
#include "server/query_reply.h"
#include "server/reply_backlog.h"
#include "state/position_state.h"

namespace kova {

// One TCP listener and every client it accepts, for either port of the program: Winsock1, the
// query port, answers each arrival; the sentence port sends every client the receiver's
// sentences and throws arrivals away. Every socket sits in one epoll set, and the event loop
// watches only that set, so clients are served wherever the loop runs, also while a scan yields.
// Sockets never block; bytes go straight to the kernel, and only what the kernel will not take
// waits in the client's backlog.
class EpollListener {
 public:
  static constexpr std::uint16_t QueryPort = 2947;
  // What the kernel may hold for one client (it counts twice this, bookkeeping included): with
  // the backlog, about 64 KiB wait for a client before it counts as not reading.
  static constexpr int SendBuffer = 16 * 1024;
  // About 2 ms of sending on a 2-core machine.
  static constexpr std::size_t BroadcastSlice = 200;

  // Answers one arrival of request bytes (everything waiting on a connection); the reply it
  // returns stays valid until the next call.
  using Responder = std::function<std::string_view(std::string_view request)>;

  // The reserve lets a full descriptor table still turn a connection away; the watch tells when
  // the epoll set has something ready. address is an IPv4 or IPv6 address to listen on; empty:
  // every address, IPv4 and IPv6 on one socket.
  EpollListener(DescriptorReserve& reserve, ReadableWatch& watch, std::string address = {});
  ~EpollListener();
  EpollListener(const EpollListener&) = delete;
  EpollListener& operator=(const EpollListener&) = delete;

  // Listens on TCP port and answers each arrival with responder's reply; without a responder,
  // arrivals are read and thrown away. Returns an empty text, or the cause when the port cannot
  // be had. Port 0 takes any free port (see localPort).
  std::string listen(std::uint16_t port, Responder responder);
  // Listens on QueryPort and answers each arrival from position as it stands when the request
  // arrives. Returns an empty text, or a sentence for the user that names the port and the cause.
  std::string listenForQueries(const PositionState& position);
  // Listens on port for clients of broadcast(); the same failure sentence.
  std::string listenForSentences(std::uint16_t port);
  // Sends bytes to every client connected by now, behind what waits for it already, the first
  // BroadcastSlice clients at once. Returns whether clients are left: continueBroadcast() serves
  // them on later turns of the loop, so that the other port's clients are served in between.
  bool broadcast(std::string_view bytes);
  // The next BroadcastSlice clients of the broadcast under way; whether clients are left.
  bool continueBroadcast();
  // Serves what is ready: new connections, arrivals, room to send. The event loop calls it
  // through the watch whenever the epoll set has something ready.
  void onReady();
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
  ReadableWatch& m_watch;
  std::string m_address;
  Responder m_responder;
  std::vector<Client> m_clients;  // by socket descriptor
  std::size_t m_clientCount = 0;
  std::vector<char> m_request;
  // The broadcast under way, and the descriptor it goes on from.
  std::string m_broadcast;
  std::size_t m_broadcastNext = 0;
  char m_reply[QueryReplyCapacity];
};

}  // namespace kova
