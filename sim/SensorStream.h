#pragma once

#include <array>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace zelto::sim {

//! One stream of a sensor on its own clock: a time and N values per sample.
template <std::size_t N>
struct SensorStream {
  std::vector<double> times;                  //!< s, increasing
  std::vector<std::array<double, N>> values;  //!< one row per time
  std::size_t size() const { return times.size(); }
};

//! Unit of a CSV file's time column.
enum class TimeUnit { Seconds, Milliseconds, Microseconds, Nanoseconds };

//! The time column's text for t seconds. Seconds and milliseconds as the shortest decimal that
//! reads back exactly (t·1000 for milliseconds); microseconds and nanoseconds as whole numbers,
//! rounded to the nearest tick, as loggers store them.
std::string formatTime(double seconds, TimeUnit unit);

//! The shortest text that reads back as exactly `value` ("0.1", "-1.5e-05"), in every locale
//! the same.
std::string formatValue(double value);

namespace detail {
// Writes the header at once and rows on request; the file's state is checked on close().
class CsvFile {
 public:
  CsvFile(const std::string& path, const std::string& header);
  void row(double time, TimeUnit unit, const double* values, std::size_t count);
  void close();

 private:
  std::string path_;
  std::ofstream out_;
  std::string line_;
};
}  // namespace detail

//! Writes a stream as CSV: the header line "<timeColumn>,<names…>", then one line per sample,
//! comma separated, '\n' line ends, no quoting (every field is a number). Throws
//! std::runtime_error when the file cannot be created or written.
template <std::size_t N>
void writeCsv(const std::string& path, const SensorStream<N>& stream,
              const std::array<const char*, N>& names, TimeUnit unit = TimeUnit::Seconds,
              const char* timeColumn = "t") {
  std::string header = timeColumn;
  for (const char* name : names) header.append(",").append(name);
  detail::CsvFile file(path, header);
  for (std::size_t k = 0; k < stream.size(); ++k) {
    file.row(stream.times[k], unit, stream.values[k].data(), N);
  }
  file.close();
}

}  // namespace zelto::sim
