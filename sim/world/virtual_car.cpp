#include "world/virtual_car.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

#include "world/sensors.hpp"

namespace zelk_sim {
namespace {

constexpr double kStepS = std::chrono::duration<double>(VirtualCar::kStep).count();
// The trail keeps a point every kTrailSpacingCm of travel, at most kTrailPoints of them.
constexpr double kTrailSpacingCm = 0.5;
constexpr std::size_t kTrailPoints = 200000;
// The board's line tracking: turn rate per cm the line lies off the car's middle, and how it
// searches when no sensor sees the line (turning towards where it was last seen, slower).
constexpr double kTrackTurnDegSPerCm = 20;
constexpr double kSearchTurnDegS = 60;
constexpr double kSearchSpeedShare = 0.3;

}  // namespace

VirtualCar::VirtualCar(World world, Clock::time_point start)
    : world_(std::move(world)),
      floor_(world_),
      camera_(world_, floor_),
      top_(world_, floor_),
      next_step_(start + kStep),
      pose_(world_.start) {
  trail_.push_back({pose_.x_cm, pose_.y_cm});
}

VirtualCar::~VirtualCar() {
  if (log_) std::fclose(log_);
}

bool VirtualCar::open_pose_log(const std::string& path, std::string& error) {
  log_ = std::fopen(path.c_str(), "w");
  if (!log_) {
    error = "pose log " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fputs("t_s,x_cm,y_cm,heading_deg\n", log_);
  log_pose();
  return true;
}

void VirtualCar::log_pose() {
  if (!log_) return;
  std::fprintf(log_, "%.2f,%.2f,%.2f,%.2f\n", static_cast<double>(steps_) * kStepS, pose_.x_cm,
               pose_.y_cm, pose_.heading_deg);
  // Now and then, so that a run cut short still leaves most of its log.
  if (steps_ % 100 == 0) std::fflush(log_);
}

void VirtualCar::advance_to(Clock::time_point now, const BoardState& board) {
  while (next_step_ <= now) {
    step(board);
    next_step_ += kStep;
  }
}

int VirtualCar::ms_to_next_step(Clock::time_point now) const {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(next_step_ - now).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

Motion VirtualCar::line_tracking(const BoardState& board) {
  const CarConstants& car = world_.car;
  unsigned bits = line_sensor_bits(world_, floor_, pose_);
  double speed = board.line_speed * car.line_track_cm_s_per_unit;
  if (bits == 0) {
    double towards = last_line_offset_cm_ >= 0 ? -1 : 1;
    return {speed * kSearchSpeedShare, 0, towards * kSearchTurnDegS};
  }
  double sum = 0;
  int seen = 0;
  for (int i = 0; i < static_cast<int>(car.line_sensor_count); ++i)
    if (bits >> i & 1u) sum += line_sensor_offset_cm(car, i), ++seen;
  last_line_offset_cm_ = sum / seen;
  return {speed, 0, -kTrackTurnDegSPerCm * last_line_offset_cm_};
}

void VirtualCar::step(const BoardState& board) {
  Motion m = board.line_start
                 ? line_tracking(board)
                 : chassis_motion(world_.car, board.speed_s, board.speed_l, board.speed_h);
  Pose next = move(pose_, m, kStepS);
  // A car pushing against a wall stays where it is; it may still turn away if turning alone
  // frees it.
  blocked_ = touches_something(world_, next);
  if (blocked_) {
    Pose turned = pose_;
    turned.heading_deg = next.heading_deg;
    if (!touches_something(world_, turned)) pose_ = turned;
  } else {
    pose_ = next;
  }
  ++steps_;
  const Point& last = trail_.back();
  if (std::hypot(pose_.x_cm - last.x, pose_.y_cm - last.y) >= kTrailSpacingCm) {
    trail_.push_back({pose_.x_cm, pose_.y_cm});
    if (trail_.size() > kTrailPoints) trail_.pop_front();
  }
  log_pose();
}

void VirtualCar::reset() {
  place(world_.start);
}

void VirtualCar::place(const Pose& pose) {
  pose_ = pose;
  pose_.heading_deg = normal_heading(pose.heading_deg);
  blocked_ = false;
  last_line_offset_cm_ = 0;
  trail_.assign(1, {pose_.x_cm, pose_.y_cm});
}

unsigned VirtualCar::distance_cm() const {
  return ultrasonic_cm(world_, pose_);
}

std::string VirtualCar::describe() const {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(2);
  out << "t_s=" << static_cast<double>(steps_) * kStepS << " x_cm=" << pose_.x_cm
      << " y_cm=" << pose_.y_cm << " heading_deg=" << pose_.heading_deg
      << " distance_cm=" << distance_cm()
      << " line_sensors=" << line_sensor_bits(world_, floor_, pose_)
      << " blocked=" << (blocked_ ? 1 : 0);
  return out.str();
}

}  // namespace zelk_sim
