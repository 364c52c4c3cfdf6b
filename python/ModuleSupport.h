#pragma once

// What the bindings of the module zelto_payload share: the Python objects made at import (return
// codes, result types), the checks that turn Python arguments into samples and recordings, and
// the conversion of results to NumPy arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <zelto/ZeltoControlReturnCode.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>

namespace zelto::python {

namespace py = pybind11;

using Sample = std::array<double, 12>;
using Parameters = std::array<double, 16>;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// Objects made at import. The ReturnCode members are kept so that a per-sample update() hands
// out an existing object instead of calling into the enum machinery.

struct ModuleObjects {
  py::object returnCode, ok, pending, error;
  py::object trace, estimationResult, compensationResult, noiseEstimate;
  py::object importResult, delayEstimate;
};

//! Never destroyed: Python objects must not be released after the interpreter has finalised.
ModuleObjects& moduleObjects();

py::object toPython(ZeltoControlReturnCode code);

//! A result's wrench: the output where OK, zeros where PENDING (a deferred tare), NaN where ERROR.
inline double outputValue(ZeltoControlReturnCode code, double value) {
  return code == Ok ? value : code == Pending ? 0.0 : kNaN;
}

// ---------------------------------------------------------------------------------------------
// Input checks: every problem is a ValueError that names the argument and, where there is one,
// the offending element.

std::string reprOf(py::handle object);

//! float() semantics without accepting text; name() names the argument in the error.
double toNumber(py::handle item, const std::function<std::string()>& name);

double toTime(py::handle time);

//! Any sequence of twelve numbers: a list, a tuple, a 1-D NumPy array of any numeric type.
Sample toSample(py::handle object);

//! A recording as the batch helpers take it: times (N,) in seconds, samples (N, 12).
struct Recording {
  py::array_t<double> times;
  py::array_t<double> samples;
  std::size_t size = 0;
  const double* time = nullptr;
  const double* values = nullptr;  //!< row-major, 12 per sample
};

//! At least one sample, every value finite.
Recording toRecording(py::handle timesObject, py::handle samplesObject);

inline Sample rowOf(const Recording& r, std::size_t i) {
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
// The parts of the module, each in a file of its own.

void bindEstimator(py::module_& m);            //!< class Estimator
void bindCompensator(py::module_& m);          //!< class Compensator
void bindEstimateRecording(py::module_& m);    //!< the batch helper estimate()
void bindCompensateRecording(py::module_& m);  //!< the batch helper compensate()
void bindNoise(py::module_& m);                //!< measure_noise()
void bindImport(py::module_& m);               //!< import_streams(), measure_delay()

}  // namespace zelto::python
