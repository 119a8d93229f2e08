#include "record/SvgPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vita49::record {
namespace {

constexpr double kWidth = 900, kHeight = 480;
constexpr double kLeft = 70, kRight = 20, kTop = 40, kBottom = 50;

std::string Number(double v, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

// Up to six decimals, without trailing zeros.
std::string Trimmed(double v) {
    std::string s = Number(v, 6);
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

std::string FrequencyLabel(double hz, bool signedOffset) {
    const double a = std::fabs(hz);
    if (signedOffset && hz > 0) return "+" + FrequencyLabel(hz, false);
    if (a >= 1e9) return Trimmed(hz / 1e9) + " GHz";
    if (a >= 1e6) return Trimmed(hz / 1e6) + " MHz";
    if (a >= 1e3) return Trimmed(hz / 1e3) + " kHz";
    return Trimmed(hz) + " Hz";
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else if (c == '"') out += "&quot;";
        else out.push_back(c);
    }
    return out;
}

} // namespace

std::string RenderSvg(const TracePlot& plot) {
    const std::vector<float>& v = plot.levelsDbm;
    float lo = 0, hi = 0;
    bool any = false;
    for (float x : v) {
        if (!std::isfinite(x)) continue;
        lo = any ? std::min(lo, x) : x;
        hi = any ? std::max(hi, x) : x;
        any = true;
    }
    // Level axis in whole divisions of 10 dB (20 dB for a wide range) around the values.
    const double dbStep = any && hi - lo > 100 ? 20.0 : 10.0;
    const double bottom = any ? std::floor(lo / dbStep) * dbStep : -100.0;
    double top = any ? std::ceil(hi / dbStep) * dbStep : 0.0;
    if (top <= bottom) top = bottom + dbStep;
    const double plotW = kWidth - kLeft - kRight, plotH = kHeight - kTop - kBottom;
    const std::size_t n = v.size();
    // The axis runs over n steps from the first point, so that a span split into n points
    // gets round labels.
    const double endHz = plot.startHz + plot.stepHz * static_cast<double>(n > 0 ? n : 1);
    auto x = [&](std::size_t i) { return kLeft + plotW * static_cast<double>(i) / static_cast<double>(n > 0 ? n : 1); };
    auto y = [&](double dbm) { return kTop + plotH * (top - std::clamp(dbm, bottom, top)) / (top - bottom); };

    std::string s;
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth, 0) + "\" height=\"" +
         Number(kHeight, 0) + "\" viewBox=\"0 0 " + Number(kWidth, 0) + " " + Number(kHeight, 0) +
         "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + Number(kWidth / 2, 1) + "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">" +
         Escape(plot.title) + "</text>\n";

    // Grid and labels: one line per level division, ten across.
    for (double level = bottom; level <= top + 1e-9; level += dbStep) {
        const std::string yy = Number(y(level), 1);
        s += "<line x1=\"" + Number(kLeft, 1) + "\" y1=\"" + yy + "\" x2=\"" + Number(kLeft + plotW, 1) + "\" y2=\"" +
             yy + "\" stroke=\"#ddd\"/>\n";
        s += "<text x=\"" + Number(kLeft - 6, 1) + "\" y=\"" + yy + "\" text-anchor=\"end\" dy=\"4\">" +
             Number(level, 0) + "</text>\n";
    }
    for (int k = 0; k <= 10; ++k) {
        const double xx = kLeft + plotW * k / 10.0;
        s += "<line x1=\"" + Number(xx, 1) + "\" y1=\"" + Number(kTop, 1) + "\" x2=\"" + Number(xx, 1) + "\" y2=\"" +
             Number(kTop + plotH, 1) + "\" stroke=\"#ddd\"/>\n";
        if (k % 2 == 0) {
            const double hz = plot.startHz + (endHz - plot.startHz) * k / 10.0 - plot.centreHz;
            // The last label ends at the right edge of the plot: centred there, it would run
            // past the picture's right border, which the narrow margin leaves no room for.
            s += "<text x=\"" + Number(xx, 1) + "\" y=\"" + Number(kTop + plotH + 18, 1) + "\" text-anchor=\"" +
                 (k == 10 ? "end" : "middle") + "\">" + FrequencyLabel(hz, plot.centreHz != 0) + "</text>\n";
        }
    }
    s += "<rect x=\"" + Number(kLeft, 1) + "\" y=\"" + Number(kTop, 1) + "\" width=\"" + Number(plotW, 1) +
         "\" height=\"" + Number(plotH, 1) + "\" fill=\"none\" stroke=\"black\"/>\n";
    s += "<text x=\"" + Number(kLeft + plotW / 2, 1) + "\" y=\"" + Number(kHeight - 8, 1) +
         "\" text-anchor=\"middle\">" +
         (plot.centreHz != 0 ? "frequency offset from " + FrequencyLabel(plot.centreHz, false) : std::string("frequency")) +
         "</text>\n";
    s += "<text x=\"16\" y=\"" + Number(kTop + plotH / 2, 1) + "\" text-anchor=\"middle\" transform=\"rotate(-90 16 " +
         Number(kTop + plotH / 2, 1) + ")\">level / dBm</text>\n";

    s += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.2\" points=\"";
    for (std::size_t i = 0; i < n; ++i) {
        const double level = std::isfinite(v[i]) ? v[i] : bottom;
        s += Number(x(i), 2) + "," + Number(y(level), 2) + (i + 1 < n ? " " : "");
    }
    s += "\"/>\n</svg>\n";
    return s;
}

bool WriteSvg(const std::string& path, const TracePlot& plot) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const std::string text = RenderSvg(plot);
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace vita49::record
