#include "driver/Chart.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

constexpr int kWidth = 1000;
constexpr int kLabelWidth = 250;  // system names left of the bars
constexpr int kBarSpan = 520;     // the best of a case fills this
constexpr int kBarHeight = 13, kBarStep = 17;
constexpr int kPlotWidth = 400, kPlotHeight = 220;
const char* const kColours[] = {"#1f5fa8", "#3a9a3a", "#e08a1e", "#8a8a8a", "#8e5bb5", "#b5523b", "#2aa7a7", "#c04a8a"};

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 1 ? "%.1f" : "%.3f", value);
  return text;
}

bool IsSweep(const Row& row) { return row.caseName.compare(0, 6, "sweep:") == 0; }

// Each system keeps its colour in every part of the picture.
class Palette {
 public:
  const char* Of(const std::string& system) {
    auto it = std::find(FSystems.begin(), FSystems.end(), system);
    if (it == FSystems.end()) it = FSystems.insert(FSystems.end(), system);
    return kColours[static_cast<std::size_t>(it - FSystems.begin()) % (sizeof kColours / sizeof *kColours)];
  }

 private:
  std::vector<std::string> FSystems;
};

void Text(std::ostream& out, int x, int y, const std::string& text, const char* extra = "") {
  out << "<text x=\"" << x << "\" y=\"" << y << "\" " << extra << ">" << Escaped(text) << "</text>\n";
}

// One group per case, bars as shares of the case's best, so that cases of
// any size read alike.
int Bars(std::ostream& out, const std::vector<Row>& rows, Palette& palette, int y) {
  std::vector<std::string> cases;
  for (const Row& row : rows)
    if (!IsSweep(row) && std::find(cases.begin(), cases.end(), row.caseName) == cases.end())
      cases.push_back(row.caseName);
  for (const std::string& name : cases) {
    double best = 0;
    for (const Row& row : rows)
      if (row.caseName == name) best = std::max(best, Median(row.rates));
    Text(out, 10, y + 12, name, "font-weight=\"bold\"");
    y += kBarStep + 2;
    for (const Row& row : rows) {
      if (row.caseName != name) continue;
      const double value = Median(row.rates);
      const int length = best > 0 ? static_cast<int>(kBarSpan * value / best) : 0;
      Text(out, 20, y + 11, row.system);
      out << "<rect x=\"" << kLabelWidth << "\" y=\"" << y << "\" width=\"" << std::max(length, 1) << "\" height=\""
          << kBarHeight << "\" fill=\"" << palette.Of(row.system) << "\"/>\n";
      Text(out, kLabelWidth + length + 6, y + 11, row.rates.empty() ? "failed" : Number(value) + " " + row.unit);
      y += kBarStep;
    }
    y += 8;
  }
  return y;
}

// One line per system over the sweep's points, on a linear scale from 0.
void Lines(std::ostream& out, const std::vector<Row>& sweep, const std::vector<std::string>& points, int left, int top,
           const std::string& title, double (*value)(const Row&), Palette& palette) {
  double topValue = 0;
  for (const Row& row : sweep) topValue = std::max(topValue, value(row));
  if (topValue <= 0) topValue = 1;
  const int bottom = top + kPlotHeight;
  Text(out, left, top - 10, title, "font-weight=\"bold\"");
  for (int i = 0; i <= 4; ++i) {
    const int y = bottom - kPlotHeight * i / 4;
    out << "<line x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << left + kPlotWidth << "\" y2=\"" << y
        << "\" stroke=\"#ddd\"/>\n";
    Text(out, left - 6, y + 4, Number(topValue * i / 4), "text-anchor=\"end\"");
  }
  auto xOf = [&](std::size_t i) {
    return left + (points.size() < 2 ? kPlotWidth / 2 : static_cast<int>(kPlotWidth * i / (points.size() - 1)));
  };
  for (std::size_t i = 0; i < points.size(); ++i)
    Text(out, xOf(i), bottom + 16, points[i].substr(0, points[i].find(' ')), "text-anchor=\"middle\"");
  Text(out, left + kPlotWidth / 2, bottom + 32, "concurrent downloads", "text-anchor=\"middle\"");
  std::vector<std::string> systems;
  for (const Row& row : sweep)
    if (std::find(systems.begin(), systems.end(), row.system) == systems.end()) systems.push_back(row.system);
  for (const std::string& system : systems) {
    std::ostringstream path;
    for (std::size_t i = 0; i < points.size(); ++i)
      for (const Row& row : sweep)
        if (row.system == system && row.caseName.substr(7) == points[i] && !row.rates.empty()) {
          const int x = xOf(i), y = bottom - static_cast<int>(kPlotHeight * value(row) / topValue);
          path << (path.tellp() == 0 ? "" : " ") << x << ',' << y;
          out << "<circle cx=\"" << x << "\" cy=\"" << y << "\" r=\"3\" fill=\"" << palette.Of(system) << "\"/>\n";
        }
    out << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << palette.Of(system) << "\" points=\"" << path.str()
        << "\"/>\n";
  }
}

double Throughput(const Row& row) { return Median(row.rates); }

}  // namespace

bool WriteChart(const std::vector<Row>& rows, const std::string& svg, const std::string& title) {
  Palette palette;
  std::ostringstream body;
  int y = Bars(body, rows, palette, 40);

  std::vector<Row> sweep;
  std::vector<std::string> points;
  for (const Row& row : rows) {
    if (!IsSweep(row)) continue;
    sweep.push_back(row);
    if (std::find(points.begin(), points.end(), row.caseName.substr(7)) == points.end())
      points.push_back(row.caseName.substr(7));
  }
  if (!sweep.empty()) {
    y += 30;
    Lines(body, sweep, points, 70, y, "sweep: MB/s", Throughput, palette);
    Lines(body, sweep, points, 70 + kPlotWidth + 80, y, "sweep: server CPU s per GiB", CpuPerGiB, palette);
    y += kPlotHeight + 50;
    int x = 70;
    std::vector<std::string> legend;
    for (const Row& row : sweep) {
      if (std::find(legend.begin(), legend.end(), row.system) != legend.end()) continue;
      legend.push_back(row.system);
      body << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"12\" height=\"12\" fill=\"" << palette.Of(row.system)
           << "\"/>\n";
      Text(body, x + 18, y + 11, row.system);
      x += 40 + static_cast<int>(row.system.size()) * 8;
    }
    y += 30;
  }

  std::ofstream out(svg);
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << y
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  Text(out, 10, 22, title, "font-size=\"16\" font-weight=\"bold\"");
  out << body.str() << "</svg>\n";
  return static_cast<bool>(out);
}

}  // namespace bench
