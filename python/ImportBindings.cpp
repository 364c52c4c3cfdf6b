// import_streams() and measure_delay(): the tool's stream import and IMU delay on paths and arrays.
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ImuDelay.h"
#include "ModuleSupport.h"
#include "StreamImport.h"
#include "ToolError.h"

namespace zelto::python {
namespace {

constexpr const char* kImportDoc =
    R"(Join separate sensor streams into one recording, as `zelto-payload import` does.

Each stream is a CSV path (a header naming its columns; see `zelto-payload import --help`) or
an array (N, k) in the default column order: wrench t,fx,fy,fz,tx,ty,tz; accel t,ax,ay,az;
gyro t,wx,wy,wz; imu t,ax,ay,az,wx,wy,wz; orientation t,r11..r33 (row-major) or t,qw,qx,qy,qz;
position t,px,py,pz. All on one clock; time in time_unit ('s', 'ms', 'us', 'ns'). The wrench
defines the sensor frame; an orientation maps sensor to world coordinates, world z up, gravity
`gravity` m/s² along -z. *_axes like '-y,z,-x': sensor x = -stream y, sensor y = stream z,
sensor z = -stream x. imu_delay: 'auto' measures the delay and applies it, or seconds (within
±0.03); positive when the IMU's time stamps lag the wrench's (the IMU value stamped t describes
the motion at t - delay).

Returns ImportResult(times, samples, delay, delay_estimate, report, measurement_noise_covariance,
measurement_noise_sample_rate): times (N,) and samples (N, 12) on the wrench's time stamps;
delay s, applied; delay_estimate a DelayEstimate when measured; report the tool's account; the
noise block (a dict) measured at the streams' own rates when noise_block is true, else None; the
rates (Hz) at which the interpolated channels' variances hold, for the configuration's
"measurement_noise_sample_rate" (a dict; None without noise_block or without a stream slower
than the wrench). Raises ValueError for bad input.)";

constexpr const char* kDelayDoc =
    R"(Measure the delay of a recording's IMU columns against its wrench columns.

times (N,) s and samples (N, 12) as for measure_noise, all on one clock. The payload model is
fitted by least squares with the IMU values shifted by each candidate within ±30 ms, both sides
low-passed alike; the delay is the shift of the least residual. Positive: the IMU's time stamps
lag the wrench's. Returns DelayEstimate(delay, uncertainty, halves, flat, ambiguous, at_edge,
rows, description, warnings). Raises ValueError for bad input.)";

std::optional<std::string> pathOf(py::handle object) {
  if (py::isinstance<py::str>(object) || py::hasattr(object, "__fspath__")) {
    return py::str(py::module_::import("os").attr("fspath")(object)).cast<std::string>();
  }
  return std::nullopt;
}

// An array (N, k) as the stream table of its role's default columns.
tool::StreamTable tableOf(py::handle object, const std::string& role,
                          const std::vector<std::vector<std::string>>& layouts) {
  const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(object);
  std::string widths;
  for (const auto& l : layouts) widths += (widths.empty() ? "" : " or ") + std::to_string(l.size());
  if (!a || a.ndim() != 2) {
    throw py::value_error(role + ": expected a path or an array (N, " + widths + ")");
  }
  const std::size_t rows = static_cast<std::size_t>(a.shape(0));
  const std::size_t width = static_cast<std::size_t>(a.shape(1));
  tool::StreamTable t;
  t.name = role + " array";
  for (const auto& l : layouts) {
    if (l.size() == width) t.columns = l;
  }
  if (t.columns.empty()) {
    throw py::value_error(role + ": expected " + widths + " columns, got " + std::to_string(width));
  }
  t.values.assign(width, std::vector<double>(rows));
  t.firstBad.resize(width);
  for (std::size_t r = 0; r < rows; ++r) {
    t.lines.push_back(r + 1);
    for (std::size_t c = 0; c < width; ++c) {
      double v = a.at(static_cast<py::ssize_t>(r), static_cast<py::ssize_t>(c));
      if (!std::isfinite(v)) {
        if (t.firstBad[c].line == 0) t.firstBad[c] = {r + 1, std::to_string(v)};
        v = std::numeric_limits<double>::quiet_NaN();
      }
      t.values[c][r] = v;
    }
  }
  return t;
}

void addStream(py::handle object, const std::string& role,
               const std::vector<std::vector<std::string>>& layouts, tool::StreamSource& source,
               std::optional<tool::StreamTable>& table) {
  if (object.is_none()) return;
  if (const std::optional<std::string> path = pathOf(object)) {
    table = tool::readStreamTable(*path);
  } else {
    table = tableOf(object, role, layouts);
  }
  source.path = table->name;
}

py::object rateDict(const tool::ImportResult& result) {
  if (!result.linearAccRate && !result.angularVelRate) return py::none();
  py::dict rates;
  if (result.linearAccRate) rates["linear_acc"] = *result.linearAccRate;
  if (result.angularVelRate) rates["angular_vel"] = *result.angularVelRate;
  return std::move(rates);
}

py::dict noiseDict(const std::array<double, 15>& v) {
  static const char* const kQuantities[5] = {"force", "torque", "linear_acc", "angular_vel",
                                             "angular_acc"};
  py::dict block;
  for (std::size_t q = 0; q < 5; ++q) {
    py::dict axes;
    for (std::size_t j = 0; j < 3; ++j) {
      char text[32];
      std::snprintf(text, sizeof text, "%.3g", v[3 * q + j]);  // as the block is written
      axes[py::str(std::string(1, "xyz"[j]))] = std::stod(text);
    }
    block[kQuantities[q]] = axes;
  }
  return block;
}

py::object delayObject(const tool::DelayEstimate& e) {
  py::list warnings;
  for (const std::string& w : e.warnings) warnings.append(w);
  return moduleObjects().delayEstimate(
      e.delay, e.uncertainty, py::make_tuple(e.halves[0], e.halves[1]), e.flat, e.ambiguous,
      e.atEdge, e.rows, tool::describeDelay(e.delay), warnings);
}

py::object importStreams(py::handle wrench, py::handle accel, py::handle gyro, py::handle imu,
                         py::handle orientation, py::handle position, const std::string& timeUnit,
                         const std::string& accelUnit, py::handle accelAxes, py::handle gyroAxes,
                         py::handle imuAxes, py::handle imuDelay, double gravity, bool noiseBlock) {
  tool::ImportOptions o;
  tool::StreamTables tables;
  tool::ImportResult result;
  try {
    const double scale = tool::timeUnitScale(timeUnit);
    for (tool::StreamSource* s :
         {&o.wrench, &o.accelerometer, &o.gyro, &o.imu, &o.orientation, &o.position}) {
      s->timeScale = scale;
    }
    const auto axes = [](py::handle text, tool::StreamSource& s) {
      if (!text.is_none()) s.axes = tool::AxisMapping::parse(text.cast<std::string>());
    };
    axes(accelAxes, o.accelerometer);
    axes(gyroAxes, o.gyro);
    axes(imuAxes, o.imu);
    if (accelUnit != "m/s2" && accelUnit != "g") {
      throw py::value_error("accel_unit: expected 'm/s2' or 'g', got '" + accelUnit + "'");
    }
    if (accelUnit == "g") o.accelerometerUnit = tool::AccelerationUnit::StandardGravity;
    if (!(py::isinstance<py::str>(imuDelay) && imuDelay.cast<std::string>() == "auto")) {
      o.delay = toNumber(imuDelay, [] { return std::string("imu_delay"); });
    }
    o.gravity = gravity;
    o.measureNoiseBlock = noiseBlock;
    if (wrench.is_none()) throw py::value_error("wrench: the wrench stream is required");
    addStream(wrench, "wrench", {{"t", "fx", "fy", "fz", "tx", "ty", "tz"}}, o.wrench,
              tables.wrench);
    addStream(accel, "accel", {{"t", "ax", "ay", "az"}}, o.accelerometer, tables.accelerometer);
    addStream(gyro, "gyro", {{"t", "wx", "wy", "wz"}}, o.gyro, tables.gyro);
    addStream(imu, "imu", {{"t", "ax", "ay", "az", "wx", "wy", "wz"}}, o.imu, tables.imu);
    addStream(orientation, "orientation",
              {{"t", "r11", "r12", "r13", "r21", "r22", "r23", "r31", "r32", "r33"},
               {"t", "qw", "qx", "qy", "qz"}},
              o.orientation, tables.orientation);
    addStream(position, "position", {{"t", "px", "py", "pz"}}, o.position, tables.position);
    py::gil_scoped_release release;
    result = tool::importTables(tables, o);
  } catch (const tool::ToolError& error) {
    throw py::value_error(error.what());
  }
  const std::size_t n = result.samples.size();
  py::array_t<double> times(static_cast<py::ssize_t>(n));
  py::array_t<double> samples({static_cast<py::ssize_t>(n), py::ssize_t{12}});
  for (std::size_t i = 0; i < n; ++i) {
    times.mutable_data()[i] = result.samples[i].time;
    std::copy(result.samples[i].values.begin(), result.samples[i].values.end(),
              samples.mutable_data() + 12 * i);
  }
  const tool::ImportReport& r = result.report;
  return moduleObjects().importResult(
      times, samples, r.delay, r.measuredDelay ? delayObject(*r.measuredDelay) : py::none(),
      r.text(), result.noise ? py::object(noiseDict(*result.noise)) : py::none(), rateDict(result));
}

py::object measureDelay(py::handle timesObject, py::handle samplesObject) {
  const Recording r = toRecording(timesObject, samplesObject);
  std::vector<double> times(r.time, r.time + r.size);
  std::vector<Sample> values(r.size);
  for (std::size_t i = 0; i < r.size; ++i) values[i] = rowOf(r, i);
  tool::DelayEstimate e;
  std::string refusal;
  {
    py::gil_scoped_release release;
    try {
      e = tool::measureRecordingDelay(times, values);
    } catch (const std::invalid_argument& error) {
      refusal = error.what();
    }
  }
  if (!refusal.empty()) throw py::value_error(refusal);
  return delayObject(e);
}

}  // namespace

void bindImport(py::module_& m) {
  m.def("import_streams", &importStreams, py::arg("wrench"), py::arg("accel") = py::none(),
        py::arg("gyro") = py::none(), py::arg("imu") = py::none(),
        py::arg("orientation") = py::none(), py::arg("position") = py::none(), py::kw_only(),
        py::arg("time_unit") = "s", py::arg("accel_unit") = "m/s2",
        py::arg("accel_axes") = py::none(), py::arg("gyro_axes") = py::none(),
        py::arg("imu_axes") = py::none(), py::arg("imu_delay") = "auto", py::arg("gravity") = 9.81,
        py::arg("noise_block") = false, kImportDoc);
  m.def("measure_delay", &measureDelay, py::arg("times"), py::arg("samples"), kDelayDoc);
}

}  // namespace zelto::python
