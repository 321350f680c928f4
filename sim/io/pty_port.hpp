// The pseudo-terminal that stands in for the board's serial line.
#pragma once

#include <string>

namespace zelk_sim {

struct PtyPort {
  int master = -1;         // the board's end: non-blocking, read for commands, written with replies
  int slave = -1;          // held open so the master never sees EIO while no client has the port
  std::string slave_path;  // what clients open instead of the real UART
};

// Opens a pty whose slave side is in raw mode (no echo, no newline translation).
bool open_pty(PtyPort& port, std::string& error);
void close_pty(PtyPort& port);

}  // namespace zelk_sim
