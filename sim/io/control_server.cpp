#include "io/control_server.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zelk_sim {
namespace {

// A request longer than this is not a request; the client is dropped.
constexpr std::size_t kMaxLine = 4096;
// Replies not yet taken by a client, at most (about 70 camera pictures).
constexpr std::size_t kMaxPending = 64u << 20;

// A socket file left behind by a simulator that was killed would make bind() fail, so it
// is removed; anything else at the path (a user's file, a live simulator's socket) is not.
bool remove_stale_socket(const std::string& path, const sockaddr_un& addr, std::string& error) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return true;  // nothing there
  if (!S_ISSOCK(st.st_mode)) {
    error = "control socket " + path + ": the path exists and is not a socket; not removing it";
    return false;
  }
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  const int why = errno;
  close(probe);
  if (live) {
    error = "control socket " + path + ": another simulator is listening there";
    return false;
  }
  if (why != ECONNREFUSED) {
    error = "control socket " + path + ": " + std::strerror(why);
    return false;
  }
  unlink(path.c_str());
  return true;
}

}  // namespace

ControlServer::~ControlServer() {
  for (Client& c : clients_) close(c.fd);
  if (listen_fd_ >= 0) {
    close(listen_fd_);
    unlink(path_.c_str());
  }
}

bool ControlServer::open(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    error = "control socket path too long: " + path;
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  if (!remove_stale_socket(path, addr, error)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
    error = "control socket " + path + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  return true;
}

void ControlServer::add_poll_fds(std::vector<pollfd>& fds) const {
  if (listen_fd_ < 0) return;
  fds.push_back({listen_fd_, POLLIN, 0});
  for (const Client& c : clients_)
    fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
}

void ControlServer::dispatch(const pollfd* fds, const Handler& handler) {
  if (listen_fd_ < 0) return;
  // Clients accepted now are added after the polled ones, so indices still match.
  const std::size_t polled = clients_.size();
  if (fds[0].revents & POLLIN) accept_clients();
  for (std::size_t i = 0; i < polled; ++i) {
    Client& c = clients_[i];
    short ev = fds[1 + i].revents;
    if (ev & (POLLIN | POLLHUP | POLLERR)) read_client(c, handler);
    if (!c.closed) write_client(c);
  }
  auto gone = std::remove_if(clients_.begin(), clients_.end(), [](const Client& c) {
    if (c.closed) close(c.fd);
    return c.closed;
  });
  clients_.erase(gone, clients_.end());
}

void ControlServer::flush() {
  for (Client& c : clients_) {
    if (c.closed || c.out.empty()) continue;
    // Replies are short lines; give the client's socket a moment to take them.
    int flags = fcntl(c.fd, F_GETFL);
    if (flags >= 0) fcntl(c.fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    write_client(c);
  }
}

void ControlServer::accept_clients() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    clients_.push_back({fd, {}, {}});
  }
}

void ControlServer::read_client(Client& c, const Handler& handler) {
  char buf[1024];
  for (;;) {
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.in.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) c.closed = true;
    break;
  }
  std::size_t eol;
  while ((eol = c.in.find('\n')) != std::string::npos) {
    std::string line = c.in.substr(0, eol);
    c.in.erase(0, eol + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Replies can be pictures of a megabyte: moved into the buffer, not copied, when it is
    // empty.
    std::string reply = handler(line);
    reply += '\n';
    if (c.out.empty())
      c.out.swap(reply);
    else
      c.out += reply;
  }
  // A client that asks and never reads would make the simulator hold its replies forever.
  if (c.in.size() > kMaxLine || c.out.size() - c.sent > kMaxPending) c.closed = true;
  // A client that sent its last request and closed still gets its replies if it can.
  if (c.closed && !c.out.empty()) write_client(c);
}

void ControlServer::write_client(Client& c) {
  while (c.sent < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        c.closed = true;
        c.out.clear();
        c.sent = 0;
      }
      return;
    }
    c.sent += static_cast<std::size_t>(n);
  }
  c.out.clear();
  c.sent = 0;
}

}  // namespace zelk_sim
