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
  std::vector<double> rates;       // MB/s (10^6 bytes), one per run
  std::vector<double> cpuSeconds;  // the server's, one per run
  std::int64_t peakKiB = 0;        // 0 when there is no server process
  std::string note;
};

std::string ToLine(const Row& row);
bool FromLine(const std::string& line, Row& row);

// The table of all rows, case by case in the order they were measured:
// printed as text, and as Markdown into `markdown`.
int PrintTable(const std::string& tsv, const std::string& markdown, const std::string& title);

}  // namespace bench
