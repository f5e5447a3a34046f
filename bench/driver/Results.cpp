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

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
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
  return {row.caseName,
          row.system,
          measured ? Fixed(median, 0) : "failed",
          measured ? Fixed(*low, 0) + "-" + Fixed(*high, 0) : "",
          row.cpuSeconds.empty() ? "" : Fixed(Median(row.cpuSeconds), 2),
          row.peakKiB > 0 ? Fixed(static_cast<double>(row.peakKiB) / 1024, 1) : "",
          row.kind == "self" ? Ratio(median, bestPeer) : "",
          row.kind == "self" ? Ratio(median, reference) : "",
          row.note};
}

const Cells kHeadings = {"case", "system", "MB/s", "min-max", "CPU s", "peak RSS MiB", "x best peer",
                         "x reference", "notes"};

void PrintText(const std::vector<Cells>& rows) {
  std::vector<std::size_t> widths(kHeadings.size());
  for (std::size_t i = 0; i < kHeadings.size(); ++i) widths[i] = kHeadings[i].size();
  for (const Cells& cells : rows)
    for (std::size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], cells[i].size());
  auto print = [&](const Cells& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const bool number = i >= 2 && i <= 7;
      std::printf(number ? "%*s  " : "%-*s  ", static_cast<int>(widths[i]), cells[i].c_str());
    }
    std::printf("\n");
  };
  print(kHeadings);
  for (const Cells& cells : rows) print(cells);
}

void WriteMarkdown(std::ostream& out, const std::vector<Cells>& rows) {
  auto line = [&](const Cells& cells) {
    out << '|';
    for (const std::string& cell : cells) out << ' ' << cell << " |";
    out << '\n';
  };
  line(kHeadings);
  out << "|---|---|--:|--:|--:|--:|--:|--:|---|\n";
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

std::string ToLine(const Row& row) {
  return row.caseName + '\t' + row.system + '\t' + row.kind + '\t' + Join(row.rates) + '\t' + Join(row.cpuSeconds) +
         '\t' + std::to_string(row.peakKiB) + '\t' + row.note;
}

bool FromLine(const std::string& line, Row& row) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  if (fields.size() < 6) return false;
  row = Row{fields[0], fields[1], fields[2], Split(fields[3]), Split(fields[4]), std::atoll(fields[5].c_str()),
            fields.size() > 6 ? fields[6] : ""};
  return true;
}

int PrintTable(const std::string& tsv, const std::string& markdown, const std::string& title) {
  std::ifstream in(tsv);
  std::vector<Row> rows;
  std::vector<std::string> cases;
  for (std::string line; std::getline(in, line);) {
    Row row;
    if (!FromLine(line, row)) continue;
    if (std::find(cases.begin(), cases.end(), row.caseName) == cases.end()) cases.push_back(row.caseName);
    Merge(rows, row);
  }
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
  WriteMarkdown(out, table);
  return out ? 0 : 1;
}

}  // namespace bench
