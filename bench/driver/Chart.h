#pragma once
// The results as a picture: one group of bars per case (each system's median,
// as a share of the best in the case, with its figure), and the sweep as
// lines of throughput and of CPU cost per GiB. Hand-written SVG, so that the
// driver that already holds the rows needs nothing else to draw them.

#include <string>
#include <vector>

#include "driver/Results.h"

namespace bench {

bool WriteChart(const std::vector<Row>& rows, const std::string& svg, const std::string& title);

}  // namespace bench
