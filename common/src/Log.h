#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelto {

// Console lines on standard output:
//   "[" + orange "zlt" + "_" + coloured level word + "] " + message + "\n", flushed.
// Nothing is filtered, timestamped or buffered across lines.
//
// Every line, plain ones included, is assembled in one buffer and handed to std::cout in a
// single write: lines printed at the same time by several threads, or by both libraries in
// one process, never mix mid-line. Lines of up to MessageText::kStackCapacity bytes are
// assembled on the stack, so printing them does not allocate.
void logInfo(std::string_view message);
void logWarn(std::string_view message);
void logError(std::string_view message);
void logInfoRuntime(std::string_view message);

//! A line without tag or level (diagnostics, the stop message, the report).
void printLine(std::string_view text);

//! The version line every library prints first on construction, e.g.
//! "ZeltoPayloadEstimator version: V1.0.3" for the prefix "ZeltoPayloadEstimator version: V".
void printVersion(const std::string& prefix);

//! Formats like printf("%f"): fixed notation with six decimals.
std::string formatFixed(double value);

//! Text of one message, built without allocation where update() prints: on the stack up to
//! kStackCapacity bytes, on the heap only beyond (a "%f" number can be 316 characters long).
class MessageText {
 public:
  static constexpr std::size_t kStackCapacity = 512;

  MessageText() = default;
  MessageText(const MessageText& other) { *this << other.view(); }
  MessageText& operator=(const MessageText& other);

  MessageText& operator<<(std::string_view text);
  //! Appends value as printf("%f") would print it.
  MessageText& appendFixed(double value);

  std::string_view view() const;

 private:
  char stack_[kStackCapacity];
  std::size_t size_ = 0;
  bool onHeap_ = false;
  std::string heap_;  //!< the whole text once it no longer fits on the stack
};

}  // namespace zelto
