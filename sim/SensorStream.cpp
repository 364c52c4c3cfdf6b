#include "SensorStream.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace zelto::sim {

std::string formatValue(double value) {
  char text[32];  // the longest shortest form, "-2.2250738585072014e-308", takes 24
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
  return std::string(text, r.ptr);
}

std::string formatTime(double seconds, TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Seconds:
      return formatValue(seconds);
    case TimeUnit::Milliseconds:
      return formatValue(seconds * 1e3);
    case TimeUnit::Microseconds:
    case TimeUnit::Nanoseconds: {
      // Whole ticks: to_chars of a double would switch to exponent notation for large counts.
      const double scale = unit == TimeUnit::Microseconds ? 1e6 : 1e9;
      char text[24];
      const std::to_chars_result r =
          std::to_chars(text, text + sizeof text, std::llround(seconds * scale));
      return std::string(text, r.ptr);
    }
  }
  return formatValue(seconds);
}

namespace detail {

CsvFile::CsvFile(const std::string& path, const std::string& header)
    : path_(path), out_(path, std::ios::binary) {
  if (!out_) throw std::runtime_error("cannot create " + path);
  out_ << header << '\n';
}

void CsvFile::row(double time, TimeUnit unit, const double* values, std::size_t count) {
  line_ = formatTime(time, unit);
  for (std::size_t i = 0; i < count; ++i) line_.append(",").append(formatValue(values[i]));
  line_.push_back('\n');
  out_ << line_;
}

void CsvFile::close() {
  out_.close();
  if (!out_) throw std::runtime_error("cannot write " + path_);
}

}  // namespace detail

}  // namespace zelto::sim
