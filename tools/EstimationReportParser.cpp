#include "EstimationReportParser.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace zelto::tool {

namespace {

// Removes ANSI control sequences (ESC '[' parameters final-letter).
std::string stripColour(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
      i += 2;
      while (i < line.size() &&
             !((line[i] >= 'A' && line[i] <= 'Z') || (line[i] >= 'a' && line[i] <= 'z'))) {
        ++i;
      }
      continue;
    }
    out.push_back(line[i]);
  }
  return out;
}

// The numbers after `key` in `line`: the comma-separated list inside the first "[...]" that
// follows, or the single number right after the key. Empty when the line does not fit.
std::vector<double> numbersAfter(const std::string& line, const std::string& key) {
  std::vector<double> numbers;
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return numbers;
  std::size_t begin = at + key.size();
  while (begin < line.size() && line[begin] == ' ') ++begin;
  std::size_t end = line.size();
  if (begin < line.size() && line[begin] == '[') {
    ++begin;
    end = line.find(']', begin);
    if (end == std::string::npos) return {};
  }
  const std::string list = line.substr(begin, end - begin);
  const char* p = list.c_str();
  while (*p != '\0') {
    while (*p == ' ' || *p == ',') ++p;
    if (*p == '\0') break;
    char* next = nullptr;
    const double v = std::strtod(p, &next);
    if (next == p) break;  // a unit or other text: the list ends here
    numbers.push_back(v);
    p = next;
    if (end == line.size()) break;  // a single number
  }
  return numbers;
}

}  // namespace

std::optional<ReportedEstimate> parseEstimationReport(const std::string& consoleText) {
  const std::string title = "PAYLOAD ESTIMATION RESULTS";
  const std::size_t at = consoleText.rfind(title);
  if (at == std::string::npos) return std::nullopt;

  std::vector<std::string> lines;
  std::istringstream in(consoleText.substr(at));
  for (std::string line; std::getline(in, line) && lines.size() < 12;) {
    lines.push_back(stripColour(line));
  }
  // title, time, rule, mass, std, com, std, inertia, std, bias, std, rule
  if (lines.size() < 12) return std::nullopt;

  ReportedEstimate report;
  const std::vector<double> time = numbersAfter(lines[1], "Time:");
  if (time.size() != 1) return std::nullopt;
  report.elapsed = time[0];

  struct Block {
    std::size_t valueLine;
    const char* key;
    std::size_t first;
    std::size_t count;
  };
  const Block blocks[] = {
      {3, "Mass:", 0, 1}, {5, "CoM:", 1, 3}, {7, "Inertia:", 4, 6}, {9, "Wrench Bias:", 10, 6}};
  for (const Block& b : blocks) {
    const std::vector<double> values = numbersAfter(lines[b.valueLine], b.key);
    const std::vector<double> sd = numbersAfter(lines[b.valueLine + 1], "std:");
    if (values.size() != b.count || sd.size() != b.count) return std::nullopt;
    for (std::size_t i = 0; i < b.count; ++i) {
      report.value[b.first + i] = values[i];
      report.standardDeviation[b.first + i] = sd[i];
    }
  }
  return report;
}

}  // namespace zelto::tool
