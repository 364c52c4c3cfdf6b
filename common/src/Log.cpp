#include "Log.h"

#include <cstdio>
#include <iostream>

#include "Version.h"

namespace zelto {
namespace {

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kTagColour = "\x1b[38;2;255;127;0m";

void writeLine(const char* colour, const char* level, const std::string& message) {
  // One insertion per piece; std::endl gives the newline and the flush each line needs.
  std::cout << "[" << kTagColour << "zlt" << kReset << "_" << colour << level << kReset << "] "
            << message << std::endl;
}

}  // namespace

void logInfo(const std::string& message) {
  writeLine("\x1b[38;2;135;206;250m", "INFO", message);
}

void logWarn(const std::string& message) {
  writeLine("\x1b[38;2;255;255;0m", "WARN", message);
}

void logError(const std::string& message) {
  writeLine("\x1b[38;2;255;0;0m", "ERROR", message);
}

void logInfoRuntime(const std::string& message) {
  writeLine("\x1b[38;2;61;104;245m", "INFO_RUNTIME", message);
}

void printLine(const std::string& text) {
  std::cout << text << std::endl;
}

void printVersion(const std::string& prefix) {
  logInfo(prefix + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
          std::to_string(kVersionPatch));
}

std::string formatFixed(double value) {
  // "%f" of the largest double needs 309 digits + sign + point + 6 decimals.
  char buffer[400];
  const int length = std::snprintf(buffer, sizeof buffer, "%f", value);
  return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace zelto
