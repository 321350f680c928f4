#include "cv_zbar.hpp"

#include <zbar.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>

namespace zelk {

// zbar.h declares its C interface inside namespace zbar when compiled as C++.
using namespace zbar;

std::vector<Symbol> scan_symbols(const cv::Mat& grey) {
  CV_Assert(grey.type() == CV_8UC1);
  // zbar reads a compact buffer.
  const cv::Mat pixels = grey.isContinuous() ? grey : grey.clone();
  std::unique_ptr<zbar_image_scanner_t, void (*)(zbar_image_scanner_t*)> scanner(
      zbar_image_scanner_create(), zbar_image_scanner_destroy);
  std::unique_ptr<zbar_image_t, void (*)(zbar_image_t*)> image(zbar_image_create(),
                                                               zbar_image_destroy);
  if (!scanner || !image) throw std::bad_alloc();
  zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
  zbar_image_set_size(image.get(), static_cast<unsigned>(pixels.cols),
                      static_cast<unsigned>(pixels.rows));
  zbar_image_set_data(image.get(), pixels.data, pixels.total(), nullptr);
  if (zbar_scan_image(scanner.get(), image.get()) < 0)
    throw std::runtime_error("zbar: unsupported image format");

  std::vector<Symbol> found;
  for (const zbar_symbol_t* s = zbar_image_first_symbol(image.get()); s != nullptr;
       s = zbar_symbol_next(s)) {
    int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;
    const unsigned n = zbar_symbol_get_loc_size(s);
    for (unsigned i = 0; i < n; ++i) {
      const int x = zbar_symbol_get_loc_x(s, i), y = zbar_symbol_get_loc_y(s, i);
      x0 = std::min(x0, x), x1 = std::max(x1, x);
      y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
    Symbol symbol;
    if (n > 0) symbol.rect = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    symbol.data.assign(zbar_symbol_get_data(s), zbar_symbol_get_data_length(s));
    found.push_back(std::move(symbol));
  }
  return found;
}

}  // namespace zelk
