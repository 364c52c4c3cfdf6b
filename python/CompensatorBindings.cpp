// class Compensator: the compensator library sample by sample.
#include <pybind11/stl/filesystem.h>
#include <zelto/ZeltoPayloadCompensator.h>

#include <filesystem>
#include <memory>

#include "ModuleSupport.h"

namespace zelto::python {
namespace {

namespace fs = std::filesystem;

constexpr const char* kClassDoc = R"(Removes the payload's wrench.

Gravity (static mode) or gravity and inertia (dynamic mode) of the payload described by a
payload parameter file are removed from every measured wrench, so that only external contact
forces remain. Construct with the file's path (RuntimeError with the library's message when it
cannot be read). update() from one thread; tare() may be called from another.)";

constexpr const char* kUpdateDoc =
    R"(Compensate one sample: time (s) and 12 values in the sensor frame (force N, torque
N·m, linear acceleration with gravity m/s², angular velocity rad/s), any sequence or NumPy
array.

Returns (code, wrench), wrench (6,) force N and torque N·m in the sensor frame:
OK the compensated wrench minus the tare bias; PENDING a deferred tare waits, zeros; ERROR the
sample was refused (a repeated or backwards time stamp; the library printed why), NaN.
Raises ValueError for a sample of the wrong size, non-numeric or non-finite values, and
RuntimeError when the six IMU values are all exactly zero.)";

constexpr const char* kTareDoc =
    R"(Zero the output: the tare bias becomes the mean compensated wrench of about the last
second, or the tare is deferred until half a second of data is there (update() answers
PENDING with zeros meanwhile). Returns True.)";

py::tuple update(ZeltoPayloadCompensator& c, py::handle time, py::handle sample) {
  const double t = toTime(time);
  const Sample input = toSample(sample);
  Sample output{};
  const ZeltoControlReturnCode code = c.update(t, input, output);
  py::array_t<double> wrench(6);
  double* w = wrench.mutable_data();
  for (std::size_t j = 0; j < 6; ++j) w[j] = outputValue(code, output[j]);
  return py::make_tuple(toPython(code), std::move(wrench));
}

}  // namespace

void bindCompensator(py::module_& m) {
  py::class_<ZeltoPayloadCompensator>(m, "Compensator", kClassDoc)
      .def(py::init([](const fs::path& payloadPath) {
             return std::make_unique<ZeltoPayloadCompensator>(payloadPath.string());
           }),
           py::arg("payload_path"))
      .def("update", &update, py::arg("time"), py::arg("sample"), kUpdateDoc)
      .def("tare", &ZeltoPayloadCompensator::tareCompensatedWrench, kTareDoc)
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
}

}  // namespace zelto::python
