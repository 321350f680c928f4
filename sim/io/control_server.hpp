// Line-based control socket (Unix-domain, stream): one reply line per request line, any number
// of clients, each with its own input and output buffer so no client can stall the board.
#pragma once

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

namespace zelk_sim {

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;

  ControlServer() = default;
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;
  ~ControlServer();  // closes everything and removes the socket file

  bool open(const std::string& path, std::string& error);
  bool is_open() const { return listen_fd_ >= 0; }

  // Appends the fds to watch; dispatch() must get the same entries back after poll().
  void add_poll_fds(std::vector<pollfd>& fds) const;
  void dispatch(const pollfd* fds, const Handler& handler);
  // Best-effort write of pending replies (used before exiting, so "quit" gets its "ok").
  void flush();

 private:
  struct Client {
    int fd;
    std::string in;
    std::string out;
    std::size_t sent = 0;  // bytes of `out` already written
    bool closed = false;
  };
  void accept_clients();
  void read_client(Client& c, const Handler& handler);
  static void write_client(Client& c);

  std::string path_;
  int listen_fd_ = -1;
  std::vector<Client> clients_;
};

}  // namespace zelk_sim
