// The control requests, one line each:
//   ping                      -> pong
//   inputs LEVELS             -> ok      input levels reported from now on (bit n = input n)
//   distance VALUE            -> ok      ultrasonic distance reported from now on
//   approach STEP             -> ok      while driving forward, each distance reading is
//                                       STEP closer (0: off)
//   fault KIND [COUNT [ARG]]  -> ok      the next COUNT replies (default 1) get the fault
//   fault clear               -> ok      drop the faults not yet used
//   frames                    -> frames N HEX...   command frames since the last clear, oldest
//                                       first, 28 hex digits each (the newest 100000 at most)
//   clear                     -> ok      forget the recorded frames
//   state                     -> state key=value...
//   reset                     -> ok      board state, faults, recorded frames and command
//                                       counters as at start (the trace counter goes on)
//   quit                      -> ok      and the simulator exits
//   halt                      -> ok      chassis speeds 0 and line tracking off (a stop button)
// With a world (--world):
//   world                     -> world size_cm=W,H CONSTANT=VALUE... name=NAME
//   pose                      -> pose t_s=... x_cm=... y_cm=... heading_deg=... distance_cm=...
//                                       line_sensors=BITS blocked=0|1
//   place X Y HEADING         -> ok      puts the car there (cm, cm, degrees)
//   camera                    -> picture 640 480 N   followed by N bytes (BGR rows) and a newline:
//                                       what camera 0 sees now
//   topview [WIDTH]           -> picture W H N ...   the world from above with the car and its
//                                       trail, WIDTH px wide (default 480)
// Anything else gets "error <reason>". Numbers are decimal or 0x-prefixed hex.
#include <cstdlib>
#include <sstream>

#include "simulator.hpp"

namespace zelk_sim {
namespace {

std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool parse_in_range(const std::string& word, long max, unsigned& out) {
  long v = 0;
  if (!parse_number(word, v) || v < 0 || v > max) return false;
  out = static_cast<unsigned>(v);
  return true;
}

bool parse_real(const std::string& word, double low, double high, double& out) {
  char* end = nullptr;
  out = std::strtod(word.c_str(), &end);
  return !word.empty() && *end == '\0' && out >= low && out <= high;
}

}  // namespace

std::string Simulator::picture_reply(const cv::Mat& bgr) const {
  std::size_t n = bgr.total() * bgr.elemSize();
  std::string reply = "picture " + std::to_string(bgr.cols) + " " + std::to_string(bgr.rows) + " " +
                      std::to_string(n) + "\n";
  reply.append(reinterpret_cast<const char*>(bgr.data), n);
  return reply;
}

std::string Simulator::world_request(const std::vector<std::string>& w) {
  if (!car_) return "error no world: start the simulator with --world FILE";
  const std::string& what = w[0];
  tick(Clock::now());
  if (what == "world" && w.size() == 1) {
    const World& world = car_->world();
    std::ostringstream out;
    out << "world size_cm=" << world.width_cm << ',' << world.height_cm << ' '
        << world.car.describe() << " name=" << world.name;
    return out.str();
  }
  if (what == "pose" && w.size() == 1) return "pose " + car_->describe();
  if (what == "place") {
    Pose p;
    if (w.size() != 4 || !parse_real(w[1], -1e5, 1e5, p.x_cm) ||
        !parse_real(w[2], -1e5, 1e5, p.y_cm) || !parse_real(w[3], -1e5, 1e5, p.heading_deg))
      return "error usage: place X_CM Y_CM HEADING_DEG";
    car_->place(p);
    return "ok";
  }
  if (what == "camera" && w.size() == 1) {
    cv::Mat picture;
    car_->camera_picture(picture);
    return picture_reply(picture);
  }
  if (what == "topview" && w.size() <= 2) {
    unsigned width = 480;
    if (w.size() == 2 && !parse_in_range(w[1], 4000, width)) return "error usage: topview [WIDTH]";
    cv::Mat picture;
    car_->top_view(static_cast<int>(width), picture);
    return picture_reply(picture);
  }
  return "error usage: " + what + (what == "place" ? " X_CM Y_CM HEADING_DEG" : "");
}

std::string Simulator::handle_request(const std::string& line) {
  std::vector<std::string> w = split_words(line);
  if (w.empty()) return "error empty request";
  const std::string& what = w[0];

  if (what == "ping" && w.size() == 1) return "pong";
  if (what == "inputs") {
    if (w.size() != 2 || !parse_in_range(w[1], 255, board_.state().inputs))
      return "error usage: inputs LEVELS (0..255)";
    return "ok";
  }
  if ((what == "distance" || what == "approach") && car_)
    return "error the world gives the distance: move the car or its obstacles instead";
  if (what == "halt" && w.size() == 1) {
    BoardState& s = board_.state();
    s.speed_s = s.speed_l = s.speed_h = 0;
    s.line_start = s.line_speed = 0;
    trace("halt chassis speed_s=0 speed_l=0 speed_h=0 line_track start=0");
    return "ok";
  }
  static const char* const kWorldRequests[] = {"world", "pose", "place", "camera", "topview"};
  for (const char* r : kWorldRequests)
    if (what == r) return world_request(w);
  if (what == "distance") {
    if (w.size() != 2 || !parse_in_range(w[1], 65535, board_.state().distance))
      return "error usage: distance VALUE (0..65535)";
    return "ok";
  }
  if (what == "approach") {
    if (w.size() != 2 || !parse_in_range(w[1], 65535, board_.state().approach_step))
      return "error usage: approach STEP (0..65535)";
    return "ok";
  }
  if (what == "fault") {
    if (w.size() == 2 && w[1] == "clear") {
      faults_.clear();
      return "ok";
    }
    std::string why;
    if (!faults_.add(std::vector<std::string>(w.begin() + 1, w.end()), why)) return "error " + why;
    return "ok";
  }
  if (what == "frames" && w.size() == 1) {
    std::string out = "frames " + std::to_string(frames_.size());
    for (const Frame& f : frames_) out += " " + hex(f.data(), f.size(), "");
    return out;
  }
  if (what == "clear" && w.size() == 1) {
    frames_.clear();
    return "ok";
  }
  if (what == "state" && w.size() == 1) return state_line();
  if (what == "reset" && w.size() == 1) {
    reset();
    return "ok";
  }
  if (what == "quit" && w.size() == 1) {
    quit_ = true;
    return "ok";
  }
  return "error unknown request: " + line;
}

}  // namespace zelk_sim
