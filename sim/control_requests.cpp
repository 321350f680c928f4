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
// Anything else gets "error <reason>". Numbers are decimal or 0x-prefixed hex.
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

}  // namespace

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
