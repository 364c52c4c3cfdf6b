#include "ModuleSupport.h"

#include <cmath>

namespace zelto::python {

namespace {

constexpr const char* kSampleLayout =
    "force x, y, z (N), torque x, y, z (N·m), linear acceleration x, y, z (m/s²), angular "
    "velocity x, y, z (rad/s)";

std::string shapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < array.ndim(); ++d) {
    if (d != 0) text += ", ";
    text += std::to_string(array.shape(d));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

void checkFinite(const Sample& s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!std::isfinite(s[i])) {
      throw py::value_error("sample[" + std::to_string(i) +
                            "] is not finite: " + reprOf(py::float_(s[i])));
    }
  }
}

// A sample from a float64 array of shape (12,).
Sample fromFloatArray(const py::array& array) {
  Sample s{};
  const auto values = py::reinterpret_borrow<py::array_t<double>>(array).unchecked<1>();
  for (std::size_t i = 0; i < 12; ++i) s[i] = values(static_cast<py::ssize_t>(i));
  checkFinite(s);
  return s;
}

// A sample from any sequence (or an array of another numeric type), element by element.
Sample fromSequence(py::handle object) {
  const Py_ssize_t size = PySequence_Size(object.ptr());
  if (size < 0) throw py::error_already_set();
  if (size != 12) {
    throw py::value_error(std::string("sample must hold 12 values (") + kSampleLayout + "), got " +
                          std::to_string(size));
  }
  Sample s{};
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

void checkShapes(const Recording& r) {
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
}

void checkFinite(const Recording& r) {
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
}

}  // namespace

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

Sample toSample(py::handle object) {
  if (py::isinstance<py::array>(object)) {
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.ndim() != 1 || array.shape(0) != 12) {
      throw py::value_error(std::string("sample must hold 12 values (") + kSampleLayout +
                            "), got an array of shape " + shapeText(array));
    }
    if (py::isinstance<py::array_t<double>>(array)) return fromFloatArray(array);
  } else if (!PySequence_Check(object.ptr()) || py::isinstance<py::str>(object) ||
             py::isinstance<py::bytes>(object)) {
    throw py::value_error("sample must be a sequence of 12 numbers, got " +
                          std::string(Py_TYPE(object.ptr())->tp_name));
  }
  return fromSequence(object);
}

Recording toRecording(py::handle timesObject, py::handle samplesObject) {
  Recording r;
  r.times = toFloatArray(timesObject, "times");
  r.samples = toFloatArray(samplesObject, "samples");
  checkShapes(r);
  r.size = static_cast<std::size_t>(r.times.shape(0));
  if (r.size == 0) throw py::value_error("times and samples hold no sample");
  r.time = r.times.data();
  r.values = r.samples.data();
  checkFinite(r);
  return r;
}

}  // namespace zelto::python
