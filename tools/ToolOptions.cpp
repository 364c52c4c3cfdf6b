#include "ToolOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>
#include <memory>

#include "CsvRecording.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

// A value check: "" when the text is acceptable, otherwise the problem. CLI11 reports it as
// "<option>: <problem>", the form of every option error of the tool.
using Check = std::function<std::string(const std::string&)>;

bool finiteNumber(const std::string& text, double& value) {
  return parseDouble(text, value) && std::isfinite(value);
}

std::string notANumber(const std::string& text) { return "'" + text + "' is not a number"; }

std::string checkNumber(const std::string& text) {
  double v = 0.0;
  return finiteNumber(text, v) ? "" : notANumber(text);
}

std::string checkPositive(const std::string& text) {
  double v = 0.0;
  if (!finiteNumber(text, v)) return notANumber(text);
  return v > 0.0 ? "" : "must be greater than 0, got '" + text + "'";
}

std::string checkNonNegative(const std::string& text) {
  double v = 0.0;
  if (!finiteNumber(text, v)) return notANumber(text);
  return v >= 0.0 ? "" : "must not be negative, got '" + text + "'";
}

// A probability of a dropped or repeated sample: 1 would end the stream.
std::string checkProbability(const std::string& text) {
  const std::string problem = checkNonNegative(text);
  if (!problem.empty()) return problem;
  double v = 0.0;
  parseDouble(text, v);
  return v < 1.0 ? "" : "must be below 1, got '" + text + "'";
}

std::string checkSeed(const std::string& text) {
  std::uint64_t v = 0;
  const char* end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, v);
  const bool ok = !text.empty() && text[0] != '-' && r.ptr == end && r.ec == std::errc();
  return ok ? "" : "'" + text + "' is not a non-negative integer";
}

std::string checkSpeed(const std::string& text) {
  double v = 0.0;
  if (text == "max" || (finiteNumber(text, v) && v > 0.0)) return "";
  return "expected a positive factor of real time or 'max', got '" + text + "'";
}

// Comma-separated list of exactly n numbers, e.g. "0.01,0,-0.02".
std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    parts.push_back(text.substr(start, comma - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

Check checkList(std::size_t n) {
  return [n](const std::string& text) -> std::string {
    const std::vector<std::string> parts = splitList(text);
    if (parts.size() != n) {
      return "expected " + std::to_string(n) + " comma-separated numbers, got '" + text + "'";
    }
    for (const std::string& part : parts) {
      if (!checkNumber(part).empty()) return notANumber(part);
    }
    return "";
  };
}

Check checkOneOf(std::vector<std::string> choices, std::string wording) {
  return [choices = std::move(choices), wording = std::move(wording)](const std::string& text) {
    const bool known = std::find(choices.begin(), choices.end(), text) != choices.end();
    return known ? std::string() : "expected " + wording + ", got '" + text + "'";
  };
}

// Conversions of texts the checks above have accepted.
double number(const std::string& text) {
  double v = 0.0;
  parseDouble(text, v);
  return v;
}

template <std::size_t N>
std::array<double, N> list(const std::string& text) {
  const std::vector<std::string> parts = splitList(text);
  std::array<double, N> values{};
  for (std::size_t i = 0; i < N; ++i) values[i] = number(parts[i]);
  return values;
}

std::uint64_t seed(const std::string& text) {
  std::uint64_t v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return v;
}

// The usage line first, as users of command-line tools expect, then what the command does.
class UsageFirstFormatter : public CLI::Formatter {
 public:
  struct Text {
    std::string synopsis;  // what follows "usage: zelto-payload "
    std::string details;   // the paragraph under it; the one-line description is for lists
  };
  std::map<const CLI::App*, Text> texts;

  std::string make_description(const CLI::App*) const override { return ""; }
  std::string make_usage(const CLI::App* app, std::string) const override {
    const Text& t = texts.at(app);
    return "usage: zelto-payload " + t.synopsis + "\n" + t.details + "\n";
  }
};

// One command: its options as the texts CLI11 fills in, checked as they are parsed.
class Command {
 public:
  Command(CLI::App& parent, const char* name, const char* summary, const char* synopsis,
          const char* description)
      : app_(parent.add_subcommand(name, summary)), text_{synopsis, description} {
    app_->group("Commands");
    // Unknown words are collected, so that they are reported as the tool words it.
    app_->allow_extras();
  }

  void option(const std::string& names, const char* type, const char* help,
              const Check& check = {}) {
    CLI::Option* o = app_->add_option(names, texts_[names], help)->type_name(type);
    if (check) o->check(CLI::Validator([check](std::string& t) { return check(t); }, ""));
    options_[names] = o;
  }
  void flag(const std::string& name, const char* help) {
    options_[name] = app_->add_flag(name)->description(help)->disable_flag_override();
  }
  std::optional<std::string> value(const std::string& names) const {
    if (options_.at(names)->count() == 0) return std::nullopt;
    return texts_.at(names);
  }
  bool has(const std::string& name) const { return options_.at(name)->count() != 0; }
  CLI::App* app() const { return app_; }
  const UsageFirstFormatter::Text& text() const { return text_; }

 private:
  CLI::App* app_;
  UsageFirstFormatter::Text text_;
  std::map<std::string, std::string> texts_;
  std::map<std::string, CLI::Option*> options_;
};

// The tool's command line: every command, option, check and help text in one place.
struct Definition {
  CLI::App app{
      "Simulates, estimates, compensates and checks payload recordings with the two "
      "libraries.",
      "zelto-payload"};
  Command simulate{app, "simulate", "write a simulated recording (CSV)",
                   "simulate -o OUT.csv [options]",
                   "Writes a recording of a simulated payload moved by hand (CSV:\n"
                   "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz)."};
  Command noise{app, "noise", "measure the sensor noise of a recording",
                "noise RECORDING.csv [-o NOISE.json | --config FILE -o COPY.json]",
                "Measures the white-noise variance of each channel of a recording (still or "
                "moving:\nthe robust spread of each channel's fourth difference) and derives "
                "the angular-\nacceleration variance of the estimator's derivative at the "
                "recording's median rate.\nPrints them, any sign of trouble (rate jitter, gaps, "
                "repeated samples, clipping)\nand a ready \"measurement_noise_covariance\" "
                "block."};
  Command estimate{app, "estimate", "replay a recording through the payload estimator",
                   "estimate --config FILE [options] RECORDING.csv",
                   "Replays a recording through the payload estimator library.\n"
                   "The estimator's min_time/max_time run on the wall clock: the last sample is "
                   "held back\nuntil min_time has passed, so a fast replay still gets its "
                   "convergence test.\n"
                   "Exit status: 0 converged, file written and physically consistent; 1 not "
                   "converged;\n2 bad input; 3 file written but physically inconsistent."};
  Command compensate{app, "compensate", "compensate a recording with a payload parameter file",
                     "compensate --payload FILE -o OUT.csv [options] RECORDING.csv",
                     "Removes the payload's wrench from every sample with the compensator "
                     "library."};
  Command check{app, "check", "check a payload parameter file for physical consistency",
                "check FILE",
                "Checks that a payload parameter file describes a physically possible body: "
                "mass > 0,\ninertia about the centre of mass positive definite, principal "
                "moments satisfying\nthe triangle inequalities. Exit status 0 consistent, 1 "
                "not, 2 unreadable."};
  Command demo{app, "demo", "simulate, estimate and compensate a known tool end to end",
               "demo [--out DIR] [--seed N] [--config FILE] [--plots|--no-plots] [--no-trace]",
               "Simulates a known tool, estimates it, compensates two recordings and prints how\n"
               "close everything came. Files go to DIR (default ./demo-output)."};
  Command help{app, "help", "show the usage of the tool or of one command", "help [COMMAND]",
               "Shows the usage of the tool or of one command."};

  Definition() {
    auto formatter = std::make_shared<UsageFirstFormatter>();
    app.formatter(formatter);
    formatter->texts[&app] = {"COMMAND [options]", app.get_description()};
    for (const Command* c : {&simulate, &noise, &estimate, &compensate, &check, &demo, &help}) {
      c->app()->formatter(formatter);
      formatter->texts[c->app()] = c->text();
    }
    // One command per invocation: a word after it that names another is its argument.
    app.require_subcommand(0, 1);
    app.footer("Run 'zelto-payload COMMAND --help' for the options of a command.");
    app.allow_extras();
    app.add_flag("--version")->description("print the tool's version");

    Command& s = simulate;
    s.option("-o,--output", "OUT.csv", "the recording to write");
    s.option("--payload", "FILE", "payload as a payload parameter file (optional \"bias\" block)");
    s.option("--mass", "KG", "mass (default 1.2)", checkPositive);
    s.option("--com", "X,Y,Z", "centre of mass, m (default 0.012,-0.008,0.065)", checkList(3));
    s.option("--inertia-com", "IXX,IXY,IXZ,IYY,IYZ,IZZ", "inertia about the centre of mass, kg*m^2",
             checkList(6));
    s.option("--inertia", "IXX,IXY,IXZ,IYY,IYZ,IZZ", "inertia about the sensor origin, kg*m^2",
             checkList(6));
    s.option("--force-bias", "X,Y,Z", "sensor force bias, N", checkList(3));
    s.option("--torque-bias", "X,Y,Z", "sensor torque bias, N*m", checkList(3));
    s.option("--duration", "S", "length (default 60)", checkPositive);
    s.option("--start", "T", "time stamp of the first sample, e.g. a Unix time (default 0)",
             checkNumber);
    s.option("--rate", "HZ", "sample rate (default 1000)", checkPositive);
    s.option("--motion", "hand|slow|fast|static", "how the tool moves (default hand)",
             checkOneOf({"hand", "slow", "fast", "static"}, "hand, slow, fast or static"));
    s.option("--intensity", "X", "time scale of the motion (hand 1, slow 0.4, fast 2)",
             checkPositive);
    s.option("--noise-force", "V", "force noise variance (default 0.01 N^2)", checkNonNegative);
    s.option("--noise-torque", "V", "torque noise variance (default 1e-5 N^2m^2)",
             checkNonNegative);
    s.option("--noise-acc", "V", "accelerometer noise variance (default 1e-3 m^2/s^4)",
             checkNonNegative);
    s.option("--noise-gyro", "V", "gyro noise variance (default 1e-5 rad^2/s^2)", checkNonNegative);
    s.flag("--no-noise", "noise-free recording");
    s.option("--drop", "P", "probability of a dropped sample (default 0)", checkProbability);
    s.option("--repeat", "P", "probability of a repeated sample (default 0)", checkProbability);
    s.option("--seed", "N", "random seed (default 1)", checkSeed);
    s.option("--truth", "FILE", "also write the true parameters as a payload parameter file");

    noise.option("recording", "RECORDING.csv", "the recording to measure");
    noise.option("-o,--output", "FILE",
                 "write the block as a JSON file, or with --config the configuration copy");
    noise.option("--config", "FILE",
                 "estimator configuration to copy with the measured block in place of its own "
                 "(needs -o)");

    Command& e = estimate;
    e.option("recording", "RECORDING.csv", "the recording to replay");
    e.option("--config", "FILE",
             "estimator configuration (JSON); the payload parameter file is written next to it "
             "under its output_config_file_name");
    e.option("--speed", "X|max", "replay at X times real speed, or as fast as possible (default 1)",
             checkSpeed);
    e.option("--trace", "TRACE.csv",
             "write the estimate and its standard deviations as the estimator held them at "
             "points in time of the replay");
    e.option("--trace-step", "S", "smallest spacing of those points (default 0.25 s)",
             checkPositive);
    e.flag("--no-progress", "no progress bar (with the live estimate) on standard error");

    Command& c = compensate;
    c.option("recording", "RECORDING.csv", "the recording to compensate");
    c.option("--payload", "FILE", "payload parameter file");
    c.option("-o,--output", "OUT.csv",
             "compensated wrench per sample: time,fx,fy,fz,tx,ty,tz,code (code: 0 ok, 1 pending "
             "tare (zeros), 5 refused (nan))");
    c.option("--tare-at", "SECONDS", "request a tare at the first sample at or after this time",
             checkNumber);
    c.option("--mode", "static|dynamic", "override the file's compensation mode",
             checkOneOf({"static", "dynamic"}, "static or dynamic"));

    check.option("file", "FILE", "the payload parameter file");

    Command& d = demo;
    d.option("--out", "DIR", "directory for the files (default ./demo-output)",
             [](const std::string& t) { return t.empty() ? "the directory name is empty" : ""; });
    d.option("--seed", "N", "random seed (default 7)", checkSeed);
    d.option("--config", "FILE", "estimator configuration (default: the shipped demo one)");
    d.flag("--plots", "fail when the plots cannot be drawn (needs python3 with matplotlib)");
    d.flag("--no-plots", "skip the plots (default: draw them if possible)");
    d.flag("--no-trace", "skip the convergence trace and its plot");

    help.option("topic", "COMMAND", "the command to show the usage of");
  }
};

// The tool's words for what CLI11 reports in its own: unknown words, and options given twice
// or without their value.
[[noreturn]] void rethrowInToolWords(const CLI::ParseError& error, const CLI::App& command) {
  for (const CLI::Option* o : command.get_options()) {
    if (o->count() > 1) throw UsageError("option " + o->get_name() + " given twice");
  }
  const std::string what = error.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    // "no-progress was given a disallowed flag override" or "--speed: 1 required ..."
    const std::size_t override = what.find(" was given a disallowed flag override");
    if (override != std::string::npos) {
      throw UsageError("option --" + what.substr(0, override) + " takes no value");
    }
    throw UsageError("option " + what.substr(0, what.find(':')) + " needs a value");
  }
  throw UsageError(what);
}

void refuseExtras(const CLI::App& command) {
  const std::vector<std::string> extras = command.remaining();
  if (extras.empty()) return;
  const std::string& word = extras.front();
  if (word.size() > 1 && word[0] == '-') throw UsageError("unknown option '" + word + "'");
  throw UsageError("unexpected argument '" + word + "'");
}

std::string required(const Command& command, const std::string& names, const char* what) {
  const std::optional<std::string> v = command.value(names);
  if (!v) throw UsageError(std::string("missing ") + what);
  return *v;
}

SimulateOptions simulateOptions(const Command& c) {
  SimulateOptions o;
  o.output = required(c, "-o,--output", "-o OUT.csv");
  o.payloadFile = c.value("--payload");
  if (auto v = c.value("--mass")) o.mass = number(*v);
  if (auto v = c.value("--com")) o.com = list<3>(*v);
  if (auto v = c.value("--inertia")) o.inertia = list<6>(*v);
  if (auto v = c.value("--inertia-com")) o.inertiaCom = list<6>(*v);
  if (o.inertia && o.inertiaCom) {
    throw UsageError("--inertia and --inertia-com exclude each other");
  }
  if (auto v = c.value("--force-bias")) o.forceBias = list<3>(*v);
  if (auto v = c.value("--torque-bias")) o.torqueBias = list<3>(*v);
  if (auto v = c.value("--duration")) o.duration = number(*v);
  if (auto v = c.value("--start")) o.start = number(*v);
  if (auto v = c.value("--rate")) o.rate = number(*v);
  if (auto v = c.value("--motion")) o.motion = *v;
  if (auto v = c.value("--intensity")) o.intensity = number(*v);
  if (c.has("--no-noise")) o.noise = NoiseVariances{0.0, 0.0, 0.0, 0.0};
  if (auto v = c.value("--noise-force")) o.noise.force = number(*v);
  if (auto v = c.value("--noise-torque")) o.noise.torque = number(*v);
  if (auto v = c.value("--noise-acc")) o.noise.linearAcc = number(*v);
  if (auto v = c.value("--noise-gyro")) o.noise.angularVel = number(*v);
  if (auto v = c.value("--drop")) o.dropProbability = number(*v);
  if (auto v = c.value("--repeat")) o.repeatProbability = number(*v);
  if (auto v = c.value("--seed")) o.seed = seed(*v);
  o.truthFile = c.value("--truth");
  return o;
}

NoiseOptions noiseOptions(const Command& c) {
  NoiseOptions o;
  o.recording = required(c, "recording", "RECORDING.csv");
  o.output = c.value("-o,--output");
  o.config = c.value("--config");
  if (o.config && !o.output) throw UsageError("--config needs -o COPY.json, the copy to write");
  return o;
}

EstimateOptions estimateOptions(const Command& c) {
  EstimateOptions o;
  o.config = required(c, "--config", "--config FILE");
  o.recording = required(c, "recording", "RECORDING.csv");
  if (auto v = c.value("--speed")) o.speed = *v == "max" ? 0.0 : number(*v);
  o.trace = c.value("--trace");
  if (auto v = c.value("--trace-step")) o.traceStep = number(*v);
  o.progress = !c.has("--no-progress");
  return o;
}

CompensateOptions compensateOptions(const Command& c) {
  CompensateOptions o;
  o.recording = required(c, "recording", "RECORDING.csv");
  o.payload = required(c, "--payload", "--payload FILE");
  o.output = required(c, "-o,--output", "-o OUT.csv");
  if (auto v = c.value("--tare-at")) o.tareAt = number(*v);
  if (auto v = c.value("--mode")) o.dynamic = *v == "dynamic";
  return o;
}

DemoOptions demoOptions(const Command& c) {
  DemoOptions o;
  if (auto v = c.value("--out")) o.outputDirectory = *v;
  if (auto v = c.value("--seed")) o.seed = seed(*v);
  o.config = c.value("--config");
  if (c.has("--plots") && c.has("--no-plots")) {
    throw UsageError("--plots and --no-plots exclude each other");
  }
  if (c.has("--plots")) o.plots = DemoOptions::Plots::Required;
  if (c.has("--no-plots")) o.plots = DemoOptions::Plots::Off;
  o.trace = !c.has("--no-trace");
  return o;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  Definition d;
  CommandLine line;
  // CLI11 takes the words last first.
  std::vector<std::string> words(arguments.rbegin(), arguments.rend());
  const std::vector<CLI::App*> parsed = [&] {
    try {
      d.app.parse(words);
    } catch (const CLI::CallForHelp&) {
      line.help = true;
    } catch (const CLI::ParseError& e) {
      const std::vector<CLI::App*> commands = d.app.get_subcommands();
      rethrowInToolWords(e, commands.empty() ? d.app : *commands.front());
    }
    return d.app.get_subcommands();
  }();
  if (parsed.empty()) {
    if (!line.help && !d.app.remaining().empty()) {
      throw UsageError("unknown command '" + d.app.remaining().front() + "'");
    }
    if (d.app.get_option("--version")->count() != 0) line.command = "version";
    return line;
  }
  line.command = parsed.front()->get_name();
  if (line.help) return line;
  const Command* command = nullptr;
  for (const Command* c :
       {&d.simulate, &d.noise, &d.estimate, &d.compensate, &d.check, &d.demo, &d.help}) {
    if (c->app() == parsed.front()) command = c;
  }
  refuseExtras(*command->app());
  if (command == &d.simulate) line.simulate = simulateOptions(*command);
  if (command == &d.noise) line.noise = noiseOptions(*command);
  if (command == &d.estimate) line.estimate = estimateOptions(*command);
  if (command == &d.compensate) line.compensate = compensateOptions(*command);
  if (command == &d.check) line.check.file = required(*command, "file", "payload parameter FILE");
  if (command == &d.demo) line.demo = demoOptions(*command);
  if (command == &d.help) line.helpTopic = command->value("topic").value_or("");
  return line;
}

std::string usageText(const std::string& command) {
  Definition d;
  for (const CLI::App* sub : d.app.get_subcommands({})) {
    if (sub->get_name() == command) return sub->help();
  }
  return d.app.help();
}

}  // namespace zelto::tool
