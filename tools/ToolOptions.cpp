#include "ToolOptions.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "CsvRecording.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

// The usage line first, as users of command-line tools expect, then what the command does.
struct UsageFormatter : CLI::Formatter {
  explicit UsageFormatter(const CommandText& text) : text_(text) {}
  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App*, std::string) const override {
    return std::string("usage: zelto-payload ") + text_.synopsis + "\n" + text_.details + "\n";
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_expected_max() == 0 ? "" : " " + option->get_type_name();
  }
  const CommandText text_;
};

CLI::Validator bound(bool (*within)(double), const char* requirement) {
  return CLI::Validator(
      [within, requirement](std::string& text) {
        double value = 0.0;
        readValue(text, value);
        return within(value) ? std::string() : requirement + (", got '" + text + "'");
      },
      "");
}

}  // namespace

const CLI::Validator kPositive = bound([](double v) { return v > 0; }, "must be greater than 0");
const CLI::Validator kNonNegative = bound([](double v) { return v >= 0; }, "must not be negative");
const CLI::Validator kBelowOne = bound([](double v) { return v < 1; }, "must be below 1");
const CLI::Validator kExistingFile = CLI::ExistingFile.description("");

std::string readValue(const std::string& text, double& value) {
  return parseDouble(text, value) && std::isfinite(value) ? "" : "'" + text + "' is not a number";
}

std::string readValue(const std::string& text, std::uint64_t& value) {
  const char* end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, value);
  return r.ptr == end && r.ec == std::errc() ? "" : "'" + text + "' is not a non-negative integer";
}

std::string valueText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

ToolCommandLine::ToolCommandLine() : app_("", "zelto-payload") {
  app_.formatter(std::make_shared<UsageFormatter>(CommandText{
      "", "", "COMMAND [options]",
      "Simulates, estimates, compensates and checks payload recordings with the two libraries."}));
  // One command per invocation: a word after it that names another is its argument. Unknown
  // words are kept and reported one by one (CLI11 would list them all, in reverse order).
  app_.require_subcommand(0, 1)->allow_extras();
  app_.option_defaults()->disable_flag_override();  // a flag takes no value
  app_.add_flag("--version", "print the tool's version");
}

CLI::App* ToolCommandLine::addCommand(const CommandText& text) {
  return app_.add_subcommand(text.name, text.summary)
      ->group("Commands")
      ->formatter(std::make_shared<UsageFormatter>(text));
}

CommandLine ToolCommandLine::parse(const std::vector<std::string>& arguments) {
  std::vector<std::string> words(arguments.rbegin(), arguments.rend());  // CLI11 pops the last
  CommandLine line;
  try {
    app_.parse(words);
  } catch (const CLI::CallForHelp&) {
    line.help = true;
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  const std::vector<CLI::App*> chosen = app_.get_subcommands();
  if (!chosen.empty()) line.command = chosen[0]->get_name();
  if (line.help) return line;
  for (const std::string& word : app_.remaining(true)) {
    if (chosen.empty()) throw UsageError("unknown command '" + word + "'");
    const bool option = word.size() > 1 && word[0] == '-';
    throw UsageError((option ? "unknown option '" : "unexpected argument '") + word + "'");
  }
  if (chosen.empty() && app_.get_option("--version")->count() != 0) line.command = "version";
  return line;
}

std::string ToolCommandLine::usage(const std::string& command) const {
  // Not App::help(), which after parsing shows the command that was given.
  const CLI::App* shown = &app_;
  for (const CLI::App* c : app_.get_subcommands({})) shown = c->get_name() == command ? c : shown;
  return shown->get_formatter()->make_help(shown, shown->get_name(), CLI::AppFormatMode::Normal);
}

}  // namespace zelto::tool
