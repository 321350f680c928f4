// What the controller board remembers, and how it reacts to one command frame.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "board/frame.hpp"

namespace zelk_sim {

struct BoardState {
  // Chassis: forward/back, sideways, turn.
  int speed_s = 0;
  int speed_l = 0;
  int speed_h = 0;
  // Digital I/O: bit n is line n. The inputs are what the board reports; tests set them.
  unsigned outputs = 0;
  unsigned inputs = 0;
  // PWM generator.
  unsigned pwm_freq = 0;
  std::array<unsigned, 4> pwm_duty{};
  // Last DC motor command; the speed is kept as sent (speed x 60).
  unsigned motor_id = 0;
  unsigned motor_mode = 0;
  int motor_speed_raw = 0;
  std::uint32_t motor_pulse = 0;
  // Last steering servo command.
  unsigned servo_id = 0;
  unsigned servo_duty = 0;
  // Line tracking.
  unsigned line_start = 0;
  unsigned line_speed = 0;
  // Ultrasonic: the distance the board reports (tests set it) and the sensor last asked.
  unsigned distance = 0;
  unsigned ultrasonic_id = 0;
  // A simple world for demonstrations: while the car drives forward, each distance reading
  // finds the obstacle this much closer (0: the distance only changes when set).
  unsigned approach_step = 0;
};

class Board {
 public:
  // Updates the state from a valid command frame and returns its trace line.
  std::string apply(const Frame& cmd);
  // The answer to a command: echo of type/function, current inputs and distance.
  Frame reply_to(const Frame& cmd) const;
  // One line of key=value pairs (lists comma-separated), for the control interface.
  std::string describe() const;

  BoardState& state() { return state_; }
  const BoardState& state() const { return state_; }

 private:
  BoardState state_;
};

// Motor speed as the host meant it (sent value / 60): "50", or "50.5" when not whole.
std::string motor_speed_text(int raw);

}  // namespace zelk_sim
