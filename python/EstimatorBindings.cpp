// class Estimator: the estimator library sample by sample.
#include <pybind11/stl/filesystem.h>
#include <zelto/ZeltoPayloadEstimator.h>

#include <filesystem>
#include <memory>
#include <utility>

#include "ModuleSupport.h"

namespace zelto::python {
namespace {

namespace fs = std::filesystem;

constexpr const char* kClassDoc = R"(Identifies the payload on the sensor.

Mass, centre of mass and inertia about the sensor origin (sensor frame), and the
force/torque bias, while the user moves the tool by hand. Construct with the path of the
JSON estimator configuration (RuntimeError with the library's message when it cannot be
read), call start(), then update() for every sample. On convergence the library writes the
payload parameter file next to the configuration file and prints its report.

The run limits min_time and max_time are measured on the host's steady clock from start(),
not in sample time. Not thread-safe: use one object from one thread.)";

constexpr const char* kStartDoc =
    R"(Start a run when none is in progress, stop the run in progress otherwise.

Every call restarts the estimate from the configured prior. Returns True.)";

constexpr const char* kFinishDoc =
    R"(Tell the estimator that the motion is over. When the run in progress has a result past
min_time (converged, or for static compensation: mass, centre of mass and bias converged while
the motion left inertia unidentified), write the payload parameter file, print the report, end
the run and return True; otherwise return False and the run goes on.)";

constexpr const char* kUpdateDoc =
    R"(Feed one sample: time (s) and 12 values in the sensor frame (force N, torque N·m,
linear acceleration with gravity m/s², angular velocity rad/s), any sequence or NumPy array.

Returns ReturnCode.OK (also when no run is in progress) or ReturnCode.ERROR (the library
printed why, e.g. a time stamp more than 10 µs before the newest one). Raises ValueError for
a sample of the wrong size, non-numeric or non-finite values, and RuntimeError when the six
IMU values are all exactly zero.)";

using EstimatorClass = py::class_<ZeltoPayloadEstimator>;

// The estimate and its standard deviations, as getEstimate() fills them.
std::pair<Parameters, Parameters> readOut(const ZeltoPayloadEstimator& e) {
  std::pair<Parameters, Parameters> values{};
  e.getEstimate(values.first, values.second);
  return values;
}

// Construction, start and the samples.
void defineRun(EstimatorClass& cls) {
  cls.def(py::init([](const fs::path& configPath) {
            return std::make_unique<ZeltoPayloadEstimator>(configPath.string());
          }),
          py::arg("config_path"))
      .def("start", &ZeltoPayloadEstimator::startPayloadEstimation, kStartDoc)
      .def("finish", &ZeltoPayloadEstimator::finishPayloadEstimation, kFinishDoc)
      .def(
          "update",
          [](ZeltoPayloadEstimator& e, py::handle time, py::handle sample) {
            const double t = toTime(time);
            return toPython(e.update(t, toSample(sample)));
          },
          py::arg("time"), py::arg("sample"), kUpdateDoc);
}

// The estimate and the run's state.
void defineReadOut(EstimatorClass& cls) {
  cls.def_property_readonly("running", &ZeltoPayloadEstimator::isEstimatorRunning,
                            "True while a run is in progress.")
      .def_property_readonly("successful", &ZeltoPayloadEstimator::isEstimationSuccessful,
                             "True when no run is in progress and the last one ended with a "
                             "result (converged, or for static compensation), its payload "
                             "parameter file written.")
      .def_property_readonly(
          "estimate", [](const ZeltoPayloadEstimator& e) { return toNumpy(readOut(e).first); },
          "Current estimate (16,), order of PARAMETER_NAMES: mass kg, centre "
          "of mass m, inertia about the sensor origin kg·m², force bias N, "
          "torque bias N·m (sensor frame). All NaN while the run has used no "
          "sample. After a run has ended its last estimate stays readable.")
      .def_property_readonly(
          "sd", [](const ZeltoPayloadEstimator& e) { return toNumpy(readOut(e).second); },
          "Standard deviations of the estimate (16,), same order and units; "
          "NaN while the covariance is not defined yet.")
      .def_property_readonly("sample_count", &ZeltoPayloadEstimator::getSampleCount,
                             "Samples the current (or last) run has fed to the estimate.")
      .def_property_readonly("run_time", &ZeltoPayloadEstimator::getRunTime,
                             "Seconds on the steady clock since the run started; the length "
                             "of the last run once it has ended; 0 before the first.");
}

}  // namespace

void bindEstimator(py::module_& m) {
  EstimatorClass cls(m, "Estimator", kClassDoc);
  defineRun(cls);
  defineReadOut(cls);
}

}  // namespace zelto::python
