#include "cv_color_table.hpp"

#include "cv_ndarray.hpp"

#include <pybind11/numpy.h>

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <list>

namespace zelk::color {
namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
constexpr int kColours = 1 << 24;

// A table costs about 0.1 s to build and saves a fraction of a millisecond per frame, so a
// range earns one only after this many uses. Until then, and for ranges dragged along a
// trackbar that never settle, the caller converts directly.
constexpr int kUsesBeforeTable = 8;
constexpr std::size_t kTables = 8;  // 2 MiB each
constexpr std::size_t kCandidates = 16;

struct CachedTable {
  Bound lower, upper;
  Table bits;
};

struct Candidate {
  Bound lower, upper;
  int uses;
};

bool same(const Bound& a, const Bound& b) {
  return a.depth == b.depth && std::memcmp(a.raw, b.raw, sizeof a.raw) == 0;
}

// Finds the range in a most-recently-used-first list and moves it to the front.
template <typename Entry>
Entry* touch(std::list<Entry>& list, const Bound& lower, const Bound& upper) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (same(it->lower, lower) && same(it->upper, upper)) {
      list.splice(list.begin(), list, it);
      return &list.front();
    }
  }
  return nullptr;
}

// The Mat depth cv2 gives a bound of this dtype, -1 for dtypes it rejects.
int bound_depth(const py::dtype& dt) {
  return read_as_int32(dt) ? CV_32S : depth_of(dt);
}

// Copies one array element as a value of `depth`. 64-bit integers wrap to 32 bits, like
// the NumPy cast cv2 applies to them.
void store(const char* src, const py::dtype& dt, int depth, unsigned char* dst) {
  if (depth == CV_32S && dt.itemsize() == 8) {
    std::uint64_t v;
    std::memcpy(&v, src, sizeof v);
    const auto low = static_cast<std::uint32_t>(v);
    std::memcpy(dst, &low, sizeof low);
  } else {
    std::memcpy(dst, src, static_cast<std::size_t>(dt.itemsize()));
  }
}

std::vector<std::uint32_t> build_table(const Bound& lower, const Bound& upper) {
  // Same checks (and errors) as on a real frame, before the expensive part.
  cv::Mat probe(1, 1, CV_8UC3, cv::Scalar::all(0)), probe_mask;
  in_hsv_range(probe, lower, upper, probe_mask);

  // 16 red levels per pass: row = r_local * 256 + g, column = b, so the mask, read row by
  // row, lists the colours in table order.
  constexpr int kRedsPerPass = 16;
  cv::Mat bgr(kRedsPerPass * 256, 256, CV_8UC3), hsv, mask;
  for (int row = 0; row < bgr.rows; ++row) {
    auto* p = bgr.ptr<cv::Vec3b>(row);
    for (int b = 0; b < 256; ++b) p[b] = cv::Vec3b(uchar(b), uchar(row & 255), 0);
  }
  std::vector<std::uint32_t> bits(kColours / 32);
  for (int red0 = 0; red0 < 256; red0 += kRedsPerPass) {
    for (int row = 0; row < bgr.rows; ++row) {
      auto* p = bgr.ptr<cv::Vec3b>(row);
      const auto red = static_cast<uchar>(red0 + row / 256);
      for (int b = 0; b < 256; ++b) p[b][2] = red;
    }
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    in_hsv_range(hsv, lower, upper, mask);
    const std::uint8_t* m = mask.ptr<std::uint8_t>();
    std::uint32_t* out = bits.data() + (static_cast<std::size_t>(red0) << 11);
    for (std::size_t i = 0; i < mask.total(); i += 32) {
      std::uint32_t word = 0;
      for (unsigned k = 0; k < 32; ++k) word |= (m[i + k] & 1u) << k;
      out[i / 32] = word;
    }
  }
  return bits;
}

inline std::uint32_t in_table(const std::uint32_t* table, std::uint32_t colour) {
  return (table[colour >> 5] >> (colour & 31)) & 1u;
}

}  // namespace

bool read_bound(py::handle obj, Bound* out) {
  if (!py::isinstance<py::array>(obj)) return false;
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (a.ndim() != 1 || a.shape(0) != 3) return false;
  const py::dtype dt = a.dtype();
  const int depth = bound_depth(dt);
  if (depth < 0) return false;
  out->depth = depth;
  std::memset(out->raw, 0, sizeof out->raw);
  const auto* base = static_cast<const char*>(a.data());
  const std::size_t size = CV_ELEM_SIZE1(depth);
  for (int i = 0; i < 3; ++i) store(base + i * a.strides(0), dt, depth, out->raw + i * size);
  return true;
}

void in_hsv_range(const cv::Mat& hsv, const Bound& lower, const Bound& upper, cv::Mat& mask) {
  const cv::Mat lo = lower.mat(), hi = upper.mat();
  cv::Mat lo64, hi64;
  lo.convertTo(lo64, CV_64F);
  hi.convertTo(hi64, CV_64F);
  if (!(lo64.at<double>(0) > hi64.at<double>(0))) return cv::inRange(hsv, lo, hi, mask);
  // Hues lower..180 and 0..upper: the same bounds with the upper, then the lower, hue opened.
  cv::Mat to_top = hi64.clone(), from_zero = lo64.clone(), rest;
  to_top.at<double>(0) = 180;
  from_zero.at<double>(0) = 0;
  cv::inRange(hsv, lo64, to_top, mask);
  cv::inRange(hsv, from_zero, hi64, rest);
  cv::bitwise_or(mask, rest, mask);
}

Table range_table(const Bound& lower, const Bound& upper) {
  static std::list<CachedTable> tables;
  static std::list<Candidate> candidates;
  if (CachedTable* t = touch(tables, lower, upper)) return t->bits;
  Candidate* c = touch(candidates, lower, upper);
  if (c == nullptr) {
    if (candidates.size() == kCandidates) candidates.pop_back();
    candidates.push_front(Candidate{lower, upper, 1});
    return nullptr;
  }
  if (++c->uses < kUsesBeforeTable) return nullptr;
  candidates.pop_front();
  auto bits = std::make_shared<const std::vector<std::uint32_t>>(build_table(lower, upper));
  if (tables.size() == kTables) tables.pop_back();
  tables.push_front(CachedTable{lower, upper, bits});
  return bits;
}

void apply_table(const std::vector<std::uint32_t>& bits, const cv::Mat& bgr, cv::Mat& mask) {
  CV_Assert(bgr.type() == CV_8UC3 && bits.size() == kColours / 32);
  mask.create(bgr.size(), CV_8UC1);
  const std::uint32_t* table = bits.data();
  cv::parallel_for_(cv::Range(0, bgr.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y) {
      const std::uint8_t* p = bgr.ptr<std::uint8_t>(y);
      std::uint8_t* o = mask.ptr<std::uint8_t>(y);
      int x = 0;
      // Eight pixels per step, each read as one little-endian 4-byte word (its 3 bytes and
      // the next pixel's first), so the row's last pixel is left to the byte-wise tail.
      for (; kLittleEndian && x + 8 < bgr.cols; x += 8, p += 24) {
        std::uint64_t eight = 0;
        for (int k = 0; k < 8; ++k) {
          std::uint32_t word;
          std::memcpy(&word, p + 3 * k, sizeof word);
          eight |= std::uint64_t{in_table(table, word & 0xFFFFFFu)} << (8 * k);
        }
        eight *= 255;
        std::memcpy(o + x, &eight, sizeof eight);
      }
      for (; x < bgr.cols; ++x, p += 3) {
        const std::uint32_t colour = p[0] | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
        o[x] = static_cast<std::uint8_t>(0u - in_table(table, colour));
      }
    }
  });
}

}  // namespace zelk::color
