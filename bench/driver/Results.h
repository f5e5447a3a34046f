#pragma once
// One row of the benchmark: a case served by one system, over several runs,
// as a tab-separated line; and the table made of all rows.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Row {
  std::string caseName;
  std::string system;
  // "self" (this server), "peer" (a server it is compared with), "ref" (the
  // ceiling the targets are measured against) or "info" (shown only).
  std::string kind;
  std::vector<double> rates;       // in `unit`, one per run
  std::vector<double> cpuSeconds;  // the server's, one per run
  std::int64_t peakKiB = 0;        // 0 when there is no server process
  std::string note;
  std::string unit = "MB/s";       // MB/s are 10^6 bytes per second
  double bytesPerRun = 0;          // what one run moved, for the cost per GiB
};

std::string ToLine(const Row& row);
bool FromLine(const std::string& line, Row& row);

double Median(std::vector<double> values);
// The server's median CPU seconds per GiB moved; 0 when either is unknown.
double CpuPerGiB(const Row& row);
// The rows of a results file, runs of the same case and system merged, in
// the order the cases were measured.
std::vector<Row> LoadRows(const std::string& tsv);

// The table of all rows, case by case in the order they were measured:
// printed as text, and as Markdown into `markdown`; the sweep cases also as
// one line per system.
int PrintTable(const std::string& tsv, const std::string& markdown, const std::string& title);

}  // namespace bench
