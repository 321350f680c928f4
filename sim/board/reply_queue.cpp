#include "board/reply_queue.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zelk_sim {
namespace {

// Bytes nobody reads pile up here once the pty's own buffer is full; past this they are
// dropped, as a UART drops what no one reads.
constexpr std::size_t kMaxBuffered = 64 * 1024;

}  // namespace

void ReplyQueue::schedule(const std::vector<Chunk>& chunks, Clock::time_point now) {
  for (const Chunk& c : chunks)
    waiting_.push_back({now + std::chrono::milliseconds(c.delay_ms), c.bytes});
}

void ReplyQueue::pump(int fd, Clock::time_point now) {
  while (!waiting_.empty() && waiting_.front().due <= now) {
    const Bytes& b = waiting_.front().bytes;
    if (out_.size() + b.size() <= kMaxBuffered)
      out_.insert(out_.end(), b.begin(), b.end());
    else
      dropped_ += b.size();
    waiting_.pop_front();
  }
  while (!out_.empty()) {
    ssize_t n = write(fd, out_.data(), out_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: wait for POLLOUT; anything else: keep the bytes, retry later
    }
    out_.erase(out_.begin(), out_.begin() + n);
  }
}

int ReplyQueue::timeout_ms(Clock::time_point now) const {
  if (waiting_.empty()) return -1;
  auto left = waiting_.front().due - now;
  if (left <= Clock::duration::zero()) return 0;
  // Round up so the loop does not wake just before the chunk is due and spin.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 60000));
}

}  // namespace zelk_sim
