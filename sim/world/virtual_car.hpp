// The simulated car in its world: moves at a fixed step in simulated time that follows the
// wall clock, driven by the board's chassis speeds or by the board's own line tracking, and
// keeps its trail and (optionally) a log of its pose at every step.
#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "board/board.hpp"
#include "board/reply_queue.hpp"
#include "render/camera_view.hpp"
#include "render/top_view.hpp"
#include "world/floor.hpp"
#include "world/world.hpp"

namespace zelk_sim {

class VirtualCar {
 public:
  static constexpr std::chrono::milliseconds kStep{10};

  VirtualCar(World world, Clock::time_point start);
  ~VirtualCar();
  VirtualCar(const VirtualCar&) = delete;
  VirtualCar& operator=(const VirtualCar&) = delete;

  // Writes "t_s,x_cm,y_cm,heading_deg" and then one line per step to the file.
  bool open_pose_log(const std::string& path, std::string& error);

  // Runs the steps due by `now` with what the board does at the moment.
  void advance_to(Clock::time_point now, const BoardState& board);
  // Milliseconds until the next step is due (0: due now).
  int ms_to_next_step(Clock::time_point now) const;

  // Back at the start pose with no trail; simulated time goes on.
  void reset();
  void place(const Pose& pose);

  unsigned distance_cm() const;
  // "t_s=... x_cm=... y_cm=... heading_deg=... distance_cm=... line_sensors=... blocked=0|1"
  std::string describe() const;

  void camera_picture(cv::Mat& out) const { camera_.render(pose_, out); }
  void top_view(int width, cv::Mat& out) { top_.render(pose_, trail_, width, out); }
  const World& world() const { return world_; }

 private:
  void step(const BoardState& board);
  Motion line_tracking(const BoardState& board);
  void log_pose();

  World world_;
  Floor floor_;
  CameraView camera_;
  TopView top_;
  Clock::time_point next_step_;
  long steps_ = 0;
  Pose pose_;
  bool blocked_ = false;            // the last step would have driven into a wall or a ball
  double last_line_offset_cm_ = 0;  // where the line tracker saw the line last
  std::deque<Point> trail_;
  std::FILE* log_ = nullptr;
};

}  // namespace zelk_sim
