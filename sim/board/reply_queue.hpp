// Replies waiting to be written to the host, in order, each not before its due time.
#pragma once

#include <chrono>
#include <deque>

#include "board/fault_plan.hpp"
#include "board/frame.hpp"

namespace zelk_sim {

using Clock = std::chrono::steady_clock;

// Keeps the serial stream in order: a chunk is written only after every chunk queued before it,
// so a delayed reply also holds back the replies to later commands, as on a real line. Due
// chunks are written with non-blocking writes; what the pty does not take stays buffered.
class ReplyQueue {
 public:
  void schedule(const std::vector<Chunk>& chunks, Clock::time_point now);
  // Moves due chunks to the output buffer and writes as much as the fd takes.
  void pump(int fd, Clock::time_point now);
  // Milliseconds until the next chunk is due (-1: none waiting, 0: due now).
  int timeout_ms(Clock::time_point now) const;
  bool wants_write() const { return !out_.empty(); }
  std::size_t dropped() const { return dropped_; }

 private:
  struct Timed {
    Clock::time_point due;
    Bytes bytes;
  };
  std::deque<Timed> waiting_;
  Bytes out_;
  std::size_t dropped_ = 0;
};

}  // namespace zelk_sim
