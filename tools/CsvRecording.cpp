#include "CsvRecording.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <sstream>

#include "ToolError.h"

namespace zelto::tool {

const char* const kRecordingHeader = "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz";

namespace {

constexpr std::size_t kColumns = 13;
constexpr const char* kColumnNames[kColumns] = {"time", "fx", "fy", "fz", "tx", "ty", "tz",
                                                "ax",   "ay", "az", "wx", "wy", "wz"};
// Both libraries treat time stamps closer than this as the same (repeated) sample.
constexpr double kRepeatTolerance = 1e-5;

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

// A field is a number when strtod consumes all of it. Hexadecimal floats and "inf"/"nan" also
// pass strtod; hex is harmless, and the non-finite ones are refused separately.
bool parseNumber(const std::string& field, double& value) {
  if (field.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(field.c_str(), &end);
  return end == field.c_str() + field.size();
}

std::string quoted(const std::string& s) {
  // Keep messages on one line and of sane length whatever the file holds.
  std::string shown = s.size() > 40 ? s.substr(0, 40) + "..." : s;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return "'" + shown + "'";
}

}  // namespace

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
      if (!parseNumber(fields_[0], ignored)) {
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
    if (!parseNumber(field, numbers[i])) {
      fail("value " + quoted(field) + " in column '" + kColumnNames[i] + "' is not a number");
    }
    if (!std::isfinite(numbers[i])) {
      fail("value " + quoted(field) + " in column '" + kColumnNames[i] +
           "' is not a finite number");
    }
  }
  if (hasPrevious_ && numbers[0] < previousTime_ - kRepeatTolerance) {
    std::ostringstream s;
    s.precision(12);
    s << "time " << numbers[0] << " is earlier than the previous sample's " << previousTime_
      << " (time stamps must not go backwards)";
    fail(s.str());
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

void CsvWriter::time(double t) {
  separator();
  const int n = std::snprintf(buffer_, sizeof buffer_, "%.12g", t);
  out_.write(buffer_, n);
}

void CsvWriter::value(double v) {
  separator();
  const int n = std::snprintf(buffer_, sizeof buffer_, "%.9g", v);
  out_.write(buffer_, n);
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
