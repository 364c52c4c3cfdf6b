// The Python module zelto_payload: both libraries from Python and NumPy, through their public
// interfaces only. Per-sample classes for interactive use, and batch helpers that loop in C++
// with the GIL released for whole recordings. This file makes the module and the types its
// parts share; each part binds in a file of its own.
#include <vector>

#include "ModuleSupport.h"
#include "ParameterList.h"

namespace zelto::python {
namespace {

constexpr const char* kModuleDoc =
    "Payload estimation and compensation for a force-torque sensor with an IMU.\n\n"
    "A sample is a time stamp (s) and twelve values in the sensor frame: force x, y, z (N),\n"
    "torque x, y, z (N·m), linear acceleration x, y, z as the accelerometer measures it,\n"
    "gravity included (m/s²), angular velocity x, y, z (rad/s).\n\n"
    "The libraries print their console lines (coloured, tagged) straight to the process's\n"
    "standard output (file descriptor 1), not through sys.stdout.";

// ReturnCode: an enum.IntEnum built at import.
void bindReturnCode(py::module_& m) {
  py::list members;
  members.append(py::make_tuple("OK", static_cast<int>(Ok)));
  members.append(py::make_tuple("PENDING", static_cast<int>(Pending)));
  members.append(py::make_tuple("ERROR", static_cast<int>(Error)));
  ModuleObjects& objects = moduleObjects();
  objects.returnCode = py::module_::import("enum").attr("IntEnum")(
      "ReturnCode", members, py::arg("module") = m.attr("__name__"));
  objects.returnCode.attr("__doc__") =
      "Answer of update() to one sample: OK (0) accepted; PENDING (1) compensator only, a "
      "deferred tare waits and the output is zero; ERROR (5) the sample was not processed (the "
      "library printed an ERROR line saying why).";
  objects.ok = objects.returnCode.attr("OK");
  objects.pending = objects.returnCode.attr("PENDING");
  objects.error = objects.returnCode.attr("ERROR");
  m.attr("ReturnCode") = objects.returnCode;
}

void bindParameterNames(py::module_& m) {
  py::tuple names(kParameterCount);
  for (std::size_t k = 0; k < kParameterCount; ++k) names[k] = py::str(kParameters[k].pythonName);
  m.attr("PARAMETER_NAMES") = names;
}

// A collections.namedtuple type of the module.
py::object addTuple(py::module_& m, const char* name, const std::vector<const char*>& fields,
                    const char* doc) {
  py::list fieldNames;
  for (const char* f : fields) fieldNames.append(f);
  py::object type =
      py::module_::import("collections")
          .attr("namedtuple")(name, fieldNames, py::arg("module") = m.attr("__name__"));
  type.attr("__doc__") = doc;
  m.attr(name) = type;
  return type;
}

void bindResultTypes(py::module_& m) {
  ModuleObjects& objects = moduleObjects();
  objects.trace = addTuple(
      m, "Trace", {"time", "samples", "estimate", "sd"},
      "The estimate along a recording: time (k,) s, time stamp of the last sample included; "
      "samples (k,) samples the estimate had used; estimate and sd (k, 16) in the order of "
      "PARAMETER_NAMES.");
  objects.estimationResult =
      addTuple(m, "EstimationResult", {"estimate", "sd", "converged", "trace"},
               "Outcome of estimate(): the estimate (16,) and its standard deviations (16,) in the "
               "order of PARAMETER_NAMES, whether the run converged, and the Trace.");
  objects.noiseEstimate = addTuple(
      m, "NoiseEstimate",
      {"variance", "angular_acc_variance", "median_rate", "angular_acc_factor", "samples",
       "troubles", "measurement_noise_covariance"},
      "Outcome of measure_noise(): variance (12,) per channel in the sample order (N², N²·m², "
      "m²/s⁴, rad²/s²); angular_acc_variance (3,) rad²/s⁴ of the estimator's derived angular "
      "acceleration; median_rate Hz; angular_acc_factor 1/s² (gyro variance to angular_acc "
      "variance); samples used; troubles, one line per sign of trouble; "
      "measurement_noise_covariance, the configuration's block as a dict (three digits).");
  objects.delayEstimate = addTuple(
      m, "DelayEstimate",
      {"delay", "uncertainty", "halves", "flat", "ambiguous", "at_edge", "rows", "description",
       "warnings"},
      "Outcome of measure_delay(): delay s (positive: the IMU's time stamps lag the wrench's), "
      "uncertainty s (1 sigma), halves the delays of the recording's two halves, flat (the "
      "motion does not tell it), ambiguous (another minimum comes close), at_edge (at +-30 ms), "
      "rows fitted, description the delay in words, warnings one line each.");
  objects.importResult = addTuple(
      m, "ImportResult",
      {"times", "samples", "delay", "delay_estimate", "report", "measurement_noise_covariance",
       "measurement_noise_sample_rate"},
      "Outcome of import_streams(): times (N,) s and samples (N, 12) on the wrench's time "
      "stamps; delay s, applied; delay_estimate a DelayEstimate when it was measured, else None; "
      "report the import's account; measurement_noise_covariance the block measured at the "
      "streams' own rates (with noise_block=True), else None; measurement_noise_sample_rate the "
      "rates (Hz) at which its interpolated channels' variances hold, a dict with 'linear_acc' "
      "and/or 'angular_vel' (with noise_block=True and a stream slower than the wrench), else "
      "None.");
  objects.compensationResult =
      addTuple(m, "CompensationResult", {"wrench", "codes"},
               "Outcome of compensate(): wrench (N, 6) force (N) and torque (N·m), sensor frame; "
               "codes (N,) the ReturnCode values per sample.");
}

void bindModule(py::module_& m) {
  m.doc() = kModuleDoc;
  m.attr("__version__") = ZELTO_VERSION;
  bindReturnCode(m);
  bindParameterNames(m);
  bindResultTypes(m);
  bindEstimator(m);
  bindCompensator(m);
  bindEstimateRecording(m);
  bindNoise(m);
  bindImport(m);
  bindCompensateRecording(m);
}

}  // namespace
}  // namespace zelto::python

PYBIND11_MODULE(zelto_payload, m) { zelto::python::bindModule(m); }
