#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "Commands.h"
#include "CompensationRun.h"
#include "DemoConfig.h"
#include "EstimationRun.h"
#include "EstimatorConfigFile.h"
#include "ParameterList.h"
#include "Simulation.h"
#include "ToolError.h"

namespace zelto::tool {

namespace {

namespace fs = std::filesystem;

constexpr double kEstimationSeconds = 60.0;
constexpr double kBriskSeconds = 30.0;
// Paces relative to the simulator's nominal hand motion. The estimate comes from hand motion at
// the nominal pace; the second recording is brisker and other motion, compensated only.
constexpr double kCalmPace = 1.0;
constexpr double kBriskPace = 1.5;
// Spacing of the convergence trace's first points, s of recording.
constexpr double kTraceStep = 0.25;

std::string shellQuote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// An interpreter that can import matplotlib: $ZELTO_PYTHON, python3 on the PATH, or the
// system's own (Debian's python3-matplotlib installs for /usr/bin/python3 only).
std::string findPython() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("ZELTO_PYTHON")) candidates.push_back(env);
  candidates.push_back("python3");
  candidates.push_back("/usr/bin/python3");
  for (const std::string& python : candidates) {
    const std::string command = shellQuote(python) + " -c 'import matplotlib' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) return python;
  }
  return std::string();
}

// $ZELTO_PLOT_SCRIPT, the installed copy next to the executable's prefix, or the source tree's.
std::string findPlotScript(const std::string& executablePath) {
  std::vector<fs::path> candidates;
  if (const char* env = std::getenv("ZELTO_PLOT_SCRIPT")) candidates.emplace_back(env);
  if (!executablePath.empty()) {
    candidates.push_back(fs::path(executablePath).parent_path() / ".." / "share" / "zelto-payload" /
                         "plot_payload.py");
  }
  candidates.push_back(fs::path(ZELTO_TOOLS_SOURCE_DIR) / "plot_payload.py");
  for (const fs::path& p : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
  }
  return std::string();
}

std::string cell(const char* format, double value, int width) {
  std::string text = std::isfinite(value) ? formatNumber(format, value) : "-";
  if (static_cast<int>(text.size()) < width) text.insert(0, width - text.size(), ' ');
  return text;
}

// Vector RMS sqrt(Σ_axes mean((x − offset)²)) of three axes.
double vectorRms(const std::array<AxisSums, 6>& sums, std::size_t first,
                 const std::array<double, 6>& offset) {
  double sum = 0.0;
  for (std::size_t j = first; j < first + 3; ++j) {
    const double r = sums[j].rms(offset[j]);
    sum += r * r;
  }
  return std::sqrt(sum);
}

// Silences std::cout while it lives: a stream in a failed state writes nothing. The
// compensator's console lines are the same four for every run and would only crowd the table.
class QuietConsole {
 public:
  QuietConsole() { std::cout.setstate(std::ios::failbit); }
  ~QuietConsole() { std::cout.clear(); }
  QuietConsole(const QuietConsole&) = delete;
  QuietConsole& operator=(const QuietConsole&) = delete;
};

void printEstimateTable(const sim::Payload& truthPayload, const PayloadFileContents& estimate,
                        const std::array<double, 16>& standardDeviation, double dataSeconds) {
  const PayloadFileContents truth = payloadFileContents(truthPayload);
  std::array<double, 16> t{}, e{};
  t[0] = truth.parameters.mass;
  e[0] = estimate.parameters.mass;
  for (std::size_t j = 0; j < 3; ++j) {
    t[1 + j] = truth.parameters.com[j];
    e[1 + j] = estimate.parameters.com[j];
  }
  for (std::size_t j = 0; j < 6; ++j) {
    t[4 + j] = truth.parameters.inertia[j];
    e[4 + j] = estimate.parameters.inertia[j];
    t[10 + j] = (*truth.bias)[j];
    e[10 + j] = estimate.bias ? (*estimate.bias)[j] : std::nan("");
  }
  std::cout << "\nEstimate after " << formatNumber("%.1f", dataSeconds)
            << " s of calm hand motion (inertia about the sensor origin; sigma: the "
               "standard deviation\nthe estimator reported)\n"
            << "  parameter             truth      estimate         error         sigma  "
               "|error|/sigma\n";
  for (std::size_t i = 0; i < 16; ++i) {
    const double error = e[i] - t[i];
    const double sigma = standardDeviation[i];
    std::string label = kParameters[i].label;
    label.resize(16, ' ');
    std::cout << "  " << label << cell("%.6g", t[i], 12) << cell("%.6g", e[i], 14)
              << cell("%+.3e", error, 14) << cell("%.3e", sigma, 14)
              << cell("%.2f", std::abs(error) / sigma, 15) << "\n";
  }
  std::cout << "  (sigma describes the error the sensor noise leaves: |error|/sigma is about 1 "
               "and rarely\n  above 3. The file keeps six digits.)\n";
}

}  // namespace

int runDemo(const DemoOptions& options, const std::string& executablePath) {
  const fs::path out = fs::absolute(options.outputDirectory).lexically_normal();
  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec || !fs::is_directory(out)) {
    throw ToolError("cannot create the output directory '" + out.string() + "'" +
                    (ec ? ": " + ec.message() : std::string()));
  }
  const auto file = [&out](const char* name) { return (out / name).string(); };

  std::cout
      << "Zelto payload demo: a simulated 1.2 kg tool on a sensor with a bias is moved calmly "
         "by hand for 60 s\n(1 kHz, realistic sensor noise). Its noise is measured from the "
         "recording, the tool is identified\nwith the estimator library and compensated with "
         "the compensator library, on that recording\nand on 30 s of brisker motion.\nFiles go "
         "to "
      << out.string() << "\n\n";

  // The known tool and two recordings of it: the one to identify it from, and a brisker one
  // with other motion to see how well the estimate carries over.
  const sim::Payload truth = demoPayload();
  writePayloadFile(file("true_payload.json"), payloadFileContents(truth));
  SimulateOptions simulate;
  simulate.seed = options.seed;
  simulate.intensity = kCalmPace;
  const std::vector<RecordedSample> calmHand =
      simulateRecording(simulatorOptions(simulate, truth), kEstimationSeconds);
  writeRecording(file("calm_hand.csv"), calmHand);
  simulate.seed = options.seed + 1;
  simulate.intensity = kBriskPace;
  const std::vector<RecordedSample> briskHand =
      simulateRecording(simulatorOptions(simulate, truth), kBriskSeconds);
  writeRecording(file("brisk_hand.csv"), briskHand);

  std::string configPath;
  if (options.config) {
    configPath = *options.config;
  } else {
    // The workflow for a real sensor: measure its noise from the recording, then estimate with
    // the measured variances.
    configPath = file("estimator_config.json");
    {
      std::ofstream config(configPath, std::ios::binary | std::ios::trunc);
      config << kDemoEstimatorConfig;
      if (!config) throw ToolError("cannot write '" + configPath + "'");
    }
    std::cout << "== Measuring the sensor noise of calm_hand.csv, as 'zelto-payload noise "
                 "calm_hand.csv --config\n   FILE -o estimator_config.json' does\n";
    const NoiseEstimate noise = measureRecordingNoise(calmHand);
    printNoiseReport(std::cout, file("calm_hand.csv"), noise);
    const std::string block = noiseCovarianceBlock(noise, 0);
    writeConfigWithNoise(configPath, block, configPath);
    std::cout << "\"measurement_noise_covariance\": " << block << "\n(the simulated truth: "
              << "force 0.01, torque 1e-05, linear_acc 0.001, angular_vel 1e-05, angular_acc "
              << formatNumber("%.3g", 1e-5 * noise.angularAccFactor) << ")\n\n";
  }

  // Estimation, replayed as fast as the library takes it.
  std::cout << "== Estimating from calm_hand.csv with " << configPath
            << " (the estimator library's own lines follow)\n";
  ProgressBar progress(true);
  const EstimationRunResult run = runEstimation(
      calmHand, EstimationRunOptions{configPath, 0.0, options.trace ? kTraceStep : 0.0}, progress);
  const double dataSeconds = calmHand[run.samplesConsumed - 1].time - calmHand.front().time;
  if (run.ending != EstimationRunResult::Ending::Converged || !run.successful || !run.fileWritten) {
    std::cerr << "zelto-payload: error: the demo's estimation did not produce a payload "
                 "parameter file (see the estimator's lines above)\n";
    return kExitFailed;
  }
  const std::string payloadPath = run.settings.payloadFilePath;
  const PayloadFileContents estimate = readPayloadFile(payloadPath);

  const bool traced = options.trace;
  if (traced) {
    writeTrace(file("convergence_trace.csv"), run.trace);
    std::cout << "\n== Convergence trace: " << run.trace.size()
              << " points of the estimate and sigma read during the run, written to "
              << file("convergence_trace.csv") << "\n";
  }

  printEstimateTable(truth, estimate, run.standardDeviation, dataSeconds);
  std::cout << "\n== Physical consistency of the estimate\n";
  printConsistency(std::cout, payloadPath, estimate, checkPhysicalConsistency(estimate.parameters));

  // Compensation of both recordings in both modes.
  std::cout << "\n== Compensation with the estimate (residual = output minus the estimated "
               "sensor bias,\n   RMS of the vector over all samples with output)\n"
            << "  recording          mode      force before  after [N]  removed   "
               "torque before  after [N*m]  removed\n";
  std::array<double, 6> bias{};
  if (estimate.bias) bias = *estimate.bias;
  struct Case {
    const char* label;
    const std::vector<RecordedSample>* samples;
    bool dynamic;
    const char* output;
  };
  const Case cases[] = {
      {"calm_hand.csv", &calmHand, false, "compensated_calm_static.csv"},
      {"calm_hand.csv", &calmHand, true, "compensated_calm_dynamic.csv"},
      {"brisk_hand.csv", &briskHand, false, "compensated_brisk_static.csv"},
      {"brisk_hand.csv", &briskHand, true, "compensated_brisk_dynamic.csv"},
  };
  for (const Case& c : cases) {
    CompensationRunOptions compensation;
    compensation.payloadPath = payloadPath;
    compensation.dynamic = c.dynamic;
    compensation.outputCsv = file(c.output);
    CompensationSummary s;
    {
      const QuietConsole quiet;
      s = runCompensation(*c.samples, compensation);
    }
    const double fBefore = vectorRms(s.rawWhereOk, 0, bias);
    const double fAfter = vectorRms(s.compensated, 0, bias);
    const double tBefore = vectorRms(s.rawWhereOk, 3, bias);
    const double tAfter = vectorRms(s.compensated, 3, bias);
    std::string label = c.label;
    label.resize(19, ' ');
    std::cout << "  " << label << (c.dynamic ? "dynamic" : "static ") << cell("%.4f", fBefore, 15)
              << cell("%.4f", fAfter, 11) << cell("%.1f %%", 100.0 * (1.0 - fAfter / fBefore), 10)
              << cell("%.5f", tBefore, 16) << cell("%.5f", tAfter, 13)
              << cell("%.1f %%", 100.0 * (1.0 - tAfter / tBefore), 10) << "\n";
  }
  std::cout << "  (the simulated sensor noise alone is "
            << formatNumber("%.3f", std::sqrt(3 * 0.01)) << " N and "
            << formatNumber("%.4f", std::sqrt(3 * 1e-5))
            << " N*m RMS; static mode leaves the payload's inertial wrench in)\n";

  // Plots, when Python with matplotlib is there.
  std::cout << "\n== Plots\n";
  bool plotted = false;
  if (options.plots != DemoOptions::Plots::Off) {
    const std::string python = findPython();
    const std::string script = findPlotScript(executablePath);
    if (python.empty() || script.empty()) {
      std::cout << (python.empty() ? "python3 with matplotlib was not found"
                                   : "plot_payload.py was not found")
                << ": no plots (install python3-matplotlib, or run ./run.sh demo --plots)\n";
      if (options.plots == DemoOptions::Plots::Required) {
        std::cerr << "zelto-payload: error: plots were asked for but cannot be drawn\n";
        return kExitFailed;
      }
    } else {
      const std::string base = shellQuote(python) + " " + shellQuote(script);
      const std::string trace = base + " trace " + shellQuote(file("convergence_trace.csv")) +
                                " --truth " + shellQuote(file("true_payload.json")) + " -o " +
                                shellQuote(file("convergence.png"));
      const std::string wrench = base + " wrench " + shellQuote(file("brisk_hand.csv")) + " " +
                                 shellQuote(file("compensated_brisk_dynamic.csv")) + " --payload " +
                                 shellQuote(payloadPath) + " -o " +
                                 shellQuote(file("compensation.png"));
      std::cout.flush();
      plotted = (!traced || std::system(trace.c_str()) == 0) && std::system(wrench.c_str()) == 0;
      if (plotted) {
        if (traced) {
          std::cout << "estimate +/- sigma over time: " << file("convergence.png") << "\n";
        }
        std::cout << "raw vs compensated wrench:    " << file("compensation.png") << "\n";
      } else {
        std::cout << "drawing the plots failed (see the messages above)\n";
        if (options.plots == DemoOptions::Plots::Required) return kExitFailed;
      }
    }
  } else {
    std::cout << "skipped (--no-plots)\n";
  }

  std::cout << "\nFiles in " << out.string() << ":\n"
            << "  true_payload.json           the simulated tool (payload parameter file layout)\n"
            << "  calm_hand.csv               60 s recording the estimate comes from\n"
            << "  brisk_hand.csv              30 s of brisker motion, compensated only\n"
            << "  estimator_config.json       "
            << (options.config ? "not written (--config given)"
                               : "the estimator configuration used, with the measured noise")
            << "\n"
            << "  " << fs::path(payloadPath).filename().string()
            << "     the estimator's payload parameter file\n"
            << (traced ? "  convergence_trace.csv       estimate and sigma over time\n" : "")
            << "  compensated_*.csv           compensated wrench per sample and mode\n";
  if (plotted) {
    std::cout << (traced ? "  convergence.png, compensation.png\n" : "  compensation.png\n");
  }
  return kExitOk;
}

}  // namespace zelto::tool
