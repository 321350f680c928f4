#include "board/frame.hpp"

#include <algorithm>

namespace zelk_sim {

std::uint8_t checksum(const std::uint8_t* data, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<std::uint8_t>(sum & 0xFF);
}

std::string hex(const std::uint8_t* data, std::size_t n, const char* sep) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += sep;
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}

void FrameReader::feed(const std::uint8_t* data, std::size_t n) {
  buf_.insert(buf_.end(), data, data + n);
}

bool FrameReader::next(Item& item) {
  auto start = std::find(buf_.begin(), buf_.end(), kHeader);
  skipped_ += static_cast<std::size_t>(start - buf_.begin());
  buf_.erase(buf_.begin(), start);
  if (buf_.size() < 2) return false;

  // The length byte is checked as soon as it is there, so a stray 0x55 does not hold back the
  // frames behind it until 14 bytes have gathered.
  if (buf_[1] != kLengthByte) {
    item.ok = false;
    item.rejected.assign(buf_.begin(), buf_.begin() + 2);
    item.why = "length";
    buf_.erase(buf_.begin());
    return true;
  }
  if (buf_.size() < kFrameSize) return false;

  if (checksum(buf_.data(), kFrameSize - 1) != buf_[kFrameSize - 1]) {
    item.ok = false;
    item.rejected.assign(buf_.begin(), buf_.begin() + kFrameSize);
    item.why = "checksum";
    buf_.erase(buf_.begin());
    return true;
  }
  item.ok = true;
  std::copy(buf_.begin(), buf_.begin() + kFrameSize, item.frame.begin());
  buf_.erase(buf_.begin(), buf_.begin() + kFrameSize);
  return true;
}

}  // namespace zelk_sim
