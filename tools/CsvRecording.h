#pragma once

#include <array>
#include <cstddef>
#include <fstream>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace zelto::tool {

//! The text without leading and trailing blanks (spaces, tabs, line ends).
std::string trim(const std::string& s);
//! The comma-separated fields of one CSV line, each trimmed, into fields.
void splitFields(const std::string& line, std::vector<std::string>& fields);
//! Text shown in a message: quoted, on one line, at most 40 characters and "...".
std::string quoted(const std::string& s);

//! The shortest text that reads back as exactly `value` ("0.1", "1700000000.001", "1e-07"),
//! the same in every locale.
std::string formatDouble(double value);

//! Reads a whole field as a number, in every locale the same way: decimal or exponent notation
//! with an optional sign, "inf" and "nan". A value beyond the range of double reads as an
//! infinity of its sign. False when the text is not a number in full.
bool parseDouble(std::string_view text, double& value);

//! Header line of a recording: the time stamp and the twelve sample values in the order both
//! libraries take them (force, torque, linear acceleration, angular velocity; sensor frame).
extern const char* const kRecordingHeader;

//! One row of a recording.
struct RecordedSample {
  double time = 0.0;                //!< s, the sample's own time stamp
  std::array<double, 12> values{};  //!< N, N·m, m/s², rad/s
  std::size_t line = 0;             //!< 1-based line in the file it came from, for messages
};

//! Reads a recording (CSV, comma separated, one sample per line, optional header line) and
//! refuses anything it cannot take as a sample: every problem is a ToolError whose message
//! names the file and the line. Accepted: the header exactly as written by the tool (spaces
//! around names allowed), no header at all, CRLF line ends, blank lines, surrounding spaces.
//! Refused: a different header, a line without exactly 13 values, a value that is not a finite
//! number, a time stamp earlier than the previous one by more than the libraries' repeat
//! tolerance (1e-5 s; closer ones are repeated samples, which the libraries handle).
class CsvRecordingReader {
 public:
  //! Opens the file; throws ToolError when it cannot be opened.
  explicit CsvRecordingReader(const std::string& path);
  //! Reads from a stream; name stands for the file in messages.
  CsvRecordingReader(std::istream& in, std::string name);

  //! Next sample; false at the end of the input.
  bool next(RecordedSample& sample);

 private:
  void parseLine(RecordedSample& sample);
  [[noreturn]] void fail(const std::string& what) const;

  std::ifstream file_;
  std::istream* in_;
  std::string name_;
  std::size_t lineNumber_ = 0;
  bool headerChecked_ = false;
  bool hasPrevious_ = false;
  double previousTime_ = 0.0;
  std::string line_;
  std::vector<std::string> fields_;
};

//! Every sample of a recording; throws ToolError for a bad line and for a recording without
//! any sample.
std::vector<RecordedSample> readRecording(const std::string& path);

//! Writes CSV files of numbers: a header, then rows of doubles, each written as the shortest
//! text that reads back exactly. Fixed digit counts would lose resolution on large time stamps
//! (twelve digits keep only 10 ms of a Unix time). Throws ToolError when the file cannot be
//! created or written.
class CsvWriter {
 public:
  CsvWriter(const std::string& path, const std::string& header);

  //! Starts a row with the time stamp; add values with value(), end it with endRow().
  void time(double t);
  void value(double v);
  void text(const char* v);
  void endRow();

  //! Flushes and closes; throws ToolError when anything could not be written.
  void close();

  const std::string& path() const { return path_; }

 private:
  void separator();

  std::ofstream out_;
  std::string path_;
  bool rowStarted_ = false;
};

//! Writes a recording in the layout CsvRecordingReader reads.
void writeRecording(const std::string& path, const std::vector<RecordedSample>& samples);

}  // namespace zelto::tool
