#include "io/pty_port.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelk_sim {
namespace {

bool fail(std::string& error, const char* what) {
  error = std::string(what) + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool open_pty(PtyPort& port, std::string& error) {
  port.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (port.master < 0) return fail(error, "posix_openpt");
  if (grantpt(port.master) != 0) return fail(error, "grantpt");
  if (unlockpt(port.master) != 0) return fail(error, "unlockpt");
  const char* name = ptsname(port.master);
  if (name == nullptr) return fail(error, "ptsname");
  port.slave_path = name;

  port.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (port.slave < 0) return fail(error, "open pty slave");
  termios tio{};
  if (tcgetattr(port.slave, &tio) != 0) return fail(error, "tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(port.slave, TCSANOW, &tio) != 0) return fail(error, "tcsetattr");

  int flags = fcntl(port.master, F_GETFL);
  if (flags < 0 || fcntl(port.master, F_SETFL, flags | O_NONBLOCK) != 0)
    return fail(error, "fcntl O_NONBLOCK");
  return true;
}

void close_pty(PtyPort& port) {
  if (port.slave >= 0) close(port.slave);
  if (port.master >= 0) close(port.master);
  port.slave = port.master = -1;
}

}  // namespace zelk_sim
