#include "driver/Results.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace bench {

namespace {

std::string Join(const std::vector<double>& values) {
  std::string text;
  char number[32];
  for (double value : values) {
    std::snprintf(number, sizeof number, "%.3f", value);
    if (!text.empty()) text += ',';
    text += number;
  }
  return text;
}

std::vector<double> Split(const std::string& text) {
  std::vector<double> values;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) values.push_back(std::atof(item.c_str()));
  return values;
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Ratio(double value, double base) { return base > 0 && value > 0 ? Fixed(value / base, 2) : ""; }

using Cells = std::vector<std::string>;

Cells CellsOf(const Row& row, double bestPeer, double reference) {
  const double median = Median(row.rates);
  const bool measured = !row.rates.empty();
  const auto [low, high] = std::minmax_element(row.rates.begin(), row.rates.end());
  const double perGiB = CpuPerGiB(row);
  return {row.caseName,
          row.system,
          measured ? Fixed(median, 0) + " " + row.unit : "failed",
          measured ? Fixed(*low, 0) + "-" + Fixed(*high, 0) : "",
          row.cpuSeconds.empty() ? "" : Fixed(Median(row.cpuSeconds), 2),
          perGiB > 0 ? Fixed(perGiB, 3) : "",
          row.peakKiB > 0 ? Fixed(static_cast<double>(row.peakKiB) / 1024, 1) : "",
          row.kind == "self" ? Ratio(median, bestPeer) : "",
          row.kind == "self" ? Ratio(median, reference) : "",
          row.note};
}

const Cells kHeadings = {"case", "system", "rate", "min-max", "CPU s", "CPU s/GiB", "peak RSS MiB", "x best peer",
                         "x reference", "notes"};

bool IsSweep(const std::string& caseName) { return caseName.compare(0, 6, "sweep:") == 0; }

// The sweep as one row per system: throughput and cost at each point, so
// that where a system bends reads along its line.
std::vector<Cells> SweepTable(const std::vector<Row>& rows, Cells& headings) {
  std::vector<std::string> systems;
  headings = {"system"};
  for (const Row& row : rows) {
    if (!IsSweep(row.caseName)) continue;
    if (std::find(headings.begin(), headings.end(), row.caseName.substr(7)) == headings.end())
      headings.push_back(row.caseName.substr(7));
    if (std::find(systems.begin(), systems.end(), row.system) == systems.end()) systems.push_back(row.system);
  }
  std::vector<Cells> table;
  for (const std::string& system : systems) {
    Cells cells{system};
    for (std::size_t i = 1; i < headings.size(); ++i) {
      std::string cell;
      for (const Row& row : rows)
        if (row.system == system && IsSweep(row.caseName) && row.caseName.substr(7) == headings[i])
          cell = row.rates.empty() ? "failed" : Fixed(Median(row.rates), 0) + " MB/s, " + Fixed(CpuPerGiB(row), 3) + " s/GiB";
      cells.push_back(cell);
    }
    table.push_back(cells);
  }
  return table;
}

void PrintText(const std::vector<Cells>& rows) {
  std::vector<std::size_t> widths(kHeadings.size());
  for (std::size_t i = 0; i < kHeadings.size(); ++i) widths[i] = kHeadings[i].size();
  for (const Cells& cells : rows)
    for (std::size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
  auto print = [&](const Cells& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const bool number = i >= 2 && i <= 8;
      std::printf(number ? "%*s  " : "%-*s  ", static_cast<int>(widths[i]), cells[i].c_str());
    }
    std::printf("\n");
  };
  print(kHeadings);
  for (const Cells& cells : rows) print(cells);
}

void WriteMarkdown(std::ostream& out, const Cells& headings, const std::vector<Cells>& rows) {
  auto line = [&](const Cells& cells) {
    out << '|';
    for (const std::string& cell : cells) out << ' ' << cell << " |";
    out << '\n';
  };
  line(headings);
  out << "|---|---|";
  for (std::size_t i = 2; i < headings.size(); ++i) out << (i + 1 == headings.size() && headings[i] == "notes" ? "---|" : "--:|");
  out << '\n';
  for (const Cells& cells : rows) line(cells);
}

// Runs are interleaved across systems, one row per run: rows of the same
// case and system become one. A failed run leaves its note.
void Merge(std::vector<Row>& rows, const Row& row) {
  for (Row& known : rows) {
    if (known.caseName != row.caseName || known.system != row.system) continue;
    known.rates.insert(known.rates.end(), row.rates.begin(), row.rates.end());
    known.cpuSeconds.insert(known.cpuSeconds.end(), row.cpuSeconds.begin(), row.cpuSeconds.end());
    known.peakKiB = std::max(known.peakKiB, row.peakKiB);
    if (!row.note.empty()) known.note = row.note;
    return;
  }
  rows.push_back(row);
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double CpuPerGiB(const Row& row) {
  if (row.cpuSeconds.empty() || row.bytesPerRun <= 0) return 0;
  return Median(row.cpuSeconds) / (row.bytesPerRun / (1024.0 * 1024 * 1024));
}

std::string ToLine(const Row& row) {
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%.0f", row.bytesPerRun);
  return row.caseName + '\t' + row.system + '\t' + row.kind + '\t' + Join(row.rates) + '\t' + Join(row.cpuSeconds) +
         '\t' + std::to_string(row.peakKiB) + '\t' + row.note + '\t' + row.unit + '\t' + bytes;
}

bool FromLine(const std::string& line, Row& row) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  if (fields.size() < 6) return false;
  row = Row{fields[0], fields[1], fields[2], Split(fields[3]), Split(fields[4]), std::atoll(fields[5].c_str()),
            fields.size() > 6 ? fields[6] : ""};
  if (fields.size() > 7 && !fields[7].empty()) row.unit = fields[7];
  if (fields.size() > 8) row.bytesPerRun = std::atof(fields[8].c_str());
  return true;
}

std::vector<Row> LoadRows(const std::string& tsv) {
  std::ifstream in(tsv);
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    Row row;
    if (FromLine(line, row)) Merge(rows, row);
  }
  return rows;
}

int PrintTable(const std::string& tsv, const std::string& markdown, const std::string& title) {
  const std::vector<Row> rows = LoadRows(tsv);
  std::vector<std::string> cases;
  for (const Row& row : rows)
    if (std::find(cases.begin(), cases.end(), row.caseName) == cases.end()) cases.push_back(row.caseName);
  std::vector<Cells> table;
  for (const std::string& name : cases) {
    double bestPeer = 0, reference = 0;
    for (const Row& row : rows) {
      if (row.caseName != name) continue;
      if (row.kind == "peer") bestPeer = std::max(bestPeer, Median(row.rates));
      if (row.kind == "ref" && reference == 0) reference = Median(row.rates);
    }
    for (const Row& row : rows)
      if (row.caseName == name) table.push_back(CellsOf(row, bestPeer, reference));
  }
  PrintText(table);
  std::ofstream out(markdown);
  out << "# " << title << "\n\n";
  WriteMarkdown(out, kHeadings, table);
  Cells sweepHeadings;
  const std::vector<Cells> sweep = SweepTable(rows, sweepHeadings);
  if (!sweep.empty()) {
    out << "\nThe sweep, concurrent downloads of distinct files (median MB/s, server CPU seconds per GiB):\n\n";
    WriteMarkdown(out, sweepHeadings, sweep);
  }
  return out ? 0 : 1;
}

}  // namespace bench
