#include "simulator.hpp"

namespace zelk_sim {

void Simulator::trace(const std::string& line) {
  std::fputs(line.c_str(), trace_out_);
  std::fputc('\n', trace_out_);
  std::fflush(trace_out_);
  ++traces_;
}

void Simulator::on_host_bytes(const std::uint8_t* data, std::size_t n, Clock::time_point now) {
  reader_.feed(data, n);
  FrameReader::Item item;
  while (reader_.next(item)) {
    if (item.ok) {
      on_frame(item.frame, now);
    } else {
      ++bad_frames_;
      trace("bad frame " + hex(item.rejected.data(), item.rejected.size()) + ": " + item.why);
    }
  }
}

int Simulator::tick(Clock::time_point now) {
  if (!car_) return -1;
  car_->advance_to(now, board_.state());
  return car_->ms_to_next_step(now);
}

void Simulator::on_frame(const Frame& cmd, Clock::time_point now) {
  // The car moves as the board drove it until this command came in.
  tick(now);
  ++commands_;
  frames_.push_back(cmd);
  if (frames_.size() > kMaxFrames) frames_.pop_front();
  if (car_) board_.state().distance = car_->distance_cm();
  std::string line = board_.apply(cmd);
  std::optional<Fault> fault = faults_.take();
  if (fault) line += " [fault " + fault_text(*fault) + "]";
  // The trace line goes out before the reply, so whoever sees the reply can find its line.
  trace(line);
  std::vector<Chunk> chunks = shape_reply(board_.reply_to(cmd), fault);
  if (!chunks.empty()) ++replies_sent_;
  replies_.schedule(chunks, now);
  replies_.pump(master_, now);
}

void Simulator::reset() {
  board_ = Board();
  faults_.clear();
  frames_.clear();
  commands_ = bad_frames_ = replies_sent_ = 0;
  if (car_) car_->reset();
}

std::string Simulator::state_line() const {
  return "state " + board_.describe() + " commands=" + std::to_string(commands_) +
         " bad_frames=" + std::to_string(bad_frames_) +
         " skipped_bytes=" + std::to_string(reader_.skipped_bytes()) +
         " replies=" + std::to_string(replies_sent_) +
         " faults_pending=" + std::to_string(faults_.pending()) +
         " traces=" + std::to_string(traces_);
}

}  // namespace zelk_sim
