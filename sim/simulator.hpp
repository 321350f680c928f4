// The simulated controller board: turns command bytes from the host into state changes, trace
// lines and (possibly faulty) replies, and answers control requests from tests.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "board/board.hpp"
#include "board/fault_plan.hpp"
#include "board/frame.hpp"
#include "board/reply_queue.hpp"
#include "world/virtual_car.hpp"

namespace zelk_sim {

class Simulator {
 public:
  Simulator(int master_fd, std::FILE* trace_out) : master_(master_fd), trace_out_(trace_out) {}

  // Bytes read from the pty master.
  void on_host_bytes(const std::uint8_t* data, std::size_t n, Clock::time_point now);
  // One control request line; returns the reply line (without newline).
  std::string handle_request(const std::string& line);

  // From now on the board drives a car in a world: its distance readings come from there.
  void attach(std::unique_ptr<VirtualCar> car) { car_ = std::move(car); }
  // Moves the car (if any) up to now; returns the milliseconds until it must move again
  // (-1: no car).
  int tick(Clock::time_point now);

  ReplyQueue& replies() { return replies_; }
  bool quit_requested() const { return quit_; }

 private:
  void on_frame(const Frame& cmd, Clock::time_point now);
  void trace(const std::string& line);
  std::string state_line() const;
  // Back to the state at start, so that tests can share one simulator.
  void reset();
  std::string world_request(const std::vector<std::string>& words);
  std::string picture_reply(const cv::Mat& bgr) const;

  int master_;
  std::FILE* trace_out_;
  Board board_;
  FrameReader reader_;
  FaultPlan faults_;
  ReplyQueue replies_;
  std::unique_ptr<VirtualCar> car_;
  // Valid command frames since the last "clear"; only the newest kMaxFrames are kept, so a
  // program left running for hours does not grow the simulator without bound.
  static constexpr std::size_t kMaxFrames = 100000;
  std::deque<Frame> frames_;
  unsigned long commands_ = 0;
  unsigned long bad_frames_ = 0;
  unsigned long replies_sent_ = 0;
  unsigned long traces_ = 0;
  bool quit_ = false;
};

}  // namespace zelk_sim
