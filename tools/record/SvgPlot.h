#pragma once

// A spectrum trace as a self-contained SVG picture (no scripts, fonts or other files), for
// a browser to open.

#include <cstdint>
#include <string>
#include <vector>

namespace vita49::record {

struct TracePlot {
    std::vector<float> levelsDbm;
    double startHz = 0; // frequency of the first point
    double stepHz = 0;  // spacing of the points
    double centreHz = 0; // the frequency axis is labelled as offsets from this (0: absolute)
    std::string title;
};

// The SVG text: frequency axis across, level axis up, both with grid lines and labels.
std::string RenderSvg(const TracePlot& plot);
bool WriteSvg(const std::string& path, const TracePlot& plot);

} // namespace vita49::record
