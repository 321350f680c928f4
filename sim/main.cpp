// zelk-board-sim: stands in for the robot car's controller board on a pseudo-terminal.
//
// Prints "PTY <slave path>" as its first line; clients open that path instead of the UART.
// Then one trace line per command frame (or rejected frame) on stdout. With --control PATH,
// tests drive it over a Unix socket (requests listed in control_requests.cpp).
// Exits on SIGTERM, SIGINT or the "quit" request; with --quit-on-eof also when its standard
// input reaches end of file, so a parent that dies without stopping it does not leave it behind.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "io/control_server.hpp"
#include "io/pty_port.hpp"
#include "simulator.hpp"

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
  const char byte = 's';
  const int saved = errno;
  ssize_t ignored = write(signal_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

bool install_signals() {
  if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) return false;
  // A test that closes its end of our stdout or of a control socket must not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

int usage(const char* argv0, int status) {
  std::fprintf(status == 0 ? stdout : stderr,
               "usage: %s [--control SOCKET_PATH] [--quit-on-eof]\n"
               "          [--world FILE [--car NAME=VALUE]... [--pose-log FILE.csv]]\n"
               "Simulates the car's controller board on a pseudo-terminal; prints\n"
               "'PTY <path>' first, then one trace line per command frame. With --world the\n"
               "board drives a car in that world (a JSON or YAML file): distances come from\n"
               "the world and the control socket serves the car's pose and camera pictures.\n",
               argv0);
  return status;
}

// Reads everything the host has sent so far.
bool read_host(zelk_sim::Simulator& sim, int master) {
  std::uint8_t buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      sim.on_host_bytes(buf, static_cast<std::size_t>(n), zelk_sim::Clock::now());
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    std::fprintf(stderr, "zelk-board-sim: reading the pty: %s\n",
                 n == 0 ? "end of file" : std::strerror(errno));
    return false;
  }
}

std::unique_ptr<zelk_sim::VirtualCar> load_car(const std::string& world_path,
                                               const std::vector<std::string>& car_settings,
                                               const std::string& pose_log, std::string& error) {
  zelk_sim::World world;
  if (!zelk_sim::load_world(world_path, world, error)) return nullptr;
  for (const std::string& setting : car_settings)
    if (!world.car.set(setting, error)) return nullptr;
  auto car = std::make_unique<zelk_sim::VirtualCar>(std::move(world), zelk_sim::Clock::now());
  if (!pose_log.empty() && !car->open_pose_log(pose_log, error)) return nullptr;
  return car;
}

}  // namespace

int main(int argc, char** argv) {
  std::string control_path, world_path, pose_log;
  std::vector<std::string> car_settings;
  bool quit_on_eof = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--control" && i + 1 < argc)
      control_path = argv[++i];
    else if (a == "--world" && i + 1 < argc)
      world_path = argv[++i];
    else if (a == "--car" && i + 1 < argc)
      car_settings.push_back(argv[++i]);
    else if (a == "--pose-log" && i + 1 < argc)
      pose_log = argv[++i];
    else if (a == "--quit-on-eof")
      quit_on_eof = true;
    else if (a == "-h" || a == "--help")
      return usage(argv[0], 0);
    else
      return usage(argv[0], 2);
  }
  if (world_path.empty() && (!car_settings.empty() || !pose_log.empty())) {
    std::fprintf(stderr, "zelk-board-sim: --car and --pose-log need --world\n");
    return 2;
  }
  std::string error;
  std::unique_ptr<zelk_sim::VirtualCar> car;
  if (!world_path.empty() && !(car = load_car(world_path, car_settings, pose_log, error))) {
    std::fprintf(stderr, "zelk-board-sim: %s\n", error.c_str());
    return 2;
  }
  if (!install_signals()) {
    std::perror("zelk-board-sim: signals");
    return 1;
  }

  zelk_sim::PtyPort pty;
  if (!zelk_sim::open_pty(pty, error)) {
    std::fprintf(stderr, "zelk-board-sim: %s\n", error.c_str());
    return 1;
  }
  zelk_sim::ControlServer control;
  if (!control_path.empty() && !control.open(control_path, error)) {
    std::fprintf(stderr, "zelk-board-sim: %s\n", error.c_str());
    return 1;
  }
  // Only now: a client that reads this line may use the port and the socket at once.
  std::printf("PTY %s\n", pty.slave_path.c_str());
  std::fflush(stdout);

  zelk_sim::Simulator sim(pty.master, stdout);
  if (car) sim.attach(std::move(car));
  auto handler = [&sim](const std::string& line) { return sim.handle_request(line); };
  int status = 0;
  std::vector<pollfd> fds;
  while (!sim.quit_requested()) {
    zelk_sim::ReplyQueue& replies = sim.replies();
    replies.pump(pty.master, zelk_sim::Clock::now());

    fds.clear();
    fds.push_back({signal_pipe[0], POLLIN, 0});
    fds.push_back(
        {pty.master, static_cast<short>(POLLIN | (replies.wants_write() ? POLLOUT : 0)), 0});
    fds.push_back({quit_on_eof ? STDIN_FILENO : -1, POLLIN, 0});  // poll skips fd -1
    control.add_poll_fds(fds);

    zelk_sim::Clock::time_point now = zelk_sim::Clock::now();
    int timeout = replies.timeout_ms(now), step = sim.tick(now);
    if (step >= 0 && (timeout < 0 || step < timeout)) timeout = step;
    int rc = poll(fds.data(), fds.size(), timeout);
    if (rc < 0) {
      if (errno == EINTR) continue;
      std::perror("zelk-board-sim: poll");
      status = 1;
      break;
    }
    if (fds[0].revents & POLLIN) break;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[256];
      ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
    if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) && !read_host(sim, pty.master)) {
      status = 1;
      break;
    }
    // Replies due now go out before control requests are answered, so a test that asks
    // something after its command never sees the answer overtake the reply.
    replies.pump(pty.master, zelk_sim::Clock::now());
    control.dispatch(fds.data() + 3, handler);
  }
  control.flush();
  zelk_sim::close_pty(pty);
  return status;
}
