// Barcode and QR-code scanning with libzbar on an 8-bit grey buffer, with the scanner's
// default configuration (every symbol type it enables by default), as the pyzbar binding
// scans, so that a learner's own pyzbar.decode call and ours find the same symbols.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace zelk {

struct Symbol {
  cv::Rect rect;     // bounding box of the symbol's location points
  std::string data;  // payload bytes
};

// The symbols in `grey` (CV_8UC1), in the order zbar reports them. Touches no Python object.
std::vector<Symbol> scan_symbols(const cv::Mat& grey);

}  // namespace zelk
