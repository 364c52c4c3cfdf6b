#include "Log.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "Version.h"

namespace zelto {
namespace {

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kTagColour = "\x1b[38;2;255;127;0m";

// One write and one flush per line: the write reaches the stream buffer as one call, which
// the standard output (and any buffer a host installs that is safe across threads) performs
// as a whole, so a line cannot be split by another thread's line.
void emit(std::string_view line) {
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cout.flush();
}

void writeLine(std::string_view colour, std::string_view level, std::string_view message) {
  MessageText line;
  line << "[" << kTagColour << "zlt" << kReset << "_" << colour << level << kReset << "] "
       << message << "\n";
  emit(line.view());
}

}  // namespace

MessageText& MessageText::operator=(const MessageText& other) {
  if (this != &other) {
    size_ = 0;
    onHeap_ = false;
    heap_.clear();
    *this << other.view();
  }
  return *this;
}

MessageText& MessageText::operator<<(std::string_view text) {
  if (!onHeap_ && text.size() <= kStackCapacity - size_) {
    if (!text.empty()) {
      std::memcpy(stack_ + size_, text.data(), text.size());
    }
    size_ += text.size();
    return *this;
  }
  if (!onHeap_) {
    heap_.assign(stack_, size_);
    onHeap_ = true;
  }
  heap_.append(text);
  return *this;
}

MessageText& MessageText::appendFixed(double value) {
  // "%f" of the largest double needs 309 digits + sign + point + 6 decimals.
  char buffer[400];
  const int length = std::snprintf(buffer, sizeof buffer, "%f", value);
  return *this << std::string_view(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::string_view MessageText::view() const {
  return onHeap_ ? std::string_view(heap_) : std::string_view(stack_, size_);
}

void logInfo(std::string_view message) { writeLine("\x1b[38;2;135;206;250m", "INFO", message); }

void logWarn(std::string_view message) { writeLine("\x1b[38;2;255;255;0m", "WARN", message); }

void logError(std::string_view message) { writeLine("\x1b[38;2;255;0;0m", "ERROR", message); }

void logInfoRuntime(std::string_view message) {
  writeLine("\x1b[38;2;61;104;245m", "INFO_RUNTIME", message);
}

void printLine(std::string_view text) {
  MessageText line;
  line << text << "\n";
  emit(line.view());
}

void printVersion(const std::string& prefix) {
  logInfo(prefix + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
          std::to_string(kVersionPatch));
}

std::string formatFixed(double value) {
  MessageText text;
  text.appendFixed(value);
  return std::string(text.view());
}

}  // namespace zelto
