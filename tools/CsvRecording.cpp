#include "CsvRecording.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>

#include "ToolError.h"

namespace zelto::tool {

const char* const kRecordingHeader = "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz";

namespace {

constexpr std::size_t kColumns = 13;
constexpr const char* kColumnNames[kColumns] = {"time", "fx", "fy", "fz", "tx", "ty", "tz",
                                                "ax",   "ay", "az", "wx", "wy", "wz"};
// Both libraries treat time stamps closer than this as the same (repeated) sample.
constexpr double kRepeatTolerance = 1e-5;

}  // namespace

std::string trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const std::size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

void splitFields(const std::string& line, std::vector<std::string>& fields) {
  fields.clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(trim(line.substr(start, comma == std::string::npos ? comma : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

std::string quoted(const std::string& s) {
  // Keep messages on one line and of sane length whatever the file holds.
  std::string shown = s.size() > 40 ? s.substr(0, 40) + "..." : s;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return "'" + shown + "'";
}

std::string formatDouble(double value) {
  char text[32];  // the longest shortest form, "-2.2250738585072014e-308", takes 24
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
  return std::string(text, r.ptr);
}

bool parseDouble(std::string_view text, double& value) {
  // from_chars takes no plus sign; a leading one is allowed when a number follows it.
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, value);
  if (r.ptr != end) return false;
  if (r.ec == std::errc::result_out_of_range) {
    // Too large becomes an infinity, too small a zero, as the C library's readers give them.
    const bool negative = text[0] == '-';
    const std::size_t e = text.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    if (negative) value = -value;
    return true;
  }
  return r.ec == std::errc();
}

CsvRecordingReader::CsvRecordingReader(const std::string& path)
    : file_(path, std::ios::binary), in_(&file_), name_(path) {
  if (!file_) {
    throw ToolError("cannot open recording '" + path + "': " + std::strerror(errno));
  }
}

CsvRecordingReader::CsvRecordingReader(std::istream& in, std::string name)
    : in_(&in), name_(std::move(name)) {}

void CsvRecordingReader::fail(const std::string& what) const {
  throw ToolError(name_ + ":" + std::to_string(lineNumber_) + ": " + what);
}

bool CsvRecordingReader::next(RecordedSample& sample) {
  while (std::getline(*in_, line_)) {
    ++lineNumber_;
    if (lineNumber_ == 1 && line_.size() >= 3 && line_.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      line_.erase(0, 3);  // UTF-8 byte order mark some spreadsheet programs write
    }
    if (line_.find_first_not_of(" \t\r") == std::string::npos) continue;

    splitFields(line_, fields_);
    if (!headerChecked_) {
      headerChecked_ = true;
      double ignored = 0.0;
      if (!parseDouble(fields_[0], ignored)) {
        bool matches = fields_.size() == kColumns;
        for (std::size_t i = 0; matches && i < kColumns; ++i) {
          matches = fields_[i] == kColumnNames[i];
        }
        if (!matches) {
          fail("unexpected header " + quoted(trim(line_)) + " (expected '" + kRecordingHeader +
               "')");
        }
        continue;
      }
    }
    parseLine(sample);
    return true;
  }
  if (in_->bad()) fail("read error");
  return false;
}

void CsvRecordingReader::parseLine(RecordedSample& sample) {
  if (fields_.size() != kColumns) {
    fail("expected 13 values (time and the twelve sample values), found " +
         std::to_string(fields_.size()));
  }
  double numbers[kColumns];
  for (std::size_t i = 0; i < kColumns; ++i) {
    const std::string& field = fields_[i];
    if (field.empty()) fail(std::string("empty value in column '") + kColumnNames[i] + "'");
    if (!parseDouble(field, numbers[i])) {
      fail("value " + quoted(field) + " in column '" + kColumnNames[i] + "' is not a number");
    }
    if (!std::isfinite(numbers[i])) {
      fail("value " + quoted(field) + " in column '" + kColumnNames[i] +
           "' is not a finite number");
    }
  }
  if (hasPrevious_ && numbers[0] < previousTime_ - kRepeatTolerance) {
    fail("time " + formatDouble(numbers[0]) + " is earlier than the previous sample's " +
         formatDouble(previousTime_) + " (time stamps must not go backwards)");
  }
  hasPrevious_ = true;
  previousTime_ = numbers[0];
  sample.time = numbers[0];
  for (std::size_t i = 0; i < 12; ++i) sample.values[i] = numbers[i + 1];
  sample.line = lineNumber_;
}

std::vector<RecordedSample> readRecording(const std::string& path) {
  CsvRecordingReader reader(path);
  std::vector<RecordedSample> samples;
  RecordedSample sample;
  while (reader.next(sample)) samples.push_back(sample);
  if (samples.empty()) throw ToolError("recording '" + path + "' contains no samples");
  return samples;
}

CsvWriter::CsvWriter(const std::string& path, const std::string& header)
    : out_(path, std::ios::binary | std::ios::trunc), path_(path) {
  if (!out_) throw ToolError("cannot create '" + path + "': " + std::strerror(errno));
  out_ << header << '\n';
}

void CsvWriter::separator() {
  if (rowStarted_) out_.put(',');
  rowStarted_ = true;
}

void CsvWriter::time(double t) { value(t); }

void CsvWriter::value(double v) {
  separator();
  char text[32];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, v);
  out_.write(text, r.ptr - text);
}

void CsvWriter::text(const char* v) {
  separator();
  out_ << v;
}

void CsvWriter::endRow() {
  out_.put('\n');
  rowStarted_ = false;
}

void CsvWriter::close() {
  out_.flush();
  const bool good = static_cast<bool>(out_);
  out_.close();
  if (!good || out_.fail()) throw ToolError("failed to write '" + path_ + "'");
}

void writeRecording(const std::string& path, const std::vector<RecordedSample>& samples) {
  CsvWriter writer(path, kRecordingHeader);
  for (const RecordedSample& s : samples) {
    writer.time(s.time);
    for (double v : s.values) writer.value(v);
    writer.endRow();
  }
  writer.close();
}

}  // namespace zelto::tool
