// The batch helpers estimate() and compensate(): whole recordings through the libraries in C++,
// with the GIL released.
#include <pybind11/stl/filesystem.h>
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "EstimationReplay.h"
#include "ModuleSupport.h"
#include "PayloadFile.h"

namespace zelto::python {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEstimateDoc = R"(Estimate the payload from a whole recording.

times (N,) s and samples (N, 12) in the sensor frame (force N, torque N·m, linear acceleration
with gravity m/s², angular velocity rad/s). The samples are replayed through an Estimator
built from config_path in C++, with the GIL released. Samples whose six IMU values are all
zero are skipped.

speed: None or 'max' replays as fast as possible; a number replays at that factor of real time.
The run limits are steady-clock times, so the last sample is held back until min_time has
passed: every fast replay still gets its convergence test (and takes at least min_time).
trace_step: seconds of recording between trace points (None: no trace).

Returns EstimationResult(estimate, sd, converged, trace): the estimate reached at the end,
converged or not (order of PARAMETER_NAMES), and whether the run converged (the payload
parameter file is then written next to the configuration). The replay stops at convergence or
at max_time; at the end of the recording the estimator is told that the motion is over
(Estimator.finish()), so that a result for static compensation counts. Raises ValueError for
bad input, RuntimeError for the library's exceptions.)";

constexpr const char* kCompensateDoc = R"(Compensate a whole recording.

times (N,) s and samples (N, 12) in the sensor frame (force N, torque N·m, linear acceleration
with gravity m/s², angular velocity rad/s), through a Compensator built from payload_path, in
C++ with the GIL released.

mode: None as the payload file says, 'static' (gravity) or 'dynamic' (gravity and inertia).
tare_at: request a tare before the first sample at or after this time (s).

Returns CompensationResult(wrench, codes): wrench (N, 6) force N and torque N·m, sensor frame
(zeros where PENDING, NaN where ERROR); codes (N,) int32 ReturnCode values. A sample whose six
IMU values are all zero is not handed over and is answered ERROR.)";

// ---------------------------------------------------------------------------------------------
// estimate()

// estimate()'s replay: the run limits as the configuration file gives them (read after the
// library has accepted the file, so the keys are there) and evenly spaced trace points.
tool::ReplayOptions replayOptions(const std::string& configPath, double speed, double traceStep) {
  std::ifstream in(configPath);
  nlohmann::json document;
  in >> document;
  const nlohmann::json& root = document.at("payload_estimator_config");
  tool::ReplayOptions options;
  options.minTime = root.at("min_time").get<double>();
  options.maxTime = root.at("max_time").get<double>();
  options.speed = speed;
  options.trace = {traceStep, tool::TraceRule::Even};
  // The replay runs without the GIL; a wait takes it to look for a pending KeyboardInterrupt,
  // which abandons the replay.
  options.poll = [] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
  return options;
}

struct EstimationOutcome {
  Parameters estimate{};
  Parameters standardDeviation{};
  bool converged = false;
  std::vector<tool::TracePoint> trace;
};

// Runs without the GIL. What update() threw reaches Python as it was thrown.
EstimationOutcome runEstimation(const Recording& r, const std::string& configPath, double speed,
                                double traceStep) {
  ZeltoPayloadEstimator estimator(configPath);
  const tool::ReplaySamples samples{r.size, [&r](std::size_t i) { return r.time[i]; },
                                    [&r](std::size_t i) { return rowOf(r, i); }};
  tool::ReplayResult replayed =
      tool::replayEstimation(estimator, samples, replayOptions(configPath, speed, traceStep));
  if (replayed.failure) std::rethrow_exception(replayed.failure);
  EstimationOutcome out;
  estimator.getEstimate(out.estimate, out.standardDeviation);
  out.converged = estimator.isEstimationSuccessful();
  out.trace = std::move(replayed.trace);
  return out;
}

double toSpeed(py::handle speed) {
  if (speed.is_none()) return 0.0;
  if (py::isinstance<py::str>(speed)) {
    if (speed.cast<std::string>() == "max") return 0.0;
  } else if (!py::isinstance<py::bool_>(speed)) {
    const double value = PyFloat_AsDouble(speed.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
    } else if (std::isfinite(value) && value > 0.0) {
      return value;
    }
  }
  throw py::value_error("speed must be a positive factor of real time, None or 'max', got " +
                        reprOf(speed));
}

double toTraceStep(py::handle traceStep) {
  if (traceStep.is_none()) return 0.0;
  const double step = toNumber(traceStep, [] { return std::string("trace_step"); });
  if (step <= 0.0) {
    throw py::value_error("trace_step must be positive or None, got " + reprOf(traceStep));
  }
  return step;
}

py::object toTrace(const std::vector<tool::TracePoint>& points) {
  const auto k = static_cast<py::ssize_t>(points.size());
  py::array_t<double> time(k);
  py::array_t<std::uint64_t> samples(k);
  py::array_t<double> estimate({k, py::ssize_t{16}});
  py::array_t<double> deviation({k, py::ssize_t{16}});
  for (std::size_t i = 0; i < points.size(); ++i) {
    const tool::TracePoint& p = points[i];
    time.mutable_data()[i] = p.time;
    samples.mutable_data()[i] = p.samplesUsed;
    std::copy(p.value.begin(), p.value.end(), estimate.mutable_data() + 16 * i);
    std::copy(p.standardDeviation.begin(), p.standardDeviation.end(),
              deviation.mutable_data() + 16 * i);
  }
  return moduleObjects().trace(time, samples, estimate, deviation);
}

py::object estimateRecording(py::handle times, py::handle samples, const fs::path& configPath,
                             py::handle speedObject, py::handle traceStepObject) {
  const Recording recording = toRecording(times, samples);
  const double speed = toSpeed(speedObject);
  const double traceStep = toTraceStep(traceStepObject);
  EstimationOutcome out;
  {
    py::gil_scoped_release released;
    out = runEstimation(recording, configPath.string(), speed, traceStep);
  }
  return moduleObjects().estimationResult(toNumpy(out.estimate), toNumpy(out.standardDeviation),
                                          out.converged, toTrace(out.trace));
}

// ---------------------------------------------------------------------------------------------
// compensate()

std::unique_ptr<ZeltoPayloadCompensator> makeCompensator(const std::string& path,
                                                         std::optional<bool> dynamic) {
  if (!dynamic) return std::make_unique<ZeltoPayloadCompensator>(path);
  std::unique_ptr<tool::PayloadModeCopy> modified;
  try {
    modified = std::make_unique<tool::PayloadModeCopy>(path, *dynamic);
  } catch (const std::exception&) {
    // The library words what is wrong with the file itself, as it does without an override.
    ZeltoPayloadCompensator probe(path);
    throw;
  }
  return std::make_unique<ZeltoPayloadCompensator>(modified->path());
}

std::optional<bool> toMode(py::handle mode) {
  if (mode.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(mode)) {
    const std::string text = mode.cast<std::string>();
    if (text == "static") return false;
    if (text == "dynamic") return true;
  }
  throw py::value_error(
      "mode must be 'static', 'dynamic' or None (as the payload file says), got " + reprOf(mode));
}

// Runs without the GIL; fills wrench (N, 6) and codes (N,).
void runCompensation(const Recording& r, ZeltoPayloadCompensator& compensator,
                     std::optional<double> tareAt, double* wrench, std::int32_t* codes) {
  bool tareRequested = false;
  Sample output{};
  for (std::size_t i = 0; i < r.size; ++i, wrench += 6) {
    if (tareAt && !tareRequested && r.time[i] >= *tareAt) {
      compensator.tareCompensatedWrench();
      tareRequested = true;
    }
    // A sample without IMU data is not handed over (the library refuses it by throwing): it is
    // answered like a refused one.
    const Sample input = rowOf(r, i);
    const ZeltoControlReturnCode code =
        tool::imuMissing(input) ? Error : compensator.update(r.time[i], input, output);
    codes[i] = code;
    for (std::size_t j = 0; j < 6; ++j) wrench[j] = outputValue(code, output[j]);
  }
}

py::object compensateRecording(py::handle times, py::handle samples, const fs::path& payloadPath,
                               py::handle modeObject, py::handle tareAtObject) {
  const Recording r = toRecording(times, samples);
  const std::optional<bool> dynamic = toMode(modeObject);
  std::optional<double> tareAt;
  if (!tareAtObject.is_none()) {
    tareAt = toNumber(tareAtObject, [] { return std::string("tare_at"); });
  }
  const auto n = static_cast<py::ssize_t>(r.size);
  py::array_t<double> wrench({n, py::ssize_t{6}});
  py::array_t<std::int32_t> codes(n);
  double* w = wrench.mutable_data();
  std::int32_t* c = codes.mutable_data();
  {
    py::gil_scoped_release released;
    const auto compensator = makeCompensator(payloadPath.string(), dynamic);
    runCompensation(r, *compensator, tareAt, w, c);
  }
  return moduleObjects().compensationResult(wrench, codes);
}

}  // namespace

void bindEstimateRecording(py::module_& m) {
  m.def("estimate", &estimateRecording, py::arg("times"), py::arg("samples"),
        py::arg("config_path"), py::kw_only(), py::arg("speed") = py::none(),
        py::arg("trace_step") = 0.25, kEstimateDoc);
}

void bindCompensateRecording(py::module_& m) {
  m.def("compensate", &compensateRecording, py::arg("times"), py::arg("samples"),
        py::arg("payload_path"), py::kw_only(), py::arg("mode") = py::none(),
        py::arg("tare_at") = py::none(), kCompensateDoc);
}

}  // namespace zelto::python
