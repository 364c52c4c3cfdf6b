// The Python module zelto_payload: both libraries from Python and NumPy, through their public
// interfaces only. Per-sample classes for interactive use, and batch helpers that loop in C++
// with the GIL released for whole recordings.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>
#include <zelto/ZeltoPayloadCompensator.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "EstimationReplay.h"
#include "NoiseEstimate.h"
#include "ParameterList.h"
#include "PayloadFile.h"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace zelto::python {
namespace {

using Sample = std::array<double, 12>;
using Parameters = std::array<double, 16>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kSampleLayout =
    "force x, y, z (N), torque x, y, z (N·m), linear acceleration x, y, z (m/s²), angular "
    "velocity x, y, z (rad/s)";

// ---------------------------------------------------------------------------------------------
// Return codes: members of an enum.IntEnum built at import. The members are kept so that a
// per-sample update() hands out an existing object instead of calling into the enum machinery.

struct ModuleObjects {
  py::object returnCode, ok, pending, error;
  py::object trace, estimationResult, compensationResult, noiseEstimate;
};

// Never destroyed: Python objects must not be released after the interpreter has finalised.
ModuleObjects& moduleObjects() {
  static ModuleObjects* objects = new ModuleObjects();
  return *objects;
}

py::object toPython(ZeltoControlReturnCode code) {
  const ModuleObjects& codes = moduleObjects();
  switch (code) {
    case Ok:
      return codes.ok;
    case Pending:
      return codes.pending;
    case Error:
      break;
  }
  return codes.error;
}

// ---------------------------------------------------------------------------------------------
// Input checks: every problem is a ValueError that names the argument and, where there is one,
// the offending element.

std::string shapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < array.ndim(); ++d) {
    if (d != 0) text += ", ";
    text += std::to_string(array.shape(d));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string reprOf(py::handle object) { return py::repr(object).cast<std::string>(); }

double toNumber(py::handle item, const std::function<std::string()>& name) {
  // float() semantics without accepting text: str has neither __float__ nor __index__.
  const double value = PyFloat_AsDouble(item.ptr());
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error(name() + " is not a number: " + reprOf(item));
  }
  if (!std::isfinite(value)) throw py::value_error(name() + " is not finite: " + reprOf(item));
  return value;
}

double toTime(py::handle time) {
  return toNumber(time, [] { return std::string("time"); });
}

void checkFinite(const Sample& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!std::isfinite(s[i])) {
      throw py::value_error("sample[" + std::to_string(i) +
                            "] is not finite: " + reprOf(py::float_(s[i])));
    }
  }
}

// Any sequence of twelve numbers: a list, a tuple, a 1-D NumPy array of any numeric type.
Sample toSample(py::handle object) {
  Sample s{};
  if (py::isinstance<py::array>(object)) {
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.ndim() != 1 || array.shape(0) != 12) {
      throw py::value_error(std::string("sample must hold 12 values (") + kSampleLayout +
                            "), got an array of shape " + shapeText(array));
    }
    if (py::isinstance<py::array_t<double>>(array)) {
      const auto values = py::reinterpret_borrow<py::array_t<double>>(array).unchecked<1>();
      for (std::size_t i = 0; i < 12; ++i) s[i] = values(static_cast<py::ssize_t>(i));
      checkFinite(s);
      return s;
    }
  } else if (!PySequence_Check(object.ptr()) || py::isinstance<py::str>(object) ||
             py::isinstance<py::bytes>(object)) {
    throw py::value_error("sample must be a sequence of 12 numbers, got " +
                          std::string(Py_TYPE(object.ptr())->tp_name));
  }
  const Py_ssize_t size = PySequence_Size(object.ptr());
  if (size < 0) throw py::error_already_set();
  if (size != 12) {
    throw py::value_error(std::string("sample must hold 12 values (") + kSampleLayout + "), got " +
                          std::to_string(size));
  }
  for (Py_ssize_t i = 0; i < 12; ++i) {
    const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(object.ptr(), i));
    if (!item) throw py::error_already_set();
    s[static_cast<std::size_t>(i)] =
        toNumber(item, [i] { return "sample[" + std::to_string(i) + "]"; });
  }
  return s;
}

// A C-contiguous float64 copy (or view) of a numeric array-like.
py::array_t<double> toFloatArray(py::handle object, const char* name) {
  const py::array array = py::array::ensure(object);
  if (!array) throw py::value_error(std::string(name) + " is not an array of numbers");
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::value_error(std::string(name) + " must hold numbers, got dtype " +
                          py::str(array.dtype()).cast<std::string>());
  }
  return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
}

// A recording as the batch helpers take it: times (N,) in seconds, samples (N, 12).
struct Recording {
  py::array_t<double> times;
  py::array_t<double> samples;
  std::size_t size = 0;
  const double* time = nullptr;
  const double* values = nullptr;  //!< row-major, 12 per sample
};

Recording toRecording(py::handle timesObject, py::handle samplesObject) {
  Recording r;
  r.times = toFloatArray(timesObject, "times");
  r.samples = toFloatArray(samplesObject, "samples");
  if (r.times.ndim() != 1) {
    throw py::value_error("times must be one-dimensional, got shape " + shapeText(r.times));
  }
  if (r.samples.ndim() != 2 || r.samples.shape(1) != 12) {
    throw py::value_error(std::string("samples must have shape (N, 12), one row of ") +
                          kSampleLayout + " per sample, got shape " + shapeText(r.samples));
  }
  if (r.times.shape(0) != r.samples.shape(0)) {
    throw py::value_error(
        "times and samples differ in length: " + std::to_string(r.times.shape(0)) + " times, " +
        std::to_string(r.samples.shape(0)) + " samples");
  }
  r.size = static_cast<std::size_t>(r.times.shape(0));
  if (r.size == 0) throw py::value_error("times and samples hold no sample");
  r.time = r.times.data();
  r.values = r.samples.data();
  for (std::size_t i = 0; i < r.size; ++i) {
    if (!std::isfinite(r.time[i])) {
      throw py::value_error("times[" + std::to_string(i) +
                            "] is not finite: " + reprOf(py::float_(r.time[i])));
    }
    for (std::size_t j = 0; j < 12; ++j) {
      const double v = r.values[12 * i + j];
      if (!std::isfinite(v)) {
        throw py::value_error("samples[" + std::to_string(i) + ", " + std::to_string(j) +
                              "] is not finite: " + reprOf(py::float_(v)));
      }
    }
  }
  return r;
}

Sample rowOf(const Recording& r, std::size_t i) {
  Sample s;
  std::copy(r.values + 12 * i, r.values + 12 * i + 12, s.begin());
  return s;
}

template <std::size_t N>
py::array_t<double> toNumpy(const std::array<double, N>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(N));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// ---------------------------------------------------------------------------------------------
// Estimation of a whole recording.

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
// Compensation of a whole recording.

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
    bool tareRequested = false;
    Sample output{};
    for (std::size_t i = 0; i < r.size; ++i, w += 6) {
      if (tareAt && !tareRequested && r.time[i] >= *tareAt) {
        compensator->tareCompensatedWrench();
        tareRequested = true;
      }
      // A sample without IMU data is not handed over (the library refuses it by throwing): it is
      // answered like a refused one.
      const Sample input = rowOf(r, i);
      const ZeltoControlReturnCode code =
          tool::imuMissing(input) ? Error : compensator->update(r.time[i], input, output);
      c[i] = code;
      for (std::size_t j = 0; j < 6; ++j) {
        w[j] = code == Ok ? output[j] : code == Pending ? 0.0 : kNaN;
      }
    }
  }
  return moduleObjects().compensationResult(wrench, codes);
}

}  // namespace

// The tool's `noise`, on arrays: the same measurement, and the block it would write.
py::object measureNoise(py::handle timesObject, py::handle samplesObject) {
  const Recording r = toRecording(timesObject, samplesObject);
  std::vector<double> times(r.time, r.time + r.size);
  std::vector<Sample> values(r.size);
  for (std::size_t i = 0; i < r.size; ++i) values[i] = rowOf(r, i);
  tool::NoiseEstimate e;
  std::string refusal;
  {
    py::gil_scoped_release release;
    try {
      e = tool::measureNoise(times, values);
    } catch (const std::invalid_argument& error) {
      refusal = error.what();
    }
  }
  if (!refusal.empty()) throw py::value_error(refusal);
  static const char* const kQuantities[5] = {"force", "torque", "linear_acc", "angular_vel",
                                             "angular_acc"};
  const std::array<double, 15> rounded = tool::configuredVariances(e);
  py::dict block;
  for (std::size_t q = 0; q < 5; ++q) {
    py::dict axes;
    for (std::size_t j = 0; j < 3; ++j)
      axes[py::str(std::string(1, "xyz"[j]))] = rounded[3 * q + j];
    block[kQuantities[q]] = axes;
  }
  py::list troubles;
  for (const std::string& line : tool::noiseTroubles(e)) troubles.append(line);
  return moduleObjects().noiseEstimate(toNumpy(e.variance), toNumpy(e.angularAccVariance),
                                       e.medianRate, e.angularAccFactor, e.samples, troubles,
                                       block);
}

void bindModule(py::module_& m) {
  m.doc() =
      "Payload estimation and compensation for a force-torque sensor with an IMU.\n\n"
      "A sample is a time stamp (s) and twelve values in the sensor frame: force x, y, z (N),\n"
      "torque x, y, z (N·m), linear acceleration x, y, z as the accelerometer measures it,\n"
      "gravity included (m/s²), angular velocity x, y, z (rad/s).\n\n"
      "The libraries print their console lines (coloured, tagged) straight to the process's\n"
      "standard output (file descriptor 1), not through sys.stdout.";
  m.attr("__version__") = ZELTO_VERSION;

  const py::module_ enumModule = py::module_::import("enum");
  py::list members;
  members.append(py::make_tuple("OK", static_cast<int>(Ok)));
  members.append(py::make_tuple("PENDING", static_cast<int>(Pending)));
  members.append(py::make_tuple("ERROR", static_cast<int>(Error)));
  ModuleObjects& objects = moduleObjects();
  objects.returnCode =
      enumModule.attr("IntEnum")("ReturnCode", members, py::arg("module") = m.attr("__name__"));
  objects.returnCode.attr("__doc__") =
      "Answer of update() to one sample: OK (0) accepted; PENDING (1) compensator only, a "
      "deferred tare waits and the output is zero; ERROR (5) the sample was not processed (the "
      "library printed an ERROR line saying why).";
  objects.ok = objects.returnCode.attr("OK");
  objects.pending = objects.returnCode.attr("PENDING");
  objects.error = objects.returnCode.attr("ERROR");
  m.attr("ReturnCode") = objects.returnCode;

  py::tuple names(kParameterCount);
  for (std::size_t k = 0; k < kParameterCount; ++k) names[k] = py::str(kParameters[k].pythonName);
  m.attr("PARAMETER_NAMES") = names;

  const py::object namedtuple = py::module_::import("collections").attr("namedtuple");
  const auto addTuple = [&](const char* name, std::vector<const char*> fields, const char* doc) {
    py::list fieldNames;
    for (const char* f : fields) fieldNames.append(f);
    py::object type = namedtuple(name, fieldNames, py::arg("module") = m.attr("__name__"));
    type.attr("__doc__") = doc;
    m.attr(name) = type;
    return type;
  };
  objects.trace = addTuple(
      "Trace", {"time", "samples", "estimate", "sd"},
      "The estimate along a recording: time (k,) s, time stamp of the last sample included; "
      "samples (k,) samples the estimate had used; estimate and sd (k, 16) in the order of "
      "PARAMETER_NAMES.");
  objects.estimationResult =
      addTuple("EstimationResult", {"estimate", "sd", "converged", "trace"},
               "Outcome of estimate(): the estimate (16,) and its standard deviations (16,) in the "
               "order of PARAMETER_NAMES, whether the run converged, and the Trace.");
  objects.noiseEstimate = addTuple(
      "NoiseEstimate",
      {"variance", "angular_acc_variance", "median_rate", "angular_acc_factor", "samples",
       "troubles", "measurement_noise_covariance"},
      "Outcome of measure_noise(): variance (12,) per channel in the sample order (N², N²·m², "
      "m²/s⁴, rad²/s²); angular_acc_variance (3,) rad²/s⁴ of the estimator's derived angular "
      "acceleration; median_rate Hz; angular_acc_factor 1/s² (gyro variance to angular_acc "
      "variance); samples used; troubles, one line per sign of trouble; "
      "measurement_noise_covariance, the configuration's block as a dict (three digits).");
  objects.compensationResult =
      addTuple("CompensationResult", {"wrench", "codes"},
               "Outcome of compensate(): wrench (N, 6) force (N) and torque (N·m), sensor frame; "
               "codes (N,) the ReturnCode values per sample.");

  py::class_<ZeltoPayloadEstimator>(m, "Estimator", R"(Identifies the payload on the sensor.

Mass, centre of mass and inertia about the sensor origin (sensor frame), and the
force/torque bias, while the user moves the tool by hand. Construct with the path of the
JSON estimator configuration (RuntimeError with the library's message when it cannot be
read), call start(), then update() for every sample. On convergence the library writes the
payload parameter file next to the configuration file and prints its report.

The run limits min_time and max_time are measured on the host's steady clock from start(),
not in sample time. Not thread-safe: use one object from one thread.)")
      .def(py::init([](const fs::path& configPath) {
             return std::make_unique<ZeltoPayloadEstimator>(configPath.string());
           }),
           py::arg("config_path"))
      .def("start", &ZeltoPayloadEstimator::startPayloadEstimation,
           R"(Start a run when none is in progress, stop the run in progress otherwise.

Every call restarts the estimate from the configured prior. Returns True.)")
      .def(
          "update",
          [](ZeltoPayloadEstimator& e, py::handle time, py::handle sample) {
            const double t = toTime(time);
            return toPython(e.update(t, toSample(sample)));
          },
          py::arg("time"), py::arg("sample"),
          R"(Feed one sample: time (s) and 12 values in the sensor frame (force N, torque N·m,
linear acceleration with gravity m/s², angular velocity rad/s), any sequence or NumPy array.

Returns ReturnCode.OK (also when no run is in progress) or ReturnCode.ERROR (the library
printed why, e.g. a time stamp more than 10 µs before the newest one). Raises ValueError for
a sample of the wrong size, non-numeric or non-finite values, and RuntimeError when the six
IMU values are all exactly zero.)")
      .def_property_readonly("running", &ZeltoPayloadEstimator::isEstimatorRunning,
                             "True while a run is in progress.")
      .def_property_readonly("successful", &ZeltoPayloadEstimator::isEstimationSuccessful,
                             "True when no run is in progress and the last one converged, its "
                             "payload parameter file written.")
      .def_property_readonly(
          "estimate",
          [](const ZeltoPayloadEstimator& e) {
            Parameters estimate{};
            Parameters deviation{};
            e.getEstimate(estimate, deviation);
            return toNumpy(estimate);
          },
          "Current estimate (16,), order of PARAMETER_NAMES: mass kg, centre "
          "of mass m, inertia about the sensor origin kg·m², force bias N, "
          "torque bias N·m (sensor frame). All NaN while the run has used no "
          "sample. After a run has ended its last estimate stays readable.")
      .def_property_readonly(
          "sd",
          [](const ZeltoPayloadEstimator& e) {
            Parameters estimate{};
            Parameters deviation{};
            e.getEstimate(estimate, deviation);
            return toNumpy(deviation);
          },
          "Standard deviations of the estimate (16,), same order and units; "
          "NaN while the covariance is not defined yet.")
      .def_property_readonly("sample_count", &ZeltoPayloadEstimator::getSampleCount,
                             "Samples the current (or last) run has fed to the estimate.")
      .def_property_readonly("run_time", &ZeltoPayloadEstimator::getRunTime,
                             "Seconds on the steady clock since the run started; the length "
                             "of the last run once it has ended; 0 before the first.");

  py::class_<ZeltoPayloadCompensator>(m, "Compensator", R"(Removes the payload's wrench.

Gravity (static mode) or gravity and inertia (dynamic mode) of the payload described by a
payload parameter file are removed from every measured wrench, so that only external contact
forces remain. Construct with the file's path (RuntimeError with the library's message when it
cannot be read). update() from one thread; tare() may be called from another.)")
      .def(py::init([](const fs::path& payloadPath) {
             return std::make_unique<ZeltoPayloadCompensator>(payloadPath.string());
           }),
           py::arg("payload_path"))
      .def(
          "update",
          [](ZeltoPayloadCompensator& c, py::handle time, py::handle sample) {
            const double t = toTime(time);
            const Sample input = toSample(sample);
            Sample output{};
            const ZeltoControlReturnCode code = c.update(t, input, output);
            py::array_t<double> wrench(6);
            double* w = wrench.mutable_data();
            for (std::size_t j = 0; j < 6; ++j) {
              w[j] = code == Ok ? output[j] : code == Pending ? 0.0 : kNaN;
            }
            return py::make_tuple(toPython(code), std::move(wrench));
          },
          py::arg("time"), py::arg("sample"),
          R"(Compensate one sample: time (s) and 12 values in the sensor frame (force N, torque
N·m, linear acceleration with gravity m/s², angular velocity rad/s), any sequence or NumPy
array.

Returns (code, wrench), wrench (6,) force N and torque N·m in the sensor frame:
OK the compensated wrench minus the tare bias; PENDING a deferred tare waits, zeros; ERROR the
sample was refused (a repeated or backwards time stamp; the library printed why), NaN.
Raises ValueError for a sample of the wrong size, non-numeric or non-finite values, and
RuntimeError when the six IMU values are all exactly zero.)")
      .def("tare", &ZeltoPayloadCompensator::tareCompensatedWrench,
           R"(Zero the output: the tare bias becomes the mean compensated wrench of about the last
second, or the tare is deferred until half a second of data is there (update() answers
PENDING with zeros meanwhile). Returns True.)")
      .def_property_readonly(
          "payload_parameters",
          [](const ZeltoPayloadCompensator& c) { return toNumpy(c.getPayloadParameters()); },
          "The payload compensated for (10,): mass kg, centre of mass x, y, z "
          "m, inertia Ixx, Ixy, Ixz, Iyy, Iyz, Izz about the sensor origin "
          "kg·m² (sensor frame).")
      .def_property_readonly("dynamic", &ZeltoPayloadCompensator::isDynamicCompensation,
                             "True when gravity and inertia are compensated, False for gravity "
                             "only.")
      .def_property_readonly(
          "tare_bias", [](const ZeltoPayloadCompensator& c) { return toNumpy(c.getTareBias()); },
          "Tare bias subtracted from every output (6,): force N, torque N·m; zeros before the "
          "first tare completes.");

  m.def("estimate", &estimateRecording, py::arg("times"), py::arg("samples"),
        py::arg("config_path"), py::kw_only(), py::arg("speed") = py::none(),
        py::arg("trace_step") = 0.25, R"(Estimate the payload from a whole recording.

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
at max_time. Raises ValueError for bad input, RuntimeError for the library's exceptions.)");
  m.def("measure_noise", &measureNoise, py::arg("times"), py::arg("samples"),
        R"(Measure the sensor noise of a recording, as `zelto-payload noise` does.

times (N,) s and samples (N, 12) in the sensor frame, still or moving, at least 100 rows with
distinct time stamps at 80 Hz or more. Each channel's white-noise variance is 1.4826 x the
median absolute deviation of its fourth difference, squared, over 70; the angular-acceleration
variance is the gyro variance times the variance factor of the estimator's derivative at the
median rate. Rows repeating the previous time stamp (within 1e-5 s) are left out.

Returns NoiseEstimate(variance, angular_acc_variance, median_rate, angular_acc_factor, samples,
troubles, measurement_noise_covariance). Raises ValueError for bad input.)");
  m.def("compensate", &compensateRecording, py::arg("times"), py::arg("samples"),
        py::arg("payload_path"), py::kw_only(), py::arg("mode") = py::none(),
        py::arg("tare_at") = py::none(), R"(Compensate a whole recording.

times (N,) s and samples (N, 12) in the sensor frame (force N, torque N·m, linear acceleration
with gravity m/s², angular velocity rad/s), through a Compensator built from payload_path, in
C++ with the GIL released.

mode: None as the payload file says, 'static' (gravity) or 'dynamic' (gravity and inertia).
tare_at: request a tare before the first sample at or after this time (s).

Returns CompensationResult(wrench, codes): wrench (N, 6) force N and torque N·m, sensor frame
(zeros where PENDING, NaN where ERROR); codes (N,) int32 ReturnCode values. A sample whose six
IMU values are all zero is not handed over and is answered ERROR.)");
}

}  // namespace zelto::python

PYBIND11_MODULE(zelto_payload, m) { zelto::python::bindModule(m); }
