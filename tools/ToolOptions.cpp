#include "ToolOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "ToolError.h"

namespace zelto::tool {

namespace {

bool isHelp(const std::vector<std::string>& words) {
  for (const std::string& w : words) {
    if (w == "--") return false;
    if (w == "-h" || w == "--help") return true;
  }
  return false;
}

std::string requireSingle(const ArgumentList& args, const char* what) {
  if (args.positional().empty()) throw UsageError(std::string("missing ") + what);
  if (args.positional().size() > 1) {
    throw UsageError("unexpected argument '" + args.positional()[1] + "'");
  }
  return args.positional()[0];
}

void requireNone(const ArgumentList& args) {
  if (!args.positional().empty()) {
    throw UsageError("unexpected argument '" + args.positional()[0] + "'");
  }
}

template <std::size_t N>
std::array<double, N> parseVector(const std::string& option, const std::string& text) {
  std::array<double, N> values{};
  std::size_t start = 0;
  for (std::size_t i = 0; i < N; ++i) {
    const std::size_t comma = text.find(',', start);
    const bool last = i + 1 == N;
    if (last != (comma == std::string::npos)) {
      throw UsageError(option + ": expected " + std::to_string(N) +
                       " comma-separated numbers, got '" + text + "'");
    }
    values[i] = parseNumber(option, text.substr(start, last ? std::string::npos : comma - start));
    start = comma + 1;
  }
  return values;
}

}  // namespace

ArgumentList::ArgumentList(const std::vector<std::string>& words,
                           const std::set<std::string>& valueOptions,
                           const std::set<std::string>& flags) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string word = words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      positional_.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    if (word == "-o") word = "--output";
    std::optional<std::string> inlineValue;
    const std::size_t equals = word.find('=');
    if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      inlineValue = word.substr(equals + 1);
      word.erase(equals);
    }
    if (values_.count(word) != 0) throw UsageError("option " + word + " given twice");
    if (flags.count(word) != 0) {
      if (inlineValue) throw UsageError("option " + word + " takes no value");
      values_[word] = "";
    } else if (valueOptions.count(word) != 0) {
      if (inlineValue) {
        values_[word] = *inlineValue;
      } else {
        if (i + 1 >= words.size()) throw UsageError("option " + word + " needs a value");
        values_[word] = words[++i];
      }
    } else {
      throw UsageError("unknown option '" + words[i] + "'");
    }
  }
}

std::optional<std::string> ArgumentList::value(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

double parseNumber(const std::string& option, const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(begin, &end);
  if (text.empty() || end != begin + text.size() || !std::isfinite(v)) {
    throw UsageError(option + ": '" + text + "' is not a number");
  }
  return v;
}

double parsePositive(const std::string& option, const std::string& text) {
  const double v = parseNumber(option, text);
  if (!(v > 0.0)) throw UsageError(option + ": must be greater than 0, got '" + text + "'");
  return v;
}

double parseNonNegative(const std::string& option, const std::string& text) {
  const double v = parseNumber(option, text);
  if (v < 0.0) throw UsageError(option + ": must not be negative, got '" + text + "'");
  return v;
}

std::array<double, 3> parseVector3(const std::string& option, const std::string& text) {
  return parseVector<3>(option, text);
}

std::array<double, 6> parseVector6(const std::string& option, const std::string& text) {
  return parseVector<6>(option, text);
}

std::uint64_t parseSeed(const std::string& option, const std::string& text) {
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  errno = 0;
  const unsigned long long v = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (!digits || errno == ERANGE) {
    throw UsageError(option + ": '" + text + "' is not a non-negative integer");
  }
  return static_cast<std::uint64_t>(v);
}

double parseSpeed(const std::string& text) {
  if (text == "max") return 0.0;
  const char* begin = text.c_str();
  char* end = nullptr;
  const double v = std::strtod(begin, &end);
  if (text.empty() || end != begin + text.size() || !std::isfinite(v) || !(v > 0.0)) {
    throw UsageError("--speed: expected a positive factor of real time or 'max', got '" + text +
                     "'");
  }
  return v;
}

SimulateOptions parseSimulateOptions(const std::vector<std::string>& words) {
  SimulateOptions o;
  if (isHelp(words)) {
    o.help = true;
    return o;
  }
  const ArgumentList args(
      words, {"--output",      "--payload",    "--mass",        "--com",         "--inertia",
              "--inertia-com", "--force-bias", "--torque-bias", "--duration",    "--rate",
              "--start",       "--motion",     "--intensity",   "--noise-force", "--noise-torque",
              "--noise-acc",   "--noise-gyro", "--drop",        "--repeat",      "--seed",
              "--truth"},
      {"--no-noise"});
  requireNone(args);
  const auto output = args.value("--output");
  if (!output) throw UsageError("missing -o OUT.csv");
  o.output = *output;
  o.payloadFile = args.value("--payload");
  if (auto v = args.value("--mass")) o.mass = parsePositive("--mass", *v);
  if (auto v = args.value("--com")) o.com = parseVector3("--com", *v);
  if (auto v = args.value("--inertia")) o.inertia = parseVector6("--inertia", *v);
  if (auto v = args.value("--inertia-com")) o.inertiaCom = parseVector6("--inertia-com", *v);
  if (o.inertia && o.inertiaCom) {
    throw UsageError("--inertia and --inertia-com exclude each other");
  }
  if (auto v = args.value("--force-bias")) o.forceBias = parseVector3("--force-bias", *v);
  if (auto v = args.value("--torque-bias")) o.torqueBias = parseVector3("--torque-bias", *v);
  if (auto v = args.value("--duration")) o.duration = parsePositive("--duration", *v);
  if (auto v = args.value("--rate")) o.rate = parsePositive("--rate", *v);
  if (auto v = args.value("--start")) o.start = parseNumber("--start", *v);
  if (auto v = args.value("--motion")) {
    if (*v != "hand" && *v != "slow" && *v != "fast" && *v != "static") {
      throw UsageError("--motion: expected hand, slow, fast or static, got '" + *v + "'");
    }
    o.motion = *v;
  }
  if (auto v = args.value("--intensity")) o.intensity = parsePositive("--intensity", *v);
  if (args.has("--no-noise")) o.noise = NoiseVariances{0.0, 0.0, 0.0, 0.0};
  if (auto v = args.value("--noise-force")) o.noise.force = parseNonNegative("--noise-force", *v);
  if (auto v = args.value("--noise-torque")) {
    o.noise.torque = parseNonNegative("--noise-torque", *v);
  }
  if (auto v = args.value("--noise-acc")) o.noise.linearAcc = parseNonNegative("--noise-acc", *v);
  if (auto v = args.value("--noise-gyro")) {
    o.noise.angularVel = parseNonNegative("--noise-gyro", *v);
  }
  for (const char* name : {"--drop", "--repeat"}) {
    if (auto v = args.value(name)) {
      const double p = parseNonNegative(name, *v);
      if (p >= 1.0) throw UsageError(std::string(name) + ": must be below 1, got '" + *v + "'");
      (name[2] == 'd' ? o.dropProbability : o.repeatProbability) = p;
    }
  }
  if (auto v = args.value("--seed")) o.seed = parseSeed("--seed", *v);
  o.truthFile = args.value("--truth");
  return o;
}

EstimateOptions parseEstimateOptions(const std::vector<std::string>& words) {
  EstimateOptions o;
  if (isHelp(words)) {
    o.help = true;
    return o;
  }
  const ArgumentList args(words, {"--config", "--speed", "--trace", "--trace-step"},
                          {"--no-progress"});
  o.recording = requireSingle(args, "RECORDING.csv");
  const auto config = args.value("--config");
  if (!config) throw UsageError("missing --config FILE");
  o.config = *config;
  if (auto v = args.value("--speed")) o.speed = parseSpeed(*v);
  o.trace = args.value("--trace");
  if (auto v = args.value("--trace-step")) o.traceStep = parsePositive("--trace-step", *v);
  o.progress = !args.has("--no-progress");
  return o;
}

CompensateOptions parseCompensateOptions(const std::vector<std::string>& words) {
  CompensateOptions o;
  if (isHelp(words)) {
    o.help = true;
    return o;
  }
  const ArgumentList args(words, {"--payload", "--output", "--tare-at", "--mode"}, {});
  o.recording = requireSingle(args, "RECORDING.csv");
  const auto payload = args.value("--payload");
  if (!payload) throw UsageError("missing --payload FILE");
  o.payload = *payload;
  const auto output = args.value("--output");
  if (!output) throw UsageError("missing -o OUT.csv");
  o.output = *output;
  if (auto v = args.value("--tare-at")) o.tareAt = parseNumber("--tare-at", *v);
  if (auto v = args.value("--mode")) {
    if (*v != "static" && *v != "dynamic") {
      throw UsageError("--mode: expected static or dynamic, got '" + *v + "'");
    }
    o.dynamic = *v == "dynamic";
  }
  return o;
}

CheckOptions parseCheckOptions(const std::vector<std::string>& words) {
  CheckOptions o;
  if (isHelp(words)) {
    o.help = true;
    return o;
  }
  const ArgumentList args(words, {}, {});
  o.file = requireSingle(args, "payload parameter FILE");
  return o;
}

DemoOptions parseDemoOptions(const std::vector<std::string>& words) {
  DemoOptions o;
  if (isHelp(words)) {
    o.help = true;
    return o;
  }
  const ArgumentList args(words, {"--out", "--seed", "--config"},
                          {"--plots", "--no-plots", "--no-trace"});
  requireNone(args);
  if (auto v = args.value("--out")) {
    if (v->empty()) throw UsageError("--out: the directory name is empty");
    o.outputDirectory = *v;
  }
  if (auto v = args.value("--seed")) o.seed = parseSeed("--seed", *v);
  o.config = args.value("--config");
  if (args.has("--plots") && args.has("--no-plots")) {
    throw UsageError("--plots and --no-plots exclude each other");
  }
  if (args.has("--plots")) o.plots = DemoOptions::Plots::Required;
  if (args.has("--no-plots")) o.plots = DemoOptions::Plots::Off;
  o.trace = !args.has("--no-trace");
  return o;
}

std::string usageText(const std::string& command) {
  if (command == "simulate") {
    return "usage: zelto-payload simulate -o OUT.csv [options]\n"
           "Writes a recording of a simulated payload moved by hand (CSV: "
           "time,fx,fy,fz,tx,ty,tz,ax,ay,az,wx,wy,wz).\n"
           "  --payload FILE        payload as a payload parameter file (optional \"bias\" block)\n"
           "  --mass KG             mass (default 1.2)\n"
           "  --com X,Y,Z           centre of mass, m (default 0.012,-0.008,0.065)\n"
           "  --inertia-com IXX,IXY,IXZ,IYY,IYZ,IZZ  inertia about the centre of mass, kg*m^2\n"
           "  --inertia IXX,IXY,IXZ,IYY,IYZ,IZZ      inertia about the sensor origin, kg*m^2\n"
           "  --force-bias X,Y,Z    sensor force bias, N;  --torque-bias X,Y,Z  torque bias, N*m\n"
           "  --duration S          length (default 60);  --rate HZ  sample rate (default 1000)\n"
           "  --start T             time stamp of the first sample, e.g. a Unix time (default 0)\n"
           "  --motion hand|slow|fast|static  how the tool moves (default hand)\n"
           "  --intensity X         time scale of the motion (hand 1, slow 0.4, fast 2)\n"
           "  --noise-force V --noise-torque V --noise-acc V --noise-gyro V  variances\n"
           "                        (default 0.01 N^2, 1e-5 N^2m^2, 1e-3 m^2/s^4, 1e-5 rad^2/s^2)\n"
           "  --no-noise            noise-free recording\n"
           "  --drop P --repeat P   probability of a dropped / repeated sample (default 0)\n"
           "  --seed N              random seed (default 1)\n"
           "  --truth FILE          also write the true parameters as a payload parameter file\n";
  }
  if (command == "estimate") {
    return "usage: zelto-payload estimate --config FILE [options] RECORDING.csv\n"
           "Replays a recording through the payload estimator library.\n"
           "  --config FILE         estimator configuration (JSON); the payload parameter file\n"
           "                        is written next to it under its output_config_file_name\n"
           "  --speed X|max         replay at X times real speed, or as fast as possible\n"
           "                        (default 1). The estimator's min_time/max_time run on the\n"
           "                        wall clock: the last sample is held back until min_time has\n"
           "                        passed, so a fast replay still gets its convergence test.\n"
           "  --trace TRACE.csv     write the estimate and its standard deviations as the\n"
           "                        estimator held them at points in time of the replay\n"
           "  --trace-step S        smallest spacing of those points (default 0.25 s)\n"
           "  --no-progress         no progress bar (with the live estimate) on standard error\n"
           "Exit status: 0 converged, file written and physically consistent; 1 not converged;\n"
           "2 bad input; 3 file written but physically inconsistent.\n";
  }
  if (command == "compensate") {
    return "usage: zelto-payload compensate --payload FILE -o OUT.csv [options] RECORDING.csv\n"
           "Removes the payload's wrench from every sample with the compensator library.\n"
           "  --payload FILE        payload parameter file\n"
           "  -o OUT.csv            compensated wrench per sample: time,fx,fy,fz,tx,ty,tz,code\n"
           "                        (code: 0 ok, 1 pending tare (zeros), 5 refused (nan))\n"
           "  --tare-at SECONDS     request a tare at the first sample at or after this time\n"
           "  --mode static|dynamic override the file's compensation mode\n";
  }
  if (command == "check") {
    return "usage: zelto-payload check FILE\n"
           "Checks that a payload parameter file describes a physically possible body: mass > 0,\n"
           "inertia about the centre of mass positive definite, principal moments satisfying\n"
           "the triangle inequalities. Exit status 0 consistent, 1 not, 2 unreadable.\n";
  }
  if (command == "demo") {
    return "usage: zelto-payload demo [--out DIR] [--seed N] [--config FILE] "
           "[--plots|--no-plots] [--no-trace]\n"
           "Simulates a known tool, estimates it, compensates two recordings and prints how\n"
           "close everything came. Files go to DIR (default ./demo-output).\n"
           "  --config FILE         estimator configuration (default: the shipped demo one)\n"
           "  --plots               fail when the plots cannot be drawn (needs python3 with\n"
           "                        matplotlib); --no-plots skips them (default: draw if "
           "possible)\n"
           "  --no-trace            skip the convergence trace and its plot\n";
  }
  return "usage: zelto-payload COMMAND [options]\n"
         "Commands:\n"
         "  simulate    write a simulated recording (CSV)\n"
         "  estimate    replay a recording through the payload estimator\n"
         "  compensate  compensate a recording with a payload parameter file\n"
         "  check       check a payload parameter file for physical consistency\n"
         "  demo        simulate, estimate and compensate a known tool end to end\n"
         "  help [COMMAND]\n"
         "Run 'zelto-payload COMMAND --help' for the options of a command.\n";
}

}  // namespace zelto::tool
