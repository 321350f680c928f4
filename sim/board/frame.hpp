// Command and reply frames of the controller board's serial protocol.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelk_sim {

constexpr std::size_t kFrameSize = 14;
constexpr std::uint8_t kHeader = 0x55;
constexpr std::uint8_t kLengthByte = 0x0E;

using Frame = std::array<std::uint8_t, kFrameSize>;
using Bytes = std::vector<std::uint8_t>;

// Sum of the bytes modulo 256: the last byte of every frame is this over all bytes before it.
std::uint8_t checksum(const std::uint8_t* data, std::size_t n);

// "55 0e 01 ..." (sep " ") or "550e01..." (sep "").
std::string hex(const std::uint8_t* data, std::size_t n, const char* sep = " ");

// Big-endian 16-bit argument starting at byte i.
inline unsigned be16(const Frame& f, std::size_t i) {
  return static_cast<unsigned>(f[i] << 8 | f[i + 1]);
}

// The host sends a negative v as 65535 + v, so v >= 32768 decodes as v - 65535 (-1 arrives as
// 0xfffe; 0xffff decodes to 0).
inline int decode_signed(unsigned v) {
  return v >= 32768 ? static_cast<int>(v) - 65535 : static_cast<int>(v);
}

// Cuts the byte stream from the host into command frames. Anything before a 0x55 is skipped;
// a candidate frame with a wrong length byte or checksum is reported and the stream is resumed
// one byte after its 0x55, so a frame that starts inside the rejected bytes is still found.
class FrameReader {
 public:
  struct Item {
    bool ok = false;
    Frame frame{};         // valid when ok
    Bytes rejected;        // the bytes that were looked at, when !ok
    const char* why = "";  // "length" or "checksum", when !ok
  };

  void feed(const std::uint8_t* data, std::size_t n);
  // Takes the next frame or rejected candidate; false when more bytes are needed.
  bool next(Item& item);
  std::size_t skipped_bytes() const { return skipped_; }

 private:
  Bytes buf_;
  std::size_t skipped_ = 0;
};

}  // namespace zelk_sim
