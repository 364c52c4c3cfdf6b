// measure_noise(): the tool's noise measurement on arrays.
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "ModuleSupport.h"
#include "NoiseEstimate.h"

namespace zelto::python {
namespace {

constexpr const char* kMeasureNoiseDoc =
    R"(Measure the sensor noise of a recording, as `zelto-payload noise` does.

times (N,) s and samples (N, 12) in the sensor frame, still or moving, at least 100 rows with
distinct time stamps at 80 Hz or more. Each channel's white-noise variance is 1.4826 x the
median absolute deviation of its fourth difference, squared, over 70; the angular-acceleration
variance is the gyro variance times the variance factor of the estimator's derivative at the
median rate. Rows repeating the previous time stamp (within 1e-5 s) are left out.

Returns NoiseEstimate(variance, angular_acc_variance, median_rate, angular_acc_factor, samples,
troubles, measurement_noise_covariance). Raises ValueError for bad input.)";

// The configuration's "measurement_noise_covariance" block as the tool would write it.
py::dict covarianceBlock(const tool::NoiseEstimate& e) {
  static const char* const kQuantities[5] = {"force", "torque", "linear_acc", "angular_vel",
                                             "angular_acc"};
  const std::array<double, 15> rounded = tool::configuredVariances(e);
  py::dict block;
  for (std::size_t q = 0; q < 5; ++q) {
    py::dict axes;
    for (std::size_t j = 0; j < 3; ++j) {
      axes[py::str(std::string(1, "xyz"[j]))] = rounded[3 * q + j];
    }
    block[kQuantities[q]] = axes;
  }
  return block;
}

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
  py::list troubles;
  for (const std::string& line : tool::noiseTroubles(e)) troubles.append(line);
  return moduleObjects().noiseEstimate(toNumpy(e.variance), toNumpy(e.angularAccVariance),
                                       e.medianRate, e.angularAccFactor, e.samples, troubles,
                                       covarianceBlock(e));
}

}  // namespace

void bindNoise(py::module_& m) {
  m.def("measure_noise", &measureNoise, py::arg("times"), py::arg("samples"), kMeasureNoiseDoc);
}

}  // namespace zelto::python
