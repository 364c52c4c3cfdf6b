#pragma once

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace zelto::tool {

//! What `help` says of a command: its line in the tool's list, its usage line and paragraph.
struct CommandText {
  const char* name;
  const char* summary;
  const char* synopsis;
  const char* details;
};

//! What a command line asks for; the options themselves are in the structs the commands bound.
struct CommandLine {
  std::string command;  //!< the command's name, "version", or empty when none was given
  bool help = false;    //!< --help: show the usage of `command` (the tool's when empty)
};

//! The tool's command line and --version. A command is an options struct with its CommandText
//! kCommand and a bind(CLI::App&) that binds the command's options to the struct's fields.
class ToolCommandLine {
 public:
  template <class... Options>
  explicit ToolCommandLine(Options&... commands) : ToolCommandLine() {
    (commands.bind(*addCommand(Options::kCommand)), ...);
    app_.footer("Run 'zelto-payload COMMAND --help' for the options of a command.");
  }
  //! Parses the arguments after the program name into the bound structs, once. Throws UsageError
  //! with a one-line message for an unknown command, option or word, or a missing or bad value.
  CommandLine parse(const std::vector<std::string>& arguments);
  //! Usage of one command, or of the tool for a name that is none.
  std::string usage(const std::string& command) const;

 private:
  ToolCommandLine();
  CLI::App* addCommand(const CommandText& text);
  CLI::App app_;
};

// Numbers are read as the tool reads every number: decimal, finite, the nearest double. CLI11's
// conversion goes through long double, which misses that for a few texts such as 4.91e-6, and
// takes "010" for octal and "-1" for 2^64-1. Each returns what is wrong, "" for a value; a list
// of N numbers is written "X,Y,Z".
std::string readValue(const std::string& text, double& value);
std::string readValue(const std::string& text, std::uint64_t& value);
std::string valueText(double value);  //!< a number as the usage shows it ("1e-05")
template <std::size_t N>
std::string readValue(const std::string& text, std::array<double, N>& values) {
  std::string problem;
  if (std::count(text.begin(), text.end(), ',') + 1 != static_cast<std::ptrdiff_t>(N)) {
    problem = "expected " + std::to_string(N) + " comma-separated numbers, got '" + text + "'";
  }
  for (std::size_t i = 0, start = 0, end = 0; i < N && problem.empty(); ++i, start = end + 1) {
    end = std::min(text.find(',', start), text.size());
    problem = readValue(text.substr(start, end - start), values[i]);
  }
  return problem;
}
template <class T>
std::string readValue(const std::string& text, std::optional<T>& value) {
  const std::string problem = readValue(text, value.emplace());
  if (!problem.empty()) value.reset();
  return problem;
}

//! Binds a number option to `field`, whose value, when it has one, the usage shows as default.
template <class T>
CLI::Option* addNumber(CLI::App& command, const std::string& name, T& field, std::string help) {
  if constexpr (std::is_integral_v<T>) help += " (default " + std::to_string(field) + ")";
  if constexpr (std::is_floating_point_v<T>) help += " (default " + valueText(field) + ")";
  const auto read = [&field](const CLI::results_t& t) { return readValue(t[0], field).empty(); };
  const auto check = [](std::string& text) {
    T value{};
    return readValue(text, value);
  };
  return command.add_option(name, read, help)->check(CLI::Validator(check, ""));
}

// Bounds of a number's value. CLI11's PositiveNumber and NonNegativeNumber let "nan" through and
// print the whole range of a double when they refuse a value; these say what the value must be.
extern const CLI::Validator kPositive, kNonNegative, kBelowOne;
//! CLI::ExistingFile, without "FILE" added to the placeholder the option shows.
extern const CLI::Validator kExistingFile;

}  // namespace zelto::tool
