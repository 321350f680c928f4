#include "board/board.hpp"

#include <algorithm>
#include <cstdio>

namespace zelk_sim {
namespace {

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", v & 0xFFu);
  return buf;
}

std::string args_text(const Frame& f) {
  return "args=" + hex(f.data() + 4, 8);
}

std::string other(const char* family, const Frame& f) {
  return std::string(family) + " other " + args_text(f);
}

std::string unknown(const Frame& f) {
  return "unknown type=" + std::to_string(f[2]) + " function=" + std::to_string(f[3]) + " " +
         args_text(f);
}

std::string chassis(BoardState& s, const Frame& f) {
  if (f[3] == 2) return other("chassis", f);
  if (f[3] != 1) return unknown(f);
  s.speed_s = decode_signed(be16(f, 4));
  s.speed_l = decode_signed(be16(f, 6));
  s.speed_h = decode_signed(be16(f, 8));
  return "chassis speed_s=" + std::to_string(s.speed_s) + " speed_l=" + std::to_string(s.speed_l) +
         " speed_h=" + std::to_string(s.speed_h);
}

std::string io(BoardState& s, const Frame& f) {
  switch (f[3]) {
    case 1:
      return "io read inputs=" + hex2(s.inputs);
    case 2:
      s.outputs = f[4];
      return "io output mask=" + hex2(s.outputs);
    case 3:
      s.pwm_freq = be16(f, 4);
      for (std::size_t i = 0; i < 4; ++i) s.pwm_duty[i] = f[6 + i];
      return "pwm freq=" + std::to_string(s.pwm_freq) + " duty=" + std::to_string(s.pwm_duty[0]) +
             "," + std::to_string(s.pwm_duty[1]) + "," + std::to_string(s.pwm_duty[2]) + "," +
             std::to_string(s.pwm_duty[3]);
    case 4:
      return other("io", f);
    default:
      return unknown(f);
  }
}

std::string motor(BoardState& s, const Frame& f) {
  switch (f[3]) {
    case 1: {
      s.motor_id = f[4];
      s.motor_mode = f[5];
      s.motor_speed_raw = decode_signed(be16(f, 6));
      s.motor_pulse = static_cast<std::uint32_t>(f[8]) << 24 |
                      static_cast<std::uint32_t>(f[9]) << 16 |
                      static_cast<std::uint32_t>(f[10]) << 8 | f[11];
      std::string speed = motor_speed_text(s.motor_speed_raw);
      if (s.motor_speed_raw % 60 != 0) speed += " raw=" + std::to_string(s.motor_speed_raw);
      return "motor id=" + std::to_string(s.motor_id) + " mode=" + std::to_string(s.motor_mode) +
             " speed=" + speed + " pulse=" + std::to_string(s.motor_pulse);
    }
    case 2:
      s.servo_id = f[4];
      s.servo_duty = f[5];
      return "servo id=" + std::to_string(s.servo_id) + " duty=" + std::to_string(s.servo_duty);
    case 3:
      return other("motor", f);
    default:
      return unknown(f);
  }
}

std::string sensor(BoardState& s, const Frame& f) {
  if (f[3] == 2) return other("ultrasonic", f);
  if (f[3] != 1) return unknown(f);
  s.ultrasonic_id = f[4];
  if (s.speed_s > 0) s.distance -= std::min(s.distance, s.approach_step);
  return "ultrasonic id=" + std::to_string(s.ultrasonic_id) +
         " distance=" + std::to_string(s.distance);
}

std::string line_track(BoardState& s, const Frame& f) {
  if (f[3] == 2) return other("line_track", f);
  if (f[3] != 1) return unknown(f);
  s.line_start = f[4];
  s.line_speed = be16(f, 5);
  return "line_track start=" + std::to_string(s.line_start) +
         " speed=" + std::to_string(s.line_speed);
}

}  // namespace

std::string motor_speed_text(int raw) {
  if (raw % 60 == 0) return std::to_string(raw / 60);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", raw / 60.0);
  std::string text = buf;
  while (text.back() == '0') text.pop_back();
  return text;
}

std::string Board::apply(const Frame& cmd) {
  switch (cmd[2]) {
    case 1:
      return chassis(state_, cmd);
    case 2:
      return io(state_, cmd);
    case 3:
      return motor(state_, cmd);
    case 4:
      return sensor(state_, cmd);
    case 5:
      return line_track(state_, cmd);
    default:
      return unknown(cmd);
  }
}

Frame Board::reply_to(const Frame& cmd) const {
  Frame r{};
  r[0] = kHeader;
  r[1] = kLengthByte;
  r[2] = cmd[2];
  r[3] = cmd[3];
  r[4] = static_cast<std::uint8_t>(state_.inputs & 0xFF);
  r[5] = static_cast<std::uint8_t>(state_.distance >> 8 & 0xFF);
  r[6] = static_cast<std::uint8_t>(state_.distance & 0xFF);
  r[kFrameSize - 1] = checksum(r.data(), kFrameSize - 1);
  return r;
}

std::string Board::describe() const {
  const BoardState& s = state_;
  auto kv = [](const char* key, const std::string& value) {
    return std::string(" ") + key + "=" + value;
  };
  using std::to_string;
  std::string line =
      kv("speed_s", to_string(s.speed_s)) + kv("speed_l", to_string(s.speed_l)) +
      kv("speed_h", to_string(s.speed_h)) + kv("outputs", to_string(s.outputs)) +
      kv("inputs", to_string(s.inputs)) + kv("pwm_freq", to_string(s.pwm_freq)) +
      kv("pwm_duty", to_string(s.pwm_duty[0]) + "," + to_string(s.pwm_duty[1]) + "," +
                         to_string(s.pwm_duty[2]) + "," + to_string(s.pwm_duty[3])) +
      kv("motor_id", to_string(s.motor_id)) + kv("motor_mode", to_string(s.motor_mode)) +
      kv("motor_speed", motor_speed_text(s.motor_speed_raw)) +
      kv("motor_speed_raw", to_string(s.motor_speed_raw)) +
      kv("motor_pulse", to_string(s.motor_pulse)) + kv("servo_id", to_string(s.servo_id)) +
      kv("servo_duty", to_string(s.servo_duty)) + kv("line_start", to_string(s.line_start)) +
      kv("line_speed", to_string(s.line_speed)) + kv("distance", to_string(s.distance)) +
      kv("ultrasonic_id", to_string(s.ultrasonic_id));
  return line.substr(1);
}

}  // namespace zelk_sim
